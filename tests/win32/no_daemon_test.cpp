// zelwin32 with no daemon to talk to: where it looks for one, opens failing
// as on Windows when the driver is not loaded, and the local parts (handles,
// events, last error) behaving as Win32's.
#include "support/temp_dir.h"

#include <windows.h>
#include <zelvcom_ipc/runtime_paths.h>

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstdlib>
#include <thread>

namespace {

TEST(RuntimePathsTest, ANamedSocketIsTheOnlyOneElseTheServicesThenTheUsersOwn)
{
    using namespace zelipc;
    const auto paths = [] {
        std::vector<std::filesystem::path> tried;
        for (const auto& candidate : ClientSocketCandidates()) {
            tried.push_back(candidate.Path);
        }
        return tried;
    };
    setenv(kSocketEnvironment, "/run/somewhere/s", 1);
    setenv(kStateEnvironment, "/srv/zel", 1);
    EXPECT_EQ(paths(), std::vector<std::filesystem::path>{"/run/somewhere/s"});
    setenv(kSocketEnvironment, "", 1);  // empty counts as unset
    EXPECT_EQ(paths(), std::vector<std::filesystem::path>{SocketFor("/srv/zel")});
    unsetenv(kStateEnvironment);
    // The service's daemon first, then the one this user starts by default.
    EXPECT_EQ(paths().front(), SocketFor(kSystemStateDirectory));
    EXPECT_EQ(paths().front(), SocketFor(std::string(kSystemStateDirectory) + "/"));
    EXPECT_EQ(paths().back(), SocketFor(DefaultStateDirectory()));
}

// A socket nobody listens on, then one this user may not use (root may use
// any, so the second try runs as nobody then).
TEST(RuntimePathsTest, ASocketThatCannotBeReachedSaysWhy)
{
    zel::test::TempDir dir;
    const std::string path = dir.File("s");
    setenv(zelipc::kSocketEnvironment, path.c_str(), 1);
    const zel::UniqueFd bound(socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{AF_UNIX, {}};
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(bound.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    std::string why;
    EXPECT_FALSE(zelipc::ConnectClient(&why).Valid());
    EXPECT_EQ(why, path + " ($ZELVCOM_SOCKET): refused: no zelvcomd listens on it");

    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    const uid_t self = geteuid();
    ASSERT_TRUE(self != 0 || seteuid(getpwnam("nobody")->pw_uid) == 0);
    EXPECT_FALSE(zelipc::ConnectClient(&why).Valid());
    ASSERT_EQ(seteuid(self), 0);
    EXPECT_NE(why.find("permission denied: add yourself to group zelvcom"), std::string::npos)
        << why;
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
