// The caller side of the I/O manager: opens, handles (file objects) and the
// requests built on them with METHOD_BUFFERED system-buffer semantics.
// Requests are dispatched in the caller's thread at PASSIVE_LEVEL; each one
// finishes when its IRP completes, on whatever thread completes it.
#pragma once

#include <host/kernel.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace host {

class IrpTable;
class DeviceTable;
class Worker;
class FileState;

// What to send: one IRP's major function and its parameters.
struct RequestSetup {
    UCHAR MajorFunction = IRP_MJ_CREATE;
    std::vector<std::uint8_t> Input;
    ULONG OutputLength = 0;
    ULONG IoControlCode = 0;
};

class IoRequest : public PendingIo, public std::enable_shared_from_this<IoRequest> {
public:
    IoRequest(std::shared_ptr<FileState> file, RequestSetup setup);

    bool Done() const override;
    const IoResult& Wait() override;
    bool WaitFor(std::chrono::milliseconds timeout) override;
    void Cancel() override;
    void OnComplete(std::function<void(const IoResult&)> callback) override;

    static std::shared_ptr<IoRequest> Failed(NTSTATUS status);

    const RequestSetup& Setup() const { return setup_; }
    FileState* File() const { return file_.get(); }
    PIRP Irp() const { return irp_; }
    void AttachIrp(PIRP irp) { irp_ = irp; }

    // The buffers the IRP points at, owned by the request while in flight.
    void AllocateBuffer(ULONG length);
    std::uint8_t* Buffer() { return buffer_.get(); }
    ULONG BufferLength() const { return bufferLength_; }

    // Keeps the request alive until its IRP has finished.
    void KeepAliveUntilFinished() { self_ = shared_from_this(); }
    void Finish(IoResult result);

private:
    std::shared_ptr<FileState> file_;
    RequestSetup setup_;
    PIRP irp_ = nullptr;
    std::unique_ptr<std::uint8_t[]> buffer_;
    ULONG bufferLength_ = 0;
    std::shared_ptr<IoRequest> self_;

    mutable std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
    IoResult result_;
    std::function<void(const IoResult&)> onComplete_;
};

class IoManager {
public:
    IoManager(IrpTable& irps, DeviceTable& devices, Worker& worker);

    NTSTATUS Open(const std::string& name, std::unique_ptr<File>* file);
    std::shared_ptr<IoRequest> Send(const std::shared_ptr<FileState>& file, RequestSetup setup);
    void SendClose(const std::shared_ptr<FileState>& file);
    // Called by IofCompleteRequest when an I/O manager IRP reaches the top.
    void FinishRequest(PIRP irp, IoRequest& request);

    void HandleClosed();
    // Checks before an unload: no open handle, no request in flight; then
    // waits for the closes still queued.
    void PrepareForUnload();

private:
    void BuildIrp(PIRP irp, IoRequest& request);
    void DispatchAndFinishCleanup(PDEVICE_OBJECT device, PIRP irp);
    IoResult Collect(PIRP irp, IoRequest& request);
    void FileObjectClosed();

    IrpTable& irps_;
    DeviceTable& devices_;
    Worker& worker_;

    std::mutex mutex_;
    std::condition_variable closed_;
    int openHandles_ = 0;
    int unclosedFileObjects_ = 0;
    // Counted on every request, read only at unload: no lock.
    std::atomic<int> requestsInFlight_{0};
};

}  // namespace host
