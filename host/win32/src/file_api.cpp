// CreateFileA, ReadFile, WriteFile, DeviceIoControl and the other handle
// functions, forwarded to the driver through zelvcomd.
#include "file_request.h"
#include "last_error.h"
#include "win32_process.h"

#include <zelvcom_ipc/protocol.h>

#include <windows.h>

#include <algorithm>
#include <string>

namespace zelwin32 {
namespace {

constexpr const char kDevicePrefix[] = "\\\\.\\";
constexpr char kPathSeparator = '\\';

// "COM3" means the DOS device, as for CreateFileA on Windows.
std::string DeviceName(LPCSTR fileName)
{
    const std::string name = fileName;
    return name.find(kPathSeparator) == std::string::npos ? kDevicePrefix + name : name;
}

HANDLE FailOpen(DWORD error)
{
    SetThreadError(error);
    return INVALID_HANDLE_VALUE;
}

std::shared_ptr<FileObject> FileOf(HANDLE handle)
{
    return Win32Process::Instance().Handles().File(handle);
}

bool BufferMissing(LPCVOID buffer, DWORD length)
{
    return buffer == nullptr && length != 0;
}

// The file a read or write of length bytes at buffer goes to; null, with the
// thread's error set, for a handle that is not a file or a missing buffer.
std::shared_ptr<FileObject> TransferFile(HANDLE handle, LPCVOID buffer, DWORD length)
{
    auto file = FileOf(handle);
    if (file == nullptr) {
        SetThreadError(ERROR_INVALID_HANDLE);
    } else if (BufferMissing(buffer, length)) {
        SetThreadError(ERROR_NOACCESS);
        file = nullptr;
    }
    return file;
}

const std::uint8_t* Bytes(LPCVOID buffer)
{
    return static_cast<const std::uint8_t*>(buffer);
}

// Writes above the message limit go out in pieces, one after the other,
// and complete before the call returns, overlapped or not.
BOOL WriteInPieces(const FileObject& file, const std::uint8_t* data, DWORD length, LPDWORD written,
                   LPOVERLAPPED overlapped)
{
    NtStatus status = kStatusSuccess;
    DWORD total = 0;
    while (total < length && IsSuccess(status)) {
        const DWORD piece = std::min<DWORD>(length - total, zelipc::kMaxData);
        const CallResult result = WaitForRequest(
            file, zelipc::WriteRequest{file.RemoteHandle, {data + total, data + total + piece}});
        status = result.Status;
        total += static_cast<DWORD>(result.Information);
        if (result.Information < piece) {
            break;  // a write timeout: the rest stays unsent
        }
    }
    if (overlapped != nullptr) {
        RecordOverlappedOutcome(overlapped, status, total);
    }
    return ConcludeRequest(status, total, written);
}

BOOL Cancel(HANDLE file, std::uint64_t target)
{
    const auto object = FileOf(file);
    if (object == nullptr)
        return FailWith(ERROR_INVALID_HANDLE);
    const CallResult result =
        WaitForRequest(*object, zelipc::CancelRequest{object->RemoteHandle, target});
    return ConcludeRequest(result.Status, 0, nullptr);
}

}  // namespace
}  // namespace zelwin32

using namespace zelwin32;

extern "C" HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess,
                                     DWORD /*dwShareMode*/,
                                     LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/,
                                     DWORD /*dwCreationDisposition*/, DWORD dwFlagsAndAttributes,
                                     HANDLE /*hTemplateFile*/)
{
    if (lpFileName == nullptr)
        return FailOpen(ERROR_INVALID_PARAMETER);
    const std::string name = DeviceName(lpFileName);
    if (name.size() > zelipc::kMaxNameLength)
        return FailOpen(ERROR_INVALID_NAME);
    auto connection = Win32Process::Instance().Connection();
    if (connection == nullptr)
        return FailOpen(ERROR_FILE_NOT_FOUND);

    const CallResult result =
        connection->Start(zelipc::OpenRequest{dwDesiredAccess, dwFlagsAndAttributes, name})
            ->WaitResult();
    if (result.Status == kStatusDaemonGone)
        return FailOpen(ERROR_FILE_NOT_FOUND);
    if (!IsSuccess(result.Status)) {
        FailWithStatus(result.Status);
        return INVALID_HANDLE_VALUE;
    }
    auto file = std::make_shared<FileObject>();
    file->Connection = std::move(connection);
    file->RemoteHandle = result.Information;
    file->Overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    SetThreadError(ERROR_SUCCESS);
    return Win32Process::Instance().Handles().Insert(std::move(file));
}

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject)
{
    auto object = Win32Process::Instance().Handles().Remove(hObject);
    if (!object)
        return FailWith(ERROR_INVALID_HANDLE);
    if (const auto* file = std::get_if<std::shared_ptr<FileObject>>(&*object)) {
        WaitForRequest(**file, zelipc::CloseRequest{(*file)->RemoteHandle});
    }
    return TRUE;
}

extern "C" BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped)
{
    const auto file = TransferFile(hFile, lpBuffer, nNumberOfBytesToRead);
    if (file == nullptr)
        return FALSE;
    // A serial read may return fewer bytes than asked; larger reads are
    // cut to the message limit.
    const DWORD length = std::min<DWORD>(nNumberOfBytesToRead, zelipc::kMaxData);
    return RunFileRequest(*file, zelipc::ReadRequest{file->RemoteHandle, length},
                          {lpBuffer, length}, lpNumberOfBytesRead, lpOverlapped);
}

extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    const auto file = TransferFile(hFile, lpBuffer, nNumberOfBytesToWrite);
    if (file == nullptr)
        return FALSE;
    const std::uint8_t* data = Bytes(lpBuffer);
    if (nNumberOfBytesToWrite > zelipc::kMaxData) {
        return WriteInPieces(*file, data, nNumberOfBytesToWrite, lpNumberOfBytesWritten,
                             lpOverlapped);
    }
    zelipc::WriteRequest request{file->RemoteHandle, {data, data + nNumberOfBytesToWrite}};
    return RunFileRequest(*file, std::move(request), {}, lpNumberOfBytesWritten, lpOverlapped);
}

extern "C" BOOL WINAPI FlushFileBuffers(HANDLE hFile)
{
    const auto file = FileOf(hFile);
    if (file == nullptr)
        return FailWith(ERROR_INVALID_HANDLE);
    return RunFileRequest(*file, zelipc::FlushRequest{file->RemoteHandle}, {}, nullptr, nullptr);
}

extern "C" BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                       DWORD nInBufferSize, LPVOID lpOutBuffer,
                                       DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                       LPOVERLAPPED lpOverlapped)
{
    const auto file = FileOf(hDevice);
    if (file == nullptr)
        return FailWith(ERROR_INVALID_HANDLE);
    if (BufferMissing(lpInBuffer, nInBufferSize) || BufferMissing(lpOutBuffer, nOutBufferSize)) {
        return FailWith(ERROR_NOACCESS);
    }
    if (nInBufferSize > zelipc::kMaxData || nOutBufferSize > zelipc::kMaxData) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    const std::uint8_t* input = Bytes(lpInBuffer);
    zelipc::DeviceControlRequest request{
        file->RemoteHandle, dwIoControlCode, nOutBufferSize, {input, input + nInBufferSize}};
    return RunFileRequest(*file, std::move(request), {lpOutBuffer, nOutBufferSize}, lpBytesReturned,
                          lpOverlapped);
}

extern "C" BOOL WINAPI CancelIo(HANDLE hFile)
{
    constexpr std::uint64_t kEveryRequest = 0;
    return Cancel(hFile, kEveryRequest);
}

extern "C" BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped)
{
    if (lpOverlapped == nullptr)
        return CancelIo(hFile);
    const auto request = Win32Process::Instance().Overlapped().RequestOf(lpOverlapped);
    if (!request)
        return FailWith(ERROR_NOT_FOUND);
    return Cancel(hFile, *request);
}

extern "C" BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                           LPDWORD lpNumberOfBytesTransferred, BOOL bWait)
{
    if (FileOf(hFile) == nullptr)
        return FailWith(ERROR_INVALID_HANDLE);
    if (lpOverlapped == nullptr)
        return FailWith(ERROR_INVALID_PARAMETER);
    const auto outcome =
        Win32Process::Instance().Overlapped().Outcome(lpOverlapped, bWait != FALSE);
    if (!outcome)
        return FailWith(ERROR_IO_INCOMPLETE);
    return ConcludeRequest(outcome->Status, outcome->Transferred, lpNumberOfBytesTransferred);
}
