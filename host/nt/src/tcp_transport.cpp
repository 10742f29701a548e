#include "tcp_transport.h"

#include "device_table.h"
#include "io_ea_list.h"
#include "kernel_impl.h"
#include "loaded_driver.h"
#include "nt_time.h"
#include "tcp_address.h"
#include "tcp_requests.h"
#include "worker.h"

#include <cstring>
#include <stdexcept>

namespace host {
namespace {

constexpr char16_t kDriverName[] = u"\\Driver\\Tcpip";
constexpr char16_t kDeviceName[] = u"\\Device\\Tcp";

void InstallDispatch(DRIVER_OBJECT& driver)
{
    for (PDRIVER_DISPATCH& routine : driver.MajorFunction) {
        routine = InvalidDeviceRequest;
    }
    driver.MajorFunction[IRP_MJ_CREATE] = TcpDispatchCreate;
    driver.MajorFunction[IRP_MJ_CLEANUP] = TcpDispatchCleanup;
    driver.MajorFunction[IRP_MJ_CLOSE] = TcpDispatchClose;
    driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = TcpDispatchInternalControl;
}

}  // namespace

TcpTransport& Tcp()
{
    return Internals().Tcp();
}

TcpTransport::TcpTransport(DeviceTable& devices, Worker& worker)
    : devices_(devices),
      worker_(worker),
      driverName_(kDriverName),
      startTime_(nt_time::SystemTimeNow())
{
    driver_.Type = IO_TYPE_DRIVER;
    driver_.Size = sizeof(DRIVER_OBJECT);
    SetString(&driver_.DriverName, driverName_);
    InstallDispatch(driver_);
    CreateDevice();
}

TcpTransport::~TcpTransport()
{
    reactor_.Stop();
    worker_.WaitUntilIdle();
    devices_.Delete(device_);
}

void TcpTransport::CreateDevice()
{
    std::u16string name(kDeviceName);
    UNICODE_STRING deviceName;
    SetString(&deviceName, name);
    if (devices_.Create(&driver_, 0, &deviceName, FILE_DEVICE_NETWORK, FILE_DEVICE_SECURE_OPEN,
                        FALSE, &device_) != STATUS_SUCCESS) {
        throw std::runtime_error("cannot create \\Device\\Tcp");
    }
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
}

void TransportFiles::Add(PFILE_OBJECT file, TransportFile object)
{
    file->FsContext = object.Endpoint != nullptr ? static_cast<PVOID>(object.Endpoint.get())
                                                 : static_cast<PVOID>(object.Address.get());
    file->FsContext2 = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(object.Kind));
    std::lock_guard<std::mutex> lock(mutex_);
    files_[file] = std::move(object);
}

std::optional<TransportFile> TransportFiles::Find(PFILE_OBJECT file) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(file);
    if (it == files_.end()) {
        return std::nullopt;
    }
    return it->second;
}

void TransportFiles::Close(PFILE_OBJECT file)
{
    TransportFile object;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = files_.find(file);
        if (it == files_.end()) {
            return;
        }
        object = std::move(it->second);
        files_.erase(it);
    }
    if (object.Endpoint != nullptr) {
        object.Endpoint->Close();
    }
    if (object.Address != nullptr) {
        object.Address->Close();
    }
}

// The transport's file objects come and go: IRP_MJ_CREATE opens an address
// object ("TransportAddress" EA), a connection endpoint
// ("ConnectionContext" EA) or a control channel (no EA); the cleanup of an
// address object stops its event handlers; the close frees the object.
namespace {

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
    return CompleteIrp(Irp, status);
}

NTSTATUS NTAPI TcpDispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    const std::optional<TransportFile> file =
        Tcp().Files().Find(IoGetCurrentIrpStackLocation(Irp)->FileObject);
    if (file && file->Address != nullptr) {
        file->Address->Close();
    }
    return CompleteIrp(Irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI TcpDispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    Tcp().Files().Close(IoGetCurrentIrpStackLocation(Irp)->FileObject);
    return CompleteIrp(Irp, STATUS_SUCCESS);
}

}  // namespace host
