#include "low_resources.h"
#include "mdl_table.h"

#include "kernel_impl.h"
#include "verifier.h"
#include "verifier_rules.h"

#include <cstdio>
#include <new>

namespace host {
namespace {

using host::verifier::PointerText;

std::string Describe(PMDL mdl)
{
    return "MDL " + PointerText(mdl) + " for " + std::to_string(mdl->ByteCount) + " bytes at " +
           PointerText(MmGetMdlVirtualAddress(mdl));
}

}  // namespace

MdlTable::~MdlTable()
{
    for (auto& [mdl, record] : records_) {
        delete mdl;
    }
}

PMDL MdlTable::Allocate(PVOID virtualAddress, ULONG length)
{
    auto* mdl = new (std::nothrow) MDL{};
    if (mdl == nullptr) {
        return nullptr;
    }
    // No page frame array follows: the host has no physical pages.
    mdl->Size = sizeof(MDL);
    mdl->StartVa = PAGE_ALIGN(virtualAddress);
    mdl->ByteOffset = BYTE_OFFSET(virtualAddress);
    mdl->ByteCount = length;
    std::lock_guard<std::mutex> lock(mutex_);
    records_.emplace(mdl, Record{});
    return mdl;
}

void MdlTable::Free(PMDL mdl)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = records_.find(mdl);
        if (it == records_.end()) {
            verifier::BugCheckBadFree("IoFreeMdl", mdl, "MDL");
        }
        if (it->second.Pins != 0) {
            verifier::BugCheck(rule::kVerifierViolation, "IoFreeMdl of " + Describe(mdl) +
                                                             " while a pending request uses it");
        }
        if ((mdl->MdlFlags & MDL_PAGES_LOCKED) != 0) {
            verifier::BugCheck(rule::kLockedPagesLeft,
                               "IoFreeMdl of " + Describe(mdl) + " whose pages are still locked");
        }
        records_.erase(it);
    }
    delete mdl;
}

void MdlTable::Lock(PMDL mdl)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (records_.count(mdl) == 0) {
        verifier::BugCheck(rule::kVerifierViolation, "MmProbeAndLockPages on " + PointerText(mdl) +
                                                         ", which is not an allocated MDL");
    }
    if ((mdl->MdlFlags & MDL_PAGES_LOCKED) != 0) {
        verifier::BugCheck(rule::kVerifierViolation, "MmProbeAndLockPages on " + Describe(mdl) +
                                                         " whose pages are already locked");
    }
    mdl->MdlFlags |= MDL_PAGES_LOCKED;
}

void MdlTable::Unlock(PMDL mdl)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Record& record = RequireLocked(mdl, "MmUnlockPages");
    if ((mdl->MdlFlags & MDL_PAGES_LOCKED) == 0) {
        verifier::BugCheck(
            rule::kVerifierViolation,
            "MmUnlockPages on " + Describe(mdl) + ", which MmProbeAndLockPages did not lock");
    }
    if (record.Pins != 0) {
        verifier::BugCheck(rule::kVerifierViolation, "MmUnlockPages on " + Describe(mdl) +
                                                         " while a pending request uses it");
    }
    mdl->MdlFlags &= ~MDL_PAGES_LOCKED;
}

void MdlTable::Pin(PMDL mdl, const char* user)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++RequireLocked(mdl, user).Pins;
}

void MdlTable::Unpin(PMDL mdl)
{
    std::lock_guard<std::mutex> lock(mutex_);
    --records_.at(mdl).Pins;
}

MdlTable::Record& MdlTable::RequireLocked(PMDL mdl, const char* routine)
{
    auto it = records_.find(mdl);
    if (it == records_.end()) {
        verifier::BugCheck(
            rule::kVerifierViolation,
            std::string(routine) + " with " + PointerText(mdl) + ", which is not an allocated MDL");
    }
    if ((mdl->MdlFlags & MDL_PAGES_LOCKED) == 0) {
        verifier::BugCheck(
            rule::kVerifierViolation,
            std::string(routine) + " with " + Describe(mdl) + " whose pages are not locked");
    }
    return it->second;
}

std::vector<std::string> MdlTable::Allocated() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> lines;
    for (const auto& [mdl, record] : records_) {
        lines.push_back(Describe(mdl));
    }
    return lines;
}

}  // namespace host

// The MDL routines the driver calls: IoAllocateMdl/IoFreeMdl and locking.
namespace {

host::MdlTable& Mdls()
{
    return host::Internals().Mdls();
}

// The MDL becomes the IRP's first, or for a secondary buffer its last.
void LinkToIrp(PIRP irp, PMDL mdl, BOOLEAN secondaryBuffer)
{
    if (!secondaryBuffer || irp->MdlAddress == nullptr) {
        irp->MdlAddress = mdl;
        return;
    }
    PMDL last = irp->MdlAddress;
    while (last->Next != nullptr) {
        last = last->Next;
    }
    last->Next = mdl;
}

}  // namespace

extern "C" {

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                         BOOLEAN ChargeQuota, PIRP Irp)
{
    host::verifier::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateMdl");
    // ChargeQuota is the system's own; a secondary buffer is one of an IRP's.
    if (ChargeQuota) {
        host::verifier::BugCheck(host::rule::kIoManagerViolation,
                                 "IoAllocateMdl with ChargeQuota TRUE (drivers pass FALSE)");
    }
    if (SecondaryBuffer && Irp == nullptr) {
        host::verifier::BugCheck(host::rule::kIoManagerViolation,
                                 "IoAllocateMdl with SecondaryBuffer TRUE and no IRP");
    }
    if (host::SimulateLowResources("IoAllocateMdl")) {
        return nullptr;
    }
    PMDL mdl = Mdls().Allocate(VirtualAddress, Length);
    if (mdl != nullptr && Irp != nullptr) {
        LinkToIrp(Irp, mdl, SecondaryBuffer);
    }
    return mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl)
{
    host::verifier::RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeMdl");
    Mdls().Free(Mdl);
}

VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                               LOCK_OPERATION Operation)
{
    UNREFERENCED_PARAMETER(AccessMode);
    UNREFERENCED_PARAMETER(Operation);
    host::verifier::RequireIrqlAtMost(DISPATCH_LEVEL, "MmProbeAndLockPages");
    Mdls().Lock(MemoryDescriptorList);
}

VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList)
{
    host::verifier::RequireIrqlAtMost(DISPATCH_LEVEL, "MmUnlockPages");
    Mdls().Unlock(MemoryDescriptorList);
}

}  // extern "C"
