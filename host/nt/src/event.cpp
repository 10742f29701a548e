// Events and waits.
#include "dispatcher.h"
#include "kernel_impl.h"
#include "nt_time.h"
#include "verifier.h"

#include <thread>

namespace {

constexpr UCHAR kEventSizeInLongs = sizeof(KEVENT) / sizeof(LONG);

host::Dispatcher& Objects()
{
    return host::Internals().Dispatch();
}

bool IsZero(const LARGE_INTEGER* timeout)
{
    return timeout != nullptr && timeout->QuadPart == 0;
}

}  // namespace

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    const auto type = Type == SynchronizationEvent ? host::kEventSynchronizationObject
                                                   : host::kEventNotificationObject;
    Objects().Initialize(&Event->Header, type, State ? 1 : 0, kEventSizeInLongs);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    // Wait = TRUE returns with IRQL raised until the wait that must follow,
    // which only a thread that may wait can do.
    UNREFERENCED_PARAMETER(Increment);
    host::verifier::RequireIrqlAtMost(Wait ? APC_LEVEL : DISPATCH_LEVEL,
                                      Wait ? "KeSetEvent with Wait TRUE" : "KeSetEvent");
    return Objects().Signal(&Event->Header);
}

VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    host::verifier::RequireIrqlAtMost(DISPATCH_LEVEL, "KeClearEvent");
    Objects().Reset(&Event->Header);
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout)
{
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    // Only a zero timeout (a poll) may be used at DISPATCH_LEVEL.
    host::verifier::RequireIrqlAtMost(IsZero(Timeout) ? DISPATCH_LEVEL : APC_LEVEL,
                                      "KeWaitForSingleObject");
    return Objects().Wait(static_cast<PDISPATCHER_HEADER>(Object),
                          host::nt_time::Deadline(Timeout));
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                      PLARGE_INTEGER Interval)
{
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    host::verifier::RequireIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread");
    std::this_thread::sleep_until(host::nt_time::DueTime(Interval->QuadPart));
    return STATUS_SUCCESS;
}

}  // extern "C"
