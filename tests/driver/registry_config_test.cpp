// Save, reload and delete of the module table against the registry, with host
// restarts in between, and what the load makes of odd stored values.
#include "driver_fixture.h"

#include "core/module_extension.h"

#include <algorithm>
#include <cstring>

namespace zeltest {
namespace {

using RegistryConfigTest = DriverTest;

std::size_t ValueCount(host::Registry& registry, const std::string& key)
{
    return registry.ValueNames(RTL_REGISTRY_SERVICES, key).size();
}

bool HasValue(const std::vector<std::string>& names, const std::string& name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

TEST_F(RegistryConfigTest, SaveWritesEveryModuleThenTheCount)
{
    ModuleRecord first = MakeRecord(Ip(192, 168, 1, 10), 0x1234, "alpha", {});
    ModuleRecord second =
        MakeRecord(Ip(192, 168, 1, 11), 950, "beta", {{4001, 5, 0}, {4002, 6, 1}, {4003, 0, 0}});
    ASSERT_EQ(Add(first).Status, STATUS_SUCCESS);
    ASSERT_EQ(Add(second).Status, STATUS_SUCCESS);

    EXPECT_EQ(OutcomeOf(Ioctl(IOCTL_VCOM_SAVE_INFO_REG)), Outcome(STATUS_SUCCESS, 0u));

    EXPECT_EQ(QueryDword(MODULE_INFO_KEY, "ModuleCount"), 2u);
    EXPECT_EQ(ValueCount(Registry(), ModuleKey(0)), 4u);
    EXPECT_EQ(ValueCount(Registry(), ModuleKey(1)), 4u + 3u * 3u);
    EXPECT_EQ(QueryDword(ModuleKey(0), "ModuleIP"), first.ModuleIP);
    EXPECT_EQ(QueryDword(ModuleKey(0), "ControlPort"), 0x1234u);
    EXPECT_EQ(QueryDword(ModuleKey(0), "SerialCount"), 0u);
    EXPECT_EQ(QueryDword(ModuleKey(1), "SerialPort1"), 4002u);
    EXPECT_EQ(QueryDword(ModuleKey(1), "SerialNum1"), 6u);
    EXPECT_EQ(QueryDword(ModuleKey(1), "SerialParaFlag1"), 1u);
    EXPECT_EQ(QueryDword(ModuleKey(1), "SerialNum2"), 0u);
    EXPECT_FALSE(QueryDword(ModuleKey(1), "SerialPort3"));

    auto name = Registry().Query(RTL_REGISTRY_SERVICES, ModuleKey(1), "ModuleName");
    ASSERT_TRUE(name);
    EXPECT_EQ(name->Type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(name->Data, Utf16Bytes("beta"));  // 2n bytes, no NUL
    // Saving changes only the registry.
    EXPECT_FALSE(HasDevice("\\Device\\VZelSerial0"));
}

TEST_F(RegistryConfigTest, SavedTableRunsAfterHostRestart)
{
    ModuleRecord first = MakeRecord(Ip(192, 168, 1, 10), 0x1234, "alpha", {{4001, 5, 0}});
    ModuleRecord second =
        MakeRecord(Ip(192, 168, 1, 11), 950, "beta", {{4001, 0, 0}, {4002, 9, 1}});
    ASSERT_EQ(Add(first).Status, STATUS_SUCCESS);
    ASSERT_EQ(Add(second).Status, STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(IOCTL_VCOM_SAVE_INFO_REG).Status, STATUS_SUCCESS);

    Restart();

    EXPECT_EQ(ModuleCount(), 2u);
    ModuleRecord loaded0 = Record(0);
    ModuleRecord loaded1 = Record(1);
    EXPECT_EQ(std::memcmp(&loaded0, &first, sizeof(first)), 0);
    EXPECT_EQ(std::memcmp(&loaded1, &second, sizeof(second)), 0);
    // Running as soon as the driver entry returned.
    EXPECT_EQ(RunStatus(), 1u);
    EXPECT_EQ(LinkTarget("\\DosDevices\\COM5"), "\\Device\\VSer5");
    EXPECT_EQ(LinkTarget("\\DosDevices\\COM9"), "\\Device\\VSer9");
    EXPECT_TRUE(HasDevice("\\Device\\VZelSerial1"));
    EXPECT_EQ(Module(1)->SerialParaFlag[1], 1u);
    auto serialComm = SerialCommValue("\\Device\\VSer9");
    ASSERT_TRUE(serialComm);
    EXPECT_EQ(serialComm->Data, Utf16Bytes("COM9"));
}

TEST_F(RegistryConfigTest, ReloadOverwritesTheTableInPlace)
{
    // Without a saved configuration it fails and keeps the table.
    ASSERT_EQ(Add(MakeRecord(Ip(10, 0, 0, 3), 4000, "first", {})).Status, STATUS_SUCCESS);
    host::IoResult missing = Ioctl(IOCTL_VCOM_RESET_READ_REG);
    EXPECT_FALSE(NT_SUCCESS(missing.Status));
    EXPECT_EQ(missing.Information, 0u);
    EXPECT_EQ(ModuleCount(), 1u);
    ASSERT_EQ(Ioctl(IOCTL_VCOM_CLEAR_DEV_INFO).Status, STATUS_SUCCESS);

    ASSERT_EQ(Add(MakeRecord(Ip(10, 0, 0, 1), 4000, "kept", {{4001, 5, 0}})).Status,
              STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(IOCTL_VCOM_SAVE_INFO_REG).Status, STATUS_SUCCESS);
    ASSERT_EQ(Add(MakeRecord(Ip(10, 0, 0, 2), 4000, "unsaved", {})).Status, STATUS_SUCCESS);
    ASSERT_EQ(ModuleCount(), 2u);

    host::IoResult reload = Ioctl(IOCTL_VCOM_RESET_READ_REG);
    EXPECT_EQ(OutcomeOf(reload), Outcome(STATUS_SUCCESS, 0u));
    EXPECT_EQ(ModuleCount(), 1u);
    EXPECT_EQ(RecordName(Record(0)), "kept");
    // A reload touches no device.
    EXPECT_FALSE(HasDevice("\\Device\\VZelSerial0"));
}

TEST_F(RegistryConfigTest, DeleteRemovesCountAndNumbersButLeavesNamesAndFlags)
{
    ASSERT_EQ(Add(MakeRecord(Ip(10, 0, 0, 1), 4000, "a", {{4001, 5, 1}, {4002, 6, 0}})).Status,
              STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(IOCTL_VCOM_SAVE_INFO_REG).Status, STATUS_SUCCESS);
    // A channel beyond the table's count is not the table's to delete.
    WriteDword(ModuleKey(0), "SerialPort2", 4003);

    EXPECT_EQ(OutcomeOf(Ioctl(IOCTL_VCOM_CLEAR_DEV_REG)), Outcome(STATUS_SUCCESS, 0u));

    EXPECT_FALSE(QueryDword(MODULE_INFO_KEY, "ModuleCount"));
    EXPECT_TRUE(Registry().KeyExists(RTL_REGISTRY_SERVICES, MODULE_INFO_KEY));
    auto names = Registry().ValueNames(RTL_REGISTRY_SERVICES, ModuleKey(0));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"ModuleName", "SerialParaFlag0", "SerialParaFlag1",
                                               "SerialPort2"}));
    // Deleting changes only the registry.
    EXPECT_EQ(ModuleCount(), 1u);

    Restart();
    EXPECT_EQ(ModuleCount(), 0u);
    EXPECT_EQ(RunStatus(), 0u);
    EXPECT_EQ(Kernel().DeviceNames().size(), 1u);
}

TEST_F(RegistryConfigTest, DeleteAfterClearRemovesOnlyTheCount)
{
    ASSERT_EQ(Add(MakeRecord(Ip(10, 0, 0, 1), 4000, "a", {{4001, 5, 0}})).Status, STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(IOCTL_VCOM_SAVE_INFO_REG).Status, STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(IOCTL_VCOM_CLEAR_DEV_INFO).Status, STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(IOCTL_VCOM_CLEAR_DEV_REG).Status, STATUS_SUCCESS);

    EXPECT_FALSE(QueryDword(MODULE_INFO_KEY, "ModuleCount"));
    EXPECT_EQ(ValueCount(Registry(), ModuleKey(0)), 4u + 3u);
    EXPECT_EQ(Ioctl(IOCTL_VCOM_RESET_READ_REG).Status, STATUS_SUCCESS);
    EXPECT_EQ(ModuleCount(), 0u);
}

TEST_F(RegistryConfigTest, SaveAfterShrinkLeavesTheOldModuleKey)
{
    for (std::uint8_t i = 0; i < 3; ++i) {
        ASSERT_EQ(Add(MakeRecord(Ip(10, 0, 0, i), 4000, "m" + std::to_string(i), {})).Status,
                  STATUS_SUCCESS);
    }
    ASSERT_EQ(Ioctl(IOCTL_VCOM_SAVE_INFO_REG).Status, STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(IOCTL_VCOM_CLEAR_DEV_INFO).Status, STATUS_SUCCESS);
    for (std::uint8_t i = 0; i < 2; ++i) {
        ASSERT_EQ(Add(MakeRecord(Ip(10, 0, 1, i), 4000, "n" + std::to_string(i), {})).Status,
                  STATUS_SUCCESS);
    }
    ASSERT_EQ(Ioctl(IOCTL_VCOM_SAVE_INFO_REG).Status, STATUS_SUCCESS);
    EXPECT_EQ(QueryDword(MODULE_INFO_KEY, "ModuleCount"), 2u);
    EXPECT_EQ(StoredName(ModuleKey(2)), Utf16Bytes("m2"));

    Restart();
    EXPECT_EQ(ModuleCount(), 2u);
    EXPECT_EQ(RecordName(Record(1)), "n1");
    EXPECT_FALSE(HasDevice("\\Device\\VZelSerial2"));
}

TEST_F(RegistryConfigTest, NamesOfNineteenRoundTripAndOfTwentyReloadAsNull)
{
    const ModuleRecord nineteen = MakeRecord(Ip(10, 0, 0, 2), 4000, "ABCDEFGHIJKLMNOPQRS", {});
    ASSERT_EQ(Add(nineteen).Status, STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(IOCTL_VCOM_SAVE_INFO_REG).Status, STATUS_SUCCESS);
    Restart();
    const ModuleRecord loaded19 = Record(0);  // the name, its NUL, nothing beyond
    EXPECT_EQ(std::memcmp(&loaded19, &nineteen, sizeof nineteen), 0);
    ASSERT_EQ(Ioctl(IOCTL_VCOM_CLEAR_DEV_INFO).Status, STATUS_SUCCESS);

    ModuleRecord record = MakeRecord(Ip(10, 0, 0, 1), 4000, "", {{0x4141, 0x41, 0}});
    std::memset(record.ModuleName, 'Z', sizeof(record.ModuleName));
    record.SerialCount = 1;
    ASSERT_EQ(Add(record).Status, STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(IOCTL_VCOM_SAVE_INFO_REG).Status, STATUS_SUCCESS);
    EXPECT_EQ(StoredName(ModuleKey(0)), Utf16Bytes(std::string(20, 'Z')));

    // Twenty characters do not fit the load's name buffer: that module's
    // query fails at the name, which then reads "NULL".
    Ioctl(IOCTL_VCOM_RESET_READ_REG);
    ModuleRecord loaded = Record(0);
    EXPECT_EQ(RecordName(loaded), "NULL");
    EXPECT_EQ(loaded.ModuleIP, Ip(10, 0, 0, 1));
    EXPECT_EQ(loaded.SerialPort[0], 0x4141u);
}

// Each module's values are one query: a missing or mistyped value fails
// that module's alone, which then reads zero where nothing came and "NULL"
// for its name; absent values take their default.
TEST_F(RegistryConfigTest, OddStoredModulesLoadWithDefaultsAndTheNameNull)
{
    WriteDword(MODULE_INFO_KEY, "ModuleCount", 4);
    WriteDword(ModuleKey(0), "ModuleIP", Ip(10, 9, 8, 7));
    WriteDword(ModuleKey(0), "SerialCount", 1);
    WriteDword(ModuleKey(0), "SerialNum0", 44);
    WriteString(ModuleKey(0), "ModuleName", "First");
    WriteString(ModuleKey(1), "ModuleIP", "192.168.1.10");  // text where a number belongs
    WriteString(ModuleKey(1), "ModuleName", "mistyped");
    WriteDword(ModuleKey(2), "ControlPort", 6000);  // and no name
    Restart();

    ASSERT_EQ(ModuleCount(), 4u);
    ModuleRecord first = Record(0);
    EXPECT_EQ(RecordName(first), "First");
    EXPECT_EQ(first.ModuleIP, Ip(10, 9, 8, 7));
    EXPECT_EQ(first.SerialNum[0], 44u);
    EXPECT_EQ(first.SerialPort[0], 0u);
    EXPECT_EQ(first.ControlPort, 0u);
    EXPECT_EQ(Record(1).ModuleIP, 0u);
    EXPECT_EQ(RecordName(Record(1)), "NULL");
    EXPECT_EQ(Record(2).ControlPort, 6000u);
    EXPECT_EQ(RecordName(Record(2)), "NULL");
    ModuleRecord missing = Record(3);
    EXPECT_EQ(RecordName(missing), "NULL");
    EXPECT_EQ(missing.ModuleIP, 0u);
    EXPECT_EQ(missing.SerialCount, 0u);
    // Every module device exists all the same.
    EXPECT_TRUE(HasDevice("\\Device\\VZelSerial3"));
    EXPECT_TRUE(HasDevice("\\Device\\VSer44"));
    EXPECT_EQ(Kernel().DeviceNames().size(), 6u);

    // A save of an emptied table writes a count of zero.
    ASSERT_EQ(Ioctl(IOCTL_VCOM_CLEAR_DEV_INFO).Status, STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_VCOM_SAVE_INFO_REG).Status, STATUS_SUCCESS);
    EXPECT_EQ(QueryDword(MODULE_INFO_KEY, "ModuleCount"), 0u);
}

TEST_F(RegistryConfigTest, StoredCountsAboveTheLimitsLoadAsTheLimits)
{
    WriteDword(MODULE_INFO_KEY, "ModuleCount", 300);
    WriteDword(ModuleKey(255), "ModuleIP", Ip(1, 2, 3, 4));
    WriteDword(ModuleKey(256), "ModuleIP", Ip(5, 6, 7, 8));
    WriteDword(ModuleKey(0), "ModuleIP", Ip(10, 0, 0, 1));
    WriteDword(ModuleKey(0), "SerialCount", 12);
    for (unsigned j = 0; j < 12; ++j) {
        WriteDword(ModuleKey(0), "SerialNum" + std::to_string(j), 30 + j);
        WriteDword(ModuleKey(0), "SerialPort" + std::to_string(j), 7000 + j);
    }
    Restart();

    EXPECT_EQ(ModuleCount(), 256u);
    EXPECT_EQ(Record(255).ModuleIP, Ip(1, 2, 3, 4));
    std::uint32_t index = 256;
    EXPECT_EQ(Ioctl(IOCTL_VCOM_GET_DEV_MOD_INFO, &index, 4, 128).Status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(HasDevice("\\Device\\VZelSerial255"));
    EXPECT_FALSE(HasDevice("\\Device\\VZelSerial256"));
    EXPECT_EQ(Add(MakeRecord(Ip(9, 9, 9, 9), 1, "x", {})).Status, STATUS_UNSUCCESSFUL);

    ModuleRecord record = Record(0);
    EXPECT_EQ(record.SerialCount, 8u);
    EXPECT_EQ(record.SerialNum[7], 37u);
    EXPECT_EQ(record.SerialPort[7], 7007u);
    EXPECT_TRUE(HasDevice("\\Device\\VSer37"));
    EXPECT_FALSE(HasDevice("\\Device\\VSer38"));
    EXPECT_EQ(Module(0)->SerialCount, 8u);

    // Saving it back writes eight channels.
    ASSERT_EQ(Ioctl(IOCTL_VCOM_SAVE_INFO_REG).Status, STATUS_SUCCESS);
    EXPECT_EQ(QueryDword(ModuleKey(0), "SerialCount"), 8u);
    auto names = Registry().ValueNames(RTL_REGISTRY_SERVICES, ModuleKey(0));
    EXPECT_TRUE(HasValue(names, "SerialParaFlag7"));
    EXPECT_FALSE(HasValue(names, "SerialParaFlag8"));
}

TEST_F(RegistryConfigTest, ReloadOfMissingModuleKeyKeepsOldNumbersButNamesItNull)
{
    ASSERT_EQ(Add(MakeRecord(Ip(10, 0, 0, 1), 4000, "one", {})).Status, STATUS_SUCCESS);
    ASSERT_EQ(Add(MakeRecord(Ip(10, 0, 0, 2), 4100, "two", {})).Status, STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(IOCTL_VCOM_SAVE_INFO_REG).Status, STATUS_SUCCESS);
    ASSERT_EQ(Registry().DeleteKey(RTL_REGISTRY_SERVICES, ModuleKey(1)), STATUS_SUCCESS);

    Ioctl(IOCTL_VCOM_RESET_READ_REG);
    ModuleRecord second = Record(1);
    EXPECT_EQ(second.ModuleIP, Ip(10, 0, 0, 2));  // kept from before the reload
    EXPECT_EQ(second.ControlPort, 4100u);
    EXPECT_EQ(RecordName(second), "NULL");
    EXPECT_EQ(RecordName(Record(0)), "one");
}

}  // namespace
}  // namespace zeltest
