#include "vzelserial_app.h"

#include <VZelSerial.h>

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

}  // namespace vzelserial
