#include "io_manager.h"

#include "device_table.h"
#include "file_state.h"
#include "irp_engine.h"
#include "irp_table.h"
#include "thread_state.h"
#include "verifier.h"
#include "verifier_rules.h"
#include "worker.h"

#include <algorithm>
#include <cstring>

namespace host {
namespace {

constexpr const char* kWin32DevicePrefix = "\\\\.\\";
constexpr const char* kDosDevicesDirectory = "\\DosDevices\\";
constexpr int kCreateDispositionShift = 24;

// "\\.\COM5" names \DosDevices\COM5; anything else is an object name.
std::string ObjectNameOf(const std::string& name)
{
    const std::string prefix = kWin32DevicePrefix;
    if (name.compare(0, prefix.size(), prefix) == 0) {
        return kDosDevicesDirectory + name.substr(prefix.size());
    }
    return name;
}

bool IsUserRequest(UCHAR major)
{
    return major != IRP_MJ_CREATE && major != IRP_MJ_CLEANUP && major != IRP_MJ_CLOSE;
}

bool IsBufferedControl(const RequestSetup& setup)
{
    return setup.MajorFunction == IRP_MJ_DEVICE_CONTROL &&
           METHOD_FROM_CTL_CODE(setup.IoControlCode) == METHOD_BUFFERED;
}

// The bytes of the request's buffer that go back to the caller.
bool ReturnsData(const RequestSetup& setup)
{
    return setup.MajorFunction == IRP_MJ_READ || IsBufferedControl(setup);
}

// Only buffered transfers are implemented: neither direct I/O (MDLs) nor
// METHOD_NEITHER/direct I/O controls reach a driver of this host.
bool Supported(const RequestSetup& setup, PDEVICE_OBJECT device)
{
    const bool transfer = setup.MajorFunction == IRP_MJ_READ || setup.MajorFunction == IRP_MJ_WRITE;
    if (transfer && (device->Flags & DO_DIRECT_IO) != 0) {
        return false;
    }
    return setup.MajorFunction != IRP_MJ_DEVICE_CONTROL || IsBufferedControl(setup);
}

void PrepareBuffer(IoRequest& request)
{
    const RequestSetup& setup = request.Setup();
    const ULONG inputLength = static_cast<ULONG>(setup.Input.size());
    request.AllocateBuffer(std::max(inputLength, setup.OutputLength));
    if (inputLength != 0) {
        std::memcpy(request.Buffer(), setup.Input.data(), inputLength);
    }
}

void SetParameters(PIO_STACK_LOCATION stack, const RequestSetup& setup)
{
    switch (setup.MajorFunction) {
    case IRP_MJ_CREATE:
        stack->Parameters.Create.Options = FILE_OPEN << kCreateDispositionShift;
        break;
    case IRP_MJ_READ:
        stack->Parameters.Read.Length = setup.OutputLength;
        break;
    case IRP_MJ_WRITE:
        stack->Parameters.Write.Length = static_cast<ULONG>(setup.Input.size());
        break;
    case IRP_MJ_DEVICE_CONTROL:
        stack->Parameters.DeviceIoControl.OutputBufferLength = setup.OutputLength;
        stack->Parameters.DeviceIoControl.InputBufferLength =
            static_cast<ULONG>(setup.Input.size());
        stack->Parameters.DeviceIoControl.IoControlCode = setup.IoControlCode;
        break;
    default:
        break;
    }
}

ULONG IrpFlagsFor(const RequestSetup& setup, bool buffered)
{
    switch (setup.MajorFunction) {
    case IRP_MJ_CREATE:
        return IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
    case IRP_MJ_CLOSE:
        return IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API;
    default:
        break;
    }
    ULONG flags = buffered ? IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER : 0;
    if (buffered && ReturnsData(setup)) {
        flags |= IRP_INPUT_OPERATION;
    }
    return flags;
}

}  // namespace

IoManager::IoManager(IrpTable& irps, DeviceTable& devices, Worker& worker)
    : irps_(irps), devices_(devices), worker_(worker)
{
}

NTSTATUS IoManager::Open(const std::string& name, std::unique_ptr<File>* file)
{
    verifier::RequireIrqlAtMost(PASSIVE_LEVEL, "an open");
    file->reset();
    PDEVICE_OBJECT device = nullptr;
    std::string remainder;
    const NTSTATUS referenced = devices_.ReferenceForOpen(ObjectNameOf(name), &device, &remainder);
    if (!NT_SUCCESS(referenced)) {
        return referenced;
    }
    auto state = std::make_shared<FileState>(*this, device, remainder);
    RequestSetup create;
    create.MajorFunction = IRP_MJ_CREATE;
    const NTSTATUS status = Send(state, std::move(create))->Wait().Status;
    if (!NT_SUCCESS(status)) {
        // A failed create leaves no file object behind: no cleanup, no close.
        devices_.DereferenceFileObject(device);
        return status;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++openHandles_;
        ++unclosedFileObjects_;
    }
    state->Object()->Flags |= FO_HANDLE_CREATED;
    *file = MakeFileHandle(std::move(state));
    return status;
}

void IoManager::BuildIrp(PIRP irp, IoRequest& request)
{
    const RequestSetup& setup = request.Setup();
    PFILE_OBJECT fileObject = request.File()->Object();
    const bool buffered = setup.MajorFunction == IRP_MJ_DEVICE_CONTROL ||
                          (fileObject->DeviceObject->Flags & DO_BUFFERED_IO) != 0;
    irp->RequestorMode = IsUserRequest(setup.MajorFunction) || setup.MajorFunction == IRP_MJ_CREATE
                             ? UserMode
                             : KernelMode;
    irp->Flags = IrpFlagsFor(setup, buffered);
    irp->AssociatedIrp.SystemBuffer = buffered ? request.Buffer() : nullptr;
    irp->UserBuffer = ReturnsData(setup) ? request.Buffer() : nullptr;
    if (!buffered && setup.MajorFunction == IRP_MJ_WRITE) {
        irp->UserBuffer = request.Buffer();
    }
    irp->Tail.Overlay.OriginalFileObject = fileObject;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = setup.MajorFunction;
    stack->FileObject = fileObject;
    SetParameters(stack, setup);
}

std::shared_ptr<IoRequest> IoManager::Send(const std::shared_ptr<FileState>& file,
                                           RequestSetup setup)
{
    verifier::RequireIrqlAtMost(PASSIVE_LEVEL, "a request from a caller");
    const thread_state::DriverScope inDriver;
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(file->Object());
    if (!Supported(setup, device)) {
        return IoRequest::Failed(STATUS_NOT_IMPLEMENTED);
    }
    auto request = std::make_shared<IoRequest>(file, std::move(setup));
    PrepareBuffer(*request);
    PIRP irp = irps_.Allocate(device->StackSize, request.get());
    if (irp == nullptr) {
        return IoRequest::Failed(STATUS_INSUFFICIENT_RESOURCES);
    }
    request->AttachIrp(irp);
    request->KeepAliveUntilFinished();
    BuildIrp(irp, *request);
    const UCHAR major = request->Setup().MajorFunction;
    if (IsUserRequest(major)) {
        if (!file->AddRequest(request.get())) {
            irps_.ReleaseOwner(irp);
            request->Finish(IoResult{STATUS_INVALID_HANDLE, 0, {}});
            return request;
        }
        ++requestsInFlight_;
    }
    devices_.AddKernelReference(device);
    if (major == IRP_MJ_CLEANUP) {
        DispatchAndFinishCleanup(device, irp);
    } else {
        IofCallDriver(device, irp);  // the IRP may be gone once this returns
    }
    devices_.ReleaseKernelReference(device);
    return request;
}

void IoManager::DispatchAndFinishCleanup(PDEVICE_OBJECT device, PIRP irp)
{
    // Held so that it can be looked at after the dispatch.
    irps_.Hold(irp);
    const CHAR topLevel = irp->StackCount;
    const NTSTATUS status = IofCallDriver(device, irp);
    if (status != STATUS_PENDING && !IsLevelCompleted(irp, topLevel)) {
        // A driver may leave a cleanup uncompleted; the I/O manager finishes it.
        irp->IoStatus.Status = status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    }
    irps_.Release(irp);
}

void IoManager::SendClose(const std::shared_ptr<FileState>& file)
{
    RequestSetup close;
    close.MajorFunction = IRP_MJ_CLOSE;
    Send(file, std::move(close))->Wait();
    FileObjectClosed();
}

IoResult IoManager::Collect(PIRP irp, IoRequest& request)
{
    const RequestSetup& setup = request.Setup();
    IoResult result;
    result.Status = irp->IoStatus.Status;
    result.Information = irp->IoStatus.Information;
    if (NT_ERROR(result.Status)) {
        return result;
    }
    const ULONG capacity = setup.MajorFunction == IRP_MJ_WRITE
                               ? static_cast<ULONG>(setup.Input.size())
                               : setup.OutputLength;
    const bool transfers = ReturnsData(setup) || setup.MajorFunction == IRP_MJ_WRITE;
    if (transfers && result.Information > capacity) {
        verifier::BugCheck(rule::kIoManagerViolation,
                           MajorFunctionName(setup.MajorFunction) + " completed with Information " +
                               std::to_string(result.Information) + " for a buffer of " +
                               std::to_string(capacity) + " bytes");
    }
    if (ReturnsData(setup) && result.Information != 0) {
        result.Data.assign(request.Buffer(), request.Buffer() + result.Information);
    }
    return result;
}

void IoManager::FinishRequest(PIRP irp, IoRequest& request)
{
    IoResult result = Collect(irp, request);
    const UCHAR major = request.Setup().MajorFunction;
    std::shared_ptr<FileState> file = request.File()->shared_from_this();
    if (major == IRP_MJ_CLOSE) {
        devices_.DereferenceFileObject(file->Device());
    }
    if (IsUserRequest(major)) {
        const bool lastAfterCleanup = file->RemoveRequest(&request);
        --requestsInFlight_;
        // IRP_MJ_CLOSE goes at PASSIVE_LEVEL; this may run at DISPATCH_LEVEL.
        if (lastAfterCleanup) {
            worker_.Queue([this, file] { SendClose(file); });
        }
    }
    request.Finish(std::move(result));
}

void IoManager::HandleClosed()
{
    std::lock_guard<std::mutex> lock(mutex_);
    --openHandles_;
}

void IoManager::FileObjectClosed()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --unclosedFileObjects_;
    }
    closed_.notify_all();
}

void IoManager::PrepareForUnload()
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (openHandles_ != 0) {
        verifier::BugCheck(rule::kVerifierViolation, "driver unloaded while " +
                                                         std::to_string(openHandles_) +
                                                         " handle(s) to its devices are open");
    }
    if (requestsInFlight_ != 0) {
        verifier::BugCheck(rule::kPendingOperationsAtUnload,
                           "driver unloaded while " + std::to_string(requestsInFlight_.load()) +
                               " request(s) on its devices are still pending");
    }
    closed_.wait(lock, [this] { return unclosedFileObjects_ == 0; });
}

// A caller's request in flight, from its IRP's dispatch to the result.
IoRequest::IoRequest(std::shared_ptr<FileState> file, RequestSetup setup)
    : file_(std::move(file)), setup_(std::move(setup))
{
}

std::shared_ptr<IoRequest> IoRequest::Failed(NTSTATUS status)
{
    auto request = std::make_shared<IoRequest>(nullptr, RequestSetup{});
    IoResult result;
    result.Status = status;
    request->Finish(std::move(result));
    return request;
}

bool IoRequest::Done() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return done_;
}

const IoResult& IoRequest::Wait()
{
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [this] { return done_; });
    return result_;
}

bool IoRequest::WaitFor(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return finished_.wait_for(lock, timeout, [this] { return done_; });
}

void IoRequest::Cancel()
{
    if (irp_ != nullptr) {
        CancelRequestIrp(irp_, this);
    }
}

void IoRequest::OnComplete(std::function<void(const IoResult&)> callback)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!done_) {
            onComplete_ = std::move(callback);
            return;
        }
    }
    callback(result_);
}

void IoRequest::AllocateBuffer(ULONG length)
{
    bufferLength_ = length;
    buffer_ = length != 0 ? std::make_unique<std::uint8_t[]>(length) : nullptr;
}

void IoRequest::Finish(IoResult result)
{
    // The last reference may be this one: let it go only after the waiters
    // have been told.
    std::shared_ptr<IoRequest> keepAlive = std::move(self_);
    std::function<void(const IoResult&)> onComplete;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        result_ = std::move(result);
        done_ = true;
        onComplete = std::move(onComplete_);
    }
    finished_.notify_all();
    // The result no longer changes once done_ is set, so it is read unlocked.
    // The completing thread may be deep in the driver, holding its locks:
    // the caller hears of it once the thread is out.
    if (onComplete) {
        std::shared_ptr<IoRequest> self =
            keepAlive != nullptr ? std::move(keepAlive) : shared_from_this();
        thread_state::RunOutsideDriver(
            [self = std::move(self), onComplete = std::move(onComplete)] {
                onComplete(self->result_);
            });
    }
}

}  // namespace host
