// Test support for the control library: a daemon per test, handles that
// release themselves, and module records to add.
#pragma once

#include "support/daemon_process.h"
#include "support/temp_dir.h"

#include <VZelSerial.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace zel::test {

// A control handle released when the object goes.
class OpenHandle {
public:
    OpenHandle() : handle_(VCOM_CreateDevice()) {}
    OpenHandle(const OpenHandle&) = delete;
    OpenHandle& operator=(const OpenHandle&) = delete;
    ~OpenHandle() { VCOM_ReleaseDevice(handle_); }

    HANDLE Get() const { return handle_; }
    bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

// Mirrors the library's handle record, so a test can forge one from a
// live one.
struct ForgedHandle {
    HANDLE Device;
    std::uint32_t Signature;
    void* Reserved;
};

// 10.0.0.<host>, control port 4000 + host, two channels on COM<10*host+1>
// and COM<10*host+2> (host below 25 keeps the COM numbers distinct).
inline ModuleRecord MakeRecord(std::uint8_t Host, const char* Name = "module")
{
    constexpr std::uint8_t kNetwork = 10;
    constexpr std::uint32_t kControlPortBase = 4000;
    constexpr std::uint32_t kDataPortBase = 5000;
    constexpr std::uint32_t kComStride = 10;
    constexpr std::uint32_t kChannels = 2;
    ModuleRecord record{};
    const std::uint8_t address[] = {kNetwork, 0, 0, Host};
    std::memcpy(&record.ModuleIP, address, sizeof address);
    record.ControlPort = kControlPortBase + Host;
    record.SerialCount = kChannels;
    // At most 19 bytes, so the zeroed field keeps its NUL.
    std::memcpy(record.ModuleName, Name,
                std::min<std::size_t>(std::strlen(Name), MODULE_NAME_SIZE - 1));
    for (std::uint32_t c = 0; c < kChannels; ++c) {
        record.SerialPort[c] = kDataPortBase + kComStride * Host + c;
        record.SerialNum[c] = kComStride * Host + c + 1;
        record.SerialParaFlag[c] = c;
    }
    return record;
}

inline bool SameBytes(const ModuleRecord& A, const ModuleRecord& B)
{
    return std::memcmp(&A, &B, sizeof A) == 0;
}

// Every test gets a daemon of its own, reached through ZELVCOM_SOCKET.
class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        UseDaemonSocket(SocketPath());
        daemon_ = std::make_unique<DaemonProcess>(dir_.File("state"), SocketPath());
        ASSERT_TRUE(daemon_->WaitReady()) << daemon_->Log();
    }

    std::string SocketPath() const { return dir_.File("zelvcomd.sock"); }

    // The module count through Handle; fails the test when it cannot be read.
    static DWORD Count(HANDLE Handle)
    {
        DWORD count = 0;
        EXPECT_EQ(VCOM_GetDevModCount(Handle, &count), 1);
        return count;
    }

    TempDir dir_;
    std::unique_ptr<DaemonProcess> daemon_;
};

}  // namespace zel::test
