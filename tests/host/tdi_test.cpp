// The TCP transport's objects and connections, and the MDLs and NDIS memory
// a TDI client uses.
#include "tdi_client.h"

#include <cstring>

namespace hosttest {
namespace {

using TdiOpenTest = TdiTest;

TEST_F(TdiOpenTest, BadExtendedAttributesAndHandlesAreRefused)
{
    auto open = [this](PCSTR name, const void* value, USHORT length, ULONG cut = 0) {
        PFILE_FULL_EA_INFORMATION ea = nullptr;
        ULONG eaLength = 0;
        EXPECT_EQ(BuildEaBuffer(static_cast<UCHAR>(std::strlen(name)), name, length, value, &ea,
                                &eaLength),
                  STATUS_SUCCESS);
        const NTSTATUS status = OpenChannel(ea, eaLength - cut);
        ExFreePoolWithTag(ea, 0);
        CloseTransportFile(&channelHandle_, &channel_);
        return status;
    };
    const ULONG value = 0;
    EXPECT_EQ(open("SomethingElse", &value, sizeof value), STATUS_INVALID_EA_NAME);
    // A connection context must hold a pointer.
    EXPECT_EQ(open(TdiConnectionContext, &value, sizeof value), STATUS_INVALID_PARAMETER);
    TA_IP_ADDRESS ipv6 = IpAddress(0, 0);
    ipv6.Address[0].AddressType = TDI_ADDRESS_TYPE_IP6;
    EXPECT_EQ(open(TdiTransportAddress, &ipv6, sizeof ipv6), STATUS_INVALID_ADDRESS_COMPONENT);
    // The value runs past the buffer.
    EXPECT_EQ(open(TdiTransportAddress, &ipv6, sizeof ipv6, 1), STATUS_EA_LIST_INCONSISTENT);
    PVOID object = this;
    const auto bogus = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x1234));
    EXPECT_EQ(ObReferenceObjectByHandle(bogus, 0, nullptr, KernelMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(object, nullptr);
}

// A control channel answers only the provider query.
TEST_F(TdiOpenTest, ControlChannelAssociationEventHandlersAndReferences)
{
    ASSERT_NO_FATAL_FAILURE(OpenAddress());
    ASSERT_NO_FATAL_FAILURE(OpenEndpoint());
    ASSERT_EQ(OpenChannel(), STATUS_SUCCESS);
    auto call = [](PFILE_OBJECT target, UCHAR minor, auto parameters,
                   const LockedBuffer* buffer = nullptr) {
        TdiRequest request(target);
        request.Call(minor, parameters, buffer);
        return request.Wait();
    };
    EXPECT_EQ(call(channel_, TDI_LISTEN, TDI_REQUEST_KERNEL{}), STATUS_INVALID_DEVICE_REQUEST);
    using Query = TDI_REQUEST_KERNEL_QUERY_INFORMATION;
    TDI_PROVIDER_INFO info{};
    EXPECT_EQ(QueryProviderInfo(TCP_DEVICE_NAME, &info), STATUS_SUCCESS);
    LockedBuffer result(sizeof(TDI_PROVIDER_INFO));
    EXPECT_EQ(
        call(channel_, TDI_QUERY_INFORMATION, Query{TDI_QUERY_BROADCAST_ADDRESS, nullptr}, &result),
        STATUS_INVALID_DEVICE_REQUEST);
    LockedBuffer small(sizeof(TDI_PROVIDER_INFO) - 1);
    EXPECT_EQ(
        call(channel_, TDI_QUERY_INFORMATION, Query{TDI_QUERY_PROVIDER_INFO, nullptr}, &small),
        STATUS_BUFFER_TOO_SMALL);

    using Associate = TDI_REQUEST_KERNEL_ASSOCIATE;
    EXPECT_EQ(call(endpoint_.FileObject, TDI_ASSOCIATE_ADDRESS, Associate{channelHandle_}),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(AssociateAddress(&address_, &endpoint_), STATUS_SUCCESS);
    EXPECT_EQ(call(endpoint_.FileObject, TDI_ASSOCIATE_ADDRESS, Associate{address_.Handle}),
              STATUS_ADDRESS_ALREADY_ASSOCIATED);
    EXPECT_EQ(call(endpoint_.FileObject, TDI_DISASSOCIATE_ADDRESS, TDI_REQUEST_KERNEL{}),
              STATUS_SUCCESS);
    EXPECT_EQ(call(endpoint_.FileObject, TDI_DISASSOCIATE_ADDRESS, TDI_REQUEST_KERNEL{}),
              STATUS_ADDRESS_NOT_ASSOCIATED);

    using SetEvent = TDI_REQUEST_KERNEL_SET_EVENT;
    EXPECT_EQ(call(address_.FileObject, TDI_SET_EVENT_HANDLER,
                   SetEvent{TDI_EVENT_ERROR_EX + 1, nullptr, nullptr}),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(call(endpoint_.FileObject, TDI_SET_EVENT_HANDLER,
                   SetEvent{TDI_EVENT_RECEIVE, nullptr, nullptr}),
              STATUS_INVALID_DEVICE_REQUEST);
    PVOID again = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(channelHandle_, 0, *IoFileObjectType, KernelMode, &again,
                                        nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ObDereferenceObject(again), 2);  // the handle's and the open's remain
}

using TdiOpenDeathTest = TdiTest;

TEST_F(TdiOpenDeathTest, HandlesAndReferencesMisusedOrLeftAtUnload)
{
    driver_.Entry = [this](PDRIVER_OBJECT) { return OpenChannel(); };
    LoadDriver();
    const HANDLE handle = channelHandle_;
    PFILE_OBJECT file = channel_;
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    EXPECT_DEATH(ZwClose(handle), "IRQL_NOT_LESS_OR_EQUAL: ZwClose called at IRQL 2");
    KeLowerIrql(irql);
    ObDereferenceObject(std::exchange(channel_, nullptr));
    EXPECT_DEATH(Kernel().UnloadDriver(),
                 "DRIVER_VERIFIER_DETECTED_VIOLATION: driver unloaded without closing its handles: "
                 "handle .* to \\\\Device\\\\Tcp");
    ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode,
                              reinterpret_cast<PVOID*>(&channel_), nullptr);
    ZwClose(std::exchange(channelHandle_, nullptr));
    EXPECT_DEATH(Kernel().UnloadDriver(),
                 "driver unloaded without dereferencing its file objects: file object .* of "
                 "\\\\Device\\\\Tcp \\(1 reference\\(s\\)\\)");
    EXPECT_DEATH(ZwClose(handle),
                 "INVALID_KERNEL_HANDLE: ZwClose of .*, which is not an open handle");
    ObDereferenceObject(std::exchange(channel_, nullptr));
    EXPECT_DEATH(ObDereferenceObject(file), "REFERENCE_BY_POINTER: ObfDereferenceObject on");
}

using TdiConnectTest = TdiTest;

// Refused, timed out or cancelled, an attempt leaves the endpoint free for
// the next; without a connection nothing is disconnected.
TEST_F(TdiConnectTest, ConnectOutcomes)
{
    ASSERT_NO_FATAL_FAILURE(OpenEndpoint());
    auto attempt = [this](USHORT port) {
        TdiRequest connect(endpoint_.FileObject);
        connect.Connect(port);
        return connect.Wait();
    };
    EXPECT_EQ(attempt(listener_.Port()), STATUS_ADDRESS_NOT_ASSOCIATED);
    ReleaseEndpoint(&endpoint_);
    ASSERT_NO_FATAL_FAILURE(OpenObjects());
    EXPECT_EQ(Disconnect(TDI_DISCONNECT_RELEASE), STATUS_CONNECTION_INVALID);
    EXPECT_EQ(attempt(0), STATUS_INVALID_ADDRESS_COMPONENT);
    ClosedPort closed;
    EXPECT_EQ(attempt(closed.Port()), STATUS_CONNECTION_REFUSED);

    // One queued connection fills an accept queue of backlog 0: the SYN of
    // a further connect is dropped. It is queued once the port is readable.
    ClosedPort full;
    full.Listen(0);
    auto queued = zel::test::ConnectLoopback(full.Port());
    pollfd readable{full.Fd(), POLLIN, 0};
    ASSERT_EQ(poll(&readable, 1, zel::test::Deadline().PollMs()), 1);
    TdiRequest unanswered(endpoint_.FileObject);
    EXPECT_EQ(unanswered.Connect(full.Port(), kShortTimeoutMs), STATUS_PENDING);
    EXPECT_EQ(unanswered.Wait(), STATUS_IO_TIMEOUT);
    TdiRequest cancelled(endpoint_.FileObject);
    EXPECT_EQ(cancelled.Connect(full.Port()), STATUS_PENDING);
    EXPECT_FALSE(cancelled.Completed());
    cancelled.Cancel();
    EXPECT_EQ(cancelled.Wait(), STATUS_CANCELLED);

    TdiRequest connect(endpoint_.FileObject);
    const NTSTATUS called = connect.Connect(listener_.Port(), zel::test::kSafetyTimeout.count());
    EXPECT_TRUE(called == STATUS_PENDING || called == STATUS_SUCCESS);
    ASSERT_EQ(connect.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(attempt(listener_.Port()), STATUS_CONNECTION_ACTIVE);
    TdiRequest disassociate(endpoint_.FileObject);
    disassociate.Call(TDI_DISASSOCIATE_ADDRESS);
    EXPECT_EQ(disassociate.Wait(), STATUS_CONNECTION_ACTIVE);
}

// A graceful disconnect (any flags without TDI_DISCONNECT_ABORT) waits for
// earlier sends, sends FIN after their data and half closes: nothing more
// goes out, but the peer may still send, and its close is then indicated.
TEST_F(TdiConnectTest, AGracefulDisconnectWaitsForEarlierSendsThenHalfCloses)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect(true));
    LockedBuffer in(2048);
    TdiRequest receive(endpoint_.FileObject);
    EXPECT_EQ(receive.Receive(in), STATUS_PENDING);
    LockedBuffer data(kLargeSend);
    TdiRequest send(endpoint_.FileObject);
    EXPECT_EQ(send.Send(data), STATUS_PENDING);
    TdiRequest disconnect(endpoint_.FileObject);
    EXPECT_EQ(disconnect.Disconnect(0), STATUS_PENDING);
    EXPECT_FALSE(disconnect.Completed());
    const zel::test::Received received = zel::test::ReceiveToEnd(peer_.Get());
    EXPECT_EQ(received.End, zel::test::StreamEnd::Eof);
    EXPECT_EQ(received.Data.size(), kLargeSend);
    EXPECT_EQ(send.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(disconnect.Wait(), STATUS_SUCCESS);
    EXPECT_LT(send.CompletionOrder, disconnect.CompletionOrder);
    EXPECT_EQ(SendText("late"), STATUS_CONNECTION_INVALID);
    ASSERT_TRUE(zel::test::SendAll(peer_.Get(), "bye"));
    ASSERT_EQ(receive.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(in.Text(receive.Information()), "bye");
    peer_.Reset();
    ASSERT_EQ(WaitSafely(&events_->Disconnected), STATUS_SUCCESS);
    EXPECT_EQ(events_->Disconnects().at(0).Flags, static_cast<ULONG>(TDI_DISCONNECT_RELEASE));
}

// Aborting resets the connection and ends the pending requests; the
// client's own abort is not indicated.
TEST_F(TdiConnectTest, AGracefulDisconnectThatCannotGoOutInTimeAborts)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect(true));
    LockedBuffer data(kLargeSend);
    TdiRequest send(endpoint_.FileObject);
    EXPECT_EQ(send.Send(data), STATUS_PENDING);
    LockedBuffer in(16);
    TdiRequest receive(endpoint_.FileObject);
    EXPECT_EQ(receive.Receive(in), STATUS_PENDING);
    TdiRequest disconnect(endpoint_.FileObject);
    EXPECT_EQ(disconnect.Disconnect(TDI_DISCONNECT_RELEASE, kShortTimeoutMs), STATUS_PENDING);
    EXPECT_EQ(disconnect.Wait(), STATUS_IO_TIMEOUT);
    EXPECT_EQ(send.Wait(), STATUS_CONNECTION_ABORTED);
    EXPECT_EQ(receive.Wait(), STATUS_CONNECTION_ABORTED);
    EXPECT_LT(send.Information(), kLargeSend);
    const zel::test::Received received = zel::test::ReceiveToEnd(peer_.Get());
    EXPECT_EQ(received.End, zel::test::StreamEnd::Error);
    EXPECT_EQ(received.Error, ECONNRESET);
    EXPECT_TRUE(events_->Disconnects().empty());
}

using TdiLifetimeTest = TdiTest;

// A handle closed under a pending request leaves the endpoint working until
// the last reference goes (at DISPATCH_LEVEL: closed on the worker), which
// resets a connection nobody disconnected.
TEST_F(TdiLifetimeTest, ClosingTheHandleKeepsTheEndpointUntilTheLastReference)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    LockedBuffer in(2048);
    TdiRequest receive(endpoint_.FileObject);
    EXPECT_EQ(receive.Receive(in), STATUS_PENDING);
    // The cleanup ends neither connection nor receive.
    ZwClose(std::exchange(endpoint_.Handle, nullptr));
    EXPECT_FALSE(receive.Completed());
    ASSERT_TRUE(zel::test::SendAll(peer_.Get(), "still"));
    ASSERT_EQ(receive.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(in.Text(receive.Information()), "still");
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    ObDereferenceObject(std::exchange(endpoint_.FileObject, nullptr));
    KeLowerIrql(irql);
    const zel::test::Received end = zel::test::ReceiveToEnd(peer_.Get());
    EXPECT_EQ(end.End, zel::test::StreamEnd::Error);
    EXPECT_EQ(end.Error, ECONNRESET);
}

TEST_F(TdiLifetimeTest, ClosingTheAddressObjectStopsItsEventHandlers)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    CloseTransportFile(&address_.Handle, &address_.FileObject);
    ResetConnection(peer_);
    // The reset reaches the endpoint, but nobody is told.
    LockedBuffer in(16);
    TdiRequest receive(endpoint_.FileObject);
    const NTSTATUS called = receive.Receive(in);
    const NTSTATUS status = called == STATUS_PENDING ? receive.Wait() : called;
    EXPECT_TRUE(status == STATUS_CONNECTION_RESET || status == STATUS_CONNECTION_INVALID);
    EXPECT_TRUE(events_->Disconnects().empty());
}

using TdiLifetimeDeathTest = TdiTest;

// Windows leaves an unwritten BytesTaken as whatever the stack held.
TEST_F(TdiLifetimeDeathTest, HandlersAndRequestsThatBreakTheTransportsRules)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    events_->LeaveBytesTakenUnset = true;
    EXPECT_DEATH(
        {
            zel::test::SendAll(peer_.Get(), "x");
            WaitSafely(&events_->Received);
        },
        "TDI receive event handler returned without setting BytesTaken");
    LockedBuffer in(2048);
    IO_STATUS_BLOCK ioStatus{};
    EXPECT_DEATH(TdiReceiveRequest(&endpoint_, nullptr, nullptr, &ioStatus, in.Mdl(),
                                   TDI_RECEIVE_PEEK, nullptr, nullptr),
                 "DRIVER_VERIFIER_DETECTED_VIOLATION: TDI_RECEIVE: unsupported receive flags");
    TdiRequest receive(endpoint_.FileObject);
    EXPECT_EQ(receive.Receive(in), STATUS_PENDING);
    EXPECT_DEATH(CloseTransportFile(&endpoint_.Handle, &endpoint_.FileObject),
                 "DRIVER_VERIFIER_IOMANAGER_VIOLATION: file object of a \\\\Device\\\\Tcp "
                 "connection endpoint freed while requests on it are pending: TDI_RECEIVE");
    EXPECT_DEATH(in.Unlock(),
                 "DRIVER_VERIFIER_DETECTED_VIOLATION: MmUnlockPages on MDL .* while "
                 "a pending request uses it");
    LockedBuffer out(16);
    TdiRequest send(endpoint_.FileObject);
    EXPECT_DEATH(send.Send(out, 17),
                 "DRIVER_VERIFIER_DETECTED_VIOLATION: TDI_SEND of 17 bytes with an MDL chain of "
                 "16 bytes");
    out.Unlock();
    EXPECT_DEATH(send.Send(out),
                 "DRIVER_VERIFIER_DETECTED_VIOLATION: TDI_SEND with MDL .* whose "
                 "pages are not locked");
}

constexpr ULONG kLength = 2048;
constexpr PHYSICAL_ADDRESS kAnywhere{{0xFFFFFFFF, -1}};

using TdiMdlDeathTest = HostKernelTest;

// An MDL allocated for an IRP links to it, a secondary one behind the
// first; NDIS memory is nonpaged: it may go at DISPATCH_LEVEL.
TEST_F(TdiMdlDeathTest, MdlsAndNdisMemoryMisusedOrLeftAtUnload)
{
    std::vector<std::uint8_t> memory(kLength);
    PIRP irp = IoAllocateIrp(1, FALSE);
    PMDL first = IoAllocateMdl(memory.data(), kLength, FALSE, FALSE, irp);
    PMDL second = IoAllocateMdl(memory.data(), kLength, TRUE, FALSE, irp);
    EXPECT_EQ(irp->MdlAddress, first);
    EXPECT_EQ(first->Next, second);
    IoFreeMdl(second);
    IoFreeMdl(first);
    IoFreeIrp(irp);
    PMDL mdl = IoAllocateMdl(memory.data(), kLength, FALSE, FALSE, nullptr);
    EXPECT_DEATH(MmUnlockPages(mdl),
                 "DRIVER_VERIFIER_DETECTED_VIOLATION: MmUnlockPages with MDL "
                 ".* whose pages are not locked");
    MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess);
    EXPECT_DEATH(MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess),
                 "DRIVER_VERIFIER_DETECTED_VIOLATION: MmProbeAndLockPages on MDL .* whose pages "
                 "are already locked");
    EXPECT_DEATH(IoFreeMdl(mdl),
                 "DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS: IoFreeMdl of MDL .* whose "
                 "pages are still locked");
    UnlockBuffer(mdl);
    EXPECT_DEATH(IoAllocateMdl(memory.data(), kLength, FALSE, TRUE, nullptr),
                 "DRIVER_VERIFIER_IOMANAGER_VIOLATION: IoAllocateMdl with ChargeQuota TRUE");
    EXPECT_DEATH(IoAllocateMdl(memory.data(), kLength, TRUE, FALSE, nullptr),
                 "DRIVER_VERIFIER_IOMANAGER_VIOLATION: IoAllocateMdl with SecondaryBuffer TRUE "
                 "and no IRP");
    PVOID block = nullptr;
    ASSERT_EQ(NdisAllocateMemory(&block, kLength, 0, kAnywhere), NDIS_ALLOCATION_SUCCEEDED);
    EXPECT_DEATH(NdisFreeMemory(block, kLength - 1, 0),
                 "BAD_POOL_CALLER: NdisFreeMemory of 2047 bytes at .*, which NdisAllocateMemory "
                 "gave 2048 bytes");
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    NdisFreeMemory(block, kLength, 0);
    KeLowerIrql(irql);
    LoadDriver();
    PMDL forgotten = IoAllocateMdl(memory.data(), kLength, FALSE, FALSE, nullptr);
    EXPECT_DEATH(Kernel().UnloadDriver(),
                 "DRIVER_VERIFIER_DETECTED_VIOLATION: driver unloaded without freeing its MDLs: "
                 "MDL .* for 2048 bytes");
    IoFreeMdl(forgotten);
}

}  // namespace
}  // namespace hosttest
