// Kernel timers and DPCs, served by the timer thread.
#include "dispatcher.h"
#include "kernel_impl.h"
#include "nt_time.h"
#include "timer_queue.h"
#include "verifier.h"
#include "verifier_rules.h"

namespace {

constexpr UCHAR kTimerSizeInLongs = sizeof(KTIMER) / sizeof(LONG);
constexpr UCHAR kDpcObject = 19;  // NT's DpcObject type

host::TimerQueue& Timers()
{
    return host::Internals().Timers();
}

}  // namespace

extern "C" {

VOID NTAPI KeInitializeTimer(PKTIMER Timer)
{
    if (Timers().IsTimerQueued(Timer)) {
        host::verifier::BugCheck(host::rule::kTimerOrDpcInvalid,
                                 "KeInitializeTimer on a queued timer");
    }
    host::Internals().Dispatch().Initialize(&Timer->Header, host::kTimerNotificationObject, 0,
                                            kTimerSizeInLongs);
    Timer->DueTime.QuadPart = 0;
    InitializeListHead(&Timer->TimerListEntry);
    Timer->Dpc = nullptr;
    Timer->Processor = 0;
    Timer->Period = 0;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc)
{
    host::verifier::RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetTimer");
    return Timers().SetTimer(Timer, host::nt_time::DueTime(DueTime.QuadPart), Dpc);
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer)
{
    host::verifier::RequireIrqlAtMost(DISPATCH_LEVEL, "KeCancelTimer");
    return Timers().CancelTimer(Timer);
}

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    if (Timers().IsDpcQueued(Dpc)) {
        host::verifier::BugCheck(host::rule::kTimerOrDpcInvalid, "KeInitializeDpc on a queued DPC");
    }
    Dpc->Type = kDpcObject;
    Dpc->Importance = MediumImportance;
    Dpc->Number = 0;
    InitializeListHead(&Dpc->DpcListEntry);
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = nullptr;
    Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

VOID NTAPI KeFlushQueuedDpcs(VOID)
{
    host::verifier::RequireIrqlAtMost(PASSIVE_LEVEL, "KeFlushQueuedDpcs");
    Timers().FlushQueuedDpcs();
}

}  // extern "C"
