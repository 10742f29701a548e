// The transport's objects come and go: IRP_MJ_CREATE opens an address
// object ("TransportAddress" EA), a connection endpoint
// ("ConnectionContext" EA) or a control channel (no EA); the cleanup of an
// address object stops its event handlers; the close frees the object.
#include "io_ea_list.h"
#include "kernel_impl.h"
#include "tcp_actions.h"
#include "tcp_transport.h"
#include "tdi_address.h"

#include <cstring>

namespace host {
namespace {

TcpTransport& Tcp() { return Internals().Tcp(); }

NTSTATUS Done(PIRP irp, NTSTATUS status)
{
    CompleteIrp(irp, status, 0);
    return status;
}

NTSTATUS NewAddress(const ea::Value& value, TransportFile* object)
{
    const std::optional<sockaddr_in> local = tdi::FirstIpAddress(value.Data, value.Length);
    if (!local) {
        return STATUS_INVALID_ADDRESS_COMPONENT;
    }
    object->Kind = TDI_TRANSPORT_ADDRESS_FILE;
    object->Address = std::make_shared<TcpAddress>(*local);
    return STATUS_SUCCESS;
}

// The value is the client's context itself, pointer-sized.
NTSTATUS NewEndpoint(const ea::Value& value, TransportFile* object)
{
    CONNECTION_CONTEXT context = nullptr;
    if (value.Length < sizeof context) {
        return STATUS_INVALID_PARAMETER;
    }
    std::memcpy(&context, value.Data, sizeof context);
    object->Kind = TDI_CONNECTION_FILE;
    object->Endpoint = std::make_shared<TcpEndpoint>(Tcp().Events(), Tcp().Device(), context);
    object->Endpoint->Start();
    return STATUS_SUCCESS;
}

NTSTATUS NewObject(const void* ea, ULONG length, TransportFile* object)
{
    if (ea == nullptr || length == 0) {
        object->Kind = TDI_CONTROL_CHANNEL_FILE;
        return STATUS_SUCCESS;
    }
    if (std::optional<ea::Value> value = ea::Find(ea, length, TdiTransportAddress)) {
        return NewAddress(*value, object);
    }
    if (std::optional<ea::Value> value = ea::Find(ea, length, TdiConnectionContext)) {
        return NewEndpoint(*value, object);
    }
    return STATUS_INVALID_EA_NAME;
}

}  // namespace

NTSTATUS NTAPI TcpDispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    TransportFile object;
    const NTSTATUS status =
        NewObject(Irp->AssociatedIrp.SystemBuffer, stack->Parameters.Create.EaLength, &object);
    if (NT_SUCCESS(status)) {
        Tcp().Files().Add(stack->FileObject, std::move(object));
    }
    return Done(Irp, status);
}

NTSTATUS NTAPI TcpDispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    const std::optional<TransportFile> file = Tcp().Files().Find(IoGetCurrentIrpStackLocation(Irp)->FileObject);
    if (file && file->Address != nullptr) {
        file->Address->Close();
    }
    return Done(Irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI TcpDispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    const std::optional<TransportFile> file = Tcp().Files().Remove(IoGetCurrentIrpStackLocation(Irp)->FileObject);
    if (file && file->Endpoint != nullptr) {
        file->Endpoint->Close();
    }
    if (file && file->Address != nullptr) {
        file->Address->Close();
    }
    return Done(Irp, STATUS_SUCCESS);
}

}  // namespace host
