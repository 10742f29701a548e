// IRP memory and what the host tracks per IRP: who owns it, where its
// completion has got to, and per stack location what the verifier needs
// after the dispatch routine returns. Holds keep the memory alive while the
// kernel still looks at an IRP (a dispatch frame, a completion, a cancel),
// so a driver that frees or completes an IRP early cannot pull it away
// from under the I/O manager.
#pragma once

#include "sharded_table.h"

#include <host/common/non_copyable.h>
#include <wdm.h>

#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace host {

class IoRequest;

struct IrpLevel {
    bool Completed = false;             // the completion has passed this location
    bool MarkedPending = false;         // SL_PENDING_RETURNED as the completion found it
    bool LowerReturnedPending = false;  // a call down from this location returned pending
};

struct IrpRecord {
    IoRequest* Request = nullptr;  // the I/O manager's request; null for IoAllocateIrp
    int Holds = 1;                 // the owner's, plus one per kernel frame using it
    bool OwnerReleased = false;
    bool Completing = false;  // IofCompleteRequest walks the stack
    bool InRoutine = false;   // a completion routine runs; its owner may reuse or free the IRP
    bool CompletedToTop = false;
    unsigned Completions = 0;      // IofCompleteRequest calls so far
    std::vector<IrpLevel> Levels;  // indexed by stack location number, 1..StackCount
};

class IrpTable : zel::NonCopyable {
public:
    ~IrpTable();

    // Null when memory is exhausted. The IRP has no current stack location.
    PIRP Allocate(CCHAR stackSize, IoRequest* request);

    // Runs f(record) under the lock of the IRP's shard; record is null when
    // the IRP is not (or no longer) allocated.
    template <typename F>
    auto With(PIRP irp, F&& f)
    {
        Shard& shard = records_.Of(irp);
        std::lock_guard<std::mutex> lock(shard.Mutex);
        return std::forward<F>(f)(Find(shard, irp));
    }

    // Holds are taken on a known-live IRP; releasing the last one frees it.
    void Hold(PIRP irp);
    void Release(PIRP irp)
    {
        ReleaseAfter(irp, 1, false, [](IrpRecord&) {});
    }
    void ReleaseOwner(PIRP irp)
    {
        ReleaseAfter(irp, 1, true, [](IrpRecord&) {});
    }
    // Runs f(record) on the live IRP, then, under the same lock, drops
    // `holds` holds, the owner's among them when owner is set.
    template <typename F>
    void ReleaseAfter(PIRP irp, int holds, bool owner, F&& f)
    {
        Shard& shard = records_.Of(irp);
        std::lock_guard<std::mutex> lock(shard.Mutex);
        IrpRecord& record = *Find(shard, irp);
        std::forward<F>(f)(record);
        record.OwnerReleased = record.OwnerReleased || owner;
        record.Holds -= holds - 1;
        ReleaseLocked(shard, irp, record);
    }

    // IRPs from IoAllocateIrp that their driver has not freed.
    std::vector<std::string> DriverAllocated() const;

private:
    using Shard = ShardedTable<IrpRecord>::Shard;

    static IrpRecord* Find(Shard& shard, PIRP irp);
    static void ReleaseLocked(Shard& shard, PIRP irp, IrpRecord& record);

    ShardedTable<IrpRecord> records_;
};

}  // namespace host
