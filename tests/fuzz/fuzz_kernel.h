// The host kernel a fuzz target loads the driver into: one per process,
// over a state directory of its own (in /dev/shm when there is one), both
// gone at exit.
#pragma once

#include <host/kernel.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace fuzzsupport {

inline host::Kernel& StartKernel(const std::string& target)
{
    static std::filesystem::path state;
    static host::Kernel* kernel = nullptr;
    std::string pattern =
        (std::filesystem::exists("/dev/shm") ? std::string("/dev/shm") : std::string("/tmp")) +
        "/zelvcom-fuzz-" + target + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::abort();
    }
    state = pattern;
    host::KernelOptions options;
    options.StateDirectory = state;
    options.Log = [](host::LogLevel, const std::string&) {};
    kernel = new host::Kernel(options);
    std::atexit([] {
        delete kernel;
        kernel = nullptr;
        std::error_code ignored;
        std::filesystem::remove_all(state, ignored);
    });
    return *kernel;
}

}  // namespace fuzzsupport
