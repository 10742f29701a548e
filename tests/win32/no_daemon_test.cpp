// zelwin32 with no daemon to talk to: where it looks for one, opens failing
// as on Windows when the driver is not loaded, and the local parts (handles,
// events, last error) behaving as Win32's.
#include "support/temp_dir.h"

#include <windows.h>
#include <zelvcom_ipc/runtime_paths.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

namespace {

TEST(RuntimePathsTest, TheSocketVariableWinsThenTheStateVariableThenTheDefault)
{
    using namespace zelipc;
    setenv(kSocketEnvironment, "/run/somewhere/s", 1);
    setenv(kStateEnvironment, "/srv/zel", 1);
    EXPECT_EQ(ClientSocketPath(), "/run/somewhere/s");
    setenv(kSocketEnvironment, "", 1);  // empty counts as unset
    EXPECT_EQ(ClientSocketPath(), "/srv/zel/zelvcomd.sock");
    unsetenv(kStateEnvironment);
    EXPECT_EQ(ClientSocketPath(), DefaultStateDirectory() / "zelvcomd.sock");
}

TEST(NoDaemonTest, OpensFailWithFileNotFoundAndUnknownHandlesAreInvalid)
{
    zel::test::TempDir dir;
    setenv(zelipc::kSocketEnvironment, dir.File("absent.sock").c_str(), 1);
    EXPECT_EQ(CreateFileA("\\\\.\\ZelMain", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    DWORD returned = 0;
    EXPECT_FALSE(
        DeviceIoControl(INVALID_HANDLE_VALUE, 0, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    DCB dcb{};
    EXPECT_FALSE(GetCommState(nullptr, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    // An event is not a file, and a closed one is gone.
    const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(event, "x", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_FALSE(SetEvent(event));
}

TEST(NoDaemonTest, EventsSignalAndResetAsWin32s)
{
    const HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const HANDLE automatic = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
    // An auto-reset event lets one wait through.
    EXPECT_EQ(WaitForSingleObject(automatic, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
    std::thread setter([automatic] { SetEvent(automatic); });
    EXPECT_EQ(WaitForSingleObject(automatic, INFINITE), WAIT_OBJECT_0);
    setter.join();
    CloseHandle(manual);
    CloseHandle(automatic);

    // The last error belongs to the thread.
    SetLastError(ERROR_BUSY);
    DWORD seenThere = 0;
    std::thread other([&seenThere] {
        SetLastError(ERROR_TIMEOUT);
        seenThere = GetLastError();
    });
    other.join();
    EXPECT_EQ(seenThere, static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
}

}  // namespace
