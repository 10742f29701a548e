// The ten control requests end to end against the driver in zelvcomd: each
// export reaches the driver as its own request, and the library's own
// checks. The table's rules themselves are the driver's and tested there.
#include "lib/library_fixture.h"

namespace zel::test {
namespace {

constexpr DWORD kUntouched = 0xA5A5A5A5;
constexpr unsigned char kUntouchedByte = 0xA5;

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

TEST_F(RequestsTest, EveryRequestReachesTheDriver)
{
    // Entries past SerialCount travel and are stored as they are.
    ModuleRecord record = MakeRecord(1, "nineteen-bytes-name");
    for (std::uint32_t c = record.SerialCount; c < MODULE_CHANNEL_COUNT; ++c) {
        record.SerialPort[c] = 0xDEAD0000 + c;
        record.SerialNum[c] = 0xBEEF0000 + c;
        record.SerialParaFlag[c] = 0xF00D0000 + c;
    }
    ASSERT_EQ(VCOM_AddModule(H(), &record), 1);
    EXPECT_EQ(Count(H()), 1u);
    ModuleRecord back = Filled();
    EXPECT_EQ(VCOM_GetDevModInfo(H(), 0, &back), 1);
    EXPECT_TRUE(SameBytes(back, record));

    EXPECT_EQ(RunStatus(), 0u);
    EXPECT_EQ(VCOM_StartAllSerial(H()), 1);
    EXPECT_EQ(RunStatus(), 1u);
    EXPECT_EQ(VCOM_StopAllSerial(H()), 1);
    EXPECT_EQ(RunStatus(), 0u);

    EXPECT_EQ(VCOM_SaveInfoReg(H()), 1);
    EXPECT_EQ(VCOM_ClearDevInfo(H()), 1);
    EXPECT_EQ(Count(H()), 0u);
    EXPECT_EQ(VCOM_ResetReadReg(H()), 1);
    EXPECT_EQ(Count(H()), 1u);
    EXPECT_EQ(VCOM_ClearDevReg(H()), 1);
    ASSERT_EQ(VCOM_ClearDevInfo(H()), 1);
    EXPECT_EQ(VCOM_ResetReadReg(H()), 1);
    EXPECT_EQ(Count(H()), 0u);
}

// The record is received locally and copied out only on success.
TEST_F(RequestsTest, AFailedReadLeavesTheCallersRecordAlone)
{
    ModuleRecord record = MakeRecord(1);
    ASSERT_EQ(VCOM_AddModule(H(), &record), 1);
    ModuleRecord buffer = Filled();
    EXPECT_EQ(VCOM_GetDevModInfo(H(), 1, &buffer), 0);
    EXPECT_TRUE(SameBytes(buffer, Filled()));
}

TEST_F(RequestsTest, NullPointersReturnZeroAndSendNothing)
{
    EXPECT_EQ(VCOM_AddModule(H(), nullptr), 0);
    EXPECT_EQ(Count(H()), 0u);
    ModuleRecord record = MakeRecord(1);
    ASSERT_EQ(VCOM_AddModule(H(), &record), 1);
    EXPECT_EQ(VCOM_GetDevModInfo(H(), 0, nullptr), 0);
    EXPECT_EQ(VCOM_GetDevRunSts(H(), nullptr), 0);
    EXPECT_EQ(VCOM_GetDevModCount(H(), nullptr), 0);
    // The handle is unharmed.
    EXPECT_EQ(Count(H()), 1u);
}

}  // namespace
}  // namespace zel::test
