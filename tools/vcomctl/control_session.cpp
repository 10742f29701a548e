#include "control_session.h"

#include "commands.h"

#include <common/platform.h>

#include <string>

namespace vcomctl {
namespace {

[[noreturn]] void ThrowOpenFailure(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
        throw Failure(ExitCode::DaemonNotRunning, zeltools::DriverMissing());
    case ERROR_ACCESS_DENIED:
        throw Failure(
            ExitCode::DeviceBusy,
            "the control device is busy: another program has it open; try again when it is done");
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
    if (handle_ == INVALID_HANDLE_VALUE) {
        ThrowOpenFailure(GetLastError());
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
