// The cancel spin lock and IoCancelIrp. The cancel routine is called with
// the lock held and releases it with IoReleaseCancelSpinLock(Irp->CancelIrql).
#include "irp_engine.h"
#include "irp_table.h"
#include "kernel_impl.h"
#include "thread_state.h"
#include "verifier.h"
#include "verifier_rules.h"

#include <cstdio>

namespace host {
namespace {

using host::verifier::PointerText;

BOOLEAN CancelHeldIrp(PIRP irp)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    irp->Cancel = TRUE;
    const PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    if (irp->CurrentLocation > irp->StackCount) {
        verifier::BugCheck(
            rule::kIoManagerViolation,
            "cancel routine set on IRP " + PointerText(irp) + ", which no driver holds");
    }
    irp->CancelIrql = irql;
    const thread_state::Snapshot before = thread_state::Take();
    routine(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp);
    if (thread_state::HoldsLock(Internals().CancelSpinLock())) {
        verifier::BugCheck(rule::kVerifierViolation,
                           "cancel routine returned without releasing the cancel spin lock");
    }
    if (thread_state::Irql() != irql || thread_state::HeldLockCount() + 1 != before.HeldLocks) {
        verifier::BugCheck(rule::kIrqlUnexpectedValue, "cancel routine returned at IRQL " +
                                                           std::to_string(thread_state::Irql()) +
                                                           " instead of Irp->CancelIrql " +
                                                           std::to_string(irql));
    }
    return TRUE;
}

}  // namespace

void CancelRequestIrp(PIRP irp, const IoRequest* request)
{
    const thread_state::DriverScope inDriver;
    const bool inFlight = Internals().Irps().With(irp, [&](IrpRecord* record) {
        if (record == nullptr || record->Request != request || record->CompletedToTop) {
            return false;
        }
        ++record->Holds;
        return true;
    });
    if (inFlight) {
        CancelHeldIrp(irp);
        Internals().Irps().Release(irp);
    }
}

}  // namespace host

extern "C" {

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql)
{
    KeAcquireSpinLock(host::Internals().CancelSpinLock(), Irql);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql)
{
    KeReleaseSpinLock(host::Internals().CancelSpinLock(), Irql);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp)
{
    host::verifier::RequireIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
    host::Internals().Irps().With(Irp, [&](host::IrpRecord* record) {
        if (record == nullptr || record->CompletedToTop) {
            host::verifier::BugCheck(
                host::rule::kCancelStateInCompletedIrp,
                "IoCancelIrp on IRP " + host::PointerText(Irp) + ", which has already completed");
        }
        ++record->Holds;
    });
    const BOOLEAN cancelled = host::CancelHeldIrp(Irp);
    host::Internals().Irps().Release(Irp);
    return cancelled;
}

}  // extern "C"
