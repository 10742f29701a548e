// TDI requests: IRP_MJ_INTERNAL_DEVICE_CONTROL on the transport's file
// objects by minor function, the cancel routine of pending ones, and how
// endpoints claim and complete what they hold.
// Minor functions this transport does not offer (listen, accept, datagrams,
// set information, actions) complete with STATUS_INVALID_DEVICE_REQUEST,
// as does a request on the wrong kind of object.
#include "tcp_requests.h"

#include "kernel_impl.h"
#include "nt_time.h"
#include "ob_handle_table.h"
#include "tcp_address.h"
#include "tcp_endpoint.h"
#include "tcp_transport.h"
#include "verifier.h"
#include "verifier_rules.h"

#include <tdikrnl.h>

namespace host {
namespace {

template <typename Parameters>
Parameters* ParametersOf(PIO_STACK_LOCATION stack)
{
    return reinterpret_cast<Parameters*>(&stack->Parameters);
}

// RequestSpecific of a connect or disconnect: null, or the timeout.
TcpEndpoint::Deadline DeadlineFrom(PVOID requestSpecific)
{
    if (requestSpecific == nullptr) {
        return std::nullopt;
    }
    return nt_time::DueTime(static_cast<PLARGE_INTEGER>(requestSpecific)->QuadPart);
}

std::optional<sockaddr_in> RemoteAddress(const TDI_CONNECTION_INFORMATION* information)
{
    if (information == nullptr || information->RemoteAddressLength < 0) {
        return std::nullopt;
    }
    std::optional<sockaddr_in> remote = tdi::FirstIpAddress(
        information->RemoteAddress, static_cast<ULONG>(information->RemoteAddressLength));
    if (!remote || remote->sin_addr.s_addr == INADDR_ANY || remote->sin_port == 0) {
        return std::nullopt;
    }
    return remote;
}

NTSTATUS Associate(PIRP irp, PIO_STACK_LOCATION stack, TcpEndpoint& endpoint)
{
    const HANDLE handle = ParametersOf<TDI_REQUEST_KERNEL_ASSOCIATE>(stack)->AddressHandle;
    KernelFile* file = Internals().Objects().Lookup(handle);
    const std::optional<TransportFile> target =
        file != nullptr ? Tcp().Files().Find(file->Object()) : std::nullopt;
    if (!target || target->Address == nullptr) {
        return CompleteIrp(irp, STATUS_INVALID_HANDLE);
    }
    return CompleteIrp(irp, endpoint.Associate(target->Address));
}

NTSTATUS SetEventHandler(PIRP irp, PIO_STACK_LOCATION stack, TcpAddress& address)
{
    const auto* event = ParametersOf<TDI_REQUEST_KERNEL_SET_EVENT>(stack);
    return CompleteIrp(
        irp, address.SetHandler(event->EventType, event->EventHandler, event->EventContext));
}

NTSTATUS Connect(PIRP irp, PIO_STACK_LOCATION stack, TcpEndpoint& endpoint)
{
    const auto* connect = ParametersOf<TDI_REQUEST_KERNEL_CONNECT>(stack);
    if (connect->RequestConnectionInformation == nullptr) {
        return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
    }
    const std::optional<sockaddr_in> remote = RemoteAddress(connect->RequestConnectionInformation);
    if (!remote) {
        return CompleteIrp(irp, STATUS_INVALID_ADDRESS_COMPONENT);
    }
    TcpRequest request(irp, RequestKind::Connect);
    request.Deadline = DeadlineFrom(connect->RequestSpecific);
    return endpoint.Connect(std::move(request), *remote);
}

NTSTATUS Disconnect(PIRP irp, PIO_STACK_LOCATION stack, TcpEndpoint& endpoint)
{
    const auto* disconnect = ParametersOf<TDI_REQUEST_KERNEL_DISCONNECT>(stack);
    TcpRequest request(irp, RequestKind::Disconnect);
    request.Flags = disconnect->RequestFlags;
    request.Deadline = DeadlineFrom(disconnect->RequestSpecific);
    return endpoint.Disconnect(std::move(request));
}

NTSTATUS Send(PIRP irp, PIO_STACK_LOCATION stack, TcpEndpoint& endpoint)
{
    const auto* send = ParametersOf<TDI_REQUEST_KERNEL_SEND>(stack);
    // TCP here has no urgent data. TDI_SEND_PARTIAL needs nothing: every
    // send goes out at once (no Nagle delay), and completes once all its
    // bytes are with the socket.
    if ((send->SendFlags & TDI_SEND_EXPEDITED) != 0) {
        return CompleteIrp(irp, STATUS_NOT_SUPPORTED);
    }
    TcpRequest request(irp, RequestKind::Send);
    request.Transfer = MdlTransfer(irp->MdlAddress, send->SendLength, "TDI_SEND");
    return endpoint.Send(std::move(request));
}

NTSTATUS Receive(PIRP irp, PIO_STACK_LOCATION stack, TcpEndpoint& endpoint)
{
    const auto* receive = ParametersOf<TDI_REQUEST_KERNEL_RECEIVE>(stack);
    // Every receive here takes normal data and consumes it; no flag asks
    // for anything else the host does.
    if (receive->ReceiveFlags != 0) {
        verifier::BugCheck(rule::kVerifierViolation, "TDI_RECEIVE: unsupported receive flags " +
                                                         verifier::Hex(receive->ReceiveFlags));
    }
    if (receive->ReceiveLength == 0) {
        return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
    }
    TcpRequest request(irp, RequestKind::Receive);
    request.Transfer = MdlTransfer(irp->MdlAddress, receive->ReceiveLength, "TDI_RECEIVE");
    return endpoint.Receive(std::move(request));
}

// TDI 2.0: the major version in the high byte, as the structure carries it.
constexpr ULONG kTdiVersionTwo = 0x0200;
// A send is bounded only by its 32-bit length.
constexpr ULONG kMaxSendSize = MAXULONG;
// The least a receive handler is shown: one byte.
constexpr ULONG kMinimumLookahead = 1;

// What TDI_QUERY_PROVIDER_INFO reports for TCP.
TDI_PROVIDER_INFO TcpProviderInfo(LONGLONG startTime)
{
    TDI_PROVIDER_INFO info{};
    info.Version = kTdiVersionTwo;
    info.MaxSendSize = kMaxSendSize;
    info.MaxConnectionUserData = 0;
    info.MaxDatagramSize = 0;
    info.ServiceFlags = TDI_SERVICE_CONNECTION_MODE | TDI_SERVICE_ORDERLY_RELEASE |
                        TDI_SERVICE_ERROR_FREE_DELIVERY | TDI_SERVICE_INTERNAL_BUFFERING;
    info.MinimumLookaheadData = kMinimumLookahead;
    info.MaximumLookaheadData = TcpEndpoint::kLookaheadBytes;
    info.NumberOfResources = 0;
    info.StartTime.QuadPart = startTime;
    return info;
}

NTSTATUS Query(PIRP irp, PIO_STACK_LOCATION stack)
{
    if (ParametersOf<TDI_REQUEST_KERNEL_QUERY_INFORMATION>(stack)->QueryType !=
        TDI_QUERY_PROVIDER_INFO) {
        return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    const TDI_PROVIDER_INFO info = TcpProviderInfo(Tcp().StartTime());
    if (MdlTransfer::ChainLength(irp->MdlAddress) < sizeof info) {
        return CompleteIrp(irp, STATUS_BUFFER_TOO_SMALL);
    }
    MdlTransfer buffer(irp->MdlAddress, sizeof info, "TDI_QUERY_INFORMATION");
    buffer.CopyIn(&info, sizeof info);
    buffer.Release();
    return CompleteIrp(irp, STATUS_SUCCESS, sizeof info);
}

NTSTATUS ForEndpoint(PIRP irp, PIO_STACK_LOCATION stack, TcpEndpoint& endpoint)
{
    switch (stack->MinorFunction) {
    case TDI_ASSOCIATE_ADDRESS:
        return Associate(irp, stack, endpoint);
    case TDI_DISASSOCIATE_ADDRESS:
        return CompleteIrp(irp, endpoint.Disassociate());
    case TDI_CONNECT:
        return Connect(irp, stack, endpoint);
    case TDI_DISCONNECT:
        return Disconnect(irp, stack, endpoint);
    case TDI_SEND:
        return Send(irp, stack, endpoint);
    case TDI_RECEIVE:
        return Receive(irp, stack, endpoint);
    default:
        return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

}  // namespace

NTSTATUS NTAPI TcpDispatchInternalControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const std::optional<TransportFile> file = Tcp().Files().Find(stack->FileObject);
    if (!file) {
        return CompleteIrp(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    if (stack->MinorFunction == TDI_QUERY_INFORMATION) {
        return Query(Irp, stack);
    }
    if (stack->MinorFunction == TDI_SET_EVENT_HANDLER && file->Address != nullptr) {
        return SetEventHandler(Irp, stack, *file->Address);
    }
    if (file->Endpoint != nullptr) {
        return ForEndpoint(Irp, stack, *file->Endpoint);
    }
    return CompleteIrp(Irp, STATUS_INVALID_DEVICE_REQUEST);
}

VOID NTAPI CancelTransportRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    const std::optional<TransportFile> file =
        Tcp().Files().Find(IoGetCurrentIrpStackLocation(Irp)->FileObject);
    if (file && file->Endpoint != nullptr) {
        file->Endpoint->Cancel(Irp);
    }
}

const char* KindName(RequestKind kind)
{
    switch (kind) {
    case RequestKind::Connect:
        return "TDI_CONNECT";
    case RequestKind::Disconnect:
        return "TDI_DISCONNECT";
    case RequestKind::Send:
        return "TDI_SEND";
    case RequestKind::Receive:
        return "TDI_RECEIVE";
    }
    return "TDI request";
}

bool Claim(TcpRequest& request)
{
    if (request.Claimed) {
        return true;
    }
    if (IoSetCancelRoutine(request.Irp, nullptr) != nullptr) {
        request.Claimed = true;
        return true;
    }
    request.Cancelling = true;
    return false;
}

bool Unclaim(TcpRequest& request)
{
    request.Claimed = false;
    IoSetCancelRoutine(request.Irp, CancelTransportRequest);
    if (request.Irp->Cancel && IoSetCancelRoutine(request.Irp, nullptr) != nullptr) {
        request.Claimed = true;
        return false;
    }
    return true;
}

std::optional<TcpRequest> TakeRequest(RequestQueue& queue, PIRP irp)
{
    for (auto it = queue.begin(); it != queue.end(); ++it) {
        if (it->Irp == irp) {
            TcpRequest request = std::move(*it);
            queue.erase(it);
            return request;
        }
    }
    return std::nullopt;
}

TcpRequest* LiveHead(RequestQueue& queue)
{
    return queue.empty() || queue.front().Cancelling ? nullptr : &queue.front();
}

bool HasLiveHead(const RequestQueue& queue)
{
    return !queue.empty() && !queue.front().Cancelling;
}

TcpActions::~TcpActions()
{
    Run();
}

void TcpActions::Complete(TcpRequest request, NTSTATUS status)
{
    // The client may unlock the buffer from its completion routine.
    request.Transfer.Release();
    steps_.push_back(Step{request.Irp, status, request.Transfer.Done(), nullptr, nullptr, 0});
}

void TcpActions::IndicateDisconnect(std::shared_ptr<TcpAddress> address, CONNECTION_CONTEXT context,
                                    ULONG flags)
{
    if (address != nullptr) {
        steps_.push_back(Step{nullptr, STATUS_SUCCESS, 0, std::move(address), context, flags});
    }
}

void TcpActions::Run()
{
    std::vector<Step> steps;
    steps.swap(steps_);
    for (const Step& step : steps) {
        if (step.Irp != nullptr) {
            CompleteIrp(step.Irp, step.Status, step.Information);
        } else {
            host::IndicateDisconnect(*step.Address, step.Context, step.Flags);
        }
    }
}

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace host
