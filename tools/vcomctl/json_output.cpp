#include "json_output.h"

#include "ipv4_address.h"
#include "module_view.h"
#include "port_paths.h"

#include <cstdio>
#include <string>

namespace vcomctl {
namespace {

constexpr unsigned char FIRST_PRINTABLE = 0x20;
constexpr unsigned char LAST_ASCII = 0x7F;
constexpr std::size_t ESCAPE_BUFFER = sizeof "\\u0000";

std::string UnicodeEscape(unsigned char byte)
{
    char escape[ESCAPE_BUFFER];
    std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(byte));
    return escape;
}

std::string PathJson(const std::filesystem::path& ptyDir, std::uint32_t comNumber)
{
    const auto path = PortPath(ptyDir, comNumber);
    return path ? JsonString(path->string()) : "null";
}

void WriteChannels(const ModuleRecord& record, const std::filesystem::path& ptyDir, std::ostream& out)
{
    const std::uint32_t channels = ChannelCount(record);
    out << "[";
    for (std::uint32_t c = 0; c < channels; ++c) {
        out << (c == 0 ? "\n" : ",\n") << "        {\"tcp_port\": " << record.SerialPort[c]
            << ", \"com\": " << record.SerialNum[c]
            << ", \"withhold\": " << (LineSettingsWithheld(record, c) ? "true" : "false")
            << ", \"path\": " << PathJson(ptyDir, record.SerialNum[c]) << "}";
    }
    out << (channels == 0 ? "]" : "\n      ]");
}

void WriteModule(std::size_t index, const ModuleRecord& record, const std::filesystem::path& ptyDir,
                 std::ostream& out)
{
    out << "    {\n"
        << "      \"index\": " << index << ",\n"
        << "      \"name\": " << JsonString(ModuleName(record)) << ",\n"
        << "      \"address\": \"" << FormatIpv4(record.ModuleIP) << "\",\n"
        << "      \"control_port\": " << record.ControlPort << ",\n"
        << "      \"channels\": ";
    WriteChannels(record, ptyDir, out);
    out << "\n    }";
}

}  // namespace

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

void WriteModulesJson(const std::vector<ModuleRecord>& Modules, const std::filesystem::path& PtyDir,
                      std::ostream& Out)
{
    Out << "{\n  \"modules\": [";
    for (std::size_t i = 0; i < Modules.size(); ++i) {
        Out << (i == 0 ? "\n" : ",\n");
        WriteModule(i, Modules[i], PtyDir, Out);
    }
    Out << (Modules.empty() ? "]\n}\n" : "\n  ]\n}\n");
}

}  // namespace vcomctl
