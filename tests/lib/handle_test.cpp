// Control handles: opening without and with a daemon, exclusivity, release,
// and the handle test every export runs first.
#include "lib/library_fixture.h"

namespace zel::test {
namespace {

constexpr DWORD kUntouched = 0xA5A5A5A5;
constexpr unsigned char kUntouchedByte = 0xA5;

TEST(VZelSerialNoDaemon, CreateDeviceFailsWithFileNotFound)
{
    TempDir dir;
    UseDaemonSocket(dir.File("nobody-listens.sock"));
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(VCOM_CreateDevice(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(LibraryTest, SecondHandleIsRefusedWhileTheFirstKeepsWorking)
{
    OpenHandle first;
    ASSERT_TRUE(first.Valid());
    SetLastError(ERROR_SUCCESS);
    OpenHandle second;
    EXPECT_FALSE(second.Valid());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    ModuleRecord record = MakeRecord(1);
    EXPECT_EQ(VCOM_AddModule(first.Get(), &record), 1);
    EXPECT_EQ(Count(first.Get()), 1u);
}

TEST_F(LibraryTest, ReleaseReturnsOneAndFreesTheDevice)
{
    const HANDLE handle = VCOM_CreateDevice();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(VCOM_ReleaseDevice(handle), 1);
    OpenHandle again;
    EXPECT_TRUE(again.Valid());
}

// Every export but the release refuses Handle with 0 and leaves outputs as
// they were; the release returns 1.
void ExpectRefused(HANDLE Handle)
{
    ModuleRecord record;
    std::memset(&record, kUntouchedByte, sizeof record);
    const ModuleRecord original = record;
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
    EXPECT_TRUE(SameBytes(record, original));
    EXPECT_EQ(VCOM_ReleaseDevice(Handle), 1);
}

TEST(VZelSerialHandleTest, InvalidAndNullHandlesAreRefusedByEveryExport)
{
    ExpectRefused(INVALID_HANDLE_VALUE);
    ExpectRefused(nullptr);
}

TEST_F(LibraryTest, RecordWhoseSignatureIsNotLiveIsRefusedAndSendsNothing)
{
    OpenHandle live;
    ASSERT_TRUE(live.Valid());
    ModuleRecord record = MakeRecord(1);
    ASSERT_EQ(VCOM_AddModule(live.Get(), &record), 1);

    // Over the very device the live handle holds: were anything sent, the
    // table would show it (cleared, or a second record).
    const HANDLE device = static_cast<ForgedHandle*>(live.Get())->Device;
    const std::uint32_t liveSignature = static_cast<ForgedHandle*>(live.Get())->Signature;
    const std::uint32_t notLive[] = {0, liveSignature + 1, ~liveSignature};
    for (const std::uint32_t signature : notLive) {
        ForgedHandle forged{device, signature, nullptr};
        ExpectRefused(&forged);
        EXPECT_EQ(forged.Signature, signature) << "the release must leave a refused record alone";
    }
    EXPECT_EQ(Count(live.Get()), 1u);
    ModuleRecord back{};
    EXPECT_EQ(VCOM_GetDevModInfo(live.Get(), 0, &back), 1);
    EXPECT_TRUE(SameBytes(back, record));
}

}  // namespace
}  // namespace zel::test
