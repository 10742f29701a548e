#include "object_namespace.h"

#include "rtl_unicode.h"

#include <cctype>
#include <utility>

namespace host {
namespace {

constexpr const char* kDeviceDirectory = "\\Device";
constexpr const char* kDosDevicesDirectory = "\\DosDevices";
constexpr int kMaximumLinkDepth = 8;

// Spellings of the directories, each with its canonical name.
struct Alias {
    const char* Prefix;
    const char* Directory;
};
constexpr Alias kAliases[] = {
    {"\\Device\\", kDeviceDirectory},
    {"\\DosDevices\\", kDosDevicesDirectory},
    {"\\??\\", kDosDevicesDirectory},
    {"\\GLOBAL??\\", kDosDevicesDirectory},
};

bool StartsWithNoCase(const std::string& text, const std::string& prefix)
{
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i]))) {
            return false;
        }
    }
    return true;
}

struct ParsedName {
    std::string Directory;
    std::string Leaf;
    std::string Remainder;  // "\..." below the leaf, or empty
};

// STATUS_OBJECT_PATH_NOT_FOUND outside the two directories,
// STATUS_OBJECT_NAME_INVALID for an empty leaf.
NTSTATUS Parse(const std::string& name, ParsedName* parsed)
{
    for (const Alias& alias : kAliases) {
        if (!StartsWithNoCase(name, alias.Prefix)) {
            continue;
        }
        const std::string rest = name.substr(std::char_traits<char>::length(alias.Prefix));
        const std::size_t slash = rest.find('\\');
        parsed->Directory = alias.Directory;
        parsed->Leaf = rest.substr(0, slash);
        parsed->Remainder = slash == std::string::npos ? std::string() : rest.substr(slash);
        return parsed->Leaf.empty() ? STATUS_OBJECT_NAME_INVALID : STATUS_SUCCESS;
    }
    return STATUS_OBJECT_PATH_NOT_FOUND;
}

std::string Join(const ParsedName& parsed)
{
    return parsed.Directory + "\\" + parsed.Leaf;
}

}  // namespace

std::string ObjectNamespace::CanonicalName(const std::string& name)
{
    ParsedName parsed;
    if (Parse(name, &parsed) != STATUS_SUCCESS) {
        return name;
    }
    return Join(parsed) + parsed.Remainder;
}

std::optional<std::string> ObjectNamespace::Key(const std::string& name, const char* directory,
                                                NTSTATUS* status)
{
    ParsedName parsed;
    *status = Parse(name, &parsed);
    if (*status == STATUS_SUCCESS && (parsed.Directory != directory || !parsed.Remainder.empty())) {
        *status = STATUS_OBJECT_PATH_NOT_FOUND;
    }
    if (*status != STATUS_SUCCESS) {
        return std::nullopt;
    }
    auto key = rtl::FoldName(Join(parsed));
    if (!key) {
        *status = STATUS_OBJECT_NAME_INVALID;
    }
    return key;
}

NTSTATUS ObjectNamespace::Insert(const std::string& name, const char* directory, Entry entry)
{
    NTSTATUS status;
    auto key = Key(name, directory, &status);
    if (!key) {
        return status;
    }
    ParsedName parsed;
    Parse(name, &parsed);
    entry.Name = Join(parsed);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!entries_.emplace(*key, std::move(entry)).second) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ObjectNamespace::InsertDevice(const std::string& name, PDEVICE_OBJECT device)
{
    return Insert(name, kDeviceDirectory, Entry{{}, device, {}});
}

void ObjectNamespace::RemoveDevice(const std::string& name)
{
    NTSTATUS status;
    if (auto key = Key(name, kDeviceDirectory, &status)) {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.erase(*key);
    }
}

NTSTATUS ObjectNamespace::InsertLink(const std::string& linkName, const std::string& target)
{
    return Insert(linkName, kDosDevicesDirectory, Entry{{}, nullptr, target});
}

NTSTATUS ObjectNamespace::RemoveLink(const std::string& linkName)
{
    NTSTATUS status;
    auto key = Key(linkName, kDosDevicesDirectory, &status);
    if (!key) {
        return status;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(*key);
    if (it == entries_.end() || it->second.Device != nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    entries_.erase(it);
    return STATUS_SUCCESS;
}

const ObjectNamespace::Entry* ObjectNamespace::FindLocked(const std::string& name) const
{
    auto key = rtl::FoldName(name);
    if (!key) {
        return nullptr;
    }
    auto it = entries_.find(*key);
    return it == entries_.end() ? nullptr : &it->second;
}

NTSTATUS ObjectNamespace::Resolve(const std::string& name, PDEVICE_OBJECT* device,
                                  std::string* remainder) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::string current = name;
    for (int depth = 0; depth < kMaximumLinkDepth; ++depth) {
        ParsedName parsed;
        const NTSTATUS status = Parse(current, &parsed);
        if (status != STATUS_SUCCESS) {
            return status;
        }
        const Entry* entry = FindLocked(Join(parsed));
        if (entry == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (entry->Device != nullptr) {
            *device = entry->Device;
            *remainder = parsed.Remainder;
            return STATUS_SUCCESS;
        }
        current = entry->Target + parsed.Remainder;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

std::vector<std::string> ObjectNamespace::DeviceNames() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> names;
    for (const auto& [key, entry] : entries_) {
        if (entry.Device != nullptr) {
            names.push_back(entry.Name);
        }
    }
    return names;
}

std::vector<std::string> ObjectNamespace::LinkNames() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> names;
    for (const auto& [key, entry] : entries_) {
        if (entry.Device == nullptr) {
            names.push_back(entry.Name);
        }
    }
    return names;
}

std::optional<std::string> ObjectNamespace::LinkTarget(const std::string& linkName) const
{
    ParsedName parsed;
    if (Parse(linkName, &parsed) != STATUS_SUCCESS || parsed.Directory != kDosDevicesDirectory) {
        return std::nullopt;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const Entry* entry = FindLocked(Join(parsed));
    if (entry == nullptr || entry->Device != nullptr) {
        return std::nullopt;
    }
    return entry->Target;
}

PDEVICE_OBJECT ObjectNamespace::FindDevice(const std::string& name) const
{
    ParsedName parsed;
    if (Parse(name, &parsed) != STATUS_SUCCESS || parsed.Directory != kDeviceDirectory) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const Entry* entry = FindLocked(Join(parsed));
    return entry == nullptr ? nullptr : entry->Device;
}

}  // namespace host
