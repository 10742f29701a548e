// The ten control requests end to end against the driver in zelvcomd.
#include "lib/library_fixture.h"

namespace zel::test {
namespace {

constexpr DWORD kUntouched = 0xA5A5A5A5;
constexpr unsigned char kUntouchedByte = 0xA5;
constexpr DWORD kLastIndex = 0xFFFFFFFF;
constexpr DWORD kRunning = 1;
constexpr DWORD kStopped = 0;

class RequestsTest : public LibraryTest {
protected:
    void SetUp() override
    {
        LibraryTest::SetUp();
        handle_ = std::make_unique<OpenHandle>();
        ASSERT_TRUE(handle_->Valid());
    }
    void TearDown() override { handle_.reset(); }

    HANDLE H() const { return handle_->Get(); }

    bool Add(const ModuleRecord& Record) { return VCOM_AddModule(H(), &Record) == 1; }

    DWORD RunStatus()
    {
        DWORD status = kUntouched;
        EXPECT_EQ(VCOM_GetDevRunSts(H(), &status), 1);
        return status;
    }

    std::unique_ptr<OpenHandle> handle_;
};

ModuleRecord Filled()
{
    ModuleRecord record;
    std::memset(&record, kUntouchedByte, sizeof record);
    return record;
}

TEST_F(RequestsTest, EmptyTableCountsZeroAndIsNotRunning)
{
    DWORD count = kUntouched;
    EXPECT_EQ(VCOM_GetDevModCount(H(), &count), 1);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(RunStatus(), kStopped);
}

TEST_F(RequestsTest, AddedRecordComesBackByteForByte)
{
    // Entries past SerialCount travel and are stored as they are.
    ModuleRecord record = MakeRecord(1, "nineteen-bytes-name");
    for (std::uint32_t c = record.SerialCount; c < MODULE_CHANNEL_COUNT; ++c) {
        record.SerialPort[c] = 0xDEAD0000 + c;
        record.SerialNum[c] = 0xBEEF0000 + c;
        record.SerialParaFlag[c] = 0xF00D0000 + c;
    }
    ASSERT_TRUE(Add(record));
    ModuleRecord back = Filled();
    EXPECT_EQ(VCOM_GetDevModInfo(H(), 0, &back), 1);
    EXPECT_TRUE(SameBytes(back, record));
}

TEST_F(RequestsTest, RecordsKeepTheirOrder)
{
    constexpr std::uint8_t kModules = 3;
    for (std::uint8_t host = 1; host <= kModules; ++host) {
        ASSERT_TRUE(Add(MakeRecord(host)));
    }
    EXPECT_EQ(Count(H()), kModules);
    for (std::uint8_t host = 1; host <= kModules; ++host) {
        ModuleRecord back{};
        EXPECT_EQ(VCOM_GetDevModInfo(H(), host - 1u, &back), 1);
        EXPECT_TRUE(SameBytes(back, MakeRecord(host)));
    }
}

TEST_F(RequestsTest, IndexAtOrPastTheCountFailsAndLeavesTheBufferAlone)
{
    ASSERT_TRUE(Add(MakeRecord(1)));
    const DWORD pastEnd[] = {1, 2, kLastIndex};
    for (const DWORD index : pastEnd) {
        ModuleRecord buffer = Filled();
        EXPECT_EQ(VCOM_GetDevModInfo(H(), index, &buffer), 0) << "index " << index;
        EXPECT_TRUE(SameBytes(buffer, Filled())) << "index " << index;
    }
}

TEST_F(RequestsTest, IndexZeroOfAnEmptyTableFails)
{
    ModuleRecord buffer = Filled();
    EXPECT_EQ(VCOM_GetDevModInfo(H(), 0, &buffer), 0);
    EXPECT_TRUE(SameBytes(buffer, Filled()));
}

TEST_F(RequestsTest, DuplicateAddressIsRefusedWhateverElseDiffers)
{
    ASSERT_TRUE(Add(MakeRecord(1, "first")));
    ModuleRecord same = MakeRecord(2, "second");
    same.ModuleIP = MakeRecord(1).ModuleIP;
    EXPECT_FALSE(Add(same));
    EXPECT_EQ(Count(H()), 1u);
    ModuleRecord back{};
    EXPECT_EQ(VCOM_GetDevModInfo(H(), 0, &back), 1);
    EXPECT_TRUE(SameBytes(back, MakeRecord(1, "first")));
}

TEST_F(RequestsTest, FullTableRefusesTheNextRecord)
{
    for (std::uint32_t i = 0; i < MODULE_TABLE_SIZE; ++i) {
        ModuleRecord record = MakeRecord(1);
        record.ModuleIP = i + 1;  // distinct addresses, and no ports to share
        record.SerialCount = 0;
        ASSERT_TRUE(Add(record)) << "record " << i;
    }
    ModuleRecord extra = MakeRecord(1);
    extra.ModuleIP = MODULE_TABLE_SIZE + 1;
    extra.SerialCount = 0;
    EXPECT_FALSE(Add(extra));
    EXPECT_EQ(Count(H()), static_cast<DWORD>(MODULE_TABLE_SIZE));
}

TEST_F(RequestsTest, NullRecordToAddModuleReturnsZeroAndAddsNothing)
{
    EXPECT_EQ(VCOM_AddModule(H(), nullptr), 0);
    EXPECT_EQ(Count(H()), 0u);
}

TEST_F(RequestsTest, NullOutputPointersReturnZero)
{
    ASSERT_TRUE(Add(MakeRecord(1)));
    EXPECT_EQ(VCOM_GetDevModInfo(H(), 0, nullptr), 0);
    EXPECT_EQ(VCOM_GetDevRunSts(H(), nullptr), 0);
    EXPECT_EQ(VCOM_GetDevModCount(H(), nullptr), 0);
    // The handle is unharmed.
    EXPECT_EQ(Count(H()), 1u);
}

TEST_F(RequestsTest, StartMakesItRunAndStopMakesItStop)
{
    ASSERT_TRUE(Add(MakeRecord(1)));
    EXPECT_EQ(VCOM_StartAllSerial(H()), 1);
    EXPECT_EQ(RunStatus(), kRunning);
    EXPECT_EQ(VCOM_StopAllSerial(H()), 1);
    EXPECT_EQ(RunStatus(), kStopped);
}

TEST_F(RequestsTest, SecondStartFailsWhileRunning)
{
    ASSERT_TRUE(Add(MakeRecord(1)));
    ASSERT_EQ(VCOM_StartAllSerial(H()), 1);
    EXPECT_EQ(VCOM_StartAllSerial(H()), 0);
    EXPECT_EQ(RunStatus(), kRunning);
    EXPECT_EQ(VCOM_StopAllSerial(H()), 1);
}

TEST_F(RequestsTest, StartAndStopOfAnEmptyTableSucceed)
{
    EXPECT_EQ(VCOM_StartAllSerial(H()), 1);
    EXPECT_EQ(VCOM_StopAllSerial(H()), 1);
    EXPECT_EQ(RunStatus(), kStopped);
}

TEST_F(RequestsTest, ClearEmptiesTheTable)
{
    ASSERT_TRUE(Add(MakeRecord(1)));
    ASSERT_TRUE(Add(MakeRecord(2)));
    EXPECT_EQ(VCOM_ClearDevInfo(H()), 1);
    EXPECT_EQ(Count(H()), 0u);
}

TEST_F(RequestsTest, SaveThenReloadRestoresTheTable)
{
    ASSERT_TRUE(Add(MakeRecord(1, "saved")));
    EXPECT_EQ(VCOM_SaveInfoReg(H()), 1);
    ASSERT_EQ(VCOM_ClearDevInfo(H()), 1);
    EXPECT_EQ(VCOM_ResetReadReg(H()), 1);
    EXPECT_EQ(Count(H()), 1u);
    ModuleRecord back{};
    EXPECT_EQ(VCOM_GetDevModInfo(H(), 0, &back), 1);
    EXPECT_TRUE(SameBytes(back, MakeRecord(1, "saved")));
}

TEST_F(RequestsTest, DeleteSavedLeavesNothingToReload)
{
    ASSERT_TRUE(Add(MakeRecord(1)));
    ASSERT_EQ(VCOM_SaveInfoReg(H()), 1);
    EXPECT_EQ(VCOM_ClearDevReg(H()), 1);
    ASSERT_EQ(VCOM_ClearDevInfo(H()), 1);
    EXPECT_EQ(VCOM_ResetReadReg(H()), 1);
    EXPECT_EQ(Count(H()), 0u);
}

}  // namespace
}  // namespace zel::test
