// `vcomctl list`: the module table for people (one row per channel) and for
// scripts (JSON), with the path programs open each port by, and its RFC 2217
// endpoint when zelvcomd serves them.
//   {"modules": [{"index", "name", "address", "control_port",
//                 "channels": [{"tcp_port", "com", "withhold", "path", "rfc2217"}]}]}
// "com" is the n of COM<n>, 0 when the channel has no port.
#pragma once

#include <zelvcom/module_record.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace vcomctl {

// Where zelvcomd serves the ports as RFC 2217 endpoints: port COM<n> on
// TCP port Rfc2217BasePort + n of Rfc2217Address; none when the base is 0
// (and always on Windows, which has no zelvcomd).
struct PortPlaces {
    std::string Rfc2217Address;
    std::uint32_t Rfc2217BasePort = 0;
};
// From the note zelvcomd keeps beside its socket while it serves RFC 2217
// clients.
PortPlaces FindPortPlaces();

// "ADDRESS:PORT" (an IPv6 address in brackets) of COM<number>'s RFC 2217
// endpoint, while the port exists and the daemon serves them.
std::optional<std::string> Rfc2217Endpoint(const PortPlaces& Places, std::uint32_t ComNumber);

// A port without a link shows "-" (null in JSON) for its path and its RFC
// 2217 endpoint, as does a port when the daemon serves no RFC 2217 clients;
// the table then has no RFC 2217 column.
void WriteModuleTable(const std::vector<ModuleRecord>& Modules, const PortPlaces& Places,
                      std::ostream& Out);
void WriteModulesJson(const std::vector<ModuleRecord>& Modules, const PortPlaces& Places,
                      std::ostream& Out);
// A JSON string literal. Bytes above 0x7F (the name's code page) are taken
// as Latin-1, so the output is always valid UTF-8.
std::string JsonString(std::string_view Text);

// Reading a module record the driver returned, which need not have been
// written by this tool: the name may lack its NUL, the count may exceed 8.
// The name up to its NUL, never past the field's 20 bytes.
std::string ModuleName(const ModuleRecord& Record);
// SerialCount limited to the channels the record can hold.
std::uint32_t ChannelCount(const ModuleRecord& Record);
bool LineSettingsWithheld(const ModuleRecord& Record, std::uint32_t Channel);

}  // namespace vcomctl
