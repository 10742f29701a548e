// The object namespace: device objects under \Device and symbolic links
// under \DosDevices (also reached as \??\ and \GLOBAL??\). Names compare
// case-insensitively, as on Windows; they are kept as written.
#pragma once

#include <wdm.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace host {

class ObjectNamespace {
public:
    // The name as the namespace keeps it: directory spelled \Device or
    // \DosDevices, leaf as written.
    static std::string CanonicalName(const std::string& name);

    NTSTATUS InsertDevice(const std::string& name, PDEVICE_OBJECT device);
    void RemoveDevice(const std::string& name);
    NTSTATUS InsertLink(const std::string& linkName, const std::string& target);
    NTSTATUS RemoveLink(const std::string& linkName);

    // Follows symbolic links to a device. A name may continue below the
    // device ("\Device\Tcp\x"); the rest goes to *remainder.
    NTSTATUS Resolve(const std::string& name, PDEVICE_OBJECT* device, std::string* remainder) const;

    std::vector<std::string> DeviceNames() const;
    std::vector<std::string> LinkNames() const;
    std::optional<std::string> LinkTarget(const std::string& linkName) const;
    PDEVICE_OBJECT FindDevice(const std::string& name) const;

private:
    struct Entry {
        std::string Name;
        PDEVICE_OBJECT Device = nullptr;  // null for a symbolic link
        std::string Target;               // of a symbolic link
    };

    // The lookup key of a name in one of the two directories, or nullopt
    // (*status says why) when the name is malformed or outside them.
    static std::optional<std::string> Key(const std::string& name, const char* directory,
                                          NTSTATUS* status);
    // Enters a device or a link under CanonicalName(name), its Name.
    NTSTATUS Insert(const std::string& name, const char* directory, Entry entry);
    const Entry* FindLocked(const std::string& name) const;

    mutable std::mutex mutex_;
    std::map<std::string, Entry> entries_;
};

}  // namespace host
