#include "port/port_reconnect.h"

#include "net/connection.h"
#include "net/module_control.h"
#include "port/port_extension.h"
#include "port/port_read.h"

namespace {

constexpr ULONG FIRST_RETRY_DELAY_MS = 500;
constexpr ULONG LONGEST_RETRY_DELAY_MS = 10000;
// Ports of one module that lost it together spread their attempts over up
// to a quarter of the delay, each by its COM number, instead of all
// knocking at the same instant.
constexpr ULONG SPREAD_STEPS = 16;
constexpr ULONG SPREAD_DIVISOR = 4 * SPREAD_STEPS;
constexpr LONGLONG HUNDRED_NS_PER_MS = 10000;

ULONG NextDelay(ULONG Delay)
{
    if (Delay == 0) {
        return FIRST_RETRY_DELAY_MS;
    }
    return Delay >= LONGEST_RETRY_DELAY_MS / 2 ? LONGEST_RETRY_DELAY_MS : Delay * 2;
}

ULONG SpreadOf(const PortExtension* Port, ULONG Delay)
{
    return Delay / SPREAD_DIVISOR * (Port->ComNumber % SPREAD_STEPS);
}

bool Stopped(PortExtension* Port)
{
    return InterlockedCompareExchange(&Port->ReconnectStopped, 0, 0) != 0;
}

// PortLock held. The attempts are over: a close waiting in
// StopReconnecting goes on.
void FinishAttempts(PortExtension* Port)
{
    Port->ReconnectQueued = FALSE;
    KeSetEvent(&Port->ReconnectIdle, IO_NO_INCREMENT, FALSE);
}

// PortLock held; the next attempt's delay is set.
void WaitForNextAttempt(PortExtension* Port)
{
    const ULONG delay = Port->ReconnectDelayMs + SpreadOf(Port, Port->ReconnectDelayMs);
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = -static_cast<LONGLONG>(delay) * HUNDRED_NS_PER_MS;
    KeSetTimer(&Port->ReconnectTimer, dueTime, &Port->ReconnectDpc);
}

VOID NTAPI ReconnectWorker(PDEVICE_OBJECT PortDevice, PVOID Context);

// PortLock held.
void QueueAttempt(PortExtension* Port)
{
    IoQueueWorkItem(Port->ReconnectWork, ReconnectWorker, DelayedWorkQueue, Port);
}

// One attempt, at PASSIVE_LEVEL, serialised with the port's writes: a write
// that reconnected meanwhile leaves nothing to do.
bool TryReconnect(PortExtension* Port)
{
    ConnectionRecord* data = &Port->DataConnection;
    if (IsConnected(data)) {
        // The attempt may be for a receive that could not be posted.
        return NT_SUCCESS(ResumeReceive(Port));
    }
    if (Port->ReconnectDelayMs == 0) {
        if (NT_SUCCESS(Port->ReconnectReason)) {
            DbgPrint("ZelVCOM: COM%u: the module closed the data connection; connecting again\n",
                     static_cast<unsigned>(Port->ComNumber));
        } else {
            DbgPrint(
                "ZelVCOM: COM%u: the data connection was lost (status 0x%08X); connecting "
                "again\n",
                static_cast<unsigned>(Port->ComNumber),
                static_cast<unsigned>(Port->ReconnectReason));
        }
    }
    if (!NT_SUCCESS(Reconnect(data))) {
        return false;
    }
    const NTSTATUS received = ResumeAfterReconnect(Port);
    DbgPrint("ZelVCOM: COM%u: the data connection is back\n",
             static_cast<unsigned>(Port->ComNumber));
    return NT_SUCCESS(received);
}

VOID NTAPI ReconnectWorker(PDEVICE_OBJECT PortDevice, PVOID Context)
{
    UNREFERENCED_PARAMETER(PortDevice);
    auto* port = static_cast<PortExtension*>(Context);
    AcquireWaitLock(&port->WriteLock);
    KIRQL irql;
    KeAcquireSpinLock(&port->PortLock, &irql);
    port->ReconnectAgain = FALSE;  // this attempt answers what came before it
    KeReleaseSpinLock(&port->PortLock, irql);
    const bool done = Stopped(port) || TryReconnect(port);
    port->ReconnectDelayMs = done ? 0 : NextDelay(port->ReconnectDelayMs);
    ReleaseWaitLock(&port->WriteLock);

    KeAcquireSpinLock(&port->PortLock, &irql);
    if (Stopped(port)) {
        FinishAttempts(port);
    } else if (done && port->ReconnectAgain) {
        // The connection this attempt found (or made) was lost meanwhile.
        QueueAttempt(port);
    } else if (done) {
        FinishAttempts(port);
    } else {
        WaitForNextAttempt(port);
    }
    KeReleaseSpinLock(&port->PortLock, irql);
}

VOID NTAPI ReconnectDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                        PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* port = static_cast<PortExtension*>(DeferredContext);
    KIRQL irql;
    KeAcquireSpinLock(&port->PortLock, &irql);
    if (Stopped(port)) {
        FinishAttempts(port);
    } else {
        QueueAttempt(port);
    }
    KeReleaseSpinLock(&port->PortLock, irql);
}

}  // namespace

NTSTATUS InitializeReconnect(PortExtension* Port, PDEVICE_OBJECT PortDevice)
{
    Port->ReconnectWork = IoAllocateWorkItem(PortDevice);
    if (Port->ReconnectWork == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KeInitializeTimer(&Port->ReconnectTimer);
    KeInitializeDpc(&Port->ReconnectDpc, ReconnectDpc, Port);
    KeInitializeEvent(&Port->ReconnectIdle, NotificationEvent, TRUE);
    Port->ReconnectStopped = 1;  // until the port is opened
    return STATUS_SUCCESS;
}

void FreeReconnect(PortExtension* Port)
{
    if (Port->ReconnectWork != nullptr) {
        IoFreeWorkItem(Port->ReconnectWork);
        Port->ReconnectWork = nullptr;
    }
}

void AllowReconnect(PortExtension* Port)
{
    KIRQL irql;
    KeAcquireSpinLock(&Port->PortLock, &irql);
    Port->ReconnectDelayMs = 0;
    Port->ReconnectAgain = FALSE;
    InterlockedExchange(&Port->ReconnectStopped, 0);
    KeReleaseSpinLock(&Port->PortLock, irql);
}

void StopReconnecting(PortExtension* Port)
{
    KIRQL irql;
    KeAcquireSpinLock(&Port->PortLock, &irql);
    InterlockedExchange(&Port->ReconnectStopped, 1);
    // A timer cancelled before it fired runs no DPC: its attempt is over.
    // Otherwise the DPC or the attempt under way sees the stop.
    if (KeCancelTimer(&Port->ReconnectTimer)) {
        FinishAttempts(Port);
    }
    KeReleaseSpinLock(&Port->PortLock, irql);
    KeWaitForSingleObject(&Port->ReconnectIdle, Executive, KernelMode, FALSE, nullptr);
}

void ReconnectInBackground(PortExtension* Port, NTSTATUS Reason)
{
    // A closing port's receive ends here too: it does not wait for PortLock.
    if (Stopped(Port)) {
        return;
    }
    KIRQL irql;
    KeAcquireSpinLock(&Port->PortLock, &irql);
    if (!Stopped(Port) && !Port->ReconnectQueued) {
        Port->ReconnectQueued = TRUE;
        Port->ReconnectReason = Reason;
        KeClearEvent(&Port->ReconnectIdle);
        QueueAttempt(Port);
    } else if (!Stopped(Port)) {
        // An attempt under way may already have passed its look at the
        // connection: it goes round once more when it is done.
        Port->ReconnectAgain = TRUE;
        Port->ReconnectReason = Reason;
    }
    KeReleaseSpinLock(&Port->PortLock, irql);
}

NTSTATUS ResumeReceive(PortExtension* Port)
{
    KIRQL irql;
    KeAcquireSpinLock(&Port->PortLock, &irql);
    const bool unread = Port->DataConnection.UnreadCount != 0;
    KeReleaseSpinLock(&Port->PortLock, irql);
    return unread ? STATUS_SUCCESS : RestartReceive(Port);
}

NTSTATUS ResumeAfterReconnect(PortExtension* Port)
{
    const NTSTATUS status = ResumeReceive(Port);
    SendLineSettings(Port);
    return status;
}
