#include "port/cts_report.h"

#include "port/port_extension.h"
#include "port/serial_codes.h"
#include "port/serial_wait.h"

void ReportCtsChange(PortExtension* Port, BOOLEAN On)
{
    PIRP wait = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&Port->PortLock, &irql);
    if (On) {
        Port->ModemStatus |= SERIAL_MSR_CTS;
    } else {
        Port->ModemStatus &= ~static_cast<ULONG>(SERIAL_MSR_CTS);
    }
    if ((Port->WaitMask & SERIAL_EV_CTS) != 0) {
        Port->WaitEvents = SERIAL_EV_CTS;
        wait = TakePendingWait(Port);
    }
    KeReleaseSpinLock(&Port->PortLock, irql);
    if (wait != nullptr) {
        CompleteWait(wait, SERIAL_EV_CTS);
    }
}
