#include "irp_table.h"

#include "verifier.h"
#include "verifier_rules.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace host {
namespace {

constexpr unsigned char kFreedFill = 0xDD;

std::size_t IrpBytes(CCHAR stackSize)
{
    return sizeof(IRP) + static_cast<std::size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
}

void InitializeIrp(PIRP irp, CCHAR stackSize)
{
    std::memset(irp, 0, IrpBytes(stackSize));
    irp->Type = IO_TYPE_IRP;
    irp->Size = IoSizeOfIrp(stackSize);
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    InitializeListHead(&irp->ThreadListEntry);
    // No current location yet: the caller fills the next one.
    irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
}

using host::verifier::PointerText;

}  // namespace

IrpTable::~IrpTable()
{
    records_.ForEach([](Shard& shard) {
        for (auto& [irp, record] : shard.Records) {
            std::free(irp);
        }
    });
}

PIRP IrpTable::Allocate(CCHAR stackSize, IoRequest* request)
{
    auto irp = static_cast<PIRP>(std::malloc(IrpBytes(stackSize)));
    if (irp == nullptr) {
        return nullptr;
    }
    InitializeIrp(irp, stackSize);
    IrpRecord record;
    record.Request = request;
    record.Levels.resize(static_cast<std::size_t>(stackSize) + 1);
    Shard& shard = records_.Of(irp);
    std::lock_guard<std::mutex> lock(shard.Mutex);
    shard.Records.emplace(irp, std::move(record));
    return irp;
}

IrpRecord* IrpTable::Find(Shard& shard, PIRP irp)
{
    auto it = shard.Records.find(static_cast<void*>(irp));
    return it == shard.Records.end() ? nullptr : &it->second;
}

void IrpTable::Hold(PIRP irp)
{
    With(irp, [irp](IrpRecord* record) {
        if (record == nullptr) {
            verifier::BugCheck(rule::kIoManagerViolation,
                               PointerText(irp) + " used as an IRP but is not an allocated IRP");
        }
        ++record->Holds;
    });
}

void IrpTable::ReleaseLocked(Shard& shard, PIRP irp, IrpRecord& record)
{
    if (--record.Holds != 0) {
        return;
    }
    const std::size_t bytes = IrpBytes(static_cast<CCHAR>(record.Levels.size() - 1));
    shard.Records.erase(static_cast<void*>(irp));
    std::memset(irp, kFreedFill, bytes);
    std::free(irp);
}

std::vector<std::string> IrpTable::DriverAllocated() const
{
    std::vector<std::string> lines;
    records_.ForEach([&lines](const Shard& shard) {
        for (const auto& [irp, record] : shard.Records) {
            if (record.Request == nullptr && !record.OwnerReleased) {
                lines.push_back("IRP " + PointerText(irp));
            }
        }
    });
    return lines;
}

}  // namespace host
