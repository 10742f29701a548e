// The ten control I/O controls of \\.\ZelMain: buffer and index checks, the
// add's refusals, and the table they change.
#include "driver_fixture.h"

#include <cstring>

namespace zeltest {
namespace {

using ControlIoctlTest = DriverTest;

ModuleRecord Numbered(unsigned i)
{
    return MakeRecord(Ip(10, 1, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)),
                      5000 + i, "module" + std::to_string(i), {});
}

TEST_F(ControlIoctlTest, AddStoresTheRecordByteForByte)
{
    ModuleRecord record =
        MakeRecord(Ip(192, 168, 1, 10), 0x1234, "Lab rack", {{4001, 5, 0}, {4002, 6, 1}});
    // Channels beyond SerialCount are carried unchanged.
    record.SerialPort[5] = 0xAAAA;
    record.SerialNum[7] = 77;
    record.SerialParaFlag[6] = 3;
    EXPECT_EQ(OutcomeOf(Add(record)), Outcome(STATUS_SUCCESS, 0u));
    EXPECT_EQ(ModuleCount(), 1u);

    std::uint32_t index = 0;
    host::IoResult get =
        Ioctl(IOCTL_VCOM_GET_DEV_MOD_INFO, &index, sizeof(index), sizeof(ModuleRecord));
    ASSERT_EQ(get.Status, STATUS_SUCCESS);
    ASSERT_EQ(get.Information, sizeof(ModuleRecord));
    ASSERT_EQ(get.Data.size(), sizeof(ModuleRecord));
    EXPECT_EQ(std::memcmp(get.Data.data(), &record, sizeof(record)), 0);
    const std::uint8_t address[] = {192, 168, 1, 10};
    const std::uint8_t port[] = {0x34, 0x12, 0x00, 0x00};
    EXPECT_EQ(std::memcmp(get.Data.data() + 0, address, 4), 0);
    EXPECT_EQ(std::memcmp(get.Data.data() + 4, port, 4), 0);
    // Adding runs nothing.
    EXPECT_EQ(RunStatus(), 0u);
    EXPECT_FALSE(HasDevice("\\Device\\VZelSerial0"));
}

TEST_F(ControlIoctlTest, BuffersAreCheckedAndUnknownCodesRefused)
{
    std::uint32_t word = 0;
    for (ULONG code :
         {ULONG(0x11708000), ULONG(0x1170802C), ULONG(0x11704004), ULONG(0x001B0004)}) {
        EXPECT_EQ(OutcomeOf(Ioctl(code, &word, sizeof(word), sizeof(word))),
                  Outcome(STATUS_INVALID_PARAMETER, 0u))
            << std::hex << code;
    }
    for (ULONG code : {ULONG(IOCTL_VCOM_GET_DEV_MOD_COUNT), ULONG(IOCTL_VCOM_GET_DEV_RUN_STS)}) {
        for (ULONG shortOutput : {0u, 3u}) {
            EXPECT_EQ(OutcomeOf(Ioctl(code, nullptr, 0, shortOutput)),
                      Outcome(STATUS_BUFFER_TOO_SMALL, 0u))
                << std::hex << code;
        }
        EXPECT_EQ(OutcomeOf(Ioctl(code, nullptr, 0, 64)), Outcome(STATUS_SUCCESS, 4u));
    }
    // The rest carry no bytes back, whatever room the caller gave.
    for (ULONG code : {ULONG(IOCTL_VCOM_STOP_ALL_SERIAL), ULONG(IOCTL_VCOM_START_ALL_SERIAL),
                       ULONG(IOCTL_VCOM_CLEAR_DEV_INFO), ULONG(IOCTL_VCOM_CLEAR_DEV_REG),
                       ULONG(IOCTL_VCOM_SAVE_INFO_REG)}) {
        host::IoResult result = Ioctl(code, nullptr, 0, 16);
        EXPECT_EQ(OutcomeOf(result), Outcome(STATUS_SUCCESS, 0u)) << std::hex << code;
        EXPECT_TRUE(result.Data.empty());
    }
    // Start and stop of an empty table make nothing.
    EXPECT_EQ(Kernel().DeviceNames().size(), 1u);
}

// The length test comes first; more than a record takes the first 128 bytes.
TEST_F(ControlIoctlTest, AddChecksTheLengthThenTheChannelCount)
{
    ModuleRecord record = Numbered(1);
    record.SerialCount = 0xFFFFFFFF;
    for (ULONG length : {ULONG(sizeof(record) - 1), 0u}) {
        EXPECT_EQ(OutcomeOf(Ioctl(IOCTL_VCOM_ADD_MODULE, &record, length, 0)),
                  Outcome(STATUS_BUFFER_TOO_SMALL, 0u));
    }
    for (std::uint32_t count : {std::uint32_t(MODULE_CHANNEL_COUNT + 1), 0xFFFFFFFFu}) {
        record.SerialCount = count;
        EXPECT_EQ(OutcomeOf(Add(record)), Outcome(STATUS_INVALID_PARAMETER, 0u)) << count;
    }
    EXPECT_EQ(ModuleCount(), 0u);

    record.SerialCount = MODULE_CHANNEL_COUNT;
    std::uint8_t input[sizeof(ModuleRecord) + 16];
    std::memset(input, 0x5C, sizeof(input));
    std::memcpy(input, &record, sizeof(record));
    ASSERT_EQ(Ioctl(IOCTL_VCOM_ADD_MODULE, input, sizeof(input), 0).Status, STATUS_SUCCESS);
    ModuleRecord stored = Record(0);
    EXPECT_EQ(std::memcmp(&stored, &record, sizeof(record)), 0);
}

TEST_F(ControlIoctlTest, DuplicateModuleIPIsRefused)
{
    ModuleRecord first = MakeRecord(Ip(10, 0, 0, 1), 4000, "first", {{4001, 5, 0}});
    ModuleRecord second = MakeRecord(Ip(10, 0, 0, 1), 4100, "second", {{4101, 6, 1}, {4102, 7, 0}});
    ASSERT_EQ(Add(first).Status, STATUS_SUCCESS);
    EXPECT_EQ(OutcomeOf(Add(second)), Outcome(STATUS_UNSUCCESSFUL, 0u));
    EXPECT_EQ(ModuleCount(), 1u);
    EXPECT_EQ(RecordName(Record(0)), "first");

    // The address identifies a module; the rest may match another's.
    ModuleRecord third = first;
    third.ModuleIP = Ip(10, 0, 0, 2);
    third.SerialNum[0] = 6;
    EXPECT_EQ(Add(third).Status, STATUS_SUCCESS);
    EXPECT_EQ(ModuleCount(), 2u);
}

TEST_F(ControlIoctlTest, ARecordWhosePortsCouldNotBeNamedOrConnectedIsRefused)
{
    ASSERT_EQ(Add(MakeRecord(Ip(10, 0, 0, 1), 4000, "first", {{4001, 5, 0}})).Status,
              STATUS_SUCCESS);
    const ModuleRecord base =
        MakeRecord(Ip(10, 0, 0, 2), 4100, "second", {{4101, 6, 0}, {4102, 7, 0}});
    auto expectRefused = [&](const char* what, auto change) {
        ModuleRecord record = base;
        change(record);
        EXPECT_EQ(OutcomeOf(Add(record)), Outcome(STATUS_INVALID_PARAMETER, 0u)) << what;
    };
    expectRefused("another module's COM", [](ModuleRecord& r) { r.SerialNum[1] = 5; });
    expectRefused("a COM twice", [](ModuleRecord& r) { r.SerialNum[1] = 6; });
    expectRefused("no such COM", [](ModuleRecord& r) { r.SerialNum[0] = 0xFFFFFFFF; });
    expectRefused("COM4097", [](ModuleRecord& r) { r.SerialNum[0] = 4097; });
    expectRefused("control port", [](ModuleRecord& r) { r.ControlPort = 65536; });
    expectRefused("data port", [](ModuleRecord& r) { r.SerialPort[1] = 65536; });
    EXPECT_EQ(ModuleCount(), 1u);

    // Channels without a port, the highest COM numbers and TCP ports, and
    // entries beyond SerialCount take nothing from anyone.
    ModuleRecord usable = base;
    usable.ControlPort = 65535;
    usable.SerialPort[1] = 65535;
    usable.SerialNum[0] = 4096;  // the highest Windows gives a serial port
    usable.SerialNum[1] = 2048;
    usable.SerialCount = 3;
    usable.SerialNum[2] = 0;
    usable.SerialNum[3] = 5;
    EXPECT_EQ(Add(usable).Status, STATUS_SUCCESS);
    EXPECT_EQ(ModuleCount(), 2u);
}

TEST_F(ControlIoctlTest, FullTableRefusesEveryAdd)
{
    for (unsigned i = 0; i < MODULE_TABLE_SIZE; ++i) {
        ASSERT_EQ(Add(Numbered(i)).Status, STATUS_SUCCESS) << i;
    }
    EXPECT_EQ(ModuleCount(), 256u);

    ModuleRecord extra = Numbered(1000);
    EXPECT_EQ(Add(extra).Status, STATUS_UNSUCCESSFUL);
    // The full test comes before the length test and the channel test.
    EXPECT_EQ(Ioctl(IOCTL_VCOM_ADD_MODULE, &extra, 4, 0).Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Ioctl(IOCTL_VCOM_ADD_MODULE, nullptr, 0, 0).Status, STATUS_UNSUCCESSFUL);
    extra.SerialCount = 9;
    EXPECT_EQ(Add(extra).Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ModuleCount(), 256u);
    EXPECT_EQ(RecordName(Record(255)), "module255");
}

TEST_F(ControlIoctlTest, GetRecordChecksBuffersAndIndex)
{
    ASSERT_EQ(Add(Numbered(0)).Status, STATUS_SUCCESS);
    ASSERT_EQ(Add(Numbered(1)).Status, STATUS_SUCCESS);

    std::uint32_t index = 0;
    host::IoResult result = Ioctl(IOCTL_VCOM_GET_DEV_MOD_INFO, &index, 4, 127);
    EXPECT_EQ(OutcomeOf(result), Outcome(STATUS_BUFFER_TOO_SMALL, 0u));
    result = Ioctl(IOCTL_VCOM_GET_DEV_MOD_INFO, &index, 3, 128);
    EXPECT_EQ(OutcomeOf(result), Outcome(STATUS_BUFFER_TOO_SMALL, 0u));

    index = 2;  // equal to ModuleCount
    result = Ioctl(IOCTL_VCOM_GET_DEV_MOD_INFO, &index, 4, 128);
    EXPECT_EQ(OutcomeOf(result), Outcome(STATUS_UNSUCCESSFUL, 0u));
    EXPECT_TRUE(result.Data.empty());
    index = 0xFFFFFFFF;
    result = Ioctl(IOCTL_VCOM_GET_DEV_MOD_INFO, &index, 4, 128);
    EXPECT_EQ(OutcomeOf(result), Outcome(STATUS_UNSUCCESSFUL, 0u));

    index = 1;
    result = Ioctl(IOCTL_VCOM_GET_DEV_MOD_INFO, &index, 4, 200);
    EXPECT_EQ(OutcomeOf(result), Outcome(STATUS_SUCCESS, 128u));
    ModuleRecord expected = Numbered(1);
    ASSERT_EQ(result.Data.size(), sizeof(expected));
    EXPECT_EQ(std::memcmp(result.Data.data(), &expected, sizeof(expected)), 0);
}

TEST_F(ControlIoctlTest, SecondStartReportsNameCollisionAndChangesNothing)
{
    ASSERT_EQ(Add(MakeRecord(Ip(10, 0, 0, 1), 4000, "a", {{4001, 5, 0}})).Status, STATUS_SUCCESS);
    ASSERT_EQ(StartAll().Status, STATUS_SUCCESS);
    PDEVICE_OBJECT module = Device("\\Device\\VZelSerial0");
    auto names = Kernel().DeviceNames();

    EXPECT_EQ(OutcomeOf(StartAll()), Outcome(STATUS_OBJECT_NAME_COLLISION, 0u));
    EXPECT_EQ(Device("\\Device\\VZelSerial0"), module);
    EXPECT_EQ(Kernel().DeviceNames().size(), names.size());

    // A module added while running is the only one the next start creates.
    ASSERT_EQ(Add(MakeRecord(Ip(10, 0, 0, 2), 4000, "b", {{4001, 6, 0}})).Status, STATUS_SUCCESS);
    EXPECT_EQ(StartAll().Status, STATUS_SUCCESS);  // the last creation is the new one
    EXPECT_EQ(Device("\\Device\\VZelSerial0"), module);
    EXPECT_TRUE(HasDevice("\\Device\\VZelSerial1"));
    EXPECT_TRUE(HasDevice("\\Device\\VSer6"));
}

TEST_F(ControlIoctlTest, ClearEmptiesTheTableAndStopAllStillRemovesItsDevices)
{
    ASSERT_EQ(Add(MakeRecord(Ip(10, 0, 0, 1), 4000, "a", {{4001, 5, 0}})).Status, STATUS_SUCCESS);
    ASSERT_EQ(StartAll().Status, STATUS_SUCCESS);
    EXPECT_EQ(OutcomeOf(Ioctl(IOCTL_VCOM_CLEAR_DEV_INFO)), Outcome(STATUS_SUCCESS, 0u));
    EXPECT_EQ(ModuleCount(), 0u);
    EXPECT_EQ(RunStatus(), 1u) << "its devices still run";
    EXPECT_TRUE(HasDevice("\\Device\\VZelSerial0"));
    EXPECT_TRUE(HasDevice("\\Device\\VSer5"));
    std::uint32_t index = 0;
    EXPECT_EQ(Ioctl(IOCTL_VCOM_GET_DEV_MOD_INFO, &index, 4, 128).Status, STATUS_UNSUCCESSFUL);

    // The module's devices are still stopped by stop-all ...
    EXPECT_EQ(StopAll().Status, STATUS_SUCCESS);
    EXPECT_FALSE(HasDevice("\\Device\\VZelSerial0"));
    EXPECT_FALSE(HasDevice("\\Device\\VSer5"));
    EXPECT_EQ(RunStatus(), 0u);

    // ... so the same index starts again.
    ASSERT_EQ(Add(MakeRecord(Ip(10, 0, 0, 9), 4000, "z", {{4001, 5, 0}})).Status, STATUS_SUCCESS);
    EXPECT_EQ(StartAll().Status, STATUS_SUCCESS);
    EXPECT_TRUE(HasDevice("\\Device\\VSer5"));
}

}  // namespace
}  // namespace zeltest
