#include "request_executor.h"

#include <host/common/numbers.h>
#include <zelvcom_ipc/codec.h>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace zelvcomd {
namespace {

constexpr std::string_view kDosDevicePrefix = "\\\\.\\";
constexpr std::string_view kDosDevicesDirectory = "\\DosDevices\\";

// Not in the host's ntstatus.h: a cancel aimed at a request that is no
// longer in flight, and an open beyond the client's handle limit.
constexpr NTSTATUS kStatusNotFound = static_cast<NTSTATUS>(0xC0000225);
constexpr NTSTATUS kStatusTooManyOpenedFiles = static_cast<NTSTATUS>(0xC000011F);

// Programs reach devices as on Windows, through the DOS-device namespace
// (\\.\NAME, one name, no path): the kernel's own devices, such as the TCP
// transport, are the drivers' alone.
bool IsDosDeviceName(const std::string& name)
{
    return name.size() > kDosDevicePrefix.size() && name.rfind(kDosDevicePrefix, 0) == 0 &&
           name.find('\\', kDosDevicePrefix.size()) == std::string::npos;
}

template <typename Body, typename = void>
struct NamesHandle : std::false_type {
};
template <typename Body>
struct NamesHandle<Body, std::void_t<decltype(Body::Handle)>> : std::true_type {
};

constexpr std::string_view kModuleLinkPrefix = "\\DosDevices\\ZelSerial";
constexpr std::string_view kPortLinkPrefix = "\\DosDevices\\COM";
constexpr std::uint32_t kHighestLinkNumber = 4096;

// n of a link name that is prefix followed by n.
std::optional<std::uint32_t> NumberAfter(const std::string& link, std::string_view prefix)
{
    if (link.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    const auto number =
        zel::ReadDecimal(std::string_view(link).substr(prefix.size()), 0, kHighestLinkNumber);
    return number ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(*number))
                  : std::nullopt;
}

std::string Client(const std::shared_ptr<ClientSession>& session)
{
    return "client " + std::to_string(session->Id());
}

}  // namespace

struct RequestExecutor::Dispatcher {
    RequestExecutor& executor;
    const Context& context;

    void operator()(const zelipc::HelloRequest&) const
    {
        executor.Finish(context, STATUS_SUCCESS, zelipc::kVersion);
    }
    void operator()(const zelipc::OpenRequest& r) const { executor.Open(context, r); }
    void operator()(const zelipc::ReadRequest& r) const { executor.Read(context, r); }
    void operator()(const zelipc::WriteRequest& r) const { executor.Write(context, r); }
    void operator()(const zelipc::DeviceControlRequest& r) const { executor.Control(context, r); }
    void operator()(const zelipc::FlushRequest& r) const { executor.Flush(context, r); }
    void operator()(const zelipc::CancelRequest& r) const { executor.Cancel(context, r); }
    void operator()(const zelipc::CloseRequest& r) const { executor.Close(context, r); }
    void operator()(const zelipc::PortStatusRequest& r) const { executor.PortStatus(context, r); }
};

void RequestExecutor::Execute(const std::shared_ptr<ClientSession>& session,
                              const zelipc::Request& request)
{
    const Context context{session, request.Id};
    if (!session->Handles().Enter()) {
        Drop(context);
        return;
    }
    if (session->Handles().Start(request.Id)) {
        std::visit(Dispatcher{*this, context}, request.Body);
    } else {
        Finish(context, STATUS_CANCELLED);
    }
    session->Handles().Leave();
}

std::uint64_t RequestExecutor::HandleOf(const zelipc::Request& request)
{
    return std::visit(
        [](const auto& body) -> std::uint64_t {
            if constexpr (NamesHandle<std::decay_t<decltype(body)>>::value) {
                return body.Handle;
            } else {
                return 0;
            }
        },
        request.Body);
}

std::uint64_t RequestExecutor::IoHandleOf(const zelipc::Request& request)
{
    const bool io = !std::holds_alternative<zelipc::CloseRequest>(request.Body) &&
                    !std::holds_alternative<zelipc::CancelRequest>(request.Body);
    return io ? HandleOf(request) : 0;
}

KeyedQueues::Key RequestExecutor::QueueOf(const std::shared_ptr<ClientSession>& session,
                                          const zelipc::Request& request) const
{
    if (std::holds_alternative<zelipc::CancelRequest>(request.Body)) {
        return nullptr;
    }
    PDEVICE_OBJECT device = nullptr;
    if (const auto* open = std::get_if<zelipc::OpenRequest>(&request.Body)) {
        if (IsDosDeviceName(open->Name)) {
            const auto target = kernel_.SymbolicLinkTarget(
                std::string(kDosDevicesDirectory) + open->Name.substr(kDosDevicePrefix.size()));
            device = target ? kernel_.FindDevice(*target) : nullptr;
        }
    } else if (const auto file = session->Handles().Find(HandleOf(request))) {
        device = file->FileObject()->DeviceObject;
    }
    return device != nullptr ? static_cast<KeyedQueues::Key>(device) : session.get();
}

void RequestExecutor::Teardown(const std::shared_ptr<ClientSession>& session)
{
    const auto files = session->Handles().Shut();
    for (const auto& file : files) {
        file->CancelAll();
    }
    for (const auto& file : files) {
        file->Close();
    }
    if (!files.empty()) {
        log_.Info(Client(session) + ": closed " + std::to_string(files.size()) +
                  " handle(s) left open");
    }
    watch_.Check();
}

void RequestExecutor::Open(const Context& context, const zelipc::OpenRequest& request)
{
    if (request.Name.empty() || request.Name.find('\0') != std::string::npos) {
        Finish(context, STATUS_OBJECT_NAME_INVALID);
        return;
    }
    if (!IsDosDeviceName(request.Name)) {
        log_.Debug(Client(context.Session) + ": open " + request.Name +
                   " refused: not a DOS device name");
        Finish(context, STATUS_OBJECT_PATH_NOT_FOUND);
        return;
    }
    if (!context.Session->Handles().Reserve()) {
        log_.Debug(Client(context.Session) + ": open " + request.Name +
                   " refused: the client holds as many handles as it may");
        Finish(context, kStatusTooManyOpenedFiles);
        return;
    }
    std::unique_ptr<host::File> file;
    const Opener client{zelipc::PortOpener::Client, context.Session->PeerProcess(), "", ""};
    const NTSTATUS status = ledger_.Open(kernel_, request.Name, client, &file);
    if (!NT_SUCCESS(status)) {
        context.Session->Handles().Unreserve();
        log_.Debug(Client(context.Session) + ": open " + request.Name + " failed with " +
                   StatusText(status));
        Finish(context, status);
        return;
    }
    const std::uint64_t handle = context.Session->Handles().Add(std::move(file));
    log_.Debug(Client(context.Session) + ": opened " + request.Name + " as handle " +
               std::to_string(handle));
    Finish(context, status, handle);
}

void RequestExecutor::Read(const Context& context, const zelipc::ReadRequest& request)
{
    if (auto file = FileOf(context, request.Handle)) {
        Await(context, file->StartRead(request.Length));
    }
}

void RequestExecutor::Write(const Context& context, const zelipc::WriteRequest& request)
{
    if (auto file = FileOf(context, request.Handle)) {
        const auto length = static_cast<ULONG>(request.Data.size());
        Await(context, file->StartWrite(request.Data.data(), length));
    }
}

void RequestExecutor::Control(const Context& context, const zelipc::DeviceControlRequest& request)
{
    if (auto file = FileOf(context, request.Handle)) {
        const auto inputLength = static_cast<ULONG>(request.Input.size());
        Await(context, file->StartDeviceControl(request.Code, request.Input.data(), inputLength,
                                                request.OutputLength));
        // Control requests are what create and delete devices.
        watch_.Check();
    }
}

void RequestExecutor::Flush(const Context& context, const zelipc::FlushRequest& request)
{
    if (auto file = FileOf(context, request.Handle)) {
        Await(context, file->StartFlush());
    }
}

void RequestExecutor::Cancel(const Context& context, const zelipc::CancelRequest& request)
{
    auto file = FileOf(context, request.Handle);
    if (file == nullptr) {
        return;
    }
    constexpr std::uint64_t kEveryRequest = 0;
    if (request.Target == kEveryRequest) {
        context.Session->Handles().CancelWaiting(request.Handle);
        file->CancelAll();
        Finish(context, STATUS_SUCCESS);
        return;
    }
    std::shared_ptr<host::PendingIo> io;
    if (!context.Session->Handles().Cancel(request.Target, request.Handle, &io)) {
        Finish(context, kStatusNotFound);
        return;
    }
    if (io != nullptr) {
        io->Cancel();
    }
    Finish(context, STATUS_SUCCESS);
}

void RequestExecutor::Close(const Context& context, const zelipc::CloseRequest& request)
{
    auto file = context.Session->Handles().Remove(request.Handle);
    if (file == nullptr) {
        Finish(context, STATUS_INVALID_HANDLE);
        return;
    }
    file->Close();
    log_.Debug(Client(context.Session) + ": closed handle " + std::to_string(request.Handle));
    Finish(context, STATUS_SUCCESS);
}

// The ports that exist, from the first asked for up, as many as one reply
// holds; the first page also names the module devices that exist.
void RequestExecutor::PortStatus(const Context& context, const zelipc::PortStatusRequest& request)
{
    zelipc::PortStatusPage page;
    std::vector<std::uint32_t> ports;
    for (const auto& link : kernel_.SymbolicLinkNames()) {
        if (const auto module = NumberAfter(link, kModuleLinkPrefix)) {
            if (request.From == 0)
                page.ModuleDevices.push_back(*module);
        } else if (const auto port = NumberAfter(link, kPortLinkPrefix)) {
            if (*port >= request.From)
                ports.push_back(*port);
        }
    }
    std::sort(ports.begin(), ports.end());
    // No more are looked at than a page can hold.
    const std::size_t most = zelipc::kMaxData / zelipc::EncodedSize({});
    std::uint32_t next = ports.size() > most ? ports[most] : 0;
    ports.resize(std::min(ports.size(), most));
    std::size_t size = zelipc::EncodePortStatus(page).size();
    for (auto& report : ledger_.Reports(ports)) {
        size += zelipc::EncodedSize(report);
        if (size > zelipc::kMaxData) {
            next = report.ComNumber;
            break;
        }
        page.Ports.push_back(std::move(report));
    }
    const std::vector<std::uint8_t> data = zelipc::EncodePortStatus(page);
    Finish(context, STATUS_SUCCESS, next, data);
}

// The open file behind a handle; answers STATUS_INVALID_HANDLE when there is none.
std::shared_ptr<host::File> RequestExecutor::FileOf(const Context& context, std::uint64_t handle)
{
    auto file = context.Session->Handles().Find(handle);
    if (file == nullptr) {
        Finish(context, STATUS_INVALID_HANDLE);
    }
    return file;
}

void RequestExecutor::Await(const Context& context, std::shared_ptr<host::PendingIo> io)
{
    if (context.Session->Handles().Track(context.RequestId, io)) {
        io->Cancel();  // asked for while the dispatch routine ran
    }
    if (!io->Done()) {
        log_.Debug(Client(context.Session) + ": request " + std::to_string(context.RequestId) +
                   " pending in the driver");
        zelipc::Reply pending;
        pending.Id = context.RequestId;
        pending.Final = false;
        pending.Status = STATUS_PENDING;
        context.Session->QueueReply(pending);
    }
    // Runs at once, or later in the completing thread: it only hands the
    // result on.
    io->OnComplete([this, context](const host::IoResult& result) {
        Finish(context, result.Status, result.Information, result.Data);
    });
}

void RequestExecutor::Finish(const Context& context, NTSTATUS status, std::uint64_t information,
                             const std::vector<std::uint8_t>& data)
{
    zelipc::Reply reply;
    reply.Id = context.RequestId;
    reply.Status = status;
    reply.Information = information;
    reply.Data = data;
    // The id is free again before the client can learn that it is.
    context.Session->Handles().End(context.RequestId);
    context.Session->QueueReply(reply);
    activity_.End();
}

// A request of a client that has gone: over for the counters, unanswered.
void RequestExecutor::Drop(const Context& context)
{
    context.Session->Handles().End(context.RequestId);
    activity_.End();
}

}  // namespace zelvcomd
