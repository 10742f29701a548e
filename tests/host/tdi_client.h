// A TCP transport client for the tests, built the way a driver builds one
// (ZwCreateFile with an EA buffer, ObReferenceObjectByHandle, IoAllocateIrp,
// the next stack location filled by hand, a completion routine returning
// STATUS_MORE_PROCESSING_REQUIRED, IoCallDriver to IoGetRelatedDeviceObject),
// loopback peers, and a fixture with an address object, an associated
// endpoint and the test's event handlers.
#pragma once

#include "host_test_driver.h"

#include <tdikrnl.h>

#include "../support/loopback.h"
#include <host/common/unique_fd.h>

#include <netinet/tcp.h>

#include <algorithm>
#include <memory>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace hosttest {

constexpr const char* kTcpDevice = "\\Device\\Tcp";

inline LARGE_INTEGER RelativeMilliseconds(LONGLONG milliseconds)
{
    constexpr LONGLONG kUnitsPerMillisecond = 10000;
    LARGE_INTEGER time;
    time.QuadPart = -milliseconds * kUnitsPerMillisecond;
    return time;
}

// One IPv4 TRANSPORT_ADDRESS; address and port in host byte order.
inline TA_IP_ADDRESS IpAddress(ULONG address, USHORT port)
{
    TA_IP_ADDRESS ta{};
    ta.TAAddressCount = 1;
    ta.Address[0].AddressLength = TDI_ADDRESS_LENGTH_IP;
    ta.Address[0].AddressType = TDI_ADDRESS_TYPE_IP;
    ta.Address[0].Address[0].sin_port = htons(port);
    ta.Address[0].Address[0].in_addr = htonl(address);
    return ta;
}

// One FILE_FULL_EA_INFORMATION entry.
inline std::vector<std::uint8_t> EaBuffer(const std::string& name, const void* value,
                                          USHORT valueLength)
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

// A transport object as a driver holds it: a kernel handle and a referenced
// file object. Close dereferences, then closes the handle.
class TdiObject {
public:
    TdiObject() = default;
    TdiObject(TdiObject&& other) noexcept { *this = std::move(other); }
    TdiObject& operator=(TdiObject&& other) noexcept
    {
        Close();
        handle_ = std::exchange(other.handle_, nullptr);
        file_ = std::exchange(other.file_, nullptr);
        return *this;
    }
    ~TdiObject() { Close(); }

    // ZwCreateFile on \Device\Tcp with the EA (none when empty), then the
    // reference; the status of whichever failed.
    static NTSTATUS Open(const std::vector<std::uint8_t>& ea, TdiObject* object)
    {
        NtString name(kTcpDevice);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, name.Get(),
                                   OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        IO_STATUS_BLOCK ioStatus{};
        HANDLE handle = nullptr;
        NTSTATUS status = ZwCreateFile(
            &handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &ioStatus, nullptr,
            FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN_IF, 0,
            ea.empty() ? nullptr : const_cast<std::uint8_t*>(ea.data()),
            static_cast<ULONG>(ea.size()));
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

    HANDLE Handle() const { return handle_; }
    PFILE_OBJECT File() const { return file_; }
    PDEVICE_OBJECT Device() const { return IoGetRelatedDeviceObject(file_); }

    void Close()
    {
        DereferenceOnly();
        CloseHandleOnly();
    }
    void CloseHandleOnly()
    {
        if (handle_ != nullptr) {
            ZwClose(std::exchange(handle_, nullptr));
        }
    }
    void DereferenceOnly()
    {
        if (file_ != nullptr) {
            ObDereferenceObject(std::exchange(file_, nullptr));
        }
    }

private:
    HANDLE handle_ = nullptr;
    PFILE_OBJECT file_ = nullptr;
};

inline TdiObject OpenWith(const std::vector<std::uint8_t>& ea)
{
    TdiObject object;
    EXPECT_EQ(TdiObject::Open(ea, &object), STATUS_SUCCESS);
    return object;
}

inline TdiObject OpenAddress()
{
    const TA_IP_ADDRESS any = IpAddress(0, 0);
    return OpenWith(EaBuffer(TdiTransportAddress, &any, sizeof any));
}

inline TdiObject OpenEndpoint(CONNECTION_CONTEXT context)
{
    return OpenWith(EaBuffer(TdiConnectionContext, &context, sizeof context));
}

// Memory with MDLs over it, locked as a driver locks its buffers: one MDL
// per chunk, linked into a chain.
class LockedBuffer {
public:
    explicit LockedBuffer(std::size_t size, std::size_t chunks = 1) : data_(size, 0)
    {
        const std::size_t chunk = size / chunks;
        for (std::size_t i = 0; i < chunks; ++i) {
            const std::size_t length = i + 1 == chunks ? size - i * chunk : chunk;
            PMDL mdl = IoAllocateMdl(data_.data() + i * chunk, static_cast<ULONG>(length), FALSE,
                                     FALSE, nullptr);
            MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess);
            if (!mdls_.empty()) {
                mdls_.back()->Next = mdl;
            }
            mdls_.push_back(mdl);
        }
    }
    explicit LockedBuffer(const std::string& text, std::size_t chunks = 1)
        : LockedBuffer(text.size(), chunks)
    {
        std::memcpy(data_.data(), text.data(), text.size());
    }
    LockedBuffer(const LockedBuffer&) = delete;
    LockedBuffer& operator=(const LockedBuffer&) = delete;
    ~LockedBuffer()
    {
        for (PMDL mdl : mdls_) {
            if (locked_) {
                MmUnlockPages(mdl);
            }
            IoFreeMdl(mdl);
        }
    }

    PMDL Mdl() const { return mdls_.front(); }
    ULONG Size() const { return static_cast<ULONG>(data_.size()); }
    std::string Text(std::size_t length) const { return std::string(data_.data(), data_.data() + length); }
    void Unlock()
    {
        for (PMDL mdl : mdls_) {
            MmUnlockPages(mdl);
        }
        locked_ = false;
    }

private:
    std::vector<char> data_;
    std::vector<PMDL> mdls_;
    bool locked_ = true;
};

// One TDI request on one IRP. Each starter returns what IoCallDriver
// returned; Wait() gives the final status.
class TdiRequest {
public:
    explicit TdiRequest(const TdiObject& target)
        : file_(target.File()), device_(target.Device()),
          irp_(IoAllocateIrp(device_->StackSize, FALSE))
    {
        KeInitializeEvent(&done_, NotificationEvent, FALSE);
    }
    TdiRequest(const TdiRequest&) = delete;
    TdiRequest& operator=(const TdiRequest&) = delete;
    // Cancels and waits if the request is still pending, then frees the IRP.
    ~TdiRequest()
    {
        if (called_ && !Completed()) {
            IoCancelIrp(irp_);
            Wait();
        }
        irp_->MdlAddress = nullptr;
        IoFreeIrp(irp_);
    }

    NTSTATUS Associate(HANDLE address)
    {
        Parameters<TDI_REQUEST_KERNEL_ASSOCIATE>(TDI_ASSOCIATE_ADDRESS)->AddressHandle = address;
        return Call();
    }
    NTSTATUS SetEventHandler(LONG eventType, PVOID handler, PVOID context)
    {
        *Parameters<TDI_REQUEST_KERNEL_SET_EVENT>(TDI_SET_EVENT_HANDLER) = {eventType, handler,
                                                                            context};
        return Call();
    }
    // To 127.0.0.1 unless told otherwise; no timeout when `timeout` is null.
    NTSTATUS Connect(USHORT port, const LARGE_INTEGER* timeout = nullptr,
                     ULONG address = INADDR_LOOPBACK)
    {
        remote_ = IpAddress(address, port);
        information_ = TDI_CONNECTION_INFORMATION{};
        information_.RemoteAddressLength = sizeof remote_;
        information_.RemoteAddress = &remote_;
        auto* connect = Parameters<TDI_REQUEST_KERNEL_CONNECT>(TDI_CONNECT);
        connect->RequestConnectionInformation = &information_;
        connect->RequestSpecific = Timeout(timeout);
        return Call();
    }
    NTSTATUS Disconnect(ULONG flags, const LARGE_INTEGER* timeout = nullptr)
    {
        auto* disconnect = Parameters<TDI_REQUEST_KERNEL_DISCONNECT>(TDI_DISCONNECT);
        disconnect->RequestFlags = flags;
        disconnect->RequestSpecific = Timeout(timeout);
        return Call();
    }
    NTSTATUS Send(const LockedBuffer& buffer, ULONG length, ULONG flags = 0)
    {
        irp_->MdlAddress = buffer.Mdl();
        *Parameters<TDI_REQUEST_KERNEL_SEND>(TDI_SEND) = {length, flags};
        return Call();
    }
    NTSTATUS Send(const LockedBuffer& buffer) { return Send(buffer, buffer.Size()); }
    NTSTATUS Receive(const LockedBuffer& buffer, ULONG length, ULONG flags = TDI_RECEIVE_NORMAL)
    {
        PrepareReceive(buffer, length, flags);
        return Call();
    }
    NTSTATUS Receive(const LockedBuffer& buffer) { return Receive(buffer, buffer.Size()); }
    // A receive a receive event handler hands back: prepared, and sent on
    // by the transport rather than by the caller.
    PIRP PrepareReceive(const LockedBuffer& buffer, ULONG length, ULONG flags = TDI_RECEIVE_NORMAL)
    {
        irp_->MdlAddress = buffer.Mdl();
        *Parameters<TDI_REQUEST_KERNEL_RECEIVE>(TDI_RECEIVE) = {length, flags};
        called_ = true;
        return irp_;
    }
    NTSTATUS Query(const LockedBuffer& buffer, LONG queryType)
    {
        irp_->MdlAddress = buffer.Mdl();
        Parameters<TDI_REQUEST_KERNEL_QUERY_INFORMATION>(TDI_QUERY_INFORMATION)->QueryType =
            queryType;
        return Call();
    }
    NTSTATUS Minor(UCHAR minor)
    {
        Parameters<TDI_REQUEST_KERNEL>(minor);
        return Call();
    }

    NTSTATUS Wait()
    {
        if (WaitSafely(&done_) != STATUS_SUCCESS) {
            ADD_FAILURE() << "TDI request did not complete";
            return STATUS_TIMEOUT;
        }
        return irp_->IoStatus.Status;
    }
    bool Completed()
    {
        LARGE_INTEGER now{};
        return KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, &now) == STATUS_SUCCESS;
    }
    BOOLEAN Cancel() { return IoCancelIrp(irp_); }
    ULONG_PTR Information() const { return irp_->IoStatus.Information; }

    // Where the completion routine ran, and its place among the events the
    // counter orders.
    KIRQL CompletionIrql() const { return completionIrql_; }
    std::thread::id CompletionThread() const { return completionThread_; }
    void OrderWith(std::atomic<int>* counter) { counter_ = counter; }
    int CompletionOrder() const { return completionOrder_; }

private:
    static NTSTATUS NTAPI Completion(PDEVICE_OBJECT, PIRP, PVOID context)
    {
        auto* self = static_cast<TdiRequest*>(context);
        self->completionIrql_ = KeGetCurrentIrql();
        self->completionThread_ = std::this_thread::get_id();
        if (self->counter_ != nullptr) {
            self->completionOrder_ = ++*self->counter_;
        }
        KeSetEvent(&self->done_, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    // Fills the next stack location for `minor`, sets the completion
    // routine, and gives the request's parameters, zeroed.
    template <typename Request>
    Request* Parameters(UCHAR minor)
    {
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp_);
        stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        stack->MinorFunction = minor;
        stack->DeviceObject = device_;
        stack->FileObject = file_;
        IoSetCompletionRoutine(irp_, Completion, this, TRUE, TRUE, TRUE);
        std::memset(&stack->Parameters, 0, sizeof stack->Parameters);
        return reinterpret_cast<Request*>(&stack->Parameters);
    }
    PVOID Timeout(const LARGE_INTEGER* timeout)
    {
        if (timeout == nullptr) {
            return nullptr;
        }
        timeout_ = *timeout;
        return &timeout_;
    }
    NTSTATUS Call()
    {
        called_ = true;
        return IoCallDriver(device_, irp_);
    }

    PFILE_OBJECT file_;
    PDEVICE_OBJECT device_;
    PIRP irp_;
    KEVENT done_;
    bool called_ = false;
    TDI_CONNECTION_INFORMATION information_{};
    TA_IP_ADDRESS remote_{};
    LARGE_INTEGER timeout_{};
    KIRQL completionIrql_ = PASSIVE_LEVEL;
    std::thread::id completionThread_;
    std::atomic<int>* counter_ = nullptr;
    int completionOrder_ = 0;
};

// The event handlers a test registers, with what they saw.
class TdiEvents {
public:
    TdiEvents()
    {
        KeInitializeEvent(&disconnected_, NotificationEvent, FALSE);
        KeInitializeEvent(&received_, NotificationEvent, FALSE);
    }

    NTSTATUS Register(const TdiObject& address)
    {
        TdiRequest disconnect(address);
        disconnect.SetEventHandler(TDI_EVENT_DISCONNECT, reinterpret_cast<PVOID>(&OnDisconnect),
                                   this);
        TdiRequest receive(address);
        receive.SetEventHandler(TDI_EVENT_RECEIVE, reinterpret_cast<PVOID>(&OnReceive), this);
        const NTSTATUS status = disconnect.Wait();
        return NT_SUCCESS(status) ? receive.Wait() : status;
    }

    // How many bytes the receive handler takes; 0 declines.
    void TakeBytes(ULONG bytes) { take_ = bytes; }
    // The handler answers STATUS_SUCCESS and leaves BytesTaken as it found it.
    void LeaveBytesTakenUnset() { leaveTakenUnset_ = true; }
    // A prepared receive the handler hands back instead of taking bytes.
    void HandBack(PIRP irp) { handBack_ = irp; }
    void OrderWith(std::atomic<int>* counter) { counter_ = counter; }

    NTSTATUS WaitForDisconnect() { return WaitSafely(&disconnected_); }
    NTSTATUS WaitForReceive() { return WaitSafely(&received_); }

    // What a handler saw; Flags are the disconnect's or the receive's.
    struct Indication {
        CONNECTION_CONTEXT Context;
        ULONG Flags;
        KIRQL Irql;
        std::thread::id Thread;
        int Order;
        ULONG Indicated;
        ULONG Available;
        std::string Data;
    };
    std::vector<Indication> Disconnects()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return disconnects_;
    }
    std::vector<Indication> Receives()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return receives_;
    }

private:
    static NTSTATUS NTAPI OnDisconnect(PVOID self, CONNECTION_CONTEXT context, LONG, PVOID, LONG,
                                       PVOID, ULONG flags)
    {
        auto* events = static_cast<TdiEvents*>(self);
        {
            std::lock_guard<std::mutex> lock(events->mutex_);
            events->disconnects_.push_back(events->Seen(context, flags));
        }
        KeSetEvent(&events->disconnected_, IO_NO_INCREMENT, FALSE);
        return STATUS_SUCCESS;
    }

    static NTSTATUS NTAPI OnReceive(PVOID self, CONNECTION_CONTEXT context, ULONG flags,
                                    ULONG indicated, ULONG available, ULONG* taken, PVOID tsdu,
                                    PIRP* irp)
    {
        auto* events = static_cast<TdiEvents*>(self);
        NTSTATUS status = STATUS_SUCCESS;
        {
            std::lock_guard<std::mutex> lock(events->mutex_);
            Indication seen = events->Seen(context, flags);
            seen.Indicated = indicated;
            seen.Available = available;
            seen.Data.assign(static_cast<const char*>(tsdu), indicated);
            events->receives_.push_back(seen);
            if (events->leaveTakenUnset_) {
                return STATUS_SUCCESS;
            }
            *taken = std::min(events->take_, indicated);
            if (events->handBack_ != nullptr) {
                *irp = std::exchange(events->handBack_, nullptr);
                status = STATUS_MORE_PROCESSING_REQUIRED;
            } else if (*taken == 0) {
                status = STATUS_DATA_NOT_ACCEPTED;
            }
        }
        KeSetEvent(&events->received_, IO_NO_INCREMENT, FALSE);
        return status;
    }

    Indication Seen(CONNECTION_CONTEXT context, ULONG flags)
    {
        const int order = counter_ != nullptr ? ++*counter_ : 0;
        return Indication{context, flags, KeGetCurrentIrql(), std::this_thread::get_id(), order,
                          0, 0, {}};
    }

    std::mutex mutex_;
    std::vector<Indication> disconnects_;
    std::vector<Indication> receives_;
    KEVENT disconnected_;
    KEVENT received_;
    ULONG take_ = 0;
    bool leaveTakenUnset_ = false;
    PIRP handBack_ = nullptr;
    std::atomic<int>* counter_ = nullptr;
};

using zel::test::ClosedPort;
using zel::test::ResetConnection;

// A listening socket on 127.0.0.1 with a port of the system's choosing; a
// receive buffer size, when given, is set before listening, so the
// accepted sockets keep it.
class Listener : public ClosedPort {
public:
    explicit Listener(int backlog = SOMAXCONN, int receiveBuffer = 0)
    {
        if (receiveBuffer != 0) {
            LimitReceiveBuffer(receiveBuffer);
        }
        Listen(backlog);
    }
};

// More than the socket buffers on both sides hold, so a send of it stays
// with the transport while the peer does not read.
constexpr std::size_t kLargeSend = 16 * 1024 * 1024;

class TdiTest : public HostKernelTest {
protected:
    void SetUp() override
    {
        HostKernelTest::SetUp();
        events_ = std::make_unique<TdiEvents>();
    }

    void TearDown() override
    {
        endpoint_.Close();
        address_.Close();
        HostKernelTest::TearDown();
    }

    CONNECTION_CONTEXT Context() { return &context_; }

    void OpenObjects()
    {
        address_ = OpenAddress();
        endpoint_ = OpenEndpoint(Context());
        TdiRequest associate(endpoint_);
        associate.Associate(address_.Handle());
        ASSERT_EQ(associate.Wait(), STATUS_SUCCESS);
        ASSERT_EQ(events_->Register(address_), STATUS_SUCCESS);
    }

    // Connects the endpoint to the listener and accepts the peer's side.
    void Connect(Listener& listener)
    {
        TdiRequest connect(endpoint_);
        connect.Connect(listener.Port());
        ASSERT_EQ(connect.Wait(), STATUS_SUCCESS);
        peer_ = listener.Accept();
        ASSERT_TRUE(peer_.Valid());
    }

    void OpenAndConnect()
    {
        ASSERT_NO_FATAL_FAILURE(OpenObjects());
        ASSERT_NO_FATAL_FAILURE(Connect(listener_));
    }

    // Connected to a peer that takes little and reads nothing yet.
    void OpenAndConnectToASlowPeer()
    {
        ASSERT_NO_FATAL_FAILURE(OpenObjects());
        ASSERT_NO_FATAL_FAILURE(Connect(slowListener_));
    }

    // What one receive of up to `length` bytes got; the status must be
    // STATUS_SUCCESS.
    std::string ReceiveText(ULONG length = 2048, ULONG flags = TDI_RECEIVE_NORMAL)
    {
        LockedBuffer in(length);
        TdiRequest receive(endpoint_);
        receive.Receive(in, length, flags);
        EXPECT_EQ(receive.Wait(), STATUS_SUCCESS);
        return in.Text(receive.Information());
    }

    NTSTATUS SendText(const std::string& text)
    {
        LockedBuffer out(text);
        TdiRequest send(endpoint_);
        send.Send(out);
        return send.Wait();
    }

    int context_ = 0;
    std::unique_ptr<TdiEvents> events_;
    Listener listener_;
    Listener slowListener_{SOMAXCONN, 4096};
    TdiObject address_;
    TdiObject endpoint_;
    zel::UniqueFd peer_;
};

}  // namespace hosttest
