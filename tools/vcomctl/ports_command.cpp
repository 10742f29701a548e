#include "ports_command.h"

#include "control_session.h"
#include "daemon_query.h"
#include "output.h"

#include <common/argument_reader.h>
#include <common/platform.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <iomanip>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

namespace vcomctl {
namespace {

using zelipc::PortLink;
using zelipc::PortOpener;
using zelipc::PortReport;

constexpr std::string_view JSON_OPTION = "--json";
constexpr std::string_view WATCH_OPTION = "--watch";
constexpr std::uint32_t DEFAULT_WATCH_SECONDS = 2;
constexpr std::uint32_t LONGEST_WATCH_SECONDS = 86400;
// Cursor home, then erase the screen.
constexpr const char CLEAR_SCREEN[] = "\x1b[H\x1b[2J";

constexpr int PORT_WIDTH = 8;
constexpr int MODULE_WIDTH = 8;
constexpr int CHANNEL_WIDTH = 9;
constexpr int STATE_WIDTH = 14;
constexpr int TO_WIDTH = 11;
constexpr int FROM_WIDTH = 13;
constexpr int DROPS_WIDTH = 7;
constexpr int RECONNECTS_WIDTH = 12;
constexpr int RFC2217_WIDTH = 23;
constexpr const char NONE[] = "-";

struct Options {
    bool Json = false;
    std::optional<std::uint32_t> WatchSeconds;
};

Options ParseOptions(const Arguments& args)
{
    Options options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == JSON_OPTION) {
            options.Json = true;
        } else if (args[i] == WATCH_OPTION) {
            options.WatchSeconds = DEFAULT_WATCH_SECONDS;
            const auto seconds = i + 1 < args.size()
                                     ? zeltools::ParseDecimal(args[i + 1], 1, LONGEST_WATCH_SECONDS)
                                     : std::nullopt;
            if (seconds) {
                options.WatchSeconds = *seconds;
                ++i;
            }
        } else {
            throw UsageError("unknown argument '" + args[i] +
                             "' (only --json and --watch [SECONDS])");
        }
    }
    return options;
}

// One port: where it is in the table (if it is), and what the daemon says
// of it (if it exists).
struct Row {
    std::uint32_t Com = 0;
    std::optional<std::size_t> Module;
    std::uint32_t Channel = 0;  // counted from 1, as on the module's label
    std::optional<PortReport> Report;
};

std::vector<Row> Rows(const std::vector<ModuleRecord>& table, const zelipc::PortStatusPage& status)
{
    std::map<std::uint32_t, PortReport> reports;
    for (const auto& report : status.Ports) {
        reports[report.ComNumber] = report;
    }
    std::vector<Row> rows;
    for (std::size_t i = 0; i < table.size(); ++i) {
        for (std::uint32_t c = 0; c < ChannelCount(table[i]); ++c) {
            const std::uint32_t com = table[i].SerialNum[c];
            if (com == 0) {
                continue;
            }
            Row row{com, i, c + 1, std::nullopt};
            if (const auto found = reports.find(com); found != reports.end()) {
                row.Report = found->second;
                reports.erase(found);
            }
            rows.push_back(row);
        }
    }
    // Ports the table no longer names (left behind by an older vcomctl's
    // clear or reload, say).
    for (const auto& [com, report] : reports) {
        rows.push_back({com, std::nullopt, 0, report});
    }
    return rows;
}

std::string State(const Row& row)
{
    if (!row.Report) {
        return "stopped";
    }
    switch (row.Report->Link) {
    case PortLink::Connected:
        return "connected";
    case PortLink::Reconnecting:
        return "reconnecting";
    case PortLink::Closed:
        break;
    }
    return "closed";
}

std::string OpenedBy(const PortReport& report)
{
    const std::string who = report.Program.empty() ? "a program" : report.Program;
    const std::string pid =
        report.ProcessId != 0 ? " (pid " + std::to_string(report.ProcessId) + ")" : "";
    switch (report.OpenedBy) {
    case PortOpener::Program:
        return who + pid + " on " + report.Where;
    case PortOpener::Client:
        return who + pid + ", a zelwin32 client";
    case PortOpener::Rfc2217:
        return "the RFC 2217 client " + report.Where;
    case PortOpener::None:
        break;
    }
    return "";
}

void WriteTable(const std::vector<Row>& rows, const PortPlaces& places, std::ostream& out)
{
    const bool withRfc2217 = places.Rfc2217BasePort != 0;
    const auto line = [&](const std::string& port, const std::string& module,
                          const std::string& channel, const std::string& state,
                          const std::string& to, const std::string& from, const std::string& drops,
                          const std::string& reconnects, const std::string& rfc2217,
                          const std::string& path) {
        out << std::left << std::setw(PORT_WIDTH) << port << std::setw(MODULE_WIDTH) << module
            << std::setw(CHANNEL_WIDTH) << channel << std::setw(STATE_WIDTH) << state
            << std::setw(TO_WIDTH) << to << std::setw(FROM_WIDTH) << from << std::setw(DROPS_WIDTH)
            << drops << std::setw(RECONNECTS_WIDTH) << reconnects;
        if (withRfc2217) {
            out << std::setw(RFC2217_WIDTH) << rfc2217 + " ";
        }
        out << path << "\n";
    };
    if (rows.empty()) {
        out << "no ports configured\n";
        return;
    }
    line("PORT", "MODULE", "CHANNEL", "STATE", "TO MODULE", "FROM MODULE", "DROPS", "RECONNECTS",
         "RFC 2217", "PATH");
    const std::string indent(PORT_WIDTH, ' ');
    for (const auto& row : rows) {
        const PortReport report = row.Report.value_or(PortReport{});
        line("COM" + std::to_string(row.Com), row.Module ? std::to_string(*row.Module) : NONE,
             row.Module ? std::to_string(row.Channel) : NONE, State(row),
             std::to_string(report.ToModule), std::to_string(report.FromModule),
             std::to_string(report.Drops), std::to_string(report.Reconnects),
             Rfc2217Endpoint(places, row.Com).value_or(NONE),
             zeltools::PortPath(row.Com).value_or(NONE));
        if (report.OpenedBy != PortOpener::None) {
            out << indent << "opened by " << OpenedBy(report) << "\n";
        }
        if (!report.LastError.empty()) {
            out << indent << "last error: " << report.LastError << "\n";
        }
    }
}

void WriteJson(const std::vector<Row>& rows, const PortPlaces& places, std::ostream& out)
{
    using Json = nlohmann::ordered_json;
    static const char* const OPENERS[] = {nullptr, "program", "client", "rfc2217"};
    const auto optional = [](const std::optional<std::string>& text) {
        return text ? Json(*text) : Json(nullptr);
    };
    Json ports = Json::array();
    for (const auto& row : rows) {
        const PortReport report = row.Report.value_or(PortReport{});
        Json opener = nullptr;
        if (report.OpenedBy != PortOpener::None) {
            opener = {{"kind", OPENERS[static_cast<std::size_t>(report.OpenedBy)]},
                      {"pid", report.ProcessId != 0 ? Json(report.ProcessId) : Json(nullptr)},
                      {"program", report.Program.empty() ? Json(nullptr) : Json(report.Program)},
                      {"where", report.Where}};
        }
        ports.push_back(
            {{"com", row.Com},
             {"module", row.Module ? Json(*row.Module) : Json(nullptr)},
             {"channel", row.Module ? Json(row.Channel) : Json(nullptr)},
             {"path", optional(zeltools::PortPath(row.Com))},
             {"rfc2217", optional(Rfc2217Endpoint(places, row.Com))},
             {"state", State(row)},
             {"opened_by", opener},
             {"to_module", report.ToModule},
             {"from_module", report.FromModule},
             {"drops", report.Drops},
             {"reconnects", report.Reconnects},
             {"last_error", report.LastError.empty() ? Json(nullptr) : Json(report.LastError)}});
    }
    // Program names are whatever the process calls itself: bytes that are
    // no UTF-8 are replaced rather than refused.
    out << Json{{"ports", ports}}.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
}

void WritePorts(bool json, std::ostream& out)
{
    std::vector<ModuleRecord> table;
    {
        ControlSession session;  // released before the daemon is asked
        table = ReadModuleTable(session);
    }
    const auto rows = Rows(table, QueryPortStatus());
    if (json) {
        WriteJson(rows, FindPortPlaces(), out);
    } else {
        WriteTable(rows, FindPortPlaces(), out);
    }
}

}  // namespace

void RunPorts(const Arguments& Args, std::ostream& Out)
{
    const Options options = ParseOptions(Args);
    if (!options.WatchSeconds) {
        WritePorts(options.Json, Out);
        return;
    }
    for (;;) {
        // Gathered first, so the screen is not blank while it is.
        std::ostringstream page;
        WritePorts(options.Json, page);
        Out << CLEAR_SCREEN << "Every " << *options.WatchSeconds << "s: vcomctl ports\n\n"
            << page.str() << std::flush;
        std::this_thread::sleep_for(std::chrono::seconds(*options.WatchSeconds));
    }
}

}  // namespace vcomctl
