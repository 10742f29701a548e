#include "net/control_receive.h"

#include "core/module_extension.h"
#include "net/connection.h"
#include "net/control_report.h"
#include "port/cts_report.h"
#include "port/port_extension.h"

namespace {

// A report for a channel without a port device is ignored.
void ApplyCtsReport(PVOID Context, const CtsReport& Report)
{
    auto* module = static_cast<ModuleExtension*>(Context);
    if (Report.ChannelIndex < 0 || Report.ChannelIndex >= static_cast<LONG>(MODULE_CHANNEL_COUNT)) {
        return;
    }
    PDEVICE_OBJECT portDevice = module->PortDevices[Report.ChannelIndex];
    if (portDevice != nullptr) {
        ReportCtsChange(PortExtensionOf(portDevice), Report.On);
    }
}

}  // namespace

VOID ControlReceiveComplete(PVOID Context, PIO_STATUS_BLOCK StatusBlock, ULONG_PTR Extra)
{
    UNREFERENCED_PARAMETER(Extra);
    auto* module = static_cast<ModuleExtension*>(Context);
    ConnectionRecord* control = &module->ControlConnection;
    // The status block is the one the next receive reuses.
    const NTSTATUS status = StatusBlock->Status;
    const ULONG received = static_cast<ULONG>(StatusBlock->Information);

    if (IsConnected(control) && NT_SUCCESS(status) && received != 0) {
        // The buffer has a byte beyond the longest receive for this.
        control->ReceiveBuffer[received] = '\0';
        ScanReports(&module->Reports, control->ReceiveBuffer, received, ApplyCtsReport, module);
        control->LastReceived = received;
        PostReceive(control, ControlReceiveComplete, module);
    }
    KeSetEvent(&module->ReplyEvent, IO_NO_INCREMENT, FALSE);
}
