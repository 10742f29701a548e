#include "ob_file_close.h"

#include "device_table.h"
#include "io_file_request.h"
#include "kernel_impl.h"
#include "ob_handle_table.h"
#include "thread_state.h"
#include "worker.h"

namespace host {
namespace {

void CloseFile(KernelFile* file)
{
    FileRequest close;
    close.MajorFunction = IRP_MJ_CLOSE;
    SendFileRequest(file->Object(), close);
    Kernel::Impl& kernel = Internals();
    kernel.Devices().DereferenceFileObject(file->Device());
    kernel.Objects().Erase(file);
}

}  // namespace

void CleanupFile(KernelFile* file)
{
    FileRequest cleanup;
    cleanup.MajorFunction = IRP_MJ_CLEANUP;
    SendFileRequest(file->Object(), cleanup);
}

LONG_PTR DropFileReference(PVOID object, const char* routine)
{
    Kernel::Impl& kernel = Internals();
    KernelFile* file = nullptr;
    const LONG_PTR left = kernel.Objects().DropReference(object, routine, &file);
    if (file == nullptr) {
        return left;
    }
    if (thread_state::Irql() == PASSIVE_LEVEL) {
        CloseFile(file);
    } else {
        kernel.SystemWorker().Queue([file] { CloseFile(file); });
    }
    return left;
}

}  // namespace host
