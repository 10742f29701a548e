// The control device held open through VZelSerial for one command: opened
// by the constructor, released by the destructor. The device is exclusive,
// so a session is short; one that finds another vcomctl's session tries
// again until that one ends, for a few seconds at most.
#pragma once

#include <host/common/non_copyable.h>
#include <VZelSerial.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace vcomctl {

class ControlSession : zel::NonCopyable {
public:
    // Throws Failure: daemon not running, control device busy for longer
    // than a session takes, or another failure to open.
    ControlSession();
    ~ControlSession();

    // A library call that sends one request without data, such as
    // VCOM_StartAllSerial.
    using PlainRequest = BOOL (*)(HANDLE Device);

    // Each is the library's 1/0 as a bool; data only on success.
    bool AddModule(const ModuleRecord& Record);
    bool Send(PlainRequest Request);
    std::optional<std::uint32_t> RunStatus();
    std::optional<std::uint32_t> ModuleCount();
    std::optional<ModuleRecord> Module(std::uint32_t Index);

private:
    HANDLE handle_;
};

// The driver's whole module table in table order, read record by record;
// throws Failure when the driver refuses a read.
std::vector<ModuleRecord> ReadModuleTable(ControlSession& Session);

}  // namespace vcomctl
