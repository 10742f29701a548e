// The host registry: the services tree persists in an SQLite database in the
// state directory; the device map lives in memory, rebuilt at every start.
//
// Roots: RTL_REGISTRY_SERVICES and RTL_REGISTRY_DEVICEMAP. Other NT roots
// (absolute paths among them) answer STATUS_NOT_IMPLEMENTED; values outside the NT set
// STATUS_INVALID_PARAMETER. Key paths use backslashes (one leading backslash is allowed, empty
// components are not); key and value names are case-insensitive and keep the
// case they were created with. A value lives in a key, never in a root.
// Every call is one transaction, durable when it returns.
#pragma once

#include <host/kernel.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace host {

struct RegistryNamedValue {
    std::string Name;
    RegistryValue Value;
};

class RegistryStore : public Registry {
public:
    // Opens (creating when absent) the services database in stateDirectory.
    // Throws std::runtime_error with a clear message when it cannot.
    static std::unique_ptr<RegistryStore> Open(const std::filesystem::path& stateDirectory);

    // Write creates every missing key of the path; RtlWriteRegistryValue,
    // as Windows', only a missing last key below an existing one.
    enum class KeyCreation { WholePath, LastKeyOnly };
    virtual NTSTATUS WriteValue(ULONG relativeTo, const std::string& key,
                                const std::string& valueName, const RegistryValue& value,
                                KeyCreation creation) = 0;
    // With every missing key of the path.
    virtual NTSTATUS CreateKey(ULONG relativeTo, const std::string& key) = 0;

    // Every value of one key, in the order the values were created, read in
    // one transaction. STATUS_OBJECT_NAME_NOT_FOUND when the key is absent.
    virtual NTSTATUS ReadKey(ULONG relativeTo, const std::string& key,
                             std::vector<RegistryNamedValue>* values) const = 0;
};

}  // namespace host
