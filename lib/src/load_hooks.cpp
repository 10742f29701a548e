// The platform's load and unload notifications drive the application
// object, which releases every handle still open as the library goes. The
// library's heap is here too: the process heap on Windows, as a Windows DLL
// is expected to use; the C heap elsewhere, where the kernel32 subset offers
// no heap.
#include "library.h"

#include <VZelSerial.h>

#include <cstdlib>
#include <new>

namespace vzelserial {
namespace {

// Plain storage, so the object's lifetime follows the load and unload hooks
// instead of the toolchain's order of static constructors and destructors.
alignas(CVZelSerialApp) unsigned char appStorage[sizeof(CVZelSerialApp)];
CVZelSerialApp* theApp = nullptr;

// No framework exit work of our own remains after the handles are released.
constexpr int APP_EXIT_CODE = 0;

}  // namespace

int CVZelSerialApp::ExitInstance()
{
    // Take the successor first: the release unlinks and frees the node.
    for (HandleNode* node = openHandles_.Head(); node != nullptr;) {
        HandleNode* next = node->Next;
        VCOM_ReleaseDevice(node->Handle);
        node = next;
    }
    openHandles_.RemoveAll();
    return APP_EXIT_CODE;
}

CVZelSerialApp& TheApp()
{
    return *theApp;
}

void ConstructTheApp()
{
    theApp = new (appStorage) CVZelSerialApp();
}

void RunTheAppExitStep()
{
    if (theApp != nullptr) {
        theApp->ExitInstance();
    }
}

void DestroyTheApp()
{
    if (theApp == nullptr) {
        return;
    }
    theApp->ExitInstance();
    theApp->~CVZelSerialApp();
    theApp = nullptr;
}

#if defined(_WIN32)

void* HeapAllocate(std::size_t Size)
{
    return HeapAlloc(GetProcessHeap(), 0, Size);
}

void HeapRelease(void* Block)
{
    HeapFree(GetProcessHeap(), 0, Block);
}

#else

void* HeapAllocate(std::size_t Size)
{
    return std::malloc(Size);
}

void HeapRelease(void* Block)
{
    std::free(Block);
}

#endif

}  // namespace vzelserial

#if defined(_WIN32)

namespace vzelserial {

// kernel32 stays usable during every DLL's detach: the detach alone will do.
void NoteDeviceOpened() {}

}  // namespace vzelserial

extern "C" BOOL WINAPI DllMain(HINSTANCE Instance, DWORD Reason, LPVOID Reserved)
{
    (void)Reserved;
    switch (Reason) {
    case DLL_PROCESS_ATTACH:
        // Thread notifications would only cost a call each.
        DisableThreadLibraryCalls(Instance);
        vzelserial::ConstructTheApp();
        break;
    case DLL_PROCESS_DETACH:
        vzelserial::DestroyTheApp();
        break;
    default:
        break;
    }
    return TRUE;
}

#else

namespace vzelserial {
namespace {

bool exitStepRegistered = false;

}  // namespace

// At process exit the exit handlers, among them the destructors of the
// kernel32 layer's own state, run before any library's destructor hook; the
// handles must be released while that state still exists. Registered once
// the device has been opened, hence after that state was built, this
// handler runs before its teardown, and the destructor hook later finds the
// list empty. On dlclose the destructor hook comes first and the handler
// then finds no application object.
void NoteDeviceOpened()
{
    if (!exitStepRegistered) {
        exitStepRegistered = std::atexit(RunTheAppExitStep) == 0;
    }
}

}  // namespace vzelserial

namespace {

__attribute__((constructor)) void OnLibraryLoad()
{
    vzelserial::ConstructTheApp();
}

__attribute__((destructor)) void OnLibraryUnload()
{
    vzelserial::DestroyTheApp();
}

}  // namespace

#endif
