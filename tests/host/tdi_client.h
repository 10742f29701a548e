// The TCP transport through the driver's own TDI client (net/transport.h),
// and raw requests on IRPs of the test's own for what it never does.
#pragma once

#include "host_test_driver.h"

#include "net/transport.h"

#include "../support/loopback.h"
#include <host/common/unique_fd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace hosttest {

// One IPv4 TRANSPORT_ADDRESS; address and port in host byte order.
inline TA_IP_ADDRESS IpAddress(ULONG address, USHORT port)
{
    TA_IP_ADDRESS ta{};
    BuildIpAddress(&ta, htonl(address), htons(port));
    return ta;
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
            mdls_.push_back(LockBuffer(&data_[i * chunk], static_cast<ULONG>(length)));
            if (i > 0) {
                mdls_[i - 1]->Next = mdls_[i];
            }
        }
    }
    explicit LockedBuffer(std::size_t size) : LockedBuffer(std::string(size, '\0')) {}
    LockedBuffer(const LockedBuffer&) = delete;
    LockedBuffer& operator=(const LockedBuffer&) = delete;
    ~LockedBuffer()
    {
        for (PMDL mdl : mdls_) {
            locked_ ? UnlockBuffer(mdl) : IoFreeMdl(mdl);
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

// One TDI request on an IRP of the test's own. Each starter returns what
// IoCallDriver returned; Wait() gives the final status.
class TdiRequest {
public:
    explicit TdiRequest(PFILE_OBJECT target)
        : file_(target), irp_(IoAllocateIrp(IoGetRelatedDeviceObject(target)->StackSize, FALSE))
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
        FreeTransportIrp(irp_);
    }

    // Any request: its minor function, parameters and buffer.
    template <typename Parameters = TDI_REQUEST_KERNEL>
    NTSTATUS Call(UCHAR minor, const Parameters& parameters = {}, const LockedBuffer* buffer = {})
    {
        Prepare(minor, parameters, buffer);
        return IoCallDriver(IoGetRelatedDeviceObject(file_), irp_);
    }
    // To 127.0.0.1; no timeout when `timeout` is 0.
    NTSTATUS Connect(USHORT port, LONGLONG timeout = 0)
    {
        remote_ = IpAddress(INADDR_LOOPBACK, port);
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
    NTSTATUS Receive(const LockedBuffer& buffer, ULONG length)
    {
        return Call(TDI_RECEIVE, TDI_REQUEST_KERNEL_RECEIVE{length, 0}, &buffer);
    }
    NTSTATUS Receive(const LockedBuffer& buffer) { return Receive(buffer, buffer.Size()); }
    // A receive for the receive event handler to hand back.
    PIRP PrepareReceive(const LockedBuffer& buffer)
    {
        Prepare(TDI_RECEIVE, TDI_REQUEST_KERNEL_RECEIVE{buffer.Size(), 0}, &buffer);
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

    // Where the completion routine ran, and its place among all events.
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
        *TransportParameters<Parameters>(PrepareTransportRequest(irp_, minor, file_)) = parameters;
        SetTransportCompletion(irp_, Completion, this);
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
    PIRP irp_;
    KEVENT done_;
    bool called_ = false;
    TDI_CONNECTION_INFORMATION information_{};
    TA_IP_ADDRESS remote_{};
    LARGE_INTEGER timeout_{};
};

// The event handlers a test registers, with what each indication saw.
struct TdiEvents {
    struct Indication {
        CONNECTION_CONTEXT Context;
        ULONG Flags;
        KIRQL Irql;
        std::thread::id Thread;
        int Order;
        ULONG Available;
        std::string Data;
    };

    TdiEvents()
    {
        KeInitializeEvent(&Disconnected, SynchronizationEvent, FALSE);  // one per indication
        KeInitializeEvent(&Received, NotificationEvent, FALSE);
    }
    NTSTATUS Register(TransportAddressObject* address)
    {
        return SetEventHandlers(address, this,
                                {nullptr, OnDisconnect, nullptr, OnReceive, nullptr});
    }
    std::vector<Indication> Disconnects() { return Copy(disconnects_); }
    std::vector<Indication> Receives() { return Copy(receives_); }

    std::atomic<ULONG> Take{0};  // bytes the receive handler takes; 0 declines
    // The handler answers STATUS_SUCCESS and leaves BytesTaken as it found it.
    std::atomic<bool> LeaveBytesTakenUnset{false};
    std::atomic<PIRP> HandBack{nullptr};  // a prepared receive handed back instead
    KEVENT Disconnected;
    KEVENT Received;

private:
    static NTSTATUS NTAPI OnDisconnect(PVOID self, CONNECTION_CONTEXT context, LONG, PVOID, LONG,
                                       PVOID, ULONG flags)
    {
        auto* events = static_cast<TdiEvents*>(self);
        events->Record(&events->disconnects_, context, flags, 0, "");
        KeSetEvent(&events->Disconnected, IO_NO_INCREMENT, FALSE);
        return STATUS_SUCCESS;
    }

    static NTSTATUS NTAPI OnReceive(PVOID self, CONNECTION_CONTEXT context, ULONG flags,
                                    ULONG indicated, ULONG available, ULONG* taken, PVOID data,
                                    PIRP* irp)
    {
        auto* events = static_cast<TdiEvents*>(self);
        events->Record(&events->receives_, context, flags, available,
                       std::string(static_cast<const char*>(data), indicated));
        if (events->LeaveBytesTakenUnset) {
            return STATUS_SUCCESS;
        }
        *taken = std::min(events->Take.load(), indicated);
        NTSTATUS status = *taken == 0 ? STATUS_DATA_NOT_ACCEPTED : STATUS_SUCCESS;
        if (PIRP handedBack = events->HandBack.exchange(nullptr)) {
            *irp = handedBack;
            status = STATUS_MORE_PROCESSING_REQUIRED;
        }
        KeSetEvent(&events->Received, IO_NO_INCREMENT, FALSE);
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
};

using zel::test::ClosedPort;
using zel::test::ResetConnection;

// More than the socket buffers on both sides hold, so a send of it stays
// with the transport while the peer does not read.
constexpr std::size_t kLargeSend = 16 * 1024 * 1024;
constexpr LONGLONG kShortTimeoutMs = 100;

// An address object and an endpoint as the driver holds them, the test's
// event handlers, and loopback peers.
class TdiTest : public HostKernelTest {
protected:
    void SetUp() override
    {
        HostKernelTest::SetUp();
        events_ = std::make_unique<TdiEvents>();
        safety_.QuadPart = -zel::test::kSafetyTimeout.count() * 10000;  // 100 ns units
        listener_.Listen(SOMAXCONN);
        slowListener_.LimitReceiveBuffer(4096);  // kept by the accepted socket
        slowListener_.Listen(SOMAXCONN);
    }

    void TearDown() override
    {
        CloseTransportFile(&channelHandle_, &channel_);
        ReleaseEndpoint(&endpoint_);
        ReleaseAddress(&address_);
        HostKernelTest::TearDown();
    }

    // Opens \Device\Tcp with the EA given (none: a control channel).
    NTSTATUS OpenChannel(PFILE_FULL_EA_INFORMATION ea = nullptr, ULONG length = 0)
    {
        const NTSTATUS status =
            CreateTransportHandle(TCP_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, ea,
                                  length, &channelHandle_);
        return NT_SUCCESS(status) ? ReferenceTransportFile(&channelHandle_, &channel_) : status;
    }

    void OpenAddress()
    {
        const TA_IP_ADDRESS any = IpAddress(0, 0);
        ASSERT_EQ(OpenTransportAddress(TCP_DEVICE_NAME,
                                       reinterpret_cast<const TRANSPORT_ADDRESS*>(&any), &address_),
                  STATUS_SUCCESS);
    }
    void OpenEndpoint()
    {
        endpoint_.ReferenceCount = 1;
        ASSERT_EQ(OpenConnectionEndpoint(TCP_DEVICE_NAME, &endpoint_, &context_), STATUS_SUCCESS);
    }

    void OpenObjects()
    {
        ASSERT_NO_FATAL_FAILURE(OpenAddress());
        ASSERT_NO_FATAL_FAILURE(OpenEndpoint());
        ASSERT_EQ(AssociateAddress(&address_, &endpoint_), STATUS_SUCCESS);
        ASSERT_EQ(events_->Register(&address_), STATUS_SUCCESS);
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
        const TA_IP_ADDRESS remote = IpAddress(INADDR_LOOPBACK, listener.Port());
        ASSERT_EQ(TdiConnectRequest(&endpoint_, &remote, &safety_), STATUS_SUCCESS);
        peer_ = listener.Accept();
        ASSERT_TRUE(peer_.Valid());
    }

    NTSTATUS Disconnect(ULONG flags) { return TdiDisconnectRequest(&endpoint_, flags, &safety_); }

    // What one synchronous receive of up to `length` bytes got.
    std::string ReceiveText(ULONG length = 2048)
    {
        LockedBuffer in(length);
        IO_STATUS_BLOCK ioStatus{};
        EXPECT_EQ(TdiReceiveRequest(&endpoint_, nullptr, nullptr, &ioStatus, in.Mdl(), 0, nullptr,
                                    nullptr),
                  STATUS_SUCCESS);
        return in.Text(ioStatus.Information);
    }

    NTSTATUS SendText(const std::string& text)
    {
        LockedBuffer out(text);
        return TdiSendRequest(&endpoint_, nullptr, nullptr, nullptr, out.Mdl(), 0, nullptr);
    }

    int context_ = 0;
    std::unique_ptr<TdiEvents> events_;
    ClosedPort listener_;
    ClosedPort slowListener_;
    TransportAddressObject address_{};
    ConnectionEndpoint endpoint_{};
    zel::UniqueFd peer_;
    LARGE_INTEGER safety_{};
    HANDLE channelHandle_ = nullptr;
    PFILE_OBJECT channel_ = nullptr;
};

}  // namespace hosttest
