// The library's insides, shared by its four sources:
//   exports.cpp          the twelve exports
//   handles.cpp          the records behind control handles and the list of open ones
//   control_request.cpp  one control I/O control through a live handle
//   load_hooks.cpp       the load and unload hooks, the application object, the heap
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace vzelserial {

// The record behind every control handle the library hands out. Callers get
// its address as an opaque HANDLE and pass it back unchanged. The signature
// is held while the handle is live and cleared on release, so a stale copy is
// refused.
constexpr std::uint32_t CONTROL_HANDLE_SIGNATURE = 0x5A5A3220;
constexpr std::uint32_t RELEASED_HANDLE_SIGNATURE = 0;

struct ControlHandle {
    HANDLE Device;            // the opened control device
    std::uint32_t Signature;  // CONTROL_HANDLE_SIGNATURE while live
    void* Reserved;           // null; kept for the record's fixed layout
};

// The record when Handle passes the handle test, else null. A null handle
// is no handle, like INVALID_HANDLE_VALUE: a caller that never checked what
// VCOM_CreateDevice returned may still hold one.
inline ControlHandle* LiveHandle(HANDLE Handle)
{
    if (Handle == nullptr || Handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    auto* record = static_cast<ControlHandle*>(Handle);
    return record->Signature == CONTROL_HANDLE_SIGNATURE ? record : nullptr;
}

// The filled record on the library's heap, or null when there is no memory.
ControlHandle* NewControlHandle(HANDLE Device);

// The list of control handles the library has handed out and still holds
// open: doubly linked, in creation order, nodes on the library's heap.
// Not guarded: the library takes no lock.
struct HandleNode {
    HandleNode* Prev;
    HandleNode* Next;
    ControlHandle* Handle;
};

class HandleList {
public:
    HandleList() = default;
    HandleList(const HandleList&) = delete;
    HandleList& operator=(const HandleList&) = delete;
    ~HandleList() { RemoveAll(); }

    // False when there is no memory for the node.
    bool Append(ControlHandle* Handle);
    // Unlinks and frees the first node holding Handle, if any.
    void RemoveFirst(const ControlHandle* Handle);
    // Frees every node.
    void RemoveAll();

    HandleNode* Head() const { return head_; }
    bool Empty() const { return head_ == nullptr; }

private:
    void Unlink(HandleNode* Node);

    HandleNode* head_ = nullptr;
    HandleNode* tail_ = nullptr;
};

// Sends one control I/O control through a live control handle.
// DeviceIoControl's result: nonzero on success. Synchronous: no OVERLAPPED,
// and the driver completes every control request before returning.
BOOL SendControl(const ControlHandle& Handle, DWORD Code, void* Input, DWORD InputSize,
                 void* Output, DWORD OutputSize);

inline BOOL SendControl(const ControlHandle& Handle, DWORD Code)
{
    return SendControl(Handle, Code, nullptr, 0, nullptr, 0);
}

// The handle test, then the request without data.
BOOL SendPlain(HANDLE Device, DWORD Code);
// The handle test, then a request answered with one 32-bit word, stored only
// on success. A null output pointer is refused: 0, nothing sent.
BOOL ReceiveWord(HANDLE Device, DWORD Code, DWORD* Word);

// The library's one application object. It owns the list of open control
// handles; the load hook constructs it and the unload hook runs its exit step
// and destroys it.
class CVZelSerialApp {
public:
    CVZelSerialApp() = default;
    CVZelSerialApp(const CVZelSerialApp&) = delete;
    CVZelSerialApp& operator=(const CVZelSerialApp&) = delete;

    HandleList& OpenHandles() { return openHandles_; }

    // Unload step: releases every handle still open, so the exclusive control
    // device is not left held by a library that is gone. Returns the exit code.
    int ExitInstance();

private:
    HandleList openHandles_;
};

// The object between ConstructTheApp and DestroyTheApp.
CVZelSerialApp& TheApp();
void ConstructTheApp();
// The exit step, when the object exists.
void RunTheAppExitStep();
// Runs the exit step, then destroys the object (and any list storage left).
void DestroyTheApp();

// Called after each successful open of the control device.
void NoteDeviceOpened();

// The library's own heap: records and list nodes come from here. Null when
// there is no memory.
void* HeapAllocate(std::size_t Size);
void HeapRelease(void* Block);

}  // namespace vzelserial
