// Memory descriptor lists: IoAllocateMdl/IoFreeMdl, locking and mapping.
#include "kernel_impl.h"
#include "mdl_table.h"
#include "verifier.h"

namespace {

host::MdlTable& Mdls() { return host::Internals().Mdls(); }

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
    UNREFERENCED_PARAMETER(ChargeQuota);
    host::verifier::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateMdl");
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
