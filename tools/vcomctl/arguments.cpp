#include "arguments.h"

#include "commands.h"

#include <common/argument_reader.h>

#include <array>
#include <cstring>
#include <set>

namespace vcomctl {
namespace {

using zeltools::ParseDecimal;

// Dotted quads.

constexpr std::size_t OCTETS = 4;
constexpr std::uint32_t OCTET_MAX = 255;
constexpr char OCTET_SEPARATOR = '.';

using Octets = std::array<std::uint8_t, OCTETS>;

// TCPPORT:COM[:withhold]

constexpr char FIELD_SEPARATOR = ':';
constexpr std::string_view WITHHOLD_WORD = "withhold";
constexpr std::size_t FIELDS_MIN = 2;
constexpr std::size_t FIELDS_MAX = 3;
constexpr std::size_t PORT_FIELD = 0;
constexpr std::size_t COM_FIELD = 1;
constexpr std::size_t FLAG_FIELD = 2;

std::vector<std::string_view> SplitFields(std::string_view text)
{
    std::vector<std::string_view> fields;
    for (;;) {
        const std::size_t end = text.find(FIELD_SEPARATOR);
        fields.push_back(text.substr(0, end));
        if (end == std::string_view::npos) {
            return fields;
        }
        text.remove_prefix(end + 1);
    }
}

[[noreturn]] void RefuseChannel(std::string_view text, const std::string& reason)
{
    throw UsageError("channel '" + std::string(text) + "': " + reason);
}

// ADDRESS CONTROL_PORT NAME CHANNEL...

enum ArgumentIndex : std::size_t { ADDRESS_ARG, CONTROL_PORT_ARG, NAME_ARG, FIRST_CHANNEL_ARG };

constexpr std::size_t NAME_TEXT_MAX = MODULE_NAME_SIZE - 1;  // one byte for the NUL
constexpr std::uint32_t UNSPECIFIED_ADDRESS = 0x00000000;
constexpr std::uint32_t BROADCAST_ADDRESS = 0xFFFFFFFF;
constexpr unsigned char FIRST_PRINTABLE = 0x20;
constexpr unsigned char DELETE_CHARACTER = 0x7F;
constexpr std::uint32_t LINE_SETTINGS_SENT = 0;
constexpr std::uint32_t LINE_SETTINGS_WITHHELD = 1;

std::uint32_t ParseModuleAddress(const std::string& text)
{
    const auto address = ParseIpv4(text);
    if (!address) {
        throw UsageError("'" + text + "' is not an IPv4 address (dotted quad, like 192.168.1.10)");
    }
    if (*address == UNSPECIFIED_ADDRESS || *address == BROADCAST_ADDRESS) {
        throw UsageError(text + " cannot be the address of a module");
    }
    return *address;
}

std::uint32_t ParseControlPort(const std::string& text)
{
    const auto port = ParseDecimal(text, TCP_PORT_MIN, TCP_PORT_MAX);
    if (!port) {
        throw UsageError("control port '" + text + "': must be a number from 1 to 65535");
    }
    return *port;
}

void CheckName(const std::string& name)
{
    if (name.empty()) {
        throw UsageError("the module name must not be empty");
    }
    if (name.size() > NAME_TEXT_MAX) {
        throw UsageError("the module name '" + name + "' is " + std::to_string(name.size()) +
                         " bytes; at most " + std::to_string(NAME_TEXT_MAX) + " fit");
    }
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < FIRST_PRINTABLE || byte == DELETE_CHARACTER) {
            throw UsageError("the module name must not contain control characters");
        }
    }
}

// Two channels on one TCP port, or two channels for one COM port, cannot
// both work; nor can a channel on the control port.
void CheckDistinct(const std::vector<ChannelArgument>& channels, std::uint32_t controlPort)
{
    std::set<std::uint32_t> ports{controlPort};
    std::set<std::uint32_t> comNumbers;
    for (const auto& channel : channels) {
        if (!ports.insert(channel.TcpPort).second) {
            throw UsageError("TCP port " + std::to_string(channel.TcpPort) +
                             " is given twice (channels and control port need ports of their own)");
        }
        if (channel.ComNumber != COM_NUMBER_NONE && !comNumbers.insert(channel.ComNumber).second) {
            throw UsageError("COM" + std::to_string(channel.ComNumber) +
                             " is given to two channels");
        }
    }
}

std::vector<ChannelArgument> ParseChannels(const std::vector<std::string>& args)
{
    const std::size_t count = args.size() - FIRST_CHANNEL_ARG;
    if (count == 0) {
        throw UsageError("add needs at least one CHANNEL (TCPPORT:COM[:withhold])");
    }
    if (count > MODULE_CHANNEL_COUNT) {
        throw UsageError("a module has at most " + std::to_string(MODULE_CHANNEL_COUNT) +
                         " channels, not " + std::to_string(count));
    }
    std::vector<ChannelArgument> channels;
    for (std::size_t i = FIRST_CHANNEL_ARG; i < args.size(); ++i) {
        channels.push_back(ParseChannelArgument(args[i]));
    }
    return channels;
}

}  // namespace

ModuleRecord ParseModuleArgument(const std::vector<std::string>& Args)
{
    if (Args.size() < FIRST_CHANNEL_ARG) {
        throw UsageError("add needs ADDRESS CONTROL_PORT NAME CHANNEL...");
    }
    ModuleRecord record{};
    record.ModuleIP = ParseModuleAddress(Args[ADDRESS_ARG]);
    record.ControlPort = ParseControlPort(Args[CONTROL_PORT_ARG]);
    CheckName(Args[NAME_ARG]);
    std::memcpy(record.ModuleName, Args[NAME_ARG].data(), Args[NAME_ARG].size());

    const auto channels = ParseChannels(Args);
    CheckDistinct(channels, record.ControlPort);
    record.SerialCount = static_cast<std::uint32_t>(channels.size());
    for (std::size_t i = 0; i < channels.size(); ++i) {
        record.SerialPort[i] = channels[i].TcpPort;
        record.SerialNum[i] = channels[i].ComNumber;
        record.SerialParaFlag[i] =
            channels[i].Withhold ? LINE_SETTINGS_WITHHELD : LINE_SETTINGS_SENT;
    }
    return record;
}

ChannelArgument ParseChannelArgument(std::string_view Text)
{
    const auto fields = SplitFields(Text);
    if (fields.size() < FIELDS_MIN || fields.size() > FIELDS_MAX) {
        RefuseChannel(Text, "expected TCPPORT:COM or TCPPORT:COM:withhold");
    }
    const auto port = ParseDecimal(fields[PORT_FIELD], TCP_PORT_MIN, TCP_PORT_MAX);
    if (!port) {
        RefuseChannel(Text, "the TCP port must be a number from 1 to 65535");
    }
    std::string_view com = fields[COM_FIELD];
    if (zeltools::StartsWithComPrefix(com)) {
        com.remove_prefix(zeltools::kComPrefix.size());
    }
    const auto number = ParseDecimal(com, COM_NUMBER_NONE, COM_NUMBER_MAX);
    if (!number) {
        RefuseChannel(Text, "the COM number must be from 0 to " + std::to_string(COM_NUMBER_MAX) +
                                " (0: the channel gets no port)");
    }
    const bool withhold = fields.size() == FIELDS_MAX;
    if (withhold && fields[FLAG_FIELD] != WITHHOLD_WORD) {
        RefuseChannel(Text, "the third part may only be 'withhold'");
    }
    return ChannelArgument{*port, *number, withhold};
}

std::optional<std::uint32_t> ParseIpv4(std::string_view Text)
{
    Octets octets{};
    for (std::size_t i = 0; i < OCTETS; ++i) {
        const bool last = i + 1 == OCTETS;
        const std::size_t end = last ? Text.size() : Text.find(OCTET_SEPARATOR);
        if (end == std::string_view::npos) {
            return std::nullopt;
        }
        const auto octet = ParseDecimal(Text.substr(0, end), 0, OCTET_MAX);
        if (!octet) {
            return std::nullopt;
        }
        octets[i] = static_cast<std::uint8_t>(*octet);
        Text.remove_prefix(last ? end : end + 1);
    }
    // Byte order in memory is the dotted order, whatever the host's order.
    std::uint32_t word = 0;
    std::memcpy(&word, octets.data(), sizeof word);
    return word;
}

std::string FormatIpv4(std::uint32_t ModuleIP)
{
    Octets octets{};
    std::memcpy(octets.data(), &ModuleIP, sizeof ModuleIP);
    std::string text;
    for (std::size_t i = 0; i < OCTETS; ++i) {
        if (i != 0) {
            text += OCTET_SEPARATOR;
        }
        text += std::to_string(octets[i]);
    }
    return text;
}

}  // namespace vcomctl
