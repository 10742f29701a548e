// The platform's load and unload notifications drive the application object.
#include "load_hooks.h"

#include "vzelserial_app.h"

#include <windows.h>

#if !defined(_WIN32)
#include <cstdlib>
#endif

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
