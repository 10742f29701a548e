// The library's exports against the driver in zelvcomd: its own checks of
// handles and pointers refuse before anything is sent. The table's rules
// are the driver's and tested there.
#include "daemon_fixture.h"

#include <VZelSerial.h>

#include <cstdint>
#include <cstring>

namespace zel::test {
namespace {

using LibraryTest = zeltest::DaemonTest;

constexpr DWORD kUntouched = 0xA5A5A5A5;

// Mirrors the library's handle record, so a test can forge one from a
// live one.
struct ForgedHandle {
    HANDLE Device;
    std::uint32_t Signature;
    void* Reserved;
};

bool SameBytes(const ModuleRecord& A, const ModuleRecord& B)
{
    return std::memcmp(&A, &B, sizeof A) == 0;
}

ModuleRecord Filled()
{
    constexpr unsigned char kUntouchedByte = 0xA5;
    ModuleRecord record;
    std::memset(&record, kUntouchedByte, sizeof record);
    return record;
}

// Every export but the release refuses Handle with 0 and leaves outputs as
// they were; the release returns 1.
void ExpectRefused(HANDLE Handle)
{
    ModuleRecord record = Filled();
    DWORD word = kUntouched;
    EXPECT_EQ(VCOM_AddModule(Handle, &record), 0);
    EXPECT_EQ(VCOM_StopAllSerial(Handle), 0);
    EXPECT_EQ(VCOM_StartAllSerial(Handle), 0);
    EXPECT_EQ(VCOM_SaveInfoReg(Handle), 0);
    EXPECT_EQ(VCOM_ResetReadReg(Handle), 0);
    EXPECT_EQ(VCOM_GetDevRunSts(Handle, &word), 0);
    EXPECT_EQ(VCOM_ClearDevInfo(Handle), 0);
    EXPECT_EQ(VCOM_ClearDevReg(Handle), 0);
    EXPECT_EQ(VCOM_GetDevModCount(Handle, &word), 0);
    EXPECT_EQ(VCOM_GetDevModInfo(Handle, 0, &record), 0);
    EXPECT_EQ(word, kUntouched);
    EXPECT_TRUE(SameBytes(record, Filled()));
    EXPECT_EQ(VCOM_ReleaseDevice(Handle), 1);
}

TEST(VZelSerialNoDaemon, CreateFailsAndInvalidHandlesAreRefusedByEveryExport)
{
    TempDir dir;
    UseDaemonSocket(dir.File("nobody-listens.sock"));
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(VCOM_CreateDevice(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ExpectRefused(INVALID_HANDLE_VALUE);
    ExpectRefused(nullptr);
}

// Null pointers, and handle records whose signature is not live, are
// refused and send nothing; a failed read leaves the caller's record alone,
// as the record is received locally and copied out only on success. Every
// request reaching the driver shows in vcomctl's tests; here a record
// travels byte for byte, entries past SerialCount too.
TEST_F(LibraryTest, RefusedArgumentsSendNothingAndRecordsTravelWhole)
{
    const HANDLE h = VCOM_CreateDevice();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(VCOM_AddModule(h, nullptr), 0);
    DWORD count = kUntouched;
    EXPECT_EQ(VCOM_GetDevModCount(h, &count), 1);
    EXPECT_EQ(count, 0u);
    // 10.0.0.1 with one channel, on COM1.
    ModuleRecord record{};
    const std::uint8_t address[] = {10, 0, 0, 1};
    std::memcpy(&record.ModuleIP, address, sizeof address);
    record.ControlPort = 4000;
    record.SerialCount = 1;
    record.SerialPort[0] = 5001;
    record.SerialNum[0] = 1;
    std::strcpy(record.ModuleName, "nineteen-bytes-name");
    for (std::uint32_t c = 1; c < MODULE_CHANNEL_COUNT; ++c) {
        record.SerialPort[c] = 0xDEAD0000 + c;
        record.SerialNum[c] = 0xBEEF0000 + c;
        record.SerialParaFlag[c] = 0xF00D0000 + c;
    }
    ASSERT_EQ(VCOM_AddModule(h, &record), 1);
    EXPECT_EQ(VCOM_GetDevModInfo(h, 0, nullptr), 0);
    EXPECT_EQ(VCOM_GetDevRunSts(h, nullptr), 0);
    EXPECT_EQ(VCOM_GetDevModCount(h, nullptr), 0);
    ModuleRecord buffer = Filled();
    EXPECT_EQ(VCOM_GetDevModInfo(h, 1, &buffer), 0);
    EXPECT_TRUE(SameBytes(buffer, Filled()));

    // Over the very device the live handle holds: were anything sent, the
    // table would show it (cleared, or a second record).
    const HANDLE device = static_cast<ForgedHandle*>(h)->Device;
    const std::uint32_t liveSignature = static_cast<ForgedHandle*>(h)->Signature;
    for (const std::uint32_t signature : {0u, liveSignature + 1, ~liveSignature}) {
        ForgedHandle forged{device, signature, nullptr};
        ExpectRefused(&forged);
        EXPECT_EQ(forged.Signature, signature) << "the release must leave a refused record alone";
    }
    EXPECT_EQ(VCOM_GetDevModCount(h, &count), 1);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(VCOM_GetDevModInfo(h, 0, &buffer), 1);
    EXPECT_TRUE(SameBytes(buffer, record));
    EXPECT_EQ(VCOM_ReleaseDevice(h), 1);
}

}  // namespace
}  // namespace zel::test
