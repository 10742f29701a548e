// IRP allocation, IofCallDriver and IofCompleteRequest, with the verifier's
// checks on both sides of every dispatch and completion routine.
#include "callback_check.h"
#include "device_table.h"
#include "io_manager.h"
#include "irp_engine.h"
#include "irp_table.h"
#include "kernel_impl.h"
#include "low_resources.h"
#include "thread_state.h"
#include "verifier.h"
#include "verifier_rules.h"

#include <cstdio>

namespace host {
namespace {

constexpr const char* kMajorFunctionNames[] = {"IRP_MJ_CREATE",
                                               "IRP_MJ_CREATE_NAMED_PIPE",
                                               "IRP_MJ_CLOSE",
                                               "IRP_MJ_READ",
                                               "IRP_MJ_WRITE",
                                               "IRP_MJ_QUERY_INFORMATION",
                                               "IRP_MJ_SET_INFORMATION",
                                               "IRP_MJ_QUERY_EA",
                                               "IRP_MJ_SET_EA",
                                               "IRP_MJ_FLUSH_BUFFERS",
                                               "IRP_MJ_QUERY_VOLUME_INFORMATION",
                                               "IRP_MJ_SET_VOLUME_INFORMATION",
                                               "IRP_MJ_DIRECTORY_CONTROL",
                                               "IRP_MJ_FILE_SYSTEM_CONTROL",
                                               "IRP_MJ_DEVICE_CONTROL",
                                               "IRP_MJ_INTERNAL_DEVICE_CONTROL",
                                               "IRP_MJ_SHUTDOWN",
                                               "IRP_MJ_LOCK_CONTROL",
                                               "IRP_MJ_CLEANUP",
                                               "IRP_MJ_CREATE_MAILSLOT",
                                               "IRP_MJ_QUERY_SECURITY",
                                               "IRP_MJ_SET_SECURITY",
                                               "IRP_MJ_POWER",
                                               "IRP_MJ_SYSTEM_CONTROL",
                                               "IRP_MJ_DEVICE_CHANGE",
                                               "IRP_MJ_QUERY_QUOTA",
                                               "IRP_MJ_SET_QUOTA",
                                               "IRP_MJ_PNP"};

IrpTable& Irps()
{
    return Internals().Irps();
}

using host::verifier::PointerText;

PIO_STACK_LOCATION LocationAt(PIRP irp, CHAR level)
{
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (level - 1);
}

// ---------------------------------------------------------------------------
// IofCallDriver

CHAR EnterNextLocation(PDEVICE_OBJECT device, PIRP irp)
{
    if (irp->CurrentLocation <= 1) {
        verifier::BugCheck(rule::kNoMoreIrpStackLocations,
                           "IofCallDriver to " + Internals().Devices().NameOf(device) +
                               " with no stack location left in IRP " + PointerText(irp));
    }
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = device;
    return irp->CurrentLocation;
}

// Moves a live IRP to its next stack location and holds it for the
// dispatch; returns that location's number.
CHAR BeginDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    return Irps().With(irp, [&](IrpRecord* record) {
        if (record == nullptr) {
            verifier::BugCheck(rule::kIoManagerViolation, "IofCallDriver with " + PointerText(irp) +
                                                              ", which is not an allocated IRP");
        }
        const CHAR level = EnterNextLocation(device, irp);
        record->Levels[level] = IrpLevel{};
        ++record->Holds;
        return level;
    });
}

PDRIVER_DISPATCH RoutineFor(PDEVICE_OBJECT device, UCHAR major)
{
    if (major > IRP_MJ_MAXIMUM_FUNCTION) {
        verifier::BugCheck(rule::kIoManagerViolation,
                           "IRP with major function " + std::to_string(major));
    }
    return device->DriverObject->MajorFunction[major];
}

// Cleanup is the one request the I/O manager finishes itself when the
// driver returns without completing it.
bool IoManagerFinishes(const IrpRecord& record, CHAR level, UCHAR major)
{
    return record.Request != nullptr && major == IRP_MJ_CLEANUP &&
           static_cast<std::size_t>(level) == record.Levels.size() - 1;
}

std::string DispatchRoutineName(UCHAR major)
{
    return "dispatch routine for " + MajorFunctionName(major);
}

// The routine's name is only spelt out for a bug check: this runs for
// every request.
void RequireDispatchUnchanged(const thread_state::Snapshot& before, UCHAR major)
{
    const thread_state::Snapshot after = thread_state::Take();
    if (after.Irql != before.Irql || after.HeldLocks != before.HeldLocks) {
        verifier::RequireUnchanged(before, DispatchRoutineName(major).c_str());
    }
}

// Checks what the dispatch routine returned against what it did with the
// IRP, then drops the dispatch's hold.
void EndDispatch(PIRP irp, CHAR level, UCHAR major, NTSTATUS status)
{
    Irps().ReleaseAfter(irp, 1, false, [&](IrpRecord& record) {
        const IrpLevel& state = record.Levels[level];
        const bool marked = state.Completed
                                ? state.MarkedPending
                                : (LocationAt(irp, level)->Control & SL_PENDING_RETURNED) != 0;
        if (status == STATUS_PENDING && !marked && !state.LowerReturnedPending) {
            verifier::BugCheck(
                rule::kIoManagerViolation,
                DispatchRoutineName(major) + " returned STATUS_PENDING without IoMarkIrpPending");
        }
        if (status != STATUS_PENDING && (marked || state.LowerReturnedPending)) {
            verifier::BugCheck(rule::kIoManagerViolation,
                               DispatchRoutineName(major) + " returned " + verifier::Hex(status) +
                                   " for an IRP marked pending (it must return STATUS_PENDING)");
        }
        if (status != STATUS_PENDING && !state.Completed &&
            !IoManagerFinishes(record, level, major)) {
            verifier::BugCheck(rule::kIoManagerViolation,
                               "IRP not completed: " + DispatchRoutineName(major) + " returned " +
                                   verifier::Hex(status) + " without completing the IRP");
        }
        if (static_cast<std::size_t>(level) + 1 < record.Levels.size() &&
            status == STATUS_PENDING) {
            record.Levels[level + 1].LowerReturnedPending = true;
        }
    });
}

// ---------------------------------------------------------------------------
// IofCompleteRequest

void BeginCompletion(PIRP irp)
{
    Irps().With(irp, [&](IrpRecord* record) {
        if (record == nullptr) {
            verifier::BugCheck(rule::kMultipleIrpCompleteRequests,
                               "IofCompleteRequest on " + PointerText(irp) +
                                   ", which is no longer an allocated IRP (completed twice?)");
        }
        if (record->Completing || record->CompletedToTop ||
            irp->CurrentLocation > irp->StackCount) {
            verifier::BugCheck(rule::kMultipleIrpCompleteRequests,
                               "IRP " + PointerText(irp) + " completed twice");
        }
        record->Completing = true;
        ++record->Completions;
        ++record->Holds;
    });
}

struct LevelCompletion {
    UCHAR Control;
    PIO_COMPLETION_ROUTINE Routine;
    PVOID Context;
};

bool ShouldInvoke(PIRP irp, const LevelCompletion& level)
{
    const NTSTATUS status = irp->IoStatus.Status;
    return level.Routine != nullptr &&
           ((NT_SUCCESS(status) && (level.Control & SL_INVOKE_ON_SUCCESS) != 0) ||
            (!NT_SUCCESS(status) && (level.Control & SL_INVOKE_ON_ERROR) != 0) ||
            (irp->Cancel && (level.Control & SL_INVOKE_ON_CANCEL) != 0));
}

// Notes that the completion passed the location and clears it, as NT does.
// When the location's routine is to run, the IRP is handed to it: `invoke`
// is set and `completions` is the count the routine starts from.
LevelCompletion PassLocation(PIRP irp, PIO_STACK_LOCATION stack, CHAR level, bool* invoke,
                             unsigned* completions)
{
    return Irps().With(irp, [&](IrpRecord* record) {
        const LevelCompletion passed{stack->Control, stack->CompletionRoutine, stack->Context};
        record->Levels[level].Completed = true;
        record->Levels[level].MarkedPending = (passed.Control & SL_PENDING_RETURNED) != 0;
        stack->Control = 0;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        *invoke = ShouldInvoke(irp, passed);
        if (*invoke) {
            // While its routine runs the IRP belongs to that level's driver.
            record->Completing = false;
            record->InRoutine = true;
            *completions = record->Completions;
        }
        return passed;
    });
}

NTSTATUS CallCompletionRoutine(PIRP irp, const LevelCompletion& level, PDEVICE_OBJECT device,
                               unsigned completions)
{
    const thread_state::Snapshot before = thread_state::Take();
    const NTSTATUS status = level.Routine(device, irp, level.Context);
    verifier::RequireUnchanged(before, "completion routine");
    if (status == STATUS_MORE_PROCESSING_REQUIRED) {
        // The routine took the IRP back: the walk ends, and with it the
        // completion's hold.
        Irps().ReleaseAfter(irp, 1, false, [](IrpRecord& record) {
            record.InRoutine = false;
            record.Completing = false;
        });
        return status;
    }
    Irps().With(irp, [&](IrpRecord* record) {
        record->InRoutine = false;
        if (record->OwnerReleased) {
            verifier::BugCheck(rule::kIoManagerViolation,
                               "a completion routine freed its IRP and returned " +
                                   verifier::Hex(status) +
                                   " instead of STATUS_MORE_PROCESSING_REQUIRED");
        }
        if (record->Completions != completions) {
            verifier::BugCheck(rule::kMultipleIrpCompleteRequests,
                               "a completion routine completed its IRP again and returned " +
                                   verifier::Hex(status));
        }
        record->Completing = true;
    });
    return status;
}

void PropagatePending(PIRP irp)
{
    Irps().With(irp, [&](IrpRecord*) { IoMarkIrpPending(irp); });
}

// True when a completion routine took the IRP back (the completion's hold
// is released then).
bool WalkStack(PIRP irp)
{
    while (irp->CurrentLocation <= irp->StackCount) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        const CHAR level = irp->CurrentLocation;
        IoSkipCurrentIrpStackLocation(irp);
        bool invoke = false;
        unsigned completions = 0;
        const LevelCompletion passed = PassLocation(irp, stack, level, &invoke, &completions);
        irp->PendingReturned = (passed.Control & SL_PENDING_RETURNED) != 0;
        const bool atTop = irp->CurrentLocation > irp->StackCount;
        if (invoke) {
            PDEVICE_OBJECT device =
                atTop ? nullptr : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
            if (CallCompletionRoutine(irp, passed, device, completions) ==
                STATUS_MORE_PROCESSING_REQUIRED) {
                return true;
            }
        } else if (!atTop && irp->PendingReturned) {
            PropagatePending(irp);
        }
    }
    return false;
}

void CompleteAtTop(PIRP irp)
{
    IoRequest* request = Irps().With(irp, [&](IrpRecord* record) {
        record->Completing = false;
        record->CompletedToTop = true;
        return record->Request;
    });
    if (request == nullptr) {
        verifier::BugCheck(rule::kIoManagerViolation,
                           "IRP " + PointerText(irp) +
                               " from IoAllocateIrp completed past its last stack location: its "
                               "completion routine must return STATUS_MORE_PROCESSING_REQUIRED");
    }
    Internals().Io().FinishRequest(irp, *request);
    // The owner's hold and the completion's.
    Irps().ReleaseAfter(irp, 2, true, [](IrpRecord&) {});
}


// ---------------------------------------------------------------------------
// IoFreeIrp

void ReleaseDriverIrp(PIRP irp)
{
    Irps().With(irp, [&](IrpRecord* record) {
        if (record == nullptr || record->OwnerReleased) {
            verifier::BugCheckBadFree("IoFreeIrp", irp, "IRP");
        }
        if (record->Request != nullptr) {
            verifier::BugCheck(rule::kIoManagerViolation,
                               "IoFreeIrp of an IRP the I/O manager built");
        }
        const bool withLowerDriver = irp->CurrentLocation <= irp->StackCount &&
                                     !record->Levels[irp->CurrentLocation].Completed;
        if (!record->InRoutine && (record->Completing || withLowerDriver)) {
            verifier::BugCheck(rule::kIoManagerViolation, "IoFreeIrp of IRP " + PointerText(irp) +
                                                              " while a driver still owns it");
        }
        if (irp->CancelRoutine != nullptr) {
            verifier::BugCheck(rule::kCancelStateInCompletedIrp,
                               "IoFreeIrp of an IRP with a cancel routine set");
        }
    });
    Irps().ReleaseOwner(irp);
}

}  // namespace

std::string MajorFunctionName(UCHAR major)
{
    if (major < RTL_NUMBER_OF(kMajorFunctionNames)) {
        return kMajorFunctionNames[major];
    }
    return "major function " + std::to_string(major);
}

bool IsLevelCompleted(PIRP irp, CHAR level)
{
    return Irps().With(irp, [&](IrpRecord* record) { return record->Levels[level].Completed; });
}

}  // namespace host

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    // Charging the caller's quota allocates as ExAllocatePoolWithQuotaTag
    // does, which cannot run above APC_LEVEL.
    host::verifier::RequireIrqlAtMost(
        ChargeQuota ? APC_LEVEL : DISPATCH_LEVEL,
        ChargeQuota ? "IoAllocateIrp charging quota" : "IoAllocateIrp");
    if (StackSize < 1) {
        host::verifier::BugCheck(host::rule::kIoManagerViolation,
                                 "IoAllocateIrp with stack size " + std::to_string(StackSize));
    }
    if (host::SimulateLowResources("IoAllocateIrp")) {
        return nullptr;
    }
    return host::Irps().Allocate(StackSize, nullptr);
}

VOID NTAPI IoFreeIrp(PIRP Irp)
{
    host::verifier::RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp");
    host::ReleaseDriverIrp(Irp);
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    host::verifier::RequireIrqlAtMost(DISPATCH_LEVEL, "IofCallDriver");
    const CHAR level = host::BeginDispatch(DeviceObject, Irp);
    const UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
    const PDRIVER_DISPATCH routine = host::RoutineFor(DeviceObject, major);

    const host::thread_state::Snapshot before = host::thread_state::Take();
    const NTSTATUS status = routine(DeviceObject, Irp);
    host::RequireDispatchUnchanged(before, major);

    host::EndDispatch(Irp, level, major, status);
    return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    UNREFERENCED_PARAMETER(PriorityBoost);
    host::verifier::RequireIrqlAtMost(DISPATCH_LEVEL, "IofCompleteRequest");
    host::BeginCompletion(Irp);
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        host::verifier::BugCheck(host::rule::kIoManagerViolation,
                                 "IRP completed with status STATUS_PENDING");
    }
    if (Irp->CancelRoutine != nullptr) {
        host::verifier::BugCheck(host::rule::kCancelStateInCompletedIrp,
                                 "IRP completed with its cancel routine still set");
    }
    if (!host::WalkStack(Irp)) {
        host::CompleteAtTop(Irp);
    }
}

}  // extern "C"
