// End-to-end tests of the COM ports as pseudo-terminals: each test has its
// own zelvcomd, its own module (zelmodsim, or real peers) and programs that
// open the COM links the daemon publishes.
#pragma once

#include "daemon_fixture.h"
#include "module_simulator.h"
#include "terminal.h"

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace zeltest {

// The COM number of a test's first port (every test has a daemon of its own).
constexpr unsigned kCom = 7;

class PtyTest : public DaemonTest {
protected:
    // zelmodsim with these channels as the module of COM kCom, kCom + 1, ...
    // Returns once the daemon has linked the ports.
    void StartModule(const std::vector<std::string>& channelModes);
    // A module with these ports, added and started; returns once the daemon
    // has linked its ports.
    void AddModule(std::uint16_t controlPort, const std::vector<std::uint16_t>& dataPorts);
    // zelmodsim for the control connection, and a channel on the test's own
    // dataPort, as the module of COM kCom.
    void StartModuleWithChannelAt(std::uint16_t dataPort);
    ModuleSimulator& Module() { return *module_; }

    std::filesystem::path Link(unsigned com = kCom) const;
    // The next log line (not yet waited for) saying the daemon linked the
    // port to a new pseudo-terminal, or removed its link, or closed it.
    bool SawLinked(unsigned com = kCom);
    bool SawUnlinked(unsigned com = kCom);
    bool SawClosed(unsigned com = kCom);
    bool SawBaudFrame(std::uint32_t baudRate);

    // The link opened and set up raw, as a serial program does.
    static Terminal OpenRaw(const std::filesystem::path& link);
    Terminal OpenRaw() const { return OpenRaw(Link()); }
    // Writes text and reads it back from an echo channel.
    static ::testing::AssertionResult Echoes(Terminal& terminal, const std::string& text);

    std::unique_ptr<ModuleSimulator> module_;
};

// count bytes of a fixed pseudo-random sequence: every byte value occurs,
// and a block lost, doubled or out of order shows.
std::string PatternBytes(std::size_t count, unsigned seed);

// What each of a process's descriptors refers to, as /proc shows it.
std::vector<std::string> DescriptorTargets(pid_t pid);

}  // namespace zeltest
