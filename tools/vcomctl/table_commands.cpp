#include "table_commands.h"

#include "arguments.h"
#include "control_session.h"
#include "module_file.h"
#include "output.h"
#include "survey.h"

#include <common/argument_reader.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <map>

namespace vcomctl {
namespace {

constexpr std::string_view FORCE_OPTION = "--force";
constexpr std::string_view REPLACE_OPTION = "--replace";
constexpr std::string_view STANDARD_INPUT = "-";
constexpr std::size_t NO_INDEX = ~std::size_t{0};

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

bool SameModule(const ModuleRecord& a, const ModuleRecord& b)
{
    if (a.ModuleIP != b.ModuleIP || a.ControlPort != b.ControlPort ||
        a.SerialCount != b.SerialCount || ModuleName(a) != ModuleName(b)) {
        return false;
    }
    for (std::uint32_t c = 0; c < ChannelCount(a); ++c) {
        if (a.SerialPort[c] != b.SerialPort[c] || a.SerialNum[c] != b.SerialNum[c] ||
            LineSettingsWithheld(a, c) != LineSettingsWithheld(b, c)) {
            return false;
        }
    }
    return true;
}

// Whether the saved configuration is the table, read back by a reload: the
// table is stopped, so no module falls out of reach, and it is cleared next.
bool SavedIs(ControlSession& session, const std::vector<ModuleRecord>& table)
{
    if (!session.Send(VCOM_ResetReadReg)) {
        return false;
    }
    const auto saved = ReadModuleTable(session);
    return std::equal(saved.begin(), saved.end(), table.begin(), table.end(), SameModule);
}

// Makes modules the table: stops what runs, clears, adds each module, then
// starts and saves when asked. Throws Failure naming the step that failed.
void Install(ControlSession& session, const std::vector<ModuleRecord>& modules, bool start,
             bool save)
{
    if (TableRuns(session)) {
        session.Send(VCOM_StopAllSerial);
        Require(!TableRuns(session), "a module could not be stopped");
    }
    Require(session.Send(VCOM_ClearDevInfo), "the driver refused to clear the table");
    for (std::size_t i = 0; i < modules.size(); ++i) {
        Require(session.AddModule(modules[i]), "the driver refused " + Describe(i, modules[i]));
    }
    if (start && !modules.empty()) {
        session.Send(VCOM_StartAllSerial);
        const DeviceSurvey after = SurveyDevices(modules);
        for (std::size_t i = 0; i < modules.size(); ++i) {
            Require(after.Running(i), Describe(i, modules[i]) + " could not be started");
        }
    }
    if (save) {
        Require(session.Send(VCOM_SaveInfoReg), "the driver could not save the configuration");
    }
}

struct Replaced {
    bool Restarted = false;
    bool Saved = false;
};

// Every module stops for a moment, so no port of the table may be open.
Replaced ReplaceTable(ControlSession& session, const std::vector<ModuleRecord>& old,
                      const std::vector<ModuleRecord>& wanted)
{
    const DeviceSurvey before = SurveyDevices(old);
    std::vector<std::string> open;
    for (std::size_t i = 0; i < old.size(); ++i) {
        const std::string ports = before.OpenPortsOf(old[i]);
        if (!ports.empty()) {
            open.push_back(Describe(i, old[i]) + ": " + ports);
        }
    }
    const std::string remedy =
        "the table changes as a whole and every module stops for a moment: close the ports "
        "first (nothing was changed)";
    if (!open.empty()) {
        open.push_back(remedy);
        FailEach(open);
    }
    Replaced done;
    done.Restarted = TableRuns(session);
    if (done.Restarted) {
        auto kept = Reasons(StopRunning(session, old, before));
        if (!kept.empty()) {
            session.Send(VCOM_StartAllSerial);  // those that stopped run again
            kept.push_back(remedy);
            FailEach(kept);
        }
    }
    try {
        done.Saved = SavedIs(session, old);
        Install(session, wanted, done.Restarted, done.Saved);
    } catch (const Failure& failure) {
        try {
            Install(session, old, done.Restarted, done.Saved);
        } catch (const Failure& again) {
            FailEach({failure.what(),
                      std::string("the old table could not be put back: ") + again.what()});
        }
        FailEach({failure.what(), "the table is as it was"});
    }
    done.Restarted = done.Restarted && !wanted.empty();
    return done;
}

void Tell(const Replaced& done, std::ostream& out)
{
    if (done.Restarted) {
        out << "the modules were stopped and started again\n";
    }
    if (done.Saved) {
        out << "configuration saved\n";
    }
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

// INDEX as a number now; against the table once it is read.
std::size_t ParseIndex(const std::string& text)
{
    const auto index = zeltools::ParseDecimal(text, 0, MODULE_TABLE_SIZE - 1);
    if (!index) {
        throw UsageError("'" + text + "' is not a module index ('vcomctl list' shows them)");
    }
    return *index;
}

void CheckIndex(std::size_t index, const std::vector<ModuleRecord>& table)
{
    if (index >= table.size()) {
        throw Failure(ExitCode::Failed, "there is no module " + std::to_string(index) +
                                            " (the table has " + std::to_string(table.size()) +
                                            ")");
    }
}

void CheckAddableExcept(const std::vector<ModuleRecord>& table, const ModuleRecord& added,
                        std::size_t except)
{
    if (except == NO_INDEX && table.size() >= MODULE_TABLE_SIZE) {
        throw Failure(ExitCode::Failed, "the module table is full (" +
                                            std::to_string(MODULE_TABLE_SIZE) +
                                            " modules); 'vcomctl clear' empties it");
    }
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (i == except) {
            continue;
        }
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

std::string Channels(const ModuleRecord& record)
{
    return std::to_string(record.SerialCount) + " channel" + (record.SerialCount == 1 ? "" : "s");
}

std::vector<ModuleRecord> ReadImport(const std::string& file)
{
    if (file == STANDARD_INPUT) {
        return ReadModulesFile(std::cin, "standard input");
    }
    std::ifstream in(file);
    if (!in) {
        throw Failure(ExitCode::Failed, "cannot read " + file);
    }
    return ReadModulesFile(in, file);
}

}  // namespace

std::string Describe(std::size_t index, const ModuleRecord& record)
{
    return "module " + std::to_string(index) + " ('" + ModuleName(record) + "')";
}

void CheckAddable(const std::vector<ModuleRecord>& table, const ModuleRecord& added)
{
    CheckAddableExcept(table, added, NO_INDEX);
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

void RunRemove(const Arguments& Args, std::ostream& Out)
{
    if (Args.size() != 1) {
        throw UsageError("remove needs INDEX, and nothing else");
    }
    const std::size_t index = ParseIndex(Args.front());
    ControlSession session;
    const auto table = ReadModuleTable(session);
    CheckIndex(index, table);
    auto wanted = table;
    wanted.erase(wanted.begin() + static_cast<std::ptrdiff_t>(index));
    const Replaced done = ReplaceTable(session, table, wanted);
    Out << "removed " << Describe(index, table[index])
        << (index + 1 < table.size() ? "; the modules after it moved up one index\n" : "\n");
    Tell(done, Out);
}

void RunEdit(const Arguments& Args, std::ostream& Out)
{
    if (Args.size() < 2) {
        throw UsageError("edit needs INDEX ADDRESS CONTROL_PORT NAME CHANNEL...");
    }
    const std::size_t index = ParseIndex(Args.front());
    const ModuleRecord record = ParseModuleArgument({Args.begin() + 1, Args.end()});
    ControlSession session;
    const auto table = ReadModuleTable(session);
    CheckIndex(index, table);
    CheckAddableExcept(table, record, index);
    auto wanted = table;
    wanted[index] = record;
    const Replaced done = ReplaceTable(session, table, wanted);
    Out << "module " << index << " is now '" << ModuleName(record) << "' ("
        << FormatIpv4(record.ModuleIP) << ", " << Channels(record) << ")\n";
    Tell(done, Out);
}

void RunImport(const Arguments& Args, std::ostream& Out)
{
    const bool replace = std::find(Args.begin(), Args.end(), REPLACE_OPTION) != Args.end();
    if (Args.size() != (replace ? 2u : 1u)) {
        throw UsageError("import needs FILE (or - for standard input), and only --replace");
    }
    const std::string file = Args.front() == REPLACE_OPTION ? Args.back() : Args.front();
    const std::vector<ModuleRecord> modules = ReadImport(file);
    ControlSession session;
    const auto table = ReadModuleTable(session);
    auto wanted = replace ? std::vector<ModuleRecord>() : table;
    for (std::size_t k = 0; k < modules.size(); ++k) {
        try {
            CheckAddable(wanted, modules[k]);
        } catch (const Failure& refused) {
            throw Failure(refused.Code(),
                          file + ": module " + std::to_string(k) + ": " + refused.what());
        }
        wanted.push_back(modules[k]);
    }
    if (replace) {
        const Replaced done = ReplaceTable(session, table, wanted);
        Out << "the table is now the " << modules.size() << " module(s) of " << file << "\n";
        Tell(done, Out);
        return;
    }
    for (std::size_t i = table.size(); i < wanted.size(); ++i) {
        if (!session.AddModule(wanted[i])) {
            const std::string refused = "the driver refused " + Describe(i, wanted[i]);
            try {
                Install(session, table, TableRuns(session), false);
            } catch (const Failure& again) {
                FailEach(
                    {refused, std::string("the old table could not be put back: ") + again.what()});
            }
            FailEach({refused, "the table is as it was"});
        }
    }
    Out << "added " << modules.size() << " module(s) from " << file
        << "; 'vcomctl start' creates their ports, 'vcomctl save' keeps them\n";
}

}  // namespace vcomctl
