#include "channel_argument.h"

#include "command_error.h"
#include "numbers.h"

#include <string>
#include <vector>

namespace vcomctl {
namespace {

constexpr char FIELD_SEPARATOR = ':';
constexpr std::string_view WITHHOLD_WORD = "withhold";
constexpr std::string_view COM_PREFIX = "COM";
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

bool StartsWithComPrefix(std::string_view text)
{
    if (text.size() < COM_PREFIX.size()) {
        return false;
    }
    for (std::size_t i = 0; i < COM_PREFIX.size(); ++i) {
        const char upper = text[i] >= 'a' && text[i] <= 'z' ? static_cast<char>(text[i] - 'a' + 'A') : text[i];
        if (upper != COM_PREFIX[i]) {
            return false;
        }
    }
    return true;
}

[[noreturn]] void Refuse(std::string_view text, const std::string& reason)
{
    throw UsageError("channel '" + std::string(text) + "': " + reason);
}

}  // namespace

ChannelArgument ParseChannelArgument(std::string_view Text)
{
    const auto fields = SplitFields(Text);
    if (fields.size() < FIELDS_MIN || fields.size() > FIELDS_MAX) {
        Refuse(Text, "expected TCPPORT:COM or TCPPORT:COM:withhold");
    }
    const auto port = ParseDecimal(fields[PORT_FIELD], TCP_PORT_MIN, TCP_PORT_MAX);
    if (!port) {
        Refuse(Text, "the TCP port must be a number from 1 to 65535");
    }
    std::string_view com = fields[COM_FIELD];
    if (StartsWithComPrefix(com)) {
        com.remove_prefix(COM_PREFIX.size());
    }
    const auto number = ParseDecimal(com, COM_NUMBER_NONE, COM_NUMBER_MAX);
    if (!number) {
        Refuse(Text, "the COM number must be from 0 to " + std::to_string(COM_NUMBER_MAX) + " (0: the channel gets no port)");
    }
    const bool withhold = fields.size() == FIELDS_MAX;
    if (withhold && fields[FLAG_FIELD] != WITHHOLD_WORD) {
        Refuse(Text, "the third part may only be 'withhold'");
    }
    return ChannelArgument{*port, *number, withhold};
}

}  // namespace vcomctl
