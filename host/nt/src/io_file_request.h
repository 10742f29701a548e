// The IRPs the I/O manager itself sends for a kernel handle's file object:
// IRP_MJ_CREATE from ZwCreateFile, IRP_MJ_CLEANUP at the last handle's
// close, IRP_MJ_CLOSE at the last reference. Sent at PASSIVE_LEVEL in the
// calling thread; each waits until its IRP has completed.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <vector>

namespace host {

struct FileRequest {
    UCHAR MajorFunction = IRP_MJ_CREATE;
    // IRP_MJ_CREATE only.
    ULONG Options = 0;  // disposition in the top byte, create options below
    USHORT FileAttributes = 0;
    USHORT ShareAccess = 0;
    std::vector<std::uint8_t> Ea;  // becomes the IRP's system buffer
};

IO_STATUS_BLOCK SendFileRequest(PFILE_OBJECT file, FileRequest& request);

}  // namespace host
