#include "module_file.h"

#include "arguments.h"
#include "commands.h"

#include <nlohmann/json.hpp>

namespace vcomctl {
namespace {

using Json = nlohmann::json;

constexpr unsigned char ASCII_END = 0x80;
constexpr unsigned char UTF8_LATIN1_LEAD_MAX = 0xC3;
constexpr unsigned char UTF8_PAYLOAD_MASK = 0x3F;
constexpr unsigned char UTF8_LEAD_PAYLOAD_MASK = 0x1F;
constexpr int UTF8_PAYLOAD_BITS = 6;

[[noreturn]] void Refuse(const std::string& what)
{
    throw Failure(ExitCode::Failed, what);
}

// A name goes out as Latin-1 escapes (JsonString), and the parser hands
// them back as UTF-8: back to the bytes the record held.
std::string Latin1(const std::string& utf8, const std::string& where)
{
    std::string bytes;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        if (lead < ASCII_END) {
            bytes += utf8[i];
        } else if (lead <= UTF8_LATIN1_LEAD_MAX &&
                   i + 1 < utf8.size()) {  // valid UTF-8: at least 0xC2
            const auto next = static_cast<unsigned char>(utf8[++i]);
            bytes += static_cast<char>(((lead & UTF8_LEAD_PAYLOAD_MASK) << UTF8_PAYLOAD_BITS) |
                                       (next & UTF8_PAYLOAD_MASK));
        } else {
            Refuse(where + "the name has characters beyond Latin-1");
        }
    }
    return bytes;
}

const Json& Member(const Json& object, const char* key, const std::string& where)
{
    const auto found = object.find(key);
    if (found == object.end()) {
        Refuse(where + "\"" + key + "\" is missing");
    }
    return *found;
}

std::string Text(const Json& object, const char* key, const std::string& where)
{
    const Json& value = Member(object, key, where);
    if (!value.is_string()) {
        Refuse(where + "\"" + key + "\" must be a string");
    }
    return value.get<std::string>();
}

std::string Number(const Json& object, const char* key, const std::string& where)
{
    const Json& value = Member(object, key, where);
    if (!value.is_number_unsigned()) {
        Refuse(where + "\"" + key + "\" must be a whole number");
    }
    return std::to_string(value.get<std::uint64_t>());
}

// The module as add's arguments, so it meets add's checks.
std::vector<std::string> ModuleArguments(const Json& module, const std::string& where)
{
    if (!module.is_object()) {
        Refuse(where + "not an object");
    }
    std::vector<std::string> args{Text(module, "address", where),
                                  Number(module, "control_port", where),
                                  Latin1(Text(module, "name", where), where)};
    const Json& channels = Member(module, "channels", where);
    if (!channels.is_array()) {
        Refuse(where + "\"channels\" must be a list");
    }
    for (const Json& channel : channels) {
        if (!channel.is_object()) {
            Refuse(where + "a channel is not an object");
        }
        const Json& withhold = Member(channel, "withhold", where);
        if (!withhold.is_boolean()) {
            Refuse(where + "\"withhold\" must be true or false");
        }
        args.push_back(Number(channel, "tcp_port", where) + ":" + Number(channel, "com", where) +
                       (withhold.get<bool>() ? ":withhold" : ""));
    }
    return args;
}

}  // namespace

std::vector<ModuleRecord> ReadModulesFile(std::istream& In, const std::string& Name)
{
    Json document;
    try {
        document = Json::parse(In);
    } catch (const Json::parse_error& error) {
        Refuse(Name + ": not JSON: " + error.what());
    }
    const Json* modules =
        document.is_object() ? &Member(document, "modules", Name + ": ") : nullptr;
    if (modules == nullptr || !modules->is_array()) {
        Refuse(Name + ": expected {\"modules\": [...]}, as 'vcomctl export' writes");
    }
    std::vector<ModuleRecord> records;
    for (std::size_t k = 0; k < modules->size(); ++k) {
        const std::string where = Name + ": module " + std::to_string(k) + ": ";
        try {
            records.push_back(ParseModuleArgument(ModuleArguments((*modules)[k], where)));
        } catch (const UsageError& error) {
            Refuse(where + error.what());
        }
    }
    return records;
}

}  // namespace vcomctl
