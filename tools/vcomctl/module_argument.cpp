#include "module_argument.h"

#include "channel_argument.h"
#include "command_error.h"
#include "ipv4_address.h"
#include "numbers.h"

#include <cstring>
#include <set>

namespace vcomctl {
namespace {

enum ArgumentIndex : std::size_t { ADDRESS_ARG, CONTROL_PORT_ARG, NAME_ARG, FIRST_CHANNEL_ARG };

constexpr std::size_t NAME_TEXT_MAX = MODULE_NAME_SIZE - 1;  // one byte for the NUL
constexpr std::uint32_t UNSPECIFIED_ADDRESS = 0x00000000;
constexpr std::uint32_t BROADCAST_ADDRESS = 0xFFFFFFFF;
constexpr unsigned char FIRST_PRINTABLE = 0x20;
constexpr unsigned char DELETE_CHARACTER = 0x7F;
constexpr std::uint32_t LINE_SETTINGS_SENT = 0;
constexpr std::uint32_t LINE_SETTINGS_WITHHELD = 1;

std::uint32_t ParseAddress(const std::string& text)
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
            throw UsageError("COM" + std::to_string(channel.ComNumber) + " is given to two channels");
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
        throw UsageError("a module has at most " + std::to_string(MODULE_CHANNEL_COUNT) + " channels, not " +
                         std::to_string(count));
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
    record.ModuleIP = ParseAddress(Args[ADDRESS_ARG]);
    record.ControlPort = ParseControlPort(Args[CONTROL_PORT_ARG]);
    CheckName(Args[NAME_ARG]);
    std::memcpy(record.ModuleName, Args[NAME_ARG].data(), Args[NAME_ARG].size());

    const auto channels = ParseChannels(Args);
    CheckDistinct(channels, record.ControlPort);
    record.SerialCount = static_cast<std::uint32_t>(channels.size());
    for (std::size_t i = 0; i < channels.size(); ++i) {
        record.SerialPort[i] = channels[i].TcpPort;
        record.SerialNum[i] = channels[i].ComNumber;
        record.SerialParaFlag[i] = channels[i].Withhold ? LINE_SETTINGS_WITHHELD : LINE_SETTINGS_SENT;
    }
    return record;
}

}  // namespace vcomctl
