// A TCP transport client built the way a driver builds one (ZwCreateFile
// with an EA buffer, ObReferenceObjectByHandle, IoAllocateIrp, the next
// stack location filled by hand, a completion routine returning
// STATUS_MORE_PROCESSING_REQUIRED, IoCallDriver to IoGetRelatedDeviceObject),
// and a fixture with an address object, an associated endpoint, the test's
// event handlers and loopback peers.
#pragma once

#include "host_test_driver.h"

#include <tdikrnl.h>

#include "../support/loopback.h"
#include <host/common/unique_fd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace hosttest {

constexpr const char* kTcpDevice = "\\Device\\Tcp";

// One IPv4 TRANSPORT_ADDRESS; address and port in host byte order.
inline TA_IP_ADDRESS IpAddress(ULONG address, USHORT port)
{
    TA_IP_ADDRESS ta{1, {{TDI_ADDRESS_LENGTH_IP, TDI_ADDRESS_TYPE_IP, {}}}};
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
    explicit TdiObject(const std::vector<std::uint8_t>& ea) { EXPECT_EQ(Open(ea), STATUS_SUCCESS); }
    TdiObject(TdiObject&& other) noexcept { *this = std::move(other); }
    TdiObject& operator=(TdiObject&& other) noexcept
    {
        std::swap(handle_, other.handle_);  // the other closes what was here
        std::swap(file_, other.file_);
        return *this;
    }
    ~TdiObject() { Close(); }

    // ZwCreateFile on \Device\Tcp with the EA (none when empty), then the
    // reference; the status of whichever failed.
    NTSTATUS Open(const std::vector<std::uint8_t>& ea)
    {
        NtString name(kTcpDevice);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, name.Get(),
                                   OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        IO_STATUS_BLOCK ioStatus{};
        NTSTATUS status =
            ZwCreateFile(&handle_, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes,
                         &ioStatus, nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN_IF,
                         0, ea.empty() ? nullptr : const_cast<std::uint8_t*>(ea.data()),
                         static_cast<ULONG>(ea.size()));
        if (NT_SUCCESS(status)) {
            status = ObReferenceObjectByHandle(handle_, 0, *IoFileObjectType, KernelMode,
                                               reinterpret_cast<PVOID*>(&file_), nullptr);
        }
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

inline TdiObject OpenAddress()
{
    const TA_IP_ADDRESS any = IpAddress(0, 0);
    return TdiObject(EaBuffer(TdiTransportAddress, &any, sizeof any));
}

inline TdiObject OpenEndpoint(CONNECTION_CONTEXT context)
{
    return TdiObject(EaBuffer(TdiConnectionContext, &context, sizeof context));
}

inline TdiObject OpenControlChannel()
{
    return TdiObject(std::vector<std::uint8_t>());
}

// Memory with MDLs over it, locked as a driver locks its buffers: one MDL
// per chunk, linked into a chain.
class LockedBuffer {
public:
    explicit LockedBuffer(const std::string& data, std::size_t chunks = 1) : data_(data)
    {
        const std::size_t chunk = data.size() / chunks;
        for (std::size_t i = 0; i < chunks; ++i) {
            const std::size_t length = i + 1 == chunks ? data.size() - i * chunk : chunk;
            PMDL mdl =
                IoAllocateMdl(&data_[i * chunk], static_cast<ULONG>(length), FALSE, FALSE, nullptr);
            MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess);
            if (!mdls_.empty()) {
                mdls_.back()->Next = mdl;
            }
            mdls_.push_back(mdl);
        }
    }
    explicit LockedBuffer(std::size_t size, std::size_t chunks = 1)
        : LockedBuffer(std::string(size, '\0'), chunks)
    {
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
    std::string Text(std::size_t length) const { return data_.substr(0, length); }
    void Unlock()
    {
        for (PMDL mdl : mdls_) {
            MmUnlockPages(mdl);
        }
        locked_ = false;
    }

private:
    std::string data_;
    std::vector<PMDL> mdls_;
    bool locked_ = true;
};

// Orders request completions and event indications.
inline std::atomic<int> tdiEventOrder{0};

// One TDI request on one IRP. Each starter returns what IoCallDriver
// returned; Wait() gives the final status.
class TdiRequest {
public:
    explicit TdiRequest(const TdiObject& target)
        : file_(target.File()),
          device_(target.Device()),
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

    // Any request: its minor function, parameters and buffer.
    template <typename Parameters = TDI_REQUEST_KERNEL>
    NTSTATUS Call(UCHAR minor, const Parameters& parameters = {}, const LockedBuffer* buffer = {})
    {
        Prepare(minor, parameters, buffer);
        return IoCallDriver(device_, irp_);
    }
    // To 127.0.0.1 unless told otherwise; no timeout when `timeout` is 0.
    NTSTATUS Connect(USHORT port, LONGLONG timeout = 0, ULONG address = INADDR_LOOPBACK)
    {
        remote_ = IpAddress(address, port);
        information_ = TDI_CONNECTION_INFORMATION{0, nullptr, 0, nullptr, sizeof remote_, &remote_};
        return Call(TDI_CONNECT, TDI_REQUEST_KERNEL{0, &information_, nullptr, Timeout(timeout)});
    }
    NTSTATUS Disconnect(ULONG flags, LONGLONG timeout = 0)
    {
        return Call(TDI_DISCONNECT, TDI_REQUEST_KERNEL{flags, nullptr, nullptr, Timeout(timeout)});
    }
    NTSTATUS Send(const LockedBuffer& buffer, ULONG length, ULONG flags = 0)
    {
        return Call(TDI_SEND, TDI_REQUEST_KERNEL_SEND{length, flags}, &buffer);
    }
    NTSTATUS Send(const LockedBuffer& buffer) { return Send(buffer, buffer.Size()); }
    NTSTATUS Receive(const LockedBuffer& buffer, ULONG length, ULONG flags = TDI_RECEIVE_NORMAL)
    {
        return Call(TDI_RECEIVE, TDI_REQUEST_KERNEL_RECEIVE{length, flags}, &buffer);
    }
    NTSTATUS Receive(const LockedBuffer& buffer) { return Receive(buffer, buffer.Size()); }
    // A receive a receive event handler hands back: prepared, and sent on
    // by the transport rather than by the caller.
    PIRP PrepareReceive(const LockedBuffer& buffer)
    {
        Prepare(TDI_RECEIVE, TDI_REQUEST_KERNEL_RECEIVE{buffer.Size(), TDI_RECEIVE_NORMAL},
                &buffer);
        return irp_;
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

    // Where the completion routine ran, and when among all completions and
    // indications.
    KIRQL CompletionIrql = PASSIVE_LEVEL;
    std::thread::id CompletionThread;
    int CompletionOrder = 0;

private:
    static NTSTATUS NTAPI Completion(PDEVICE_OBJECT, PIRP, PVOID context)
    {
        auto* self = static_cast<TdiRequest*>(context);
        self->CompletionIrql = KeGetCurrentIrql();
        self->CompletionThread = std::this_thread::get_id();
        self->CompletionOrder = ++tdiEventOrder;
        KeSetEvent(&self->done_, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    template <typename Parameters>
    void Prepare(UCHAR minor, const Parameters& parameters, const LockedBuffer* buffer)
    {
        irp_->MdlAddress = buffer != nullptr ? buffer->Mdl() : nullptr;
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp_);
        stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        stack->MinorFunction = minor;
        stack->DeviceObject = device_;
        stack->FileObject = file_;
        static_assert(sizeof parameters <= sizeof stack->Parameters);
        std::memcpy(&stack->Parameters, &parameters, sizeof parameters);
        IoSetCompletionRoutine(irp_, Completion, this, TRUE, TRUE, TRUE);
        called_ = true;
    }
    // A relative time in milliseconds, as TDI takes it.
    PVOID Timeout(LONGLONG milliseconds)
    {
        constexpr LONGLONG kUnitsPerMillisecond = 10000;
        timeout_.QuadPart = -milliseconds * kUnitsPerMillisecond;
        return milliseconds == 0 ? nullptr : &timeout_;
    }

    PFILE_OBJECT file_;
    PDEVICE_OBJECT device_;
    PIRP irp_;
    KEVENT done_;
    bool called_ = false;
    TDI_CONNECTION_INFORMATION information_{};
    TA_IP_ADDRESS remote_{};
    LARGE_INTEGER timeout_{};
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
        disconnect.Call(TDI_SET_EVENT_HANDLER,
                        TDI_REQUEST_KERNEL_SET_EVENT{TDI_EVENT_DISCONNECT,
                                                     reinterpret_cast<PVOID>(&OnDisconnect), this});
        TdiRequest receive(address);
        receive.Call(TDI_SET_EVENT_HANDLER,
                     TDI_REQUEST_KERNEL_SET_EVENT{TDI_EVENT_RECEIVE,
                                                  reinterpret_cast<PVOID>(&OnReceive), this});
        const NTSTATUS status = disconnect.Wait();
        return NT_SUCCESS(status) ? receive.Wait() : status;
    }

    // How many bytes the receive handler takes; 0 declines.
    void TakeBytes(ULONG bytes) { take_ = bytes; }
    // The handler answers STATUS_SUCCESS and leaves BytesTaken as it found it.
    void LeaveBytesTakenUnset() { leaveTakenUnset_ = true; }
    // A prepared receive the handler hands back instead of taking bytes.
    void HandBack(PIRP irp) { handBack_ = irp; }
    NTSTATUS WaitForDisconnect() { return WaitSafely(&disconnected_); }
    NTSTATUS WaitForReceive() { return WaitSafely(&received_); }

    // What a handler saw; Flags are the disconnect's or the receive's.
    struct Indication {
        CONNECTION_CONTEXT Context;
        ULONG Flags;
        KIRQL Irql;
        std::thread::id Thread;
        int Order;
        ULONG Available;
        std::string Data;
    };
    std::vector<Indication> Disconnects() { return Copy(disconnects_); }
    std::vector<Indication> Receives() { return Copy(receives_); }

private:
    static NTSTATUS NTAPI OnDisconnect(PVOID self, CONNECTION_CONTEXT context, LONG, PVOID, LONG,
                                       PVOID, ULONG flags)
    {
        auto* events = static_cast<TdiEvents*>(self);
        events->Record(&events->disconnects_, context, flags, 0, "");
        KeSetEvent(&events->disconnected_, IO_NO_INCREMENT, FALSE);
        return STATUS_SUCCESS;
    }

    static NTSTATUS NTAPI OnReceive(PVOID self, CONNECTION_CONTEXT context, ULONG flags,
                                    ULONG indicated, ULONG available, ULONG* taken, PVOID data,
                                    PIRP* irp)
    {
        auto* events = static_cast<TdiEvents*>(self);
        events->Record(&events->receives_, context, flags, available,
                       std::string(static_cast<const char*>(data), indicated));
        if (events->leaveTakenUnset_) {
            return STATUS_SUCCESS;
        }
        *taken = std::min(events->take_.load(), indicated);
        NTSTATUS status = *taken == 0 ? STATUS_DATA_NOT_ACCEPTED : STATUS_SUCCESS;
        if (PIRP handedBack = events->handBack_.exchange(nullptr)) {
            *irp = handedBack;
            status = STATUS_MORE_PROCESSING_REQUIRED;
        }
        KeSetEvent(&events->received_, IO_NO_INCREMENT, FALSE);
        return status;
    }

    std::vector<Indication> Copy(const std::vector<Indication>& list)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return list;
    }
    void Record(std::vector<Indication>* list, CONNECTION_CONTEXT context, ULONG flags,
                ULONG available, std::string data)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        list->push_back(Indication{context, flags, KeGetCurrentIrql(), std::this_thread::get_id(),
                                   ++tdiEventOrder, available, std::move(data)});
    }

    std::mutex mutex_;
    std::vector<Indication> disconnects_;
    std::vector<Indication> receives_;
    KEVENT disconnected_;
    KEVENT received_;
    std::atomic<ULONG> take_{0};
    std::atomic<bool> leaveTakenUnset_{false};
    std::atomic<PIRP> handBack_{nullptr};
};

using zel::test::ClosedPort;
using zel::test::ResetConnection;

// More than the socket buffers on both sides hold, so a send of it stays
// with the transport while the peer does not read.
constexpr std::size_t kLargeSend = 16 * 1024 * 1024;
constexpr LONGLONG kShortTimeoutMs = 100;

class TdiTest : public HostKernelTest {
protected:
    void SetUp() override
    {
        HostKernelTest::SetUp();
        events_ = std::make_unique<TdiEvents>();
        listener_.Listen(SOMAXCONN);
        slowListener_.LimitReceiveBuffer(4096);  // kept by the accepted socket
        slowListener_.Listen(SOMAXCONN);
    }

    void TearDown() override
    {
        endpoint_.Close();
        address_.Close();
        HostKernelTest::TearDown();
    }

    CONNECTION_CONTEXT Context() { return &context_; }

    NTSTATUS Associate(HANDLE address)
    {
        TdiRequest associate(endpoint_);
        associate.Call(TDI_ASSOCIATE_ADDRESS, TDI_REQUEST_KERNEL_ASSOCIATE{address});
        return associate.Wait();
    }

    void OpenObjects()
    {
        address_ = OpenAddress();
        endpoint_ = OpenEndpoint(Context());
        ASSERT_EQ(Associate(address_.Handle()), STATUS_SUCCESS);
        ASSERT_EQ(events_->Register(address_), STATUS_SUCCESS);
    }

    // Connects the endpoint to the listener (to a peer that takes little
    // and reads nothing yet when `slow`) and accepts the peer's side.
    void OpenAndConnect(bool slow = false)
    {
        ASSERT_NO_FATAL_FAILURE(OpenObjects());
        ASSERT_NO_FATAL_FAILURE(Connect(slow ? slowListener_ : listener_));
    }

    void Connect(ClosedPort& listener)
    {
        TdiRequest connect(endpoint_);
        connect.Connect(listener.Port());
        ASSERT_EQ(connect.Wait(), STATUS_SUCCESS);
        peer_ = listener.Accept();
        ASSERT_TRUE(peer_.Valid());
    }

    // What one receive of up to `length` bytes got; it must succeed.
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
    ClosedPort listener_;
    ClosedPort slowListener_;
    TdiObject address_;
    TdiObject endpoint_;
    zel::UniqueFd peer_;
};

}  // namespace hosttest
