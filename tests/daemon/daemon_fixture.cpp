#include "daemon_fixture.h"

#include "support/process.h"

#include <zelvcom_ipc/runtime_paths.h>

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

namespace zeltest {

void DaemonTest::SetUp()
{
    setenv(zelipc::kSocketEnvironment, SocketPath().c_str(), 1);
    StartDaemon();
}

void DaemonTest::TearDown()
{
    if (daemon_ && !stopped_) {  // none when the test was skipped before it started one
        EXPECT_TRUE(StopDaemon()) << Daemon().Log();
    }
}

void DaemonTest::StartDaemon(const std::vector<std::string>& moreArgs)
{
    daemon_ = std::make_unique<DaemonProcess>(dir_.Path(), SocketPath(), PtyDirectory(), moreArgs);
    stopped_ = false;
    ASSERT_TRUE(daemon_->WaitReady()) << daemon_->Log();
}

bool DaemonTest::StopDaemon()
{
    stopped_ = true;
    return zel::test::ChildProcess::ExitedWith(daemon_->Stop(), EXIT_SUCCESS);
}

HANDLE DaemonTest::OpenControl()
{
    return CreateFileA(kControlDevice, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE DaemonTest::OpenPort(unsigned comNumber, DWORD flags)
{
    const std::string name = "\\\\.\\COM" + std::to_string(comNumber);
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags,
                       nullptr);
}

BOOL DaemonTest::Control(HANDLE handle, DWORD code, const void* input, DWORD inputLength,
                         void* output, DWORD outputLength)
{
    DWORD returned = 0;
    return DeviceIoControl(handle, code, const_cast<void*>(input), inputLength, output,
                           outputLength, &returned, nullptr);
}

std::uint32_t DaemonTest::ModuleCount(HANDLE control)
{
    std::uint32_t count = ~0u;
    EXPECT_TRUE(Control(control, IOCTL_VCOM_GET_DEV_MOD_COUNT, nullptr, 0, &count, sizeof count))
        << GetLastError();
    return count;
}

ModuleRecord DaemonTest::LoopbackModule(std::uint16_t controlPort,
                                        const std::vector<std::uint16_t>& dataPorts,
                                        unsigned firstCom)
{
    ModuleRecord record;
    std::memset(&record, 0, sizeof record);
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

void DaemonTest::AddAndStart(const ModuleRecord& record, bool save)
{
    const HANDLE control = OpenControl();
    ASSERT_NE(control, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(Control(control, IOCTL_VCOM_ADD_MODULE, &record, sizeof record, nullptr, 0))
        << GetLastError();
    EXPECT_TRUE(Control(control, IOCTL_VCOM_START_ALL_SERIAL, nullptr, 0, nullptr, 0))
        << GetLastError();
    if (save) {
        EXPECT_TRUE(Control(control, IOCTL_VCOM_SAVE_INFO_REG, nullptr, 0, nullptr, 0))
            << GetLastError();
    }
    EXPECT_TRUE(CloseHandle(control));
}

}  // namespace zeltest
