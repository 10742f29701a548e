#include "output.h"

#include "arguments.h"

#include <common/platform.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <system_error>

namespace vcomctl {
namespace {

// The table. Column widths: the longest name (19) and address (15) plus a gap.
constexpr int INDEX_WIDTH = 6;
constexpr int NAME_WIDTH = 21;
constexpr int ADDRESS_WIDTH = 17;
constexpr int CONTROL_WIDTH = 9;
constexpr int CHANNEL_WIDTH = 9;
constexpr int TCP_PORT_WIDTH = 9;
constexpr int COM_WIDTH = 8;
constexpr int LINE_WIDTH = 15;
// An IPv4 address and a port, and a gap; a longer (IPv6) one keeps a gap of
// one.
constexpr int RFC2217_WIDTH = 23;

constexpr const char NO_PORT[] = "-";

struct Row {
    std::string Index, Name, Address, Control, Channel, TcpPort, Com, Line, Rfc2217, Path;
};

// The RFC 2217 column only when the daemon serves RFC 2217 clients.
void WriteRow(const Row& row, bool withRfc2217, std::ostream& out)
{
    out << std::left << std::setw(INDEX_WIDTH) << row.Index << std::setw(NAME_WIDTH) << row.Name
        << std::setw(ADDRESS_WIDTH) << row.Address << std::setw(CONTROL_WIDTH) << row.Control
        << std::setw(CHANNEL_WIDTH) << row.Channel << std::setw(TCP_PORT_WIDTH) << row.TcpPort
        << std::setw(COM_WIDTH) << row.Com << std::setw(LINE_WIDTH) << row.Line;
    if (withRfc2217)
        out << std::setw(RFC2217_WIDTH) << row.Rfc2217 + " ";
    out << row.Path << "\n";
}

std::string ComName(std::uint32_t number)
{
    return number == 0 ? NO_PORT : "COM" + std::to_string(number);
}

void WriteTableModule(std::size_t index, const ModuleRecord& record, const PortPlaces& places,
                      std::ostream& out)
{
    const bool withRfc2217 = places.Rfc2217BasePort != 0;
    Row row{std::to_string(index),
            ModuleName(record),
            FormatIpv4(record.ModuleIP),
            std::to_string(record.ControlPort),
            NO_PORT,
            NO_PORT,
            NO_PORT,
            NO_PORT,
            NO_PORT,
            NO_PORT};
    const std::uint32_t channels = ChannelCount(record);
    if (channels == 0) {
        WriteRow(row, withRfc2217, out);
    }
    for (std::uint32_t c = 0; c < channels; ++c) {
        row.Channel = std::to_string(c + 1);  // as the module's label counts
        row.TcpPort = std::to_string(record.SerialPort[c]);
        row.Com = ComName(record.SerialNum[c]);
        row.Line = LineSettingsWithheld(record, c) ? "withheld" : "sent";
        row.Path = zeltools::PortPath(record.SerialNum[c]).value_or(NO_PORT);
        row.Rfc2217 = Rfc2217Endpoint(places, record.SerialNum[c]).value_or(NO_PORT);
        WriteRow(row, withRfc2217, out);
        // The module's own columns only on its first row.
        row.Index = row.Name = row.Address = row.Control = "";
    }
}

// The JSON document: indented two spaces a level, names and paths escaped.
constexpr unsigned char FIRST_PRINTABLE = 0x20;
constexpr unsigned char LAST_ASCII = 0x7F;
constexpr std::size_t ESCAPE_BUFFER = sizeof "\\u0000";

std::string UnicodeEscape(unsigned char byte)
{
    char escape[ESCAPE_BUFFER];
    std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(byte));
    return escape;
}

std::string OptionalJson(const std::optional<std::string>& text)
{
    return text ? JsonString(*text) : "null";
}

void WriteChannels(const ModuleRecord& record, const PortPlaces& places, std::ostream& out)
{
    const std::uint32_t channels = ChannelCount(record);
    out << "[";
    for (std::uint32_t c = 0; c < channels; ++c) {
        out << (c == 0 ? "\n" : ",\n") << "        {\"tcp_port\": " << record.SerialPort[c]
            << ", \"com\": " << record.SerialNum[c]
            << ", \"withhold\": " << (LineSettingsWithheld(record, c) ? "true" : "false")
            << ", \"path\": " << OptionalJson(zeltools::PortPath(record.SerialNum[c]))
            << ", \"rfc2217\": " << OptionalJson(Rfc2217Endpoint(places, record.SerialNum[c]))
            << "}";
    }
    out << (channels == 0 ? "]" : "\n      ]");
}

void WriteJsonModule(std::size_t index, const ModuleRecord& record, const PortPlaces& places,
                     std::ostream& out)
{
    out << "    {\n"
        << "      \"index\": " << index << ",\n"
        << "      \"name\": " << JsonString(ModuleName(record)) << ",\n"
        << "      \"address\": \"" << FormatIpv4(record.ModuleIP) << "\",\n"
        << "      \"control_port\": " << record.ControlPort << ",\n"
        << "      \"channels\": ";
    WriteChannels(record, places, out);
    out << "\n    }";
}

}  // namespace

void WriteModuleTable(const std::vector<ModuleRecord>& Modules, const PortPlaces& Places,
                      std::ostream& Out)
{
    if (Modules.empty()) {
        Out << "no modules configured\n";
        return;
    }
    WriteRow({"INDEX", "NAME", "ADDRESS", "CONTROL", "CHANNEL", "TCPPORT", "PORT", "LINE SETTINGS",
              "RFC 2217", "PATH"},
             Places.Rfc2217BasePort != 0, Out);
    for (std::size_t i = 0; i < Modules.size(); ++i) {
        WriteTableModule(i, Modules[i], Places, Out);
    }
}

std::string JsonString(std::string_view Text)
{
    std::string json = "\"";
    for (const char c : Text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (byte < FIRST_PRINTABLE || byte >= LAST_ASCII) {
            json += UnicodeEscape(byte);
        } else {
            json += c;
        }
    }
    return json + "\"";
}

void WriteModulesJson(const std::vector<ModuleRecord>& Modules, const PortPlaces& Places,
                      std::ostream& Out)
{
    Out << "{\n  \"modules\": [";
    for (std::size_t i = 0; i < Modules.size(); ++i) {
        Out << (i == 0 ? "\n" : ",\n");
        WriteJsonModule(i, Modules[i], Places, Out);
    }
    Out << (Modules.empty() ? "]\n}\n" : "\n  ]\n}\n");
}

std::optional<std::string> Rfc2217Endpoint(const PortPlaces& Places, std::uint32_t ComNumber)
{
    if (Places.Rfc2217BasePort == 0 || !zeltools::PortPath(ComNumber))
        return std::nullopt;
    const bool ipv6 = Places.Rfc2217Address.find(':') != std::string::npos;
    return (ipv6 ? "[" + Places.Rfc2217Address + "]" : Places.Rfc2217Address) + ":" +
           std::to_string(Places.Rfc2217BasePort + ComNumber);
}

PortPlaces FindPortPlaces()
{
    PortPlaces places;
#if !defined(_WIN32)
    std::ifstream note(zelipc::ClientSocketPath().parent_path() / zelipc::kRfc2217FileName);
    std::string address;
    std::uint32_t base = 0;
    if (note >> address >> base)
        places = PortPlaces{address, base};
#endif
    return places;
}

std::string ModuleName(const ModuleRecord& Record)
{
    const char* const begin = Record.ModuleName;
    const char* const end = std::find(begin, begin + MODULE_NAME_SIZE, '\0');
    return std::string(begin, end);
}

std::uint32_t ChannelCount(const ModuleRecord& Record)
{
    return std::min<std::uint32_t>(Record.SerialCount, MODULE_CHANNEL_COUNT);
}

bool LineSettingsWithheld(const ModuleRecord& Record, std::uint32_t Channel)
{
    return Record.SerialParaFlag[Channel] != 0;
}

}  // namespace vcomctl
