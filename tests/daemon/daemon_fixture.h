// End-to-end tests: a real zelvcomd per test, reached through zelwin32 from
// the test process (and from helper processes).
#pragma once

#include "support/daemon_process.h"

#include "support/temp_dir.h"

#include <windows.h>
#include <zelvcom/control_ioctl.h>
#include <zelvcom/module_record.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace zeltest {

using zel::test::DaemonProcess;

constexpr const char kControlDevice[] = "\\\\.\\ZelMain";

class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override;
    // Stops the daemon (if it still runs) and expects a clean exit.
    void TearDown() override;

    // moreArgs: options beyond the fixture's own.
    void StartDaemon(const std::vector<std::string>& moreArgs = {});
    // SIGTERM; true when the daemon exited with status 0.
    bool StopDaemon();
    DaemonProcess& Daemon() { return *daemon_; }
    std::string SocketPath() const { return dir_.File("s"); }
    // Where the daemon links the COM ports to their pseudo-terminals.
    std::filesystem::path PtyDirectory() const { return dir_.Path() / "pty"; }
    const zel::test::TempDir& Dir() const { return dir_; }

    // CreateFileA as the control library calls it.
    static HANDLE OpenControl();
    static HANDLE OpenPort(unsigned comNumber, DWORD flags = FILE_ATTRIBUTE_NORMAL);
    static BOOL Control(HANDLE handle, DWORD code, const void* input, DWORD inputLength,
                        void* output, DWORD outputLength);
    static std::uint32_t ModuleCount(HANDLE control);

    // A module at 127.0.0.1 with one channel per data port, COM numbers
    // firstCom, firstCom + 1, ..., added and started through \\.\ZelMain.
    static ModuleRecord LoopbackModule(std::uint16_t controlPort,
                                       const std::vector<std::uint16_t>& dataPorts,
                                       unsigned firstCom);
    static void AddAndStart(const ModuleRecord& record, bool save = false);

private:
    zel::test::TempDir dir_;
    std::unique_ptr<DaemonProcess> daemon_;
    bool stopped_ = false;
};

}  // namespace zeltest
