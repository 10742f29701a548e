#include "control_session.h"

#include "commands.h"

#include <common/platform.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

namespace vcomctl {
namespace {

// Another vcomctl holds the device for a few requests: tried again soon, a
// little later each time, until this long has passed.
constexpr std::chrono::seconds BUSY_WAIT(5);
constexpr std::chrono::milliseconds FIRST_RETRY_DELAY(5);
constexpr std::chrono::milliseconds LONGEST_RETRY_DELAY(100);

[[noreturn]] void ThrowOpenFailure(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
        throw Failure(ExitCode::DaemonNotRunning, zeltools::DriverMissing());
    case ERROR_ACCESS_DENIED:
        throw Failure(ExitCode::DeviceBusy,
                      "the control device is busy: another program has had it open for the "
                      "last " +
                          std::to_string(BUSY_WAIT.count()) + " s; try again when it is done");
    default:
        throw Failure(ExitCode::Failed, "cannot open the control device \\\\.\\ZelMain (error " +
                                            std::to_string(error) + ")");
    }
}

std::optional<std::uint32_t> Word(BOOL ok, DWORD word)
{
    return ok ? std::optional<std::uint32_t>(word) : std::nullopt;
}

}  // namespace

ControlSession::ControlSession() : handle_(VCOM_CreateDevice())
{
    const auto giveUp = std::chrono::steady_clock::now() + BUSY_WAIT;
    auto delay = FIRST_RETRY_DELAY;
    while (handle_ == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error != ERROR_ACCESS_DENIED || std::chrono::steady_clock::now() >= giveUp) {
            ThrowOpenFailure(error);
        }
        std::this_thread::sleep_for(delay);
        delay = std::min(delay * 2, LONGEST_RETRY_DELAY);
        handle_ = VCOM_CreateDevice();
    }
}

ControlSession::~ControlSession()
{
    VCOM_ReleaseDevice(handle_);
}

bool ControlSession::AddModule(const ModuleRecord& Record)
{
    return VCOM_AddModule(handle_, &Record) != FALSE;
}

bool ControlSession::Send(PlainRequest Request)
{
    return Request(handle_) != FALSE;
}

std::optional<std::uint32_t> ControlSession::RunStatus()
{
    DWORD status = 0;
    const BOOL ok = VCOM_GetDevRunSts(handle_, &status);
    return Word(ok, status);
}

std::optional<std::uint32_t> ControlSession::ModuleCount()
{
    DWORD count = 0;
    const BOOL ok = VCOM_GetDevModCount(handle_, &count);
    return Word(ok, count);
}

std::optional<ModuleRecord> ControlSession::Module(std::uint32_t Index)
{
    ModuleRecord record{};
    if (!VCOM_GetDevModInfo(handle_, Index, &record)) {
        return std::nullopt;
    }
    return record;
}

std::vector<ModuleRecord> ReadModuleTable(ControlSession& Session)
{
    const auto count = Session.ModuleCount();
    if (!count) {
        throw Failure(ExitCode::Failed, "the driver did not report its module count");
    }
    std::vector<ModuleRecord> modules;
    modules.reserve(*count);
    for (std::uint32_t index = 0; index < *count; ++index) {
        const auto record = Session.Module(index);
        if (!record) {
            throw Failure(ExitCode::Failed,
                          "the driver did not return module " + std::to_string(index));
        }
        modules.push_back(*record);
    }
    return modules;
}

}  // namespace vcomctl
