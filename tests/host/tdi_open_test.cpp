// Opening \Device\Tcp as a driver does: address objects, endpoints and
// control channels through ZwCreateFile with EA buffers, kernel handles,
// object references, and the requests every kind of object answers.
#include "tdi_fixture.h"

namespace hosttest {
namespace {

using TdiOpenTest = TdiTest;
using TdiOpenDeathTest = TdiTest;

NTSTATUS OpenStatusWith(const std::vector<std::uint8_t>& ea)
{
    TdiObject object;
    return TdiObject::Open(ea, &object);
}

TEST_F(TdiOpenTest, EachKindOfObjectOpensOnTheTransportDevice)
{
    TdiObject address = OpenAddress();
    TdiObject endpoint = OpenEndpoint(Context());
    TdiObject control = OpenControlChannel();
    for (const TdiObject* object : {&address, &endpoint, &control}) {
        ASSERT_TRUE(object->IsOpen());
        EXPECT_EQ(object->Device(), Kernel().FindDevice(kTcpDevice));
    }
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(address.File()->FsContext2), TDI_TRANSPORT_ADDRESS_FILE);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(endpoint.File()->FsContext2), TDI_CONNECTION_FILE);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(control.File()->FsContext2), TDI_CONTROL_CHANNEL_FILE);
    EXPECT_NE(address.Handle(), endpoint.Handle());
}

TEST_F(TdiOpenTest, BadExtendedAttributesAreRefused)
{
    const ULONG value = 0;
    EXPECT_EQ(OpenStatusWith(EaBuffer("SomethingElse", &value, sizeof value)),
              STATUS_INVALID_EA_NAME);
    // A connection context must hold a pointer.
    EXPECT_EQ(OpenStatusWith(EaBuffer(TdiConnectionContext, &value, sizeof value)),
              STATUS_INVALID_PARAMETER);
    // A transport address without an IPv4 entry.
    TA_IP_ADDRESS ipv6 = IpAddress(0, 0);
    ipv6.Address[0].AddressType = TDI_ADDRESS_TYPE_IP6;
    EXPECT_EQ(OpenStatusWith(EaBuffer(TdiTransportAddress, &ipv6, sizeof ipv6)),
              STATUS_INVALID_ADDRESS_COMPONENT);
    // An entry whose value runs past the buffer.
    std::vector<std::uint8_t> truncated = EaBuffer(TdiTransportAddress, &ipv6, sizeof ipv6);
    truncated.resize(truncated.size() - 1);
    EXPECT_EQ(OpenStatusWith(truncated), STATUS_EA_LIST_INCONSISTENT);
}

TEST_F(TdiOpenTest, ReferencingAnInvalidHandleFails)
{
    PVOID object = this;
    const auto bogus = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x1234));
    EXPECT_EQ(ObReferenceObjectByHandle(bogus, 0, nullptr, KernelMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(object, nullptr);
}

TEST_F(TdiOpenTest, ReferencesAreCountedAndReportedWithTheHandle)
{
    TdiObject control = OpenControlChannel();
    PVOID again = nullptr;
    OBJECT_HANDLE_INFORMATION information{};
    ASSERT_EQ(ObReferenceObjectByHandle(control.Handle(), 0, *IoFileObjectType, KernelMode, &again,
                                        &information),
              STATUS_SUCCESS);
    EXPECT_EQ(again, control.File());
    EXPECT_EQ(information.GrantedAccess,
              static_cast<ACCESS_MASK>(GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE));
    // The handle, the open's reference and this one.
    EXPECT_EQ(ObDereferenceObject(again), 2);
}

TEST_F(TdiOpenTest, UnknownRequestsAreInvalid)
{
    TdiObject control = OpenControlChannel();
    TdiRequest listen(control);
    EXPECT_EQ(listen.Minor(TDI_LISTEN), STATUS_INVALID_DEVICE_REQUEST);
    TdiRequest unknown(control);
    EXPECT_EQ(unknown.Minor(0x7F), STATUS_INVALID_DEVICE_REQUEST);
    // A connection request on a control channel.
    TdiRequest connect(control);
    EXPECT_EQ(connect.Connect(1, nullptr), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(connect.Wait(), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(TdiOpenTest, ProviderInformationIsTheOneQueryAnswered)
{
    TdiObject control = OpenControlChannel();
    LockedBuffer result(sizeof(TDI_PROVIDER_INFO));
    TdiRequest query(control);
    query.Query(result.Mdl(), TDI_QUERY_PROVIDER_INFO);
    ASSERT_EQ(query.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(query.Information(), sizeof(TDI_PROVIDER_INFO));

    TdiRequest other(control);
    other.Query(result.Mdl(), TDI_QUERY_BROADCAST_ADDRESS);
    EXPECT_EQ(other.Wait(), STATUS_INVALID_DEVICE_REQUEST);
    LockedBuffer small(sizeof(TDI_PROVIDER_INFO) - 1);
    TdiRequest tooSmall(control);
    tooSmall.Query(small.Mdl(), TDI_QUERY_PROVIDER_INFO);
    EXPECT_EQ(tooSmall.Wait(), STATUS_BUFFER_TOO_SMALL);
}

TEST_F(TdiOpenTest, AssociationNeedsAnAddressObjectAndHappensOnce)
{
    address_ = OpenAddress();
    endpoint_ = OpenEndpoint(Context());
    TdiObject control = OpenControlChannel();
    TdiRequest withControl(endpoint_);
    withControl.Associate(control.Handle());
    EXPECT_EQ(withControl.Wait(), STATUS_INVALID_HANDLE);
    TdiRequest first(endpoint_);
    first.Associate(address_.Handle());
    EXPECT_EQ(first.Wait(), STATUS_SUCCESS);
    TdiRequest second(endpoint_);
    second.Associate(address_.Handle());
    EXPECT_EQ(second.Wait(), STATUS_ADDRESS_ALREADY_ASSOCIATED);
    TdiRequest disassociate(endpoint_);
    disassociate.Disassociate();
    EXPECT_EQ(disassociate.Wait(), STATUS_SUCCESS);
    TdiRequest again(endpoint_);
    again.Disassociate();
    EXPECT_EQ(again.Wait(), STATUS_ADDRESS_NOT_ASSOCIATED);
}

TEST_F(TdiOpenTest, EventHandlersAreSetPerDefinedType)
{
    address_ = OpenAddress();
    TdiRequest cleared(address_);
    cleared.SetEventHandler(TDI_EVENT_ERROR, nullptr, nullptr);
    EXPECT_EQ(cleared.Wait(), STATUS_SUCCESS);
    TdiRequest undefined(address_);
    undefined.SetEventHandler(TDI_EVENT_ERROR_EX + 1, nullptr, nullptr);
    EXPECT_EQ(undefined.Wait(), STATUS_INVALID_PARAMETER);
    // Event handlers belong to address objects.
    endpoint_ = OpenEndpoint(Context());
    TdiRequest onEndpoint(endpoint_);
    onEndpoint.SetEventHandler(TDI_EVENT_RECEIVE, nullptr, nullptr);
    EXPECT_EQ(onEndpoint.Wait(), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(TdiOpenDeathTest, ZwCloseAbovePassiveLevelStops)
{
    TdiObject control = OpenControlChannel();
    EXPECT_DEATH(
        {
            KIRQL irql;
            KeRaiseIrql(DISPATCH_LEVEL, &irql);
            ZwClose(control.Handle());
        },
        "IRQL_NOT_LESS_OR_EQUAL: ZwClose called at IRQL 2");
}

TEST_F(TdiOpenDeathTest, ClosingAHandleTwiceStops)
{
    TdiObject control = OpenControlChannel();
    const HANDLE handle = control.Handle();
    control.Close();
    EXPECT_DEATH(ZwClose(handle),
                 "INVALID_KERNEL_HANDLE: ZwClose of .*, which is not an open handle");
}

TEST_F(TdiOpenDeathTest, DereferencingTooOftenStops)
{
    TdiObject control = OpenControlChannel();
    PFILE_OBJECT file = control.File();
    control.Close();
    EXPECT_DEATH(ObDereferenceObject(file), "REFERENCE_BY_POINTER: ObfDereferenceObject on");
}

TEST_F(TdiOpenDeathTest, UnloadWithATransportHandleOpenStops)
{
    HANDLE forgotten = nullptr;
    driver_.Entry = [&forgotten](PDRIVER_OBJECT) {
        TdiObject control = OpenControlChannel();
        control.DereferenceOnly();
        forgotten = control.LeakHandle();
        return STATUS_SUCCESS;
    };
    LoadDriver();
    EXPECT_DEATH(
        Kernel().UnloadDriver(),
        "DRIVER_VERIFIER_DETECTED_VIOLATION: driver unloaded without closing its handles: handle "
        ".* to \\\\Device\\\\Tcp");
    ZwClose(forgotten);
}

TEST_F(TdiOpenDeathTest, UnloadWithAFileObjectStillReferencedStops)
{
    PFILE_OBJECT forgotten = nullptr;
    driver_.Entry = [&forgotten](PDRIVER_OBJECT) {
        TdiObject control = OpenControlChannel();
        PVOID object = nullptr;
        ObReferenceObjectByHandle(control.Handle(), 0, *IoFileObjectType, KernelMode, &object,
                                  nullptr);
        forgotten = static_cast<PFILE_OBJECT>(object);
        return STATUS_SUCCESS;
    };
    LoadDriver();
    EXPECT_DEATH(Kernel().UnloadDriver(),
                 "driver unloaded without dereferencing its file objects: file object .* of "
                 "\\\\Device\\\\Tcp \\(1 reference\\(s\\)\\)");
    ObDereferenceObject(forgotten);
}

}  // namespace
}  // namespace hosttest
