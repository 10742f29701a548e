// The library's one application object. It owns the list of open control
// handles; the load hook constructs it and the unload hook runs its exit step
// and destroys it (load_hooks.cpp).
#pragma once

#include "handle_list.h"

namespace vzelserial {

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

}  // namespace vzelserial
