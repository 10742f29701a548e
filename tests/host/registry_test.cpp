// The host registry: the store's rules (persistence, volatility, names,
// roots) and the Rtl registry routines over it, as the driver uses them.

#include <host/kernel.h>
#include <wdm.h>

#include <gtest/gtest.h>

#include "registry_store.h"
#include "rtl_unicode.h"
#include "../support/temp_dir.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using host::RegistryStore;
using host::RegistryValue;
using Bytes = std::vector<std::uint8_t>;

constexpr ULONG kSentinel = 0xA5A5A5A5;
constexpr char kDatabaseFile[] = "registry.sqlite3";

Bytes DwordBytes(ULONG value)
{
    Bytes bytes(sizeof(value));
    std::memcpy(bytes.data(), &value, sizeof(value));
    return bytes;
}

RegistryValue Dword(ULONG value)
{
    return RegistryValue{REG_DWORD, DwordBytes(value)};
}

// UTF-16LE bytes of ASCII text, without a NUL.
Bytes Utf16(const std::string& ascii)
{
    Bytes bytes;
    for (char c : ascii) {
        bytes.push_back(static_cast<std::uint8_t>(c));
        bytes.push_back(0);
    }
    return bytes;
}

std::optional<ULONG> AsDword(const std::optional<RegistryValue>& value)
{
    if (!value || value->Type != REG_DWORD || value->Data.size() != sizeof(ULONG)) {
        return std::nullopt;
    }
    ULONG result = 0;
    std::memcpy(&result, value->Data.data(), sizeof(result));
    return result;
}

std::string Text(const UNICODE_STRING& string)
{
    if (string.Buffer == nullptr) {
        return "<null>";
    }
    return host::rtl::Utf16ToUtf8(host::rtl::ToU16(string.Buffer, string.Length / sizeof(WCHAR)))
        .value_or("<invalid UTF-16>");
}

std::string Text(const WCHAR* text)
{
    return text == nullptr ? "<null>"
                           : host::rtl::Utf16ToUtf8(host::rtl::ToU16(text)).value_or("<invalid>");
}

// ===========================================================================
// The store
// ===========================================================================

class RegistryStoreTest : public ::testing::Test {
protected:
    std::unique_ptr<RegistryStore> Open() { return RegistryStore::Open(dir_.Path()); }

    zel::test::TempDir dir_;
};

TEST_F(RegistryStoreTest, WriteThenQueryRoundTrips)
{
    auto store = Open();
    ASSERT_EQ(store->Write(RTL_REGISTRY_SERVICES, "ZelVCOM\\ModuleInfo", "ModuleCount", Dword(2)),
              STATUS_SUCCESS);
    EXPECT_EQ(AsDword(store->Query(RTL_REGISTRY_SERVICES, "ZelVCOM\\ModuleInfo", "ModuleCount")),
              2u);
    EXPECT_FALSE(store->Query(RTL_REGISTRY_SERVICES, "ZelVCOM\\ModuleInfo", "Other"));
    EXPECT_FALSE(store->Query(RTL_REGISTRY_SERVICES, "ZelVCOM\\ModuleSvr0", "ModuleCount"));
    EXPECT_TRUE(std::filesystem::exists(dir_.Path() / kDatabaseFile));
}

TEST_F(RegistryStoreTest, OverwriteReplacesTypeAndData)
{
    auto store = Open();
    ASSERT_EQ(store->Write(RTL_REGISTRY_SERVICES, "K", "V", Dword(1)), STATUS_SUCCESS);
    ASSERT_EQ(store->Write(RTL_REGISTRY_SERVICES, "K", "V", RegistryValue{REG_SZ, Utf16("x")}),
              STATUS_SUCCESS);
    auto value = store->Query(RTL_REGISTRY_SERVICES, "K", "V");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->Type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(value->Data, Utf16("x"));
    EXPECT_EQ(store->ValueNames(RTL_REGISTRY_SERVICES, "K").size(), 1u);
}

TEST_F(RegistryStoreTest, EmptyDataIsAValue)
{
    auto store = Open();
    ASSERT_EQ(store->Write(RTL_REGISTRY_SERVICES, "K", "Empty", RegistryValue{REG_BINARY, {}}),
              STATUS_SUCCESS);
    auto value = store->Query(RTL_REGISTRY_SERVICES, "K", "Empty");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->Type, static_cast<ULONG>(REG_BINARY));
    EXPECT_TRUE(value->Data.empty());
}

TEST_F(RegistryStoreTest, WritingCreatesTheKeyAndItsParents)
{
    auto store = Open();
    EXPECT_FALSE(store->KeyExists(RTL_REGISTRY_SERVICES, "ZelVCOM"));
    ASSERT_EQ(store->Write(RTL_REGISTRY_SERVICES, "ZelVCOM\\ModuleSvr3", "ModuleIP", Dword(7)),
              STATUS_SUCCESS);
    EXPECT_TRUE(store->KeyExists(RTL_REGISTRY_SERVICES, "ZelVCOM"));
    EXPECT_TRUE(store->KeyExists(RTL_REGISTRY_SERVICES, "ZelVCOM\\ModuleSvr3"));
    EXPECT_FALSE(store->KeyExists(RTL_REGISTRY_SERVICES, "ZelVCOM\\ModuleSvr2"));
    EXPECT_TRUE(store->ValueNames(RTL_REGISTRY_SERVICES, "ZelVCOM").empty());
}

TEST_F(RegistryStoreTest, NamesAreCaseInsensitiveAndCasePreserving)
{
    auto store = Open();
    ASSERT_EQ(store->Write(RTL_REGISTRY_SERVICES, "ZelVCOM\\ModuleInfo", "ModuleCount", Dword(1)),
              STATUS_SUCCESS);
    EXPECT_EQ(AsDword(store->Query(RTL_REGISTRY_SERVICES, "zelvcom\\MODULEINFO", "modulecount")),
              1u);
    ASSERT_EQ(store->Write(RTL_REGISTRY_SERVICES, "ZELVCOM\\moduleinfo", "MODULECOUNT", Dword(3)),
              STATUS_SUCCESS);
    EXPECT_EQ(store->ValueNames(RTL_REGISTRY_SERVICES, "ZelVCOM\\ModuleInfo"),
              std::vector<std::string>{"ModuleCount"});
    EXPECT_EQ(AsDword(store->Query(RTL_REGISTRY_SERVICES, "ZelVCOM\\ModuleInfo", "ModuleCount")),
              3u);
    // Beyond ASCII: é and É are one name.
    ASSERT_EQ(store->Write(RTL_REGISTRY_SERVICES, "K", "Caf\xC3\xA9", Dword(4)), STATUS_SUCCESS);
    EXPECT_EQ(AsDword(store->Query(RTL_REGISTRY_SERVICES, "K", "CAF\xC3\x89")), 4u);
}

TEST_F(RegistryStoreTest, ValueNamesMayHoldBackslashes)
{
    auto store = Open();
    RegistryValue com5{REG_SZ, Utf16("COM5")};
    ASSERT_EQ(store->Write(RTL_REGISTRY_DEVICEMAP, "SERIALCOMM", "\\Device\\VSer5", com5),
              STATUS_SUCCESS);
    auto value = store->Query(RTL_REGISTRY_DEVICEMAP, "SERIALCOMM", "\\device\\vser5");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->Data, Utf16("COM5"));
    EXPECT_FALSE(store->KeyExists(RTL_REGISTRY_DEVICEMAP, "SERIALCOMM\\Device"));
}

TEST_F(RegistryStoreTest, ValueNamesComeInCreationOrder)
{
    auto store = Open();
    for (const char* name : {"b", "a", "c"}) {
        ASSERT_EQ(store->Write(RTL_REGISTRY_SERVICES, "K", name, Dword(0)), STATUS_SUCCESS);
    }
    ASSERT_EQ(store->Write(RTL_REGISTRY_SERVICES, "K", "A", Dword(1)), STATUS_SUCCESS);
    EXPECT_EQ(store->ValueNames(RTL_REGISTRY_SERVICES, "K"),
              (std::vector<std::string>{"b", "a", "c"}));
}

TEST_F(RegistryStoreTest, DeletingAbsentValuesAndKeysFails)
{
    auto store = Open();
    EXPECT_EQ(store->DeleteValue(RTL_REGISTRY_SERVICES, "ZelVCOM\\ModuleInfo", "ModuleCount"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(store->Write(RTL_REGISTRY_SERVICES, "ZelVCOM\\ModuleInfo", "Other", Dword(0)),
              STATUS_SUCCESS);
    EXPECT_EQ(store->DeleteValue(RTL_REGISTRY_SERVICES, "ZelVCOM\\ModuleInfo", "ModuleCount"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(store->DeleteValue(RTL_REGISTRY_SERVICES, "ZelVCOM\\ModuleInfo", "OTHER"),
              STATUS_SUCCESS);
    EXPECT_FALSE(store->Query(RTL_REGISTRY_SERVICES, "ZelVCOM\\ModuleInfo", "Other"));
    EXPECT_TRUE(store->KeyExists(RTL_REGISTRY_SERVICES, "ZelVCOM\\ModuleInfo"));
    EXPECT_EQ(store->DeleteKey(RTL_REGISTRY_SERVICES, "ZelVCOM\\Absent"),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryStoreTest, DeleteKeyRemovesTheSubtree)
{
    auto store = Open();
    ASSERT_EQ(store->Write(RTL_REGISTRY_SERVICES, "A\\B\\C", "V", Dword(1)), STATUS_SUCCESS);
    ASSERT_EQ(store->Write(RTL_REGISTRY_SERVICES, "A\\B", "V", Dword(2)), STATUS_SUCCESS);
    ASSERT_EQ(store->Write(RTL_REGISTRY_SERVICES, "A\\D", "V", Dword(3)), STATUS_SUCCESS);
    ASSERT_EQ(store->DeleteKey(RTL_REGISTRY_SERVICES, "a\\b"), STATUS_SUCCESS);
    EXPECT_FALSE(store->KeyExists(RTL_REGISTRY_SERVICES, "A\\B"));
    EXPECT_FALSE(store->KeyExists(RTL_REGISTRY_SERVICES, "A\\B\\C"));
    EXPECT_EQ(AsDword(store->Query(RTL_REGISTRY_SERVICES, "A\\D", "V")), 3u);
    // A re-created key does not inherit the deleted values.
    ASSERT_EQ(store->Write(RTL_REGISTRY_SERVICES, "A\\B\\C", "W", Dword(4)), STATUS_SUCCESS);
    EXPECT_EQ(store->ValueNames(RTL_REGISTRY_SERVICES, "A\\B\\C"), std::vector<std::string>{"W"});
    EXPECT_EQ(store->DeleteKey(RTL_REGISTRY_SERVICES, ""), STATUS_INVALID_PARAMETER);
}

TEST_F(RegistryStoreTest, ServicesPersistAndDeviceMapDoesNot)
{
    {
        auto store = Open();
        ASSERT_EQ(
            store->Write(RTL_REGISTRY_SERVICES, "ZelVCOM\\ModuleInfo", "ModuleCount", Dword(5)),
            STATUS_SUCCESS);
        ASSERT_EQ(store->Write(RTL_REGISTRY_DEVICEMAP, "SERIALCOMM", "\\Device\\VSer5",
                               RegistryValue{REG_SZ, Utf16("COM5")}),
                  STATUS_SUCCESS);
        EXPECT_TRUE(store->KeyExists(RTL_REGISTRY_DEVICEMAP, "SERIALCOMM"));
    }
    auto store = Open();
    EXPECT_EQ(AsDword(store->Query(RTL_REGISTRY_SERVICES, "ZelVCOM\\ModuleInfo", "ModuleCount")),
              5u);
    EXPECT_FALSE(store->KeyExists(RTL_REGISTRY_DEVICEMAP, "SERIALCOMM"));
    EXPECT_FALSE(store->Query(RTL_REGISTRY_DEVICEMAP, "SERIALCOMM", "\\Device\\VSer5"));
}

TEST_F(RegistryStoreTest, RootsAreSeparate)
{
    auto store = Open();
    ASSERT_EQ(store->Write(RTL_REGISTRY_DEVICEMAP, "K", "V", Dword(1)), STATUS_SUCCESS);
    EXPECT_FALSE(store->KeyExists(RTL_REGISTRY_SERVICES, "K"));
}

TEST_F(RegistryStoreTest, AbsolutePathsMapOntoTheTwoRoots)
{
    auto store = Open();
    ASSERT_EQ(store->Write(RTL_REGISTRY_ABSOLUTE,
                           "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ZelVCOM", "V",
                           Dword(1)),
              STATUS_SUCCESS);
    EXPECT_EQ(AsDword(store->Query(RTL_REGISTRY_SERVICES, "ZelVCOM", "V")), 1u);
    ASSERT_EQ(store->Write(RTL_REGISTRY_ABSOLUTE, "\\REGISTRY\\MACHINE\\hardware\\DeviceMap\\X",
                           "V", Dword(2)),
              STATUS_SUCCESS);
    EXPECT_EQ(AsDword(store->Query(RTL_REGISTRY_DEVICEMAP, "X", "V")), 2u);
    EXPECT_EQ(
        store->Write(RTL_REGISTRY_ABSOLUTE, "\\Registry\\Machine\\Software\\X", "V", Dword(3)),
        STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(store->Write(RTL_REGISTRY_ABSOLUTE, "Registry\\Machine", "V", Dword(3)),
              STATUS_OBJECT_PATH_NOT_FOUND);
}

TEST_F(RegistryStoreTest, OtherRootsAndBadNamesAreRefused)
{
    auto store = Open();
    EXPECT_EQ(store->Write(RTL_REGISTRY_CONTROL, "K", "V", Dword(1)), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(store->Write(RTL_REGISTRY_USER, "K", "V", Dword(1)), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(store->Write(RTL_REGISTRY_MAXIMUM, "K", "V", Dword(1)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(store->Write(RTL_REGISTRY_SERVICES, "A\\\\B", "V", Dword(1)),
              STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(store->Write(RTL_REGISTRY_SERVICES, "A\\", "V", Dword(1)),
              STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(store->Write(RTL_REGISTRY_SERVICES, "A\xFF", "V", Dword(1)),
              STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(store->Write(RTL_REGISTRY_SERVICES, "", "V", Dword(1)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(store->Write(RTL_REGISTRY_SERVICES, "K", "", Dword(1)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(store->Write(RTL_REGISTRY_SERVICES, "K", std::string("a\0b", 3), Dword(1)),
              STATUS_OBJECT_NAME_INVALID);
    EXPECT_FALSE(store->KeyExists(RTL_REGISTRY_SERVICES, "A"));
    EXPECT_FALSE(store->KeyExists(RTL_REGISTRY_SERVICES, "K"));
    // One leading backslash is allowed.
    ASSERT_EQ(store->Write(RTL_REGISTRY_SERVICES, "\\K", "V", Dword(1)), STATUS_SUCCESS);
    EXPECT_TRUE(store->KeyExists(RTL_REGISTRY_SERVICES, "K"));
}

TEST_F(RegistryStoreTest, ReadKeyReportsAbsenceAndEveryValue)
{
    auto store = Open();
    std::vector<host::RegistryNamedValue> values;
    EXPECT_EQ(store->ReadKey(RTL_REGISTRY_SERVICES, "K", &values), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(store->Write(RTL_REGISTRY_SERVICES, "K", "One", Dword(1)), STATUS_SUCCESS);
    ASSERT_EQ(store->Write(RTL_REGISTRY_SERVICES, "K", "Two", Dword(2)), STATUS_SUCCESS);
    ASSERT_EQ(store->ReadKey(RTL_REGISTRY_SERVICES, "K", &values), STATUS_SUCCESS);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0].Name, "One");
    EXPECT_EQ(values[1].Value.Data, DwordBytes(2));
}

TEST_F(RegistryStoreTest, OpenFailsClearlyWithoutStateDirectory)
{
    const std::filesystem::path missing = dir_.Path() / "missing";
    try {
        RegistryStore::Open(missing);
        FAIL() << "opened a store in a directory that does not exist";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find((missing / kDatabaseFile).string()),
                  std::string::npos)
            << error.what();
    }
}

TEST_F(RegistryStoreTest, OpenRefusesANewerSchema)
{
    Open().reset();  // creates the database; closing folds the WAL into it
    // PRAGMA user_version lives in the database header, big-endian at 60.
    constexpr std::streamoff kUserVersionOffset = 60;
    constexpr char kFutureVersion[] = {0, 0, 0, 99};
    {
        std::fstream file(dir_.Path() / kDatabaseFile,
                          std::ios::in | std::ios::out | std::ios::binary);
        ASSERT_TRUE(file);
        file.seekp(kUserVersionOffset);
        file.write(kFutureVersion, sizeof(kFutureVersion));
    }
    try {
        RegistryStore::Open(dir_.Path());
        FAIL() << "opened a database of a newer schema";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("schema version 99"), std::string::npos)
            << error.what();
    }
}

// ===========================================================================
// The Rtl routines
// ===========================================================================

constexpr USHORT kNameCapacity = 40;  // the driver's 20-unit name buffer

class RtlRegistryTest : public ::testing::Test {
protected:
    RtlRegistryTest()
        : kernel_(std::make_unique<host::Kernel>(host::KernelOptions{dir_.Path(), {}}))
    {
    }

    host::Registry& Registry() { return kernel_->RegistryView(); }

    static RTL_QUERY_REGISTRY_TABLE DwordEntry(PCWSTR name, ULONG* destination,
                                               const ULONG* fallback)
    {
        RTL_QUERY_REGISTRY_TABLE entry{};
        entry.Flags = RTL_QUERY_REGISTRY_DIRECT;
        entry.Name = const_cast<PWSTR>(name);
        entry.EntryContext = destination;
        entry.DefaultType = REG_DWORD;
        entry.DefaultData = const_cast<ULONG*>(fallback);
        entry.DefaultLength = sizeof(ULONG);
        return entry;
    }

    static RTL_QUERY_REGISTRY_TABLE StringEntry(PCWSTR name, UNICODE_STRING* destination,
                                                PCWSTR fallback)
    {
        RTL_QUERY_REGISTRY_TABLE entry{};
        entry.Flags = RTL_QUERY_REGISTRY_DIRECT;
        entry.Name = const_cast<PWSTR>(name);
        entry.EntryContext = destination;
        entry.DefaultType = REG_SZ;
        entry.DefaultData = const_cast<PWSTR>(fallback);
        entry.DefaultLength = 0;
        return entry;
    }

    NTSTATUS WriteDword(PCWSTR path, PCWSTR name, ULONG value)
    {
        return RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, path, name, REG_DWORD, &value,
                                     sizeof(value));
    }

    // Text without its NUL, as the driver stores names.
    NTSTATUS WriteText(ULONG relativeTo, PCWSTR path, PCWSTR name, PCWSTR text)
    {
        const ULONG bytes = static_cast<ULONG>(host::rtl::WideLength(text) * sizeof(WCHAR));
        return RtlWriteRegistryValue(relativeTo, path, name, REG_SZ, const_cast<PWSTR>(text),
                                     bytes);
    }

    zel::test::TempDir dir_;
    std::unique_ptr<host::Kernel> kernel_;
    const ULONG zero_ = 0;
    std::array<WCHAR, kNameCapacity / sizeof(WCHAR)> nameBuffer_{};
    UNICODE_STRING name_{0, kNameCapacity, nameBuffer_.data()};
};

constexpr WCHAR kModuleKey[] = L"ZelVCOM\\ModuleSvr0";
constexpr WCHAR kDefaultName[] = L"NULL";

TEST_F(RtlRegistryTest, QueryReadsTheTableInOrderWithDefaults)
{
    ASSERT_EQ(WriteDword(kModuleKey, L"ModuleIP", 0x0A01A8C0), STATUS_SUCCESS);
    ASSERT_EQ(WriteDword(kModuleKey, L"SerialCount", 2), STATUS_SUCCESS);
    ASSERT_EQ(WriteText(RTL_REGISTRY_SERVICES, kModuleKey, L"ModuleName", L"Lab module"),
              STATUS_SUCCESS);

    ULONG ip = kSentinel;
    ULONG port = kSentinel;
    ULONG count = kSentinel;
    RTL_QUERY_REGISTRY_TABLE table[] = {
        DwordEntry(L"ModuleIP", &ip, &zero_),
        DwordEntry(L"ControlPort", &port, &zero_),  // absent: its default
        DwordEntry(L"SerialCount", &count, &zero_),
        StringEntry(L"ModuleName", &name_, kDefaultName),
        {},
    };
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kModuleKey, table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ip, 0x0A01A8C0u);
    EXPECT_EQ(port, 0u);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(Text(name_), "Lab module");
    EXPECT_EQ(name_.Length, 10 * sizeof(WCHAR));
    EXPECT_EQ(name_.MaximumLength, kNameCapacity);
    EXPECT_EQ(nameBuffer_[10], UNICODE_NULL);
}

TEST_F(RtlRegistryTest, AbsentStringTakesItsDefault)
{
    ASSERT_EQ(WriteDword(kModuleKey, L"ModuleIP", 1), STATUS_SUCCESS);
    RTL_QUERY_REGISTRY_TABLE table[] = {StringEntry(L"ModuleName", &name_, kDefaultName), {}};
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kModuleKey, table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(Text(name_), "NULL");
    EXPECT_EQ(name_.Length, 4 * sizeof(WCHAR));
}

TEST_F(RtlRegistryTest, AbsentKeyFailsAndStoresNothing)
{
    ULONG count = kSentinel;
    RTL_QUERY_REGISTRY_TABLE table[] = {
        DwordEntry(L"ModuleCount", &count, &zero_),
        StringEntry(L"ModuleName", &name_, kDefaultName),
        {},
    };
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"ZelVCOM\\ModuleInfo", table, nullptr,
                                     nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(count, kSentinel);
    EXPECT_EQ(name_.Length, 0);
    EXPECT_EQ(nameBuffer_[0], UNICODE_NULL);
}

TEST_F(RtlRegistryTest, StringThatDoesNotFitFailsAtItsEntry)
{
    // 20 units fill the 40-byte buffer and leave no room for the NUL.
    ASSERT_EQ(WriteText(RTL_REGISTRY_SERVICES, kModuleKey, L"ModuleName", L"ABCDEFGHIJKLMNOPQRST"),
              STATUS_SUCCESS);
    ASSERT_EQ(WriteDword(kModuleKey, L"ModuleIP", 7), STATUS_SUCCESS);
    ASSERT_EQ(WriteDword(kModuleKey, L"SerialCount", 3), STATUS_SUCCESS);
    ULONG ip = kSentinel;
    ULONG count = kSentinel;
    RTL_QUERY_REGISTRY_TABLE table[] = {
        DwordEntry(L"ModuleIP", &ip, &zero_),
        StringEntry(L"ModuleName", &name_, kDefaultName),
        DwordEntry(L"SerialCount", &count, &zero_),
        {},
    };
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kModuleKey, table, nullptr, nullptr),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(ip, 7u);            // before the failing entry: stored
    EXPECT_EQ(count, kSentinel);  // after it: not reached
    EXPECT_EQ(name_.Length, 0);
}

TEST_F(RtlRegistryTest, NineteenUnitNameFitsWithItsNul)
{
    ASSERT_EQ(WriteText(RTL_REGISTRY_SERVICES, kModuleKey, L"ModuleName", L"ABCDEFGHIJKLMNOPQRS"),
              STATUS_SUCCESS);
    auto stored = Registry().Query(RTL_REGISTRY_SERVICES, "ZelVCOM\\ModuleSvr0", "ModuleName");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->Data.size(), 38u);
    RTL_QUERY_REGISTRY_TABLE table[] = {StringEntry(L"ModuleName", &name_, kDefaultName), {}};
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kModuleKey, table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(Text(name_), "ABCDEFGHIJKLMNOPQRS");
    EXPECT_EQ(nameBuffer_[19], UNICODE_NULL);
}

TEST_F(RtlRegistryTest, StoredTerminatorIsNotPartOfTheText)
{
    static const WCHAR kWithNul[] = L"COM5";
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, kModuleKey, L"ModuleName", REG_SZ,
                                    const_cast<PWSTR>(kWithNul), sizeof(kWithNul)),
              STATUS_SUCCESS);
    RTL_QUERY_REGISTRY_TABLE table[] = {StringEntry(L"ModuleName", &name_, kDefaultName), {}};
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kModuleKey, table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(name_.Length, 4 * sizeof(WCHAR));
}

TEST_F(RtlRegistryTest, NullBufferGetsAnAllocatedString)
{
    ASSERT_EQ(WriteText(RTL_REGISTRY_SERVICES, kModuleKey, L"ModuleName", L"Allocated"),
              STATUS_SUCCESS);
    UNICODE_STRING allocated{};
    RTL_QUERY_REGISTRY_TABLE table[] = {StringEntry(L"ModuleName", &allocated, kDefaultName), {}};
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kModuleKey, table, nullptr, nullptr),
              STATUS_SUCCESS);
    ASSERT_NE(allocated.Buffer, nullptr);
    EXPECT_EQ(Text(allocated), "Allocated");
    EXPECT_EQ(allocated.MaximumLength, 10 * sizeof(WCHAR));
    ExFreePool(allocated.Buffer);
}

TEST_F(RtlRegistryTest, RequiredValueMustExist)
{
    ASSERT_EQ(WriteDword(kModuleKey, L"ModuleIP", 1), STATUS_SUCCESS);
    ULONG port = kSentinel;
    RTL_QUERY_REGISTRY_TABLE table[] = {DwordEntry(L"ControlPort", &port, &zero_), {}};
    table[0].Flags |= RTL_QUERY_REGISTRY_REQUIRED;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kModuleKey, table, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(port, kSentinel);
}

TEST_F(RtlRegistryTest, NoDefaultLeavesTheDestination)
{
    ASSERT_EQ(WriteDword(kModuleKey, L"ModuleIP", 1), STATUS_SUCCESS);
    ULONG port = kSentinel;
    RTL_QUERY_REGISTRY_TABLE table[] = {DwordEntry(L"ControlPort", &port, &zero_), {}};
    table[0].DefaultType = REG_NONE;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kModuleKey, table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(port, kSentinel);
}

TEST_F(RtlRegistryTest, ShapeMismatchIsRefusedNotOverrun)
{
    ASSERT_EQ(WriteText(RTL_REGISTRY_SERVICES, kModuleKey, L"ModuleIP", L"10.0.0.1"),
              STATUS_SUCCESS);
    const std::uint64_t wide = 1;
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, kModuleKey, L"ControlPort", REG_QWORD,
                                    const_cast<std::uint64_t*>(&wide), sizeof(wide)),
              STATUS_SUCCESS);
    ULONG ip = kSentinel;
    RTL_QUERY_REGISTRY_TABLE strings[] = {DwordEntry(L"ModuleIP", &ip, &zero_), {}};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kModuleKey, strings, nullptr, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ip, kSentinel);
    ULONG port = kSentinel;
    RTL_QUERY_REGISTRY_TABLE wider[] = {DwordEntry(L"ControlPort", &port, &zero_), {}};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kModuleKey, wider, nullptr, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(port, kSentinel);
}

TEST_F(RtlRegistryTest, TypeCheckComparesTheStoredType)
{
    const std::uint8_t bytes[] = {1, 2, 3, 4};
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, kModuleKey, L"ModuleIP", REG_BINARY,
                                    const_cast<std::uint8_t*>(bytes), sizeof(bytes)),
              STATUS_SUCCESS);
    ULONG ip = kSentinel;
    RTL_QUERY_REGISTRY_TABLE table[] = {DwordEntry(L"ModuleIP", &ip, &zero_), {}};
    table[0].Flags |= RTL_QUERY_REGISTRY_TYPECHECK;
    table[0].DefaultType = (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_DWORD;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kModuleKey, table, nullptr, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ip, kSentinel);
    table[0].DefaultType = (REG_BINARY << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_DWORD;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kModuleKey, table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ip, 0x04030201u);
}

TEST_F(RtlRegistryTest, LongBinaryGoesToASizedBuffer)
{
    const std::array<std::uint8_t, 6> bytes = {1, 2, 3, 4, 5, 6};
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, kModuleKey, L"Blob", REG_BINARY,
                                    const_cast<std::uint8_t*>(bytes.data()), bytes.size()),
              STATUS_SUCCESS);
    RTL_QUERY_REGISTRY_TABLE table[] = {{}, {}};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = const_cast<PWSTR>(L"Blob");

    // Negative size: the bare data.
    std::array<std::uint8_t, 8> bare{};
    const LONG bareSize = -static_cast<LONG>(bare.size());
    std::memcpy(bare.data(), &bareSize, sizeof(bareSize));
    table[0].EntryContext = bare.data();
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kModuleKey, table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(0, std::memcmp(bare.data(), bytes.data(), bytes.size()));

    // Positive size: length, type, then the data.
    std::array<std::uint8_t, 14> sized{};
    LONG sizedSize = static_cast<LONG>(sized.size());
    std::memcpy(sized.data(), &sizedSize, sizeof(sizedSize));
    table[0].EntryContext = sized.data();
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kModuleKey, table, nullptr, nullptr),
              STATUS_SUCCESS);
    ULONG header[2];
    std::memcpy(header, sized.data(), sizeof(header));
    EXPECT_EQ(header[0], bytes.size());
    EXPECT_EQ(header[1], static_cast<ULONG>(REG_BINARY));
    EXPECT_EQ(0, std::memcmp(sized.data() + sizeof(header), bytes.data(), bytes.size()));

    // Too small either way.
    sizedSize = static_cast<LONG>(sized.size() - 1);
    std::memcpy(sized.data(), &sizedSize, sizeof(sizedSize));
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kModuleKey, table, nullptr, nullptr),
              STATUS_BUFFER_TOO_SMALL);
    const LONG tooSmall = -5;
    std::memcpy(bare.data(), &tooSmall, sizeof(tooSmall));
    table[0].EntryContext = bare.data();
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kModuleKey, table, nullptr, nullptr),
              STATUS_BUFFER_TOO_SMALL);
}

// A query routine that records what it is given.
struct Call {
    std::string Name;
    ULONG Type;
    Bytes Data;
    PVOID Context;
    PVOID EntryContext;
};

NTSTATUS NTAPI RecordCall(PWSTR valueName, ULONG valueType, PVOID valueData, ULONG valueLength,
                          PVOID context, PVOID entryContext)
{
    auto* calls = static_cast<std::vector<Call>*>(entryContext);
    const auto* data = static_cast<const std::uint8_t*>(valueData);
    calls->push_back(Call{Text(valueName), valueType,
                          data == nullptr ? Bytes() : Bytes(data, data + valueLength), context,
                          entryContext});
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FailWithAccessDenied(PWSTR, ULONG, PVOID, ULONG, PVOID, PVOID)
{
    return STATUS_ACCESS_DENIED;
}

NTSTATUS NTAPI FailWithBufferTooSmall(PWSTR, ULONG, PVOID, ULONG, PVOID, PVOID)
{
    return STATUS_BUFFER_TOO_SMALL;
}

TEST_F(RtlRegistryTest, QueryRoutineSeesNamedValuesAndEveryValue)
{
    ASSERT_EQ(WriteDword(kModuleKey, L"ModuleIP", 9), STATUS_SUCCESS);
    ASSERT_EQ(WriteText(RTL_REGISTRY_SERVICES, kModuleKey, L"ModuleName", L"ab"), STATUS_SUCCESS);
    std::vector<Call> named;
    std::vector<Call> all;
    int context = 0;
    RTL_QUERY_REGISTRY_TABLE table[] = {{}, {}, {}};
    table[0].QueryRoutine = RecordCall;
    table[0].Name = const_cast<PWSTR>(L"modulename");
    table[0].EntryContext = &named;
    table[1].QueryRoutine = RecordCall;
    table[1].EntryContext = &all;  // no name: every value of the key
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kModuleKey, table, &context, nullptr),
              STATUS_SUCCESS);
    ASSERT_EQ(named.size(), 1u);
    EXPECT_EQ(named[0].Name, "modulename");
    EXPECT_EQ(named[0].Type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(named[0].Data, (Bytes{'a', 0, 'b', 0, 0, 0}));  // NUL-terminated for the routine
    EXPECT_EQ(named[0].Context, &context);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].Name, "ModuleIP");
    EXPECT_EQ(all[0].Data, DwordBytes(9));
    EXPECT_EQ(all[1].Name, "ModuleName");
}

TEST_F(RtlRegistryTest, QueryRoutineErrorEndsTheQuery)
{
    ASSERT_EQ(WriteDword(kModuleKey, L"ModuleIP", 9), STATUS_SUCCESS);
    std::vector<Call> after;
    RTL_QUERY_REGISTRY_TABLE table[] = {{}, {}, {}};
    table[0].QueryRoutine = FailWithBufferTooSmall;  // ignored, as NT does
    table[0].Name = const_cast<PWSTR>(L"ModuleIP");
    table[1].QueryRoutine = RecordCall;
    table[1].Name = const_cast<PWSTR>(L"ModuleIP");
    table[1].EntryContext = &after;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kModuleKey, table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(after.size(), 1u);

    after.clear();
    table[0].QueryRoutine = FailWithAccessDenied;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kModuleKey, table, nullptr, nullptr),
              STATUS_ACCESS_DENIED);
    EXPECT_TRUE(after.empty());
}

TEST_F(RtlRegistryTest, MalformedOrUnsupportedTablesStoreNothing)
{
    ASSERT_EQ(WriteDword(kModuleKey, L"ModuleIP", 9), STATUS_SUCCESS);
    ULONG ip = kSentinel;
    RTL_QUERY_REGISTRY_TABLE table[] = {DwordEntry(L"ModuleIP", &ip, &zero_), {}, {}};

    table[1] = DwordEntry(nullptr, &ip, &zero_);  // DIRECT without a name
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kModuleKey, table, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    table[1] = DwordEntry(L"ModuleIP", nullptr, &zero_);  // DIRECT without a destination
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kModuleKey, table, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    table[1] = DwordEntry(L"ModuleIP", &ip, &zero_);
    table[1].QueryRoutine = RecordCall;  // DIRECT with a routine
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kModuleKey, table, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    table[1] = DwordEntry(L"ModuleIP", &ip, &zero_);
    table[1].Flags |= RTL_QUERY_REGISTRY_SUBKEY;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kModuleKey, table, nullptr, nullptr),
              STATUS_NOT_IMPLEMENTED);
    table[1] = DwordEntry(L"ModuleIP", &ip, &zero_);
    table[1].DefaultType = REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;  // no TYPECHECK flag
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kModuleKey, table, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ip, kSentinel);
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kModuleKey, nullptr, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
}

TEST_F(RtlRegistryTest, WriteCreatesTheKeyAndDeleteNeedsTheValue)
{
    EXPECT_FALSE(Registry().KeyExists(RTL_REGISTRY_SERVICES, "ZelVCOM\\ModuleSvr0"));
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_SERVICES, kModuleKey, L"ModuleIP"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(WriteDword(kModuleKey, L"ModuleIP", 1), STATUS_SUCCESS);
    EXPECT_TRUE(Registry().KeyExists(RTL_REGISTRY_SERVICES, "ZelVCOM\\ModuleSvr0"));
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_SERVICES, kModuleKey, L"ControlPort"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_SERVICES, kModuleKey, L"moduleip"),
              STATUS_SUCCESS);
    EXPECT_FALSE(Registry().Query(RTL_REGISTRY_SERVICES, "ZelVCOM\\ModuleSvr0", "ModuleIP"));
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_SERVICES, kModuleKey, L"ModuleIP"),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RtlRegistryTest, MissingPathOrNameIsAnInvalidParameter)
{
    ULONG value = 1;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, nullptr, L"V", REG_DWORD, &value,
                                    sizeof(value)),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(
        RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"", L"V", REG_DWORD, &value, sizeof(value)),
        STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, kModuleKey, nullptr, REG_DWORD, &value,
                                    sizeof(value)),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, kModuleKey, L"", REG_DWORD, &value,
                                    sizeof(value)),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, kModuleKey, L"V", REG_DWORD, nullptr,
                                    sizeof(value)),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_SERVICES, nullptr, L"V"),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_SERVICES, kModuleKey, nullptr),
              STATUS_INVALID_PARAMETER);
    RTL_QUERY_REGISTRY_TABLE table[] = {{}};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, nullptr, table, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    static const WCHAR kLoneSurrogate[] = {L'K', 0xD800, 0};
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, kLoneSurrogate, L"V", REG_DWORD, &value,
                                    sizeof(value)),
              STATUS_OBJECT_NAME_INVALID);
    EXPECT_FALSE(Registry().KeyExists(RTL_REGISTRY_SERVICES, "ZelVCOM"));
}

TEST_F(RtlRegistryTest, RootsTheHostDoesNotKeep)
{
    ULONG value = 1;
    EXPECT_EQ(
        RtlWriteRegistryValue(RTL_REGISTRY_CONTROL, L"K", L"V", REG_DWORD, &value, sizeof(value)),
        STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(
        RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, L"K", L"V", REG_DWORD, &value, sizeof(value)),
        STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(
        RtlWriteRegistryValue(RTL_REGISTRY_MAXIMUM, L"K", L"V", REG_DWORD, &value, sizeof(value)),
        STATUS_INVALID_PARAMETER);
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL, L"K", L"V",
                                    REG_DWORD, &value, sizeof(value)),
              STATUS_SUCCESS);
    EXPECT_EQ(AsDword(Registry().Query(RTL_REGISTRY_SERVICES, "K", "V")), 1u);
}

using RtlRegistryDeathTest = RtlRegistryTest;

TEST_F(RtlRegistryDeathTest, RegistryAtDispatchLevelStopsTheHost)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            KIRQL previous;
            KeRaiseIrql(DISPATCH_LEVEL, &previous);
            WriteDword(kModuleKey, L"ModuleIP", 1);
        },
        "RtlWriteRegistryValue");
}

}  // namespace
