#include "net/provider_info.h"

#include "net/locked_buffer.h"
#include "net/transport_file.h"
#include "net/transport_request.h"

#include <tdikrnl.h>

namespace {

// A control channel is opened without SYNCHRONIZE and without an EA buffer.
constexpr ACCESS_MASK CONTROL_CHANNEL_ACCESS = GENERIC_READ | GENERIC_WRITE;

NTSTATUS QueryThroughChannel(PFILE_OBJECT Channel, TDI_PROVIDER_INFO* Info)
{
    PDEVICE_OBJECT transport = IoGetRelatedDeviceObject(Channel);
    PIRP irp = IoAllocateIrp(transport->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PMDL mdl = LockBuffer(Info, sizeof(*Info));
    if (mdl == nullptr) {
        FreeTransportIrp(irp);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->MdlAddress = mdl;
    PIO_STACK_LOCATION stack = PrepareTransportRequest(irp, TDI_QUERY_INFORMATION, Channel);
    auto* parameters = TransportParameters<TDI_REQUEST_KERNEL_QUERY_INFORMATION>(stack);
    parameters->QueryType = TDI_QUERY_PROVIDER_INFO;
    parameters->RequestConnectionInformation = nullptr;
    NTSTATUS status = CallTransportAndWait(transport, irp);

    UnlockBuffer(mdl);
    FreeTransportIrp(irp);
    return status;
}

}  // namespace

NTSTATUS QueryProviderInfo(PCWSTR DeviceName, TDI_PROVIDER_INFO* Info)
{
    HANDLE handle = nullptr;
    NTSTATUS status = CreateTransportHandle(DeviceName, CONTROL_CHANNEL_ACCESS, nullptr, 0, &handle);
    if (!NT_SUCCESS(status)) {
        DbgPrint("Unable To Open TDI Control Channel\n");
        return status;
    }
    PFILE_OBJECT channel = nullptr;
    status = ReferenceTransportFile(&handle, &channel);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = QueryThroughChannel(channel, Info);
    CloseTransportFile(&handle, &channel);
    return status;
}
