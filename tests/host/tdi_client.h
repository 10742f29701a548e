// Test support for the TCP transport: opens transport objects and builds
// TDI requests the way a driver does (ZwCreateFile with an EA buffer,
// ObReferenceObjectByHandle, IoAllocateIrp, the next stack location filled
// by hand, a completion routine returning STATUS_MORE_PROCESSING_REQUIRED,
// IoCallDriver to IoGetRelatedDeviceObject), plus loopback peers.
#pragma once

#include "host_test_driver.h"

#include <tdikrnl.h>

#include "../support/loopback.h"
#include <host/common/unique_fd.h>

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace hosttest {

constexpr const char* kTcpDevice = "\\Device\\Tcp";

// 100 ns units in a millisecond, for NT relative times.
constexpr LONGLONG kUnitsPerMillisecond = 10000;

LARGE_INTEGER RelativeMilliseconds(LONGLONG milliseconds);

// One IPv4 TRANSPORT_ADDRESS; address and port in host byte order.
TA_IP_ADDRESS IpAddress(ULONG address, USHORT port);

// One FILE_FULL_EA_INFORMATION entry.
std::vector<std::uint8_t> EaBuffer(const std::string& name, const void* value, USHORT valueLength);

// A transport object as a driver holds it: a kernel handle and a referenced
// file object. Close dereferences, then closes the handle.
class TdiObject {
public:
    TdiObject() = default;
    TdiObject(TdiObject&& other) noexcept;
    TdiObject& operator=(TdiObject&& other) noexcept;
    TdiObject(const TdiObject&) = delete;
    TdiObject& operator=(const TdiObject&) = delete;
    ~TdiObject() { Close(); }

    // ZwCreateFile on \Device\Tcp with the EA (none when empty), then the
    // reference. The status of whichever failed.
    static NTSTATUS Open(const std::vector<std::uint8_t>& ea, TdiObject* object);

    HANDLE Handle() const { return handle_; }
    PFILE_OBJECT File() const { return file_; }
    PDEVICE_OBJECT Device() const { return IoGetRelatedDeviceObject(file_); }
    bool IsOpen() const { return handle_ != nullptr || file_ != nullptr; }

    void Close();
    void CloseHandleOnly();
    void DereferenceOnly();
    // Forgets the handle without closing it.
    HANDLE LeakHandle() { return std::exchange(handle_, nullptr); }

private:
    HANDLE handle_ = nullptr;
    PFILE_OBJECT file_ = nullptr;
};

TdiObject OpenAddress(ULONG address = 0, USHORT port = 0);
TdiObject OpenEndpoint(CONNECTION_CONTEXT context);
TdiObject OpenControlChannel();

// Memory with MDLs over it, locked as a driver locks its buffers: one MDL
// per chunk, linked into a chain.
class LockedBuffer {
public:
    explicit LockedBuffer(std::size_t size, std::size_t chunks = 1);
    LockedBuffer(const LockedBuffer&) = delete;
    LockedBuffer& operator=(const LockedBuffer&) = delete;
    ~LockedBuffer();

    PMDL Mdl() const { return mdls_.front(); }
    std::uint8_t* Data() { return data_.data(); }
    ULONG Size() const { return static_cast<ULONG>(data_.size()); }
    std::string Text(std::size_t length) const;
    void Fill(const std::string& text);
    void Unlock();

private:
    std::vector<std::uint8_t> data_;
    std::vector<PMDL> mdls_;
    bool locked_ = true;
};

// One TDI request on one IRP. Each starter returns what IoCallDriver
// returned; Wait() gives the final status.
class TdiRequest {
public:
    explicit TdiRequest(const TdiObject& target);
    TdiRequest(const TdiRequest&) = delete;
    TdiRequest& operator=(const TdiRequest&) = delete;
    // Cancels and waits if the request is still pending, then frees the IRP.
    ~TdiRequest();

    NTSTATUS Associate(HANDLE address);
    NTSTATUS Disassociate();
    NTSTATUS SetEventHandler(LONG eventType, PVOID handler, PVOID context);
    // To 127.0.0.1 unless told otherwise; no timeout when `timeout` is null.
    NTSTATUS Connect(USHORT port, const LARGE_INTEGER* timeout, ULONG address = 0x7F000001);
    NTSTATUS Disconnect(ULONG flags, const LARGE_INTEGER* timeout);
    NTSTATUS Send(PMDL mdl, ULONG length, ULONG flags);
    NTSTATUS Receive(PMDL mdl, ULONG length, ULONG flags = TDI_RECEIVE_NORMAL);
    NTSTATUS Query(PMDL mdl, LONG queryType);
    NTSTATUS Minor(UCHAR minor);

    NTSTATUS Wait();
    bool Completed();
    BOOLEAN Cancel();
    ULONG_PTR Information() const { return irp_->IoStatus.Information; }
    PIRP Irp() const { return irp_; }

    // Where the completion routine ran, and its place among the events the
    // counter orders.
    KIRQL CompletionIrql() const { return completionIrql_; }
    std::thread::id CompletionThread() const { return completionThread_; }
    void OrderWith(std::atomic<int>* counter) { counter_ = counter; }
    int CompletionOrder() const { return completionOrder_; }

    // Fills the next stack location for `minor` and sets the completion
    // routine; for requests built by hand.
    PIO_STACK_LOCATION Prepare(UCHAR minor);
    NTSTATUS Call();
    // A receive a receive event handler hands back: prepared, and sent on
    // by the transport rather than by the caller.
    PIRP PrepareHandedBackReceive(PMDL mdl, ULONG length);

private:
    static NTSTATUS NTAPI Completion(PDEVICE_OBJECT device, PIRP irp, PVOID context);

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
    TdiEvents();
    NTSTATUS Register(const TdiObject& address);

    // How many bytes the receive handler takes; 0 declines.
    void TakeBytes(ULONG bytes) { take_ = bytes; }
    // The handler answers STATUS_SUCCESS and leaves BytesTaken as it found it.
    void LeaveBytesTakenUnset() { leaveTakenUnset_ = true; }
    // A receive IRP the handler hands back (with its next stack location
    // prepared) instead of taking bytes.
    void HandBack(TdiRequest* request, PMDL mdl, ULONG length);
    void OrderWith(std::atomic<int>* counter) { counter_ = counter; }

    NTSTATUS WaitForDisconnect() { return WaitSafely(&disconnected_); }
    NTSTATUS WaitForReceive() { return WaitSafely(&received_); }

    struct Disconnect {
        CONNECTION_CONTEXT Context;
        ULONG Flags;
        KIRQL Irql;
        std::thread::id Thread;
        int Order;
    };
    struct Receive {
        CONNECTION_CONTEXT Context;
        ULONG Flags;
        ULONG Indicated;
        ULONG Available;
        std::string Data;
        KIRQL Irql;
        std::thread::id Thread;
    };
    std::vector<Disconnect> Disconnects();
    std::vector<Receive> Receives();

private:
    static NTSTATUS NTAPI OnDisconnect(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
                                       LONG DisconnectDataLength, PVOID DisconnectData,
                                       LONG DisconnectInformationLength,
                                       PVOID DisconnectInformation, ULONG DisconnectFlags);
    static NTSTATUS NTAPI OnReceive(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
                                    ULONG ReceiveFlags, ULONG BytesIndicated, ULONG BytesAvailable,
                                    ULONG* BytesTaken, PVOID Tsdu, PIRP* IoRequestPacket);

    std::mutex mutex_;
    std::vector<Disconnect> disconnects_;
    std::vector<Receive> receives_;
    KEVENT disconnected_;
    KEVENT received_;
    ULONG take_ = 0;
    bool leaveTakenUnset_ = false;
    TdiRequest* handBack_ = nullptr;
    std::atomic<int>* counter_ = nullptr;
};

// A listening socket on 127.0.0.1 with a port of the system's choosing.
class Listener : public zel::test::ClosedPort {
public:
    // A receive buffer size, when given, is set before listening, so the
    // accepted sockets keep it.
    explicit Listener(int backlog = SOMAXCONN, int receiveBuffer = 0);
    // Waits (at most the safety timeout) for the next connection.
    zel::UniqueFd Accept();
};

using zel::test::ClosedPort;
using zel::test::ResetConnection;

// A listener whose accept queue is full: the SYN of a further connect is
// dropped, so that connect stays pending until it times out or is
// cancelled.
class FullListener {
public:
    FullListener();
    USHORT Port() const { return listener_.Port(); }
    bool Full() const;

private:
    Listener listener_;
    std::vector<zel::UniqueFd> clients_;
};

}  // namespace hosttest
