// IRP memory and what the host tracks per IRP: who owns it, where its
// completion has got to, and per stack location what the verifier needs
// after the dispatch routine returns. Holds keep the memory alive while the
// kernel still looks at an IRP (a dispatch frame, a completion, a cancel),
// so a driver that frees or completes an IRP early cannot pull it away
// from under the I/O manager.
#pragma once

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

    // Runs f(record) under the table's lock; record is null when the IRP is
    // not (or no longer) allocated.
    template <typename F>
    auto With(PIRP irp, F&& f)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::forward<F>(f)(Find(irp));
    }

    // Holds are taken on a known-live IRP; releasing the last one frees it.
    void Hold(PIRP irp);
    void Release(PIRP irp);
    void ReleaseOwner(PIRP irp);

    // IRPs from IoAllocateIrp that their driver has not freed.
    std::vector<std::string> DriverAllocated() const;

private:
    IrpRecord* Find(PIRP irp);
    void ReleaseLocked(PIRP irp, IrpRecord& record);

    mutable std::mutex mutex_;
    std::unordered_map<PIRP, IrpRecord> records_;
};

}  // namespace host
