#include "table_output.h"

#include "ipv4_address.h"
#include "module_view.h"
#include "port_paths.h"

#include <iomanip>
#include <string>

namespace vcomctl {
namespace {

// Column widths: the longest name (19) and address (15) plus a gap.
constexpr int INDEX_WIDTH = 6;
constexpr int NAME_WIDTH = 21;
constexpr int ADDRESS_WIDTH = 17;
constexpr int CONTROL_WIDTH = 9;
constexpr int CHANNEL_WIDTH = 9;
constexpr int TCP_PORT_WIDTH = 9;
constexpr int COM_WIDTH = 8;
constexpr int LINE_WIDTH = 15;

constexpr const char NO_PORT[] = "-";

struct Row {
    std::string Index, Name, Address, Control, Channel, TcpPort, Com, Line, Path;
};

void WriteRow(const Row& row, std::ostream& out)
{
    out << std::left << std::setw(INDEX_WIDTH) << row.Index << std::setw(NAME_WIDTH) << row.Name
        << std::setw(ADDRESS_WIDTH) << row.Address << std::setw(CONTROL_WIDTH) << row.Control
        << std::setw(CHANNEL_WIDTH) << row.Channel << std::setw(TCP_PORT_WIDTH) << row.TcpPort
        << std::setw(COM_WIDTH) << row.Com << std::setw(LINE_WIDTH) << row.Line << row.Path << "\n";
}

std::string ComName(std::uint32_t number)
{
    return number == 0 ? NO_PORT : "COM" + std::to_string(number);
}

void WriteModule(std::size_t index, const ModuleRecord& record, const std::filesystem::path& ptyDir,
                 std::ostream& out)
{
    Row row{std::to_string(index), ModuleName(record), FormatIpv4(record.ModuleIP),
            std::to_string(record.ControlPort), NO_PORT, NO_PORT, NO_PORT, NO_PORT, NO_PORT};
    const std::uint32_t channels = ChannelCount(record);
    if (channels == 0) {
        WriteRow(row, out);
    }
    for (std::uint32_t c = 0; c < channels; ++c) {
        row.Channel = std::to_string(c);
        row.TcpPort = std::to_string(record.SerialPort[c]);
        row.Com = ComName(record.SerialNum[c]);
        row.Line = LineSettingsWithheld(record, c) ? "withheld" : "sent";
        const auto path = PortPath(ptyDir, record.SerialNum[c]);
        row.Path = path ? path->string() : NO_PORT;
        WriteRow(row, out);
        // The module's own columns only on its first row.
        row.Index = row.Name = row.Address = row.Control = "";
    }
}

}  // namespace

void WriteModuleTable(const std::vector<ModuleRecord>& Modules, const std::filesystem::path& PtyDir,
                      std::ostream& Out)
{
    if (Modules.empty()) {
        Out << "no modules configured\n";
        return;
    }
    WriteRow({"INDEX", "NAME", "ADDRESS", "CONTROL", "CHANNEL", "TCPPORT", "PORT", "LINE SETTINGS", "PATH"}, Out);
    for (std::size_t i = 0; i < Modules.size(); ++i) {
        WriteModule(i, Modules[i], PtyDir, Out);
    }
}

}  // namespace vcomctl
