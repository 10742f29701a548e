#include "tdi_client.h"

#include "../support/deadline.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace hosttest {
namespace {

constexpr ACCESS_MASK kObjectAccess = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;
constexpr ULONG kLoopback = 0x7F000001;

void Check(bool ok, const char* what)
{
    if (!ok) {
        throw std::system_error(errno, std::generic_category(), what);
    }
}

TdiObject OpenWith(const std::vector<std::uint8_t>& ea)
{
    TdiObject object;
    EXPECT_EQ(TdiObject::Open(ea, &object), STATUS_SUCCESS);
    return object;
}

}  // namespace

LARGE_INTEGER RelativeMilliseconds(LONGLONG milliseconds)
{
    LARGE_INTEGER time;
    time.QuadPart = -milliseconds * kUnitsPerMillisecond;
    return time;
}

TA_IP_ADDRESS IpAddress(ULONG address, USHORT port)
{
    TA_IP_ADDRESS ta{};
    ta.TAAddressCount = 1;
    ta.Address[0].AddressLength = TDI_ADDRESS_LENGTH_IP;
    ta.Address[0].AddressType = TDI_ADDRESS_TYPE_IP;
    ta.Address[0].Address[0].sin_port = htons(port);
    ta.Address[0].Address[0].in_addr = htonl(address);
    return ta;
}

std::vector<std::uint8_t> EaBuffer(const std::string& name, const void* value, USHORT valueLength)
{
    const std::size_t header = FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName);
    std::vector<std::uint8_t> buffer(header + name.size() + 1 + valueLength, 0);
    auto* ea = reinterpret_cast<PFILE_FULL_EA_INFORMATION>(buffer.data());
    ea->EaNameLength = static_cast<UCHAR>(name.size());
    ea->EaValueLength = valueLength;
    std::memcpy(ea->EaName, name.data(), name.size());
    std::memcpy(buffer.data() + header + name.size() + 1, value, valueLength);
    return buffer;
}

// ---------------------------------------------------------------------------
// TdiObject

TdiObject::TdiObject(TdiObject&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), file_(std::exchange(other.file_, nullptr))
{
}

TdiObject& TdiObject::operator=(TdiObject&& other) noexcept
{
    if (this != &other) {
        Close();
        handle_ = std::exchange(other.handle_, nullptr);
        file_ = std::exchange(other.file_, nullptr);
    }
    return *this;
}

NTSTATUS TdiObject::Open(const std::vector<std::uint8_t>& ea, TdiObject* object)
{
    NtString name(kTcpDevice);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, name.Get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    IO_STATUS_BLOCK ioStatus{};
    HANDLE handle = nullptr;
    auto* eaBuffer = ea.empty() ? nullptr : const_cast<std::uint8_t*>(ea.data());
    NTSTATUS status =
        ZwCreateFile(&handle, kObjectAccess, &attributes, &ioStatus, nullptr, FILE_ATTRIBUTE_NORMAL,
                     FILE_SHARE_READ, FILE_OPEN_IF, 0, eaBuffer, static_cast<ULONG>(ea.size()));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PVOID file = nullptr;
    status = ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &file, nullptr);
    if (!NT_SUCCESS(status)) {
        ZwClose(handle);
        return status;
    }
    object->Close();
    object->handle_ = handle;
    object->file_ = static_cast<PFILE_OBJECT>(file);
    return status;
}

void TdiObject::Close()
{
    DereferenceOnly();
    CloseHandleOnly();
}

void TdiObject::CloseHandleOnly()
{
    if (handle_ != nullptr) {
        ZwClose(std::exchange(handle_, nullptr));
    }
}

void TdiObject::DereferenceOnly()
{
    if (file_ != nullptr) {
        ObDereferenceObject(std::exchange(file_, nullptr));
    }
}

TdiObject OpenAddress(ULONG address, USHORT port)
{
    const TA_IP_ADDRESS local = IpAddress(address, port);
    return OpenWith(EaBuffer(TdiTransportAddress, &local, sizeof local));
}

TdiObject OpenEndpoint(CONNECTION_CONTEXT context)
{
    return OpenWith(EaBuffer(TdiConnectionContext, &context, sizeof context));
}

TdiObject OpenControlChannel()
{
    return OpenWith({});
}

// ---------------------------------------------------------------------------
// LockedBuffer

LockedBuffer::LockedBuffer(std::size_t size, std::size_t chunks) : data_(size, 0)
{
    const std::size_t chunk = size / chunks;
    for (std::size_t i = 0; i < chunks; ++i) {
        const std::size_t length = i + 1 == chunks ? size - i * chunk : chunk;
        PMDL mdl = IoAllocateMdl(data_.data() + i * chunk, static_cast<ULONG>(length), FALSE, FALSE,
                                 nullptr);
        MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess);
        if (!mdls_.empty()) {
            mdls_.back()->Next = mdl;
        }
        mdls_.push_back(mdl);
    }
}

LockedBuffer::~LockedBuffer()
{
    for (PMDL mdl : mdls_) {
        if (locked_) {
            MmUnlockPages(mdl);
        }
        IoFreeMdl(mdl);
    }
}

void LockedBuffer::Unlock()
{
    for (PMDL mdl : mdls_) {
        MmUnlockPages(mdl);
    }
    locked_ = false;
}

std::string LockedBuffer::Text(std::size_t length) const
{
    return std::string(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(length));
}

void LockedBuffer::Fill(const std::string& text)
{
    std::memcpy(data_.data(), text.data(), text.size());
}

// ---------------------------------------------------------------------------
// TdiRequest

TdiRequest::TdiRequest(const TdiObject& target)
    : file_(target.File()), device_(target.Device()), irp_(IoAllocateIrp(device_->StackSize, FALSE))
{
    KeInitializeEvent(&done_, NotificationEvent, FALSE);
}

TdiRequest::~TdiRequest()
{
    if (called_ && !Completed()) {
        IoCancelIrp(irp_);
        Wait();
    }
    irp_->MdlAddress = nullptr;
    IoFreeIrp(irp_);
}

NTSTATUS NTAPI TdiRequest::Completion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    auto* self = static_cast<TdiRequest*>(context);
    self->completionIrql_ = KeGetCurrentIrql();
    self->completionThread_ = std::this_thread::get_id();
    if (self->counter_ != nullptr) {
        self->completionOrder_ = ++*self->counter_;
    }
    KeSetEvent(&self->done_, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

PIO_STACK_LOCATION TdiRequest::Prepare(UCHAR minor)
{
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp_);
    stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    stack->MinorFunction = minor;
    stack->DeviceObject = device_;
    stack->FileObject = file_;
    IoSetCompletionRoutine(irp_, Completion, this, TRUE, TRUE, TRUE);
    return stack;
}

NTSTATUS TdiRequest::Call()
{
    called_ = true;
    return IoCallDriver(device_, irp_);
}

PIRP TdiRequest::PrepareHandedBackReceive(PMDL mdl, ULONG length)
{
    irp_->MdlAddress = mdl;
    auto* receive =
        reinterpret_cast<PTDI_REQUEST_KERNEL_RECEIVE>(&Prepare(TDI_RECEIVE)->Parameters);
    receive->ReceiveLength = length;
    receive->ReceiveFlags = TDI_RECEIVE_NORMAL;
    called_ = true;
    return irp_;
}

NTSTATUS TdiRequest::Associate(HANDLE address)
{
    auto* associate = reinterpret_cast<PTDI_REQUEST_KERNEL_ASSOCIATE>(
        &Prepare(TDI_ASSOCIATE_ADDRESS)->Parameters);
    associate->AddressHandle = address;
    return Call();
}

NTSTATUS TdiRequest::Disassociate()
{
    Prepare(TDI_DISASSOCIATE_ADDRESS);
    return Call();
}

NTSTATUS TdiRequest::SetEventHandler(LONG eventType, PVOID handler, PVOID context)
{
    auto* event = reinterpret_cast<PTDI_REQUEST_KERNEL_SET_EVENT>(
        &Prepare(TDI_SET_EVENT_HANDLER)->Parameters);
    event->EventType = eventType;
    event->EventHandler = handler;
    event->EventContext = context;
    return Call();
}

NTSTATUS TdiRequest::Connect(USHORT port, const LARGE_INTEGER* timeout, ULONG address)
{
    remote_ = IpAddress(address, port);
    information_ = TDI_CONNECTION_INFORMATION{};
    information_.RemoteAddressLength = sizeof remote_;
    information_.RemoteAddress = &remote_;
    if (timeout != nullptr) {
        timeout_ = *timeout;
    }
    auto* connect =
        reinterpret_cast<PTDI_REQUEST_KERNEL_CONNECT>(&Prepare(TDI_CONNECT)->Parameters);
    connect->RequestConnectionInformation = &information_;
    connect->ReturnConnectionInformation = nullptr;
    connect->RequestSpecific = timeout != nullptr ? &timeout_ : nullptr;
    return Call();
}

NTSTATUS TdiRequest::Disconnect(ULONG flags, const LARGE_INTEGER* timeout)
{
    if (timeout != nullptr) {
        timeout_ = *timeout;
    }
    auto* disconnect =
        reinterpret_cast<PTDI_REQUEST_KERNEL_DISCONNECT>(&Prepare(TDI_DISCONNECT)->Parameters);
    disconnect->RequestFlags = flags;
    disconnect->RequestSpecific = timeout != nullptr ? &timeout_ : nullptr;
    return Call();
}

NTSTATUS TdiRequest::Send(PMDL mdl, ULONG length, ULONG flags)
{
    irp_->MdlAddress = mdl;
    auto* send = reinterpret_cast<PTDI_REQUEST_KERNEL_SEND>(&Prepare(TDI_SEND)->Parameters);
    send->SendLength = length;
    send->SendFlags = flags;
    return Call();
}

NTSTATUS TdiRequest::Receive(PMDL mdl, ULONG length, ULONG flags)
{
    irp_->MdlAddress = mdl;
    auto* receive =
        reinterpret_cast<PTDI_REQUEST_KERNEL_RECEIVE>(&Prepare(TDI_RECEIVE)->Parameters);
    receive->ReceiveLength = length;
    receive->ReceiveFlags = flags;
    return Call();
}

NTSTATUS TdiRequest::Query(PMDL mdl, LONG queryType)
{
    irp_->MdlAddress = mdl;
    auto* query = reinterpret_cast<PTDI_REQUEST_KERNEL_QUERY_INFORMATION>(
        &Prepare(TDI_QUERY_INFORMATION)->Parameters);
    query->QueryType = queryType;
    query->RequestConnectionInformation = nullptr;
    return Call();
}

NTSTATUS TdiRequest::Minor(UCHAR minor)
{
    Prepare(minor);
    return Call();
}

NTSTATUS TdiRequest::Wait()
{
    if (WaitSafely(&done_) != STATUS_SUCCESS) {
        ADD_FAILURE() << "TDI request did not complete";
        return STATUS_TIMEOUT;
    }
    return irp_->IoStatus.Status;
}

bool TdiRequest::Completed()
{
    LARGE_INTEGER now{};
    return KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, &now) == STATUS_SUCCESS;
}

BOOLEAN TdiRequest::Cancel()
{
    return IoCancelIrp(irp_);
}

// ---------------------------------------------------------------------------
// TdiEvents

TdiEvents::TdiEvents()
{
    KeInitializeEvent(&disconnected_, NotificationEvent, FALSE);
    KeInitializeEvent(&received_, NotificationEvent, FALSE);
}

NTSTATUS TdiEvents::Register(const TdiObject& address)
{
    TdiRequest disconnect(address);
    disconnect.SetEventHandler(TDI_EVENT_DISCONNECT, reinterpret_cast<PVOID>(&OnDisconnect), this);
    const NTSTATUS status = disconnect.Wait();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    TdiRequest receive(address);
    receive.SetEventHandler(TDI_EVENT_RECEIVE, reinterpret_cast<PVOID>(&OnReceive), this);
    return receive.Wait();
}

void TdiEvents::HandBack(TdiRequest* request, PMDL mdl, ULONG length)
{
    request->PrepareHandedBackReceive(mdl, length);
    handBack_ = request;
}

std::vector<TdiEvents::Disconnect> TdiEvents::Disconnects()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return disconnects_;
}

std::vector<TdiEvents::Receive> TdiEvents::Receives()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return receives_;
}

NTSTATUS NTAPI TdiEvents::OnDisconnect(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
                                       LONG DisconnectDataLength, PVOID DisconnectData,
                                       LONG DisconnectInformationLength,
                                       PVOID DisconnectInformation, ULONG DisconnectFlags)
{
    UNREFERENCED_PARAMETER(DisconnectDataLength);
    UNREFERENCED_PARAMETER(DisconnectData);
    UNREFERENCED_PARAMETER(DisconnectInformationLength);
    UNREFERENCED_PARAMETER(DisconnectInformation);
    auto* self = static_cast<TdiEvents*>(TdiEventContext);
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        const int order = self->counter_ != nullptr ? ++*self->counter_ : 0;
        self->disconnects_.push_back(Disconnect{ConnectionContext, DisconnectFlags,
                                                KeGetCurrentIrql(), std::this_thread::get_id(),
                                                order});
    }
    KeSetEvent(&self->disconnected_, IO_NO_INCREMENT, FALSE);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI TdiEvents::OnReceive(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
                                    ULONG ReceiveFlags, ULONG BytesIndicated, ULONG BytesAvailable,
                                    ULONG* BytesTaken, PVOID Tsdu, PIRP* IoRequestPacket)
{
    auto* self = static_cast<TdiEvents*>(TdiEventContext);
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        const char* data = static_cast<const char*>(Tsdu);
        self->receives_.push_back(Receive{ConnectionContext, ReceiveFlags, BytesIndicated,
                                          BytesAvailable, std::string(data, data + BytesIndicated),
                                          KeGetCurrentIrql(), std::this_thread::get_id()});
        if (self->leaveTakenUnset_) {
            return STATUS_SUCCESS;
        }
        *BytesTaken = std::min(self->take_, BytesIndicated);
        if (self->handBack_ != nullptr) {
            *IoRequestPacket = std::exchange(self->handBack_, nullptr)->Irp();
            status = STATUS_MORE_PROCESSING_REQUIRED;
        } else if (*BytesTaken == 0) {
            status = STATUS_DATA_NOT_ACCEPTED;
        }
    }
    KeSetEvent(&self->received_, IO_NO_INCREMENT, FALSE);
    return status;
}

// ---------------------------------------------------------------------------
// Peers

Listener::Listener(int backlog, int receiveBuffer)
{
    if (receiveBuffer != 0) {
        LimitReceiveBuffer(receiveBuffer);
    }
    Listen(backlog);
}

zel::UniqueFd Listener::Accept()
{
    zel::UniqueFd connection = ClosedPort::Accept();
    if (!connection.Valid()) {
        ADD_FAILURE() << "no connection to accept";
    }
    return connection;
}

FullListener::FullListener() : listener_(0)
{
    // One queued connection fills a queue of backlog 0. It is in the queue
    // once the listener is readable.
    zel::UniqueFd client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(kLoopback);
    address.sin_port = htons(listener_.Port());
    Check(connect(client.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0,
          "connect");
    clients_.push_back(std::move(client));
    const zel::test::Deadline deadline;
    pollfd wait{listener_.Fd(), POLLIN, 0};
    Check(poll(&wait, 1, deadline.PollMs()) == 1, "poll");
}

bool FullListener::Full() const
{
    tcp_info info{};
    socklen_t size = sizeof info;
    Check(getsockopt(listener_.Fd(), IPPROTO_TCP, TCP_INFO, &info, &size) == 0, "getsockopt");
    // For a listener: the accept queue's length and its limit.
    return info.tcpi_unacked > info.tcpi_sacked;
}

}  // namespace hosttest
