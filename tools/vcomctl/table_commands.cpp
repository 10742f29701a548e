#include "table_commands.h"

#include "arguments.h"
#include "control_session.h"
#include "output.h"
#include "survey.h"

#include <map>

namespace vcomctl {
namespace {

constexpr std::string_view FORCE_OPTION = "--force";

// One reason a line: vcomctl puts its name before each.
[[noreturn]] void FailEach(const std::vector<std::string>& reasons)
{
    std::string message;
    for (const auto& reason : reasons) {
        message += (message.empty() ? "" : "\n") + reason;
    }
    throw Failure(ExitCode::Failed, message);
}

void Require(bool done, const std::string& failure)
{
    if (!done) {
        throw Failure(ExitCode::Failed, failure);
    }
}

// The driver's run status: whether a module of the table has its devices.
bool TableRuns(ControlSession& session)
{
    const auto running = session.RunStatus();
    Require(running.has_value(), "the driver did not report its status");
    return *running != 0;
}

// Sends stop-all, whose status is only the last module's, and tells each
// module that was running and still is, with its open ports when known.
std::map<std::size_t, std::string> StopRunning(ControlSession& session,
                                               const std::vector<ModuleRecord>& table,
                                               const DeviceSurvey& before)
{
    session.Send(VCOM_StopAllSerial);
    const DeviceSurvey after = SurveyDevices(table);
    std::map<std::size_t, std::string> kept;
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (before.Running(i) && after.Running(i)) {
            const std::string open = after.OpenPortsOf(table[i]);
            kept[i] = Describe(i, table[i]) +
                      " keeps running: " + (open.empty() ? "one of its ports is open" : open);
        }
    }
    return kept;
}

std::vector<std::string> Reasons(const std::map<std::size_t, std::string>& byModule)
{
    std::vector<std::string> reasons;
    for (const auto& [index, reason] : byModule) {
        reasons.push_back(reason);
    }
    return reasons;
}

// clear and reload would leave a running module's devices out of the
// table's reach, where no stop finds them: refused while the table runs,
// unless --force stops it first.
void StopFirst(ControlSession& session, const std::vector<ModuleRecord>& table, bool force,
               const std::string& command, std::ostream& out)
{
    if (!TableRuns(session)) {
        return;
    }
    if (!force) {
        throw Failure(ExitCode::Failed,
                      "modules are running, and " + command +
                          " would leave their ports behind where 'vcomctl stop' cannot reach "
                          "them: run 'vcomctl stop' first, or 'vcomctl " +
                          command + " --force'");
    }
    auto kept = Reasons(StopRunning(session, table, SurveyDevices(table)));
    if (!kept.empty()) {
        kept.push_back("nothing was done: close the ports first");
        FailEach(kept);
    }
    out << "stopped all modules\n";
}

bool ForceOnly(const Arguments& args)
{
    for (const auto& arg : args) {
        if (arg != FORCE_OPTION) {
            throw UsageError("unknown argument '" + arg + "' (only --force)");
        }
    }
    return !args.empty();
}

}  // namespace

std::string Describe(std::size_t index, const ModuleRecord& record)
{
    return "module " + std::to_string(index) + " ('" + ModuleName(record) + "')";
}

void CheckAddable(const std::vector<ModuleRecord>& table, const ModuleRecord& added)
{
    if (table.size() >= MODULE_TABLE_SIZE) {
        throw Failure(ExitCode::Failed, "the module table is full (" +
                                            std::to_string(MODULE_TABLE_SIZE) +
                                            " modules); 'vcomctl clear' empties it");
    }
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (table[i].ModuleIP == added.ModuleIP) {
            throw Failure(ExitCode::Failed, "a module with address " + FormatIpv4(added.ModuleIP) +
                                                " is already configured: " + Describe(i, table[i]));
        }
        // A second port device for the same COM<n> would fail to be created.
        for (std::uint32_t c = 0; c < ChannelCount(added); ++c) {
            for (std::uint32_t k = 0; k < ChannelCount(table[i]); ++k) {
                if (added.SerialNum[c] != 0 && table[i].SerialNum[k] == added.SerialNum[c]) {
                    throw Failure(ExitCode::Failed, "COM" + std::to_string(added.SerialNum[c]) +
                                                        " is already used by " +
                                                        Describe(i, table[i]));
                }
            }
        }
    }
}

void RunStart(const Arguments& Args, std::ostream& Out)
{
    ExpectNoArguments(Args);
    ControlSession session;
    const auto table = ReadModuleTable(session);
    const DeviceSurvey before = SurveyDevices(table);
    std::size_t running = 0;
    for (std::size_t i = 0; i < table.size(); ++i) {
        running += before.Running(i) ? 1 : 0;
    }
    if (table.empty() || running == table.size()) {
        Out << (table.empty() ? "no modules configured\n" : "all modules are already running\n");
        return;
    }
    // Fails for every module already running: each is judged by its devices.
    session.Send(VCOM_StartAllSerial);
    const DeviceSurvey after = SurveyDevices(table);
    std::vector<std::string> told;
    std::vector<std::string> failed;
    for (std::size_t i = 0; i < table.size(); ++i) {
        std::string missing;
        for (std::uint32_t c = 0; c < ChannelCount(table[i]); ++c) {
            const std::uint32_t com = table[i].SerialNum[c];
            if (com != 0 && after.Ports.count(com) == 0) {
                missing += " COM" + std::to_string(com);
            }
        }
        if (before.Running(i)) {
            told.push_back(Describe(i, table[i]) + " is already running");
        } else if (!after.Running(i)) {
            failed.push_back(Describe(i, table[i]) + " could not be started");
        } else if (!missing.empty()) {
            failed.push_back(Describe(i, table[i]) + " runs without its port(s)" + missing);
        } else {
            told.push_back("started " + Describe(i, table[i]));
        }
    }
    if (running == 0 && failed.empty()) {
        Out << "started all modules\n";
    } else {
        for (const auto& line : told) {
            Out << line << "\n";
        }
    }
    if (!failed.empty()) {
        FailEach(failed);
    }
}

void RunStop(const Arguments& Args, std::ostream& Out)
{
    ExpectNoArguments(Args);
    ControlSession session;
    const auto table = ReadModuleTable(session);
    const DeviceSurvey before = SurveyDevices(table);
    const auto kept = StopRunning(session, table, before);
    if (kept.empty()) {
        Out << (before.RunningModules.empty() ? "no module is running\n" : "stopped all modules\n");
        return;
    }
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (before.Running(i) && kept.count(i) == 0) {
            Out << "stopped " << Describe(i, table[i]) << "\n";
        }
    }
    FailEach(Reasons(kept));
}

void RunClear(const Arguments& Args, std::ostream& Out)
{
    const bool force = ForceOnly(Args);
    ControlSession session;
    StopFirst(session, ReadModuleTable(session), force, "clear", Out);
    Require(session.Send(VCOM_ClearDevInfo), "clear failed: the driver refused to clear the table");
    Out << "module table cleared\n";
}

void RunReload(const Arguments& Args, std::ostream& Out)
{
    const bool force = ForceOnly(Args);
    ControlSession session;
    StopFirst(session, ReadModuleTable(session), force, "reload", Out);
    Require(session.Send(VCOM_ResetReadReg),
            "reload failed: the driver could not read the saved configuration");
    Out << "configuration reloaded\n";
}

}  // namespace vcomctl
