// End-to-end tests: a real zelvcomd per test, reached through zelwin32 from
// the test process (and from helper processes), with zelmodsim as a module.
#pragma once

#include "support/daemon_process.h"
#include "support/module_simulator.h"
#include "support/temp_dir.h"

#include <windows.h>
#include <zelvcom/control_ioctl.h>
#include <zelvcom/module_record.h>

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace zeltest {

using zel::test::DaemonProcess;
using zel::test::ModuleSimulator;

constexpr const char kControlDevice[] = "\\\\.\\ZelMain";

using zel::test::Contains;

class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        zel::test::UseDaemonSocket(SocketPath());
        StartDaemon();
    }
    // Stops the daemon (if it still runs) and expects a clean exit.
    void TearDown() override { EXPECT_TRUE(StopDaemon()) << Daemon().Log(); }

    // moreArgs: options beyond the fixture's own.
    void StartDaemon(const std::vector<std::string>& moreArgs = {})
    {
        daemon_ =
            std::make_unique<DaemonProcess>(dir_.Path(), SocketPath(), PtyDirectory(), moreArgs);
        ASSERT_TRUE(daemon_->WaitReady()) << daemon_->Log();
    }
    // SIGTERM (unless it has ended); true when the daemon exited with status 0.
    bool StopDaemon() { return zel::test::ChildProcess::ExitedWith(daemon_->Stop(), EXIT_SUCCESS); }
    DaemonProcess& Daemon() { return *daemon_; }
    std::string SocketPath() const { return dir_.File("s"); }
    // Where the daemon links the COM ports to their pseudo-terminals.
    std::filesystem::path PtyDirectory() const { return dir_.Path() / "pty"; }
    const zel::test::TempDir& Dir() const { return dir_; }

    // CreateFileA as the control library calls it.
    static HANDLE OpenControl()
    {
        return CreateFileA(kControlDevice, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    static HANDLE OpenPort(unsigned comNumber, DWORD flags = FILE_ATTRIBUTE_NORMAL)
    {
        const std::string name = "\\\\.\\COM" + std::to_string(comNumber);
        return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           flags, nullptr);
    }
    static BOOL Control(HANDLE handle, DWORD code, const void* input, DWORD inputLength,
                        void* output = nullptr, DWORD outputLength = 0)
    {
        DWORD returned = 0;
        return DeviceIoControl(handle, code, const_cast<void*>(input), inputLength, output,
                               outputLength, &returned, nullptr);
    }
    static std::uint32_t ModuleCount(HANDLE control)
    {
        std::uint32_t count = ~0u;
        EXPECT_TRUE(
            Control(control, IOCTL_VCOM_GET_DEV_MOD_COUNT, nullptr, 0, &count, sizeof count))
            << GetLastError();
        return count;
    }

    // A module at 127.0.0.1 with one channel per data port, COM numbers
    // firstCom, firstCom + 1, ...
    static ModuleRecord LoopbackModule(std::uint16_t controlPort,
                                       const std::vector<std::uint16_t>& dataPorts,
                                       unsigned firstCom)
    {
        ModuleRecord record{};
        record.ModuleIP = htonl(INADDR_LOOPBACK);
        record.ControlPort = controlPort;
        std::strncpy(record.ModuleName, "loopback", sizeof record.ModuleName - 1);
        for (std::size_t c = 0; c < dataPorts.size(); ++c) {
            record.SerialPort[c] = dataPorts[c];
            record.SerialNum[c] = firstCom + static_cast<unsigned>(c);
        }
        record.SerialCount = static_cast<std::uint32_t>(dataPorts.size());
        return record;
    }
    // Added and started through \\.\ZelMain.
    static void AddAndStart(const ModuleRecord& record)
    {
        const HANDLE control = OpenControl();
        ASSERT_NE(control, INVALID_HANDLE_VALUE) << GetLastError();
        EXPECT_TRUE(Control(control, IOCTL_VCOM_ADD_MODULE, &record, sizeof record))
            << GetLastError();
        EXPECT_TRUE(Control(control, IOCTL_VCOM_START_ALL_SERIAL, nullptr, 0)) << GetLastError();
        EXPECT_TRUE(CloseHandle(control));
    }

private:
    zel::test::TempDir dir_;
    std::unique_ptr<DaemonProcess> daemon_;
};

}  // namespace zeltest
