// The control device \\.\ZelMain through zelwin32 and the daemon, as the
// control library drives it.
#include "daemon_fixture.h"

#include "support/loopback.h"

#include <arpa/inet.h>

#include <cstring>

namespace zeltest {
namespace {

class ControlDeviceTest : public DaemonTest {
protected:
    // A control port nothing listens on, held for the whole test: a connect
    // to it is refused.
    std::uint16_t RefusingControlPort() const { return refusing_.Port(); }

private:
    zel::test::ClosedPort refusing_;
};

TEST_F(ControlDeviceTest, ModulesAreAddedListedAndClearedThroughTheControlIoctls)
{
    const HANDLE control = OpenControl();
    ASSERT_NE(control, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(ModuleCount(control), 0u);

    const ModuleRecord record = LoopbackModule(RefusingControlPort(), {2, 3}, 21);
    ASSERT_TRUE(Control(control, IOCTL_VCOM_ADD_MODULE, &record, sizeof record, nullptr, 0))
        << GetLastError();
    EXPECT_EQ(ModuleCount(control), 1u);

    std::uint32_t index = 0;
    ModuleRecord listed;
    std::memset(&listed, 0xAA, sizeof listed);
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(control, IOCTL_VCOM_GET_DEV_MOD_INFO, &index, sizeof index, &listed,
                                sizeof listed, &returned, nullptr));
    EXPECT_EQ(returned, sizeof(ModuleRecord));
    EXPECT_EQ(std::memcmp(&listed, &record, sizeof record), 0);

    EXPECT_TRUE(Control(control, IOCTL_VCOM_CLEAR_DEV_INFO, nullptr, 0, nullptr, 0))
        << GetLastError();
    EXPECT_EQ(ModuleCount(control), 0u);
    EXPECT_TRUE(CloseHandle(control));
}

TEST_F(ControlDeviceTest, DriverFailuresReachGetLastErrorAndLeaveTheOutputAlone)
{
    const HANDLE control = OpenControl();
    ASSERT_NE(control, INVALID_HANDLE_VALUE);

    std::uint32_t index = 0;
    ModuleRecord untouched;
    std::memset(&untouched, 0x5A, sizeof untouched);
    ModuleRecord output = untouched;
    EXPECT_FALSE(Control(control, IOCTL_VCOM_GET_DEV_MOD_INFO, &index, sizeof index, &output,
                         sizeof output));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(std::memcmp(&output, &untouched, sizeof output), 0);

    std::uint16_t tooSmall = 0;
    EXPECT_FALSE(
        Control(control, IOCTL_VCOM_GET_DEV_MOD_COUNT, nullptr, 0, &tooSmall, sizeof tooSmall));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    const ModuleRecord record = LoopbackModule(RefusingControlPort(), {2}, 21);
    ASSERT_TRUE(Control(control, IOCTL_VCOM_ADD_MODULE, &record, sizeof record, nullptr, 0));
    EXPECT_FALSE(Control(control, IOCTL_VCOM_ADD_MODULE, &record, sizeof record, nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    CloseHandle(control);
}

TEST_F(ControlDeviceTest, ASecondOpenIsRefusedWhileTheFirstKeepsWorking)
{
    const HANDLE first = OpenControl();
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenControl(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(ModuleCount(first), 0u);
    EXPECT_TRUE(CloseHandle(first));

    const HANDLE again = OpenControl();
    EXPECT_NE(again, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(again);
}

TEST_F(ControlDeviceTest, AClosedHandleIsInvalidAfterwards)
{
    const HANDLE control = OpenControl();
    ASSERT_TRUE(CloseHandle(control));
    std::uint32_t count = 0;
    EXPECT_FALSE(Control(control, IOCTL_VCOM_GET_DEV_MOD_COUNT, nullptr, 0, &count, sizeof count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(control));
}

TEST_F(ControlDeviceTest, AnUnknownDeviceIsNotFound)
{
    EXPECT_EQ(
        CreateFileA("\\\\.\\NoSuchDevice", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
        INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(ControlDeviceTest, StartingAModuleCreatesItsPortsAndTheLogSaysSo)
{
    AddAndStart(LoopbackModule(RefusingControlPort(), {2}, 23));
    EXPECT_TRUE(Daemon().SawLog("name created: ", "COM23")) << Daemon().Log();
    const HANDLE control = OpenControl();
    std::uint32_t running = 0;
    EXPECT_TRUE(Control(control, IOCTL_VCOM_GET_DEV_RUN_STS, nullptr, 0, &running, sizeof running));
    EXPECT_EQ(running, 1u);
    EXPECT_TRUE(Control(control, IOCTL_VCOM_STOP_ALL_SERIAL, nullptr, 0, nullptr, 0))
        << GetLastError();
    EXPECT_TRUE(Daemon().SawLog("name removed: ", "COM23")) << Daemon().Log();
    CloseHandle(control);
}

}  // namespace
}  // namespace zeltest
