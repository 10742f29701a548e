// The host registry's store, and the Rtl registry routines over it.
#include "host_test_driver.h"

#include "rtl_unicode.h"

#include <array>
#include <cstdint>
#include <optional>

namespace hosttest {
namespace {

using host::RegistryValue;

constexpr ULONG kSentinel = 0xA5A5A5A5;
constexpr ULONG kServices = RTL_REGISTRY_SERVICES;
constexpr ULONG kDeviceMap = RTL_REGISTRY_DEVICEMAP;

RegistryValue Dword(ULONG value)
{
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&value);
    return RegistryValue{REG_DWORD, {bytes, bytes + sizeof(value)}};
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

constexpr USHORT kNameCapacity = 40;  // the driver's 20-unit name buffer
constexpr WCHAR kModuleKey[] = L"ZelVCOM\\ModuleSvr0";
constexpr WCHAR kDefaultName[] = L"NULL";

class RegistryTest : public HostKernelTest {
protected:
    // The service's key, as its installation leaves it.
    void SetUp() override
    {
        HostKernelTest::SetUp();
        ASSERT_EQ(Store().Write(kServices, "ZelVCOM", "Type", Dword(1)), STATUS_SUCCESS);
    }

    host::Registry& Store() { return Kernel().RegistryView(); }

    // A direct, type-checked entry with a default of its own type.
    static RTL_QUERY_REGISTRY_TABLE Entry(PCWSTR name, PVOID destination, ULONG type,
                                          const void* data, ULONG length = 0)
    {
        return {nullptr,
                RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK,
                const_cast<PWSTR>(name),
                destination,
                (type << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | type,
                const_cast<void*>(data),
                length};
    }
    static RTL_QUERY_REGISTRY_TABLE DwordEntry(PCWSTR name, ULONG* destination)
    {
        return Entry(name, destination, REG_DWORD, &kZero, sizeof(ULONG));
    }
    static RTL_QUERY_REGISTRY_TABLE StringEntry(PCWSTR name, UNICODE_STRING* destination)
    {
        return Entry(name, destination, REG_SZ, kDefaultName);
    }

    static NTSTATUS Query(RTL_QUERY_REGISTRY_TABLE* table)
    {
        return RtlQueryRegistryValues(kServices, kModuleKey, table, nullptr, nullptr);
    }

    static NTSTATUS Write(PCWSTR name, ULONG type, const void* data, ULONG length)
    {
        return RtlWriteRegistryValue(kServices, kModuleKey, name, type, const_cast<void*>(data),
                                     length);
    }
    static NTSTATUS WriteDword(PCWSTR name, ULONG value)
    {
        return Write(name, REG_DWORD, &value, sizeof(value));
    }
    // Text without its NUL, as the driver stores names.
    static NTSTATUS WriteText(PCWSTR name, PCWSTR text)
    {
        return Write(name, REG_SZ, text,
                     static_cast<ULONG>(host::rtl::WideLength(text) * sizeof(WCHAR)));
    }

    static constexpr ULONG kZero = 0;
    std::array<WCHAR, kNameCapacity / sizeof(WCHAR)> nameBuffer_{};
    UNICODE_STRING name_{0, kNameCapacity, nameBuffer_.data()};
};

// Names are case-insensitive (beyond ASCII too) but keep their first
// spelling; keys come with their parents and go with their subtrees; a
// value name may hold backslashes; the roots are separate, and only the
// services persist.
TEST_F(RegistryTest, NamesKeysRootsAndPersistence)
{
    ASSERT_EQ(Store().Write(kServices, "ZelVCOM\\ModuleInfo", "ModuleCount", Dword(1)),
              STATUS_SUCCESS);
    ASSERT_EQ(Store().Write(kServices, "ZELVCOM\\moduleinfo", "MODULECOUNT",
                            RegistryValue{REG_BINARY, {}}),
              STATUS_SUCCESS);
    EXPECT_EQ(Store().ValueNames(kServices, "ZelVCOM\\ModuleInfo"),
              std::vector<std::string>{"ModuleCount"});
    auto value = Store().Query(kServices, "zelvcom\\MODULEINFO", "modulecount");
    ASSERT_TRUE(value);  // empty data is a value too
    EXPECT_EQ(value->Type, static_cast<ULONG>(REG_BINARY));
    // Names are kept as UTF-8, a surrogate pair whole.
    ASSERT_EQ(WriteDword(reinterpret_cast<PCWSTR>(u"Caf\u00E9\U0001F600"), 4), STATUS_SUCCESS);
    EXPECT_EQ(
        AsDword(Store().Query(kServices, "ZelVCOM\\ModuleSvr0", "CAF\xC3\x89\xF0\x9F\x98\x80")),
        4u);

    ASSERT_EQ(Store().Write(kServices, "A\\B\\C", "V", Dword(1)), STATUS_SUCCESS);
    ASSERT_EQ(Store().Write(kServices, "A\\D", "V", Dword(3)), STATUS_SUCCESS);
    EXPECT_TRUE(Store().ValueNames(kServices, "A").empty());
    ASSERT_EQ(Store().Write(kDeviceMap, "SERIALCOMM", "\\Device\\VSer5", Dword(5)), STATUS_SUCCESS);
    EXPECT_EQ(AsDword(Store().Query(kDeviceMap, "SERIALCOMM", "\\device\\vser5")), 5u);
    EXPECT_FALSE(Store().KeyExists(kDeviceMap, "SERIALCOMM\\Device"));
    EXPECT_FALSE(Store().KeyExists(kServices, "SERIALCOMM"));
    EXPECT_EQ(Store().DeleteKey(kServices, "A\\Absent"), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(Store().DeleteKey(kServices, "a\\b"), STATUS_SUCCESS);
    EXPECT_FALSE(Store().KeyExists(kServices, "A\\B\\C"));
    EXPECT_TRUE(Store().KeyExists(kServices, "A\\D"));
    // A re-created key does not inherit the deleted values.
    ASSERT_EQ(Store().Write(kServices, "A\\B\\C", "W", Dword(4)), STATUS_SUCCESS);
    EXPECT_EQ(Store().ValueNames(kServices, "A\\B\\C"), std::vector<std::string>{"W"});
    // The services persist across a restart, the device map does not.
    RestartKernel();
    EXPECT_EQ(AsDword(Store().Query(kServices, "A\\B\\C", "W")), 4u);
    EXPECT_FALSE(Store().KeyExists(kDeviceMap, "SERIALCOMM"));

    // Other roots and malformed names are refused.
    const std::tuple<ULONG, std::string, std::string, NTSTATUS> refused[] = {
        {RTL_REGISTRY_ABSOLUTE, "\\Registry\\Machine\\System", "V", STATUS_NOT_IMPLEMENTED},
        {kServices, "K\\\\B", "V", STATUS_OBJECT_NAME_INVALID},
        {kServices, "K\xFF", "V", STATUS_OBJECT_NAME_INVALID},
        {kServices, "", "V", STATUS_INVALID_PARAMETER},
        {kServices, "K", "", STATUS_INVALID_PARAMETER},
        {kServices, "K", std::string("a\0b", 3), STATUS_OBJECT_NAME_INVALID}};
    for (const auto& [root, key, name, status] : refused) {
        EXPECT_EQ(Store().Write(root, key, name, Dword(3)), status) << key;
    }
    EXPECT_FALSE(Store().KeyExists(kServices, "K"));
    ASSERT_EQ(Store().Write(kServices, "\\K", "V", Dword(1)), STATUS_SUCCESS);  // one leading '\'
    EXPECT_TRUE(Store().KeyExists(kServices, "K"));
}

// An absent key fails the query and stores nothing; in a present key,
// absent values take their defaults, or are left alone without one.
// Strings fit with their NUL or fail at their entry, after storing the
// entries before it.
TEST_F(RegistryTest, DirectQueriesWithDefaultsAndStrings)
{
    ULONG ip = kSentinel;
    ULONG port = kSentinel;
    ULONG noDefault = kSentinel;
    RTL_QUERY_REGISTRY_TABLE table[] = {
        DwordEntry(L"ModuleIP", &ip),
        DwordEntry(L"ControlPort", &port),
        StringEntry(L"ModuleName", &name_),
        DwordEntry(L"DataPort", &noDefault),
        {},
    };
    table[3].DefaultType = REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;  // no default
    EXPECT_EQ(Query(table), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ip, kSentinel);
    EXPECT_EQ(name_.Length, 0);

    ASSERT_EQ(WriteDword(L"ModuleIP", 0x0A01A8C0), STATUS_SUCCESS);
    ASSERT_EQ(Query(table), STATUS_SUCCESS);
    EXPECT_EQ(ip, 0x0A01A8C0u);
    EXPECT_EQ(Utf8(name_), "NULL");
    EXPECT_EQ(noDefault, kSentinel);

    // 19 units and the NUL fill the 40-byte buffer; 20 do not.
    ASSERT_EQ(WriteText(L"ModuleName", L"ABCDEFGHIJKLMNOPQRS"), STATUS_SUCCESS);
    ASSERT_EQ(Query(table), STATUS_SUCCESS);
    EXPECT_EQ(Utf8(name_), "ABCDEFGHIJKLMNOPQRS");
    EXPECT_EQ(nameBuffer_[19], UNICODE_NULL);
    ASSERT_EQ(WriteText(L"ModuleName", L"ABCDEFGHIJKLMNOPQRST"), STATUS_SUCCESS);
    ASSERT_EQ(WriteDword(L"ModuleIP", 7), STATUS_SUCCESS);
    ASSERT_EQ(WriteDword(L"ControlPort", 8), STATUS_SUCCESS);
    name_.Length = 0;
    std::swap(table[1], table[2]);
    port = kSentinel;
    EXPECT_EQ(Query(table), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(ip, 7u);           // before the failing entry: stored
    EXPECT_EQ(port, kSentinel);  // after it: not reached
    EXPECT_EQ(name_.Length, 0);

    // A stored terminator is not part of the text; without a buffer the
    // string is allocated.
    static const WCHAR kWithNul[] = L"COM5";
    ASSERT_EQ(Write(L"ModuleName", REG_SZ, kWithNul, sizeof(kWithNul)), STATUS_SUCCESS);
    UNICODE_STRING allocated{};
    RTL_QUERY_REGISTRY_TABLE one[] = {StringEntry(L"ModuleName", &allocated), {}};
    ASSERT_EQ(Query(one), STATUS_SUCCESS);
    ASSERT_NE(allocated.Buffer, nullptr);
    EXPECT_EQ(Utf8(allocated), "COM5");
    ExFreePool(allocated.Buffer);

    // An empty string is empty text.
    ASSERT_EQ(Write(L"ModuleName", REG_SZ, nullptr, 0), STATUS_SUCCESS);
    allocated = UNICODE_STRING{};
    ASSERT_EQ(Query(one), STATUS_SUCCESS);
    EXPECT_EQ(allocated.Length, 0);
    EXPECT_EQ(allocated.Buffer[0], UNICODE_NULL);
    ExFreePool(allocated.Buffer);
}

// Mismatched types are refused, not overrun.
TEST_F(RegistryTest, DirectQueriesCheckTypes)
{
    ASSERT_EQ(WriteText(L"ModuleIP", L"10.0.0.1"), STATUS_SUCCESS);
    const std::uint64_t wide = 1;
    ASSERT_EQ(Write(L"ControlPort", REG_QWORD, &wide, sizeof(wide)), STATUS_SUCCESS);
    ASSERT_EQ(Write(L"DataPort", REG_DWORD, &wide, sizeof(wide)), STATUS_SUCCESS);
    ULONG value = kSentinel;
    RTL_QUERY_REGISTRY_TABLE table[] = {{}, {}};
    for (PCWSTR name : {L"ModuleIP", L"ControlPort", L"DataPort"}) {
        table[0] = DwordEntry(name, &value);
        EXPECT_EQ(Query(table), STATUS_OBJECT_TYPE_MISMATCH);
    }
    EXPECT_EQ(value, kSentinel);
    // An empty DWORD value fits and leaves the destination as it was.
    ASSERT_EQ(Write(L"DataPort", REG_DWORD, nullptr, 0), STATUS_SUCCESS);
    table[0] = DwordEntry(L"DataPort", &value);
    EXPECT_EQ(Query(table), STATUS_SUCCESS);
    EXPECT_EQ(value, kSentinel);
}

TEST_F(RegistryTest, MalformedCallsAreRefusedAndStoreNothing)
{
    ASSERT_EQ(WriteDword(L"ModuleIP", 9), STATUS_SUCCESS);
    ULONG ip = kSentinel;
    RTL_QUERY_REGISTRY_TABLE table[] = {DwordEntry(L"ModuleIP", &ip), {}, {}};
    auto secondEntry = [&](RTL_QUERY_REGISTRY_TABLE entry, ULONG addFlags = 0) {
        entry.Flags |= addFlags;
        table[1] = entry;
        return Query(table);
    };
    EXPECT_EQ(secondEntry(DwordEntry(nullptr, &ip)), STATUS_INVALID_PARAMETER);  // no name
    EXPECT_EQ(secondEntry(DwordEntry(L"ModuleIP", nullptr)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ip, kSentinel);
    EXPECT_EQ(Query(nullptr), STATUS_INVALID_PARAMETER);

    ULONG value = 1;
    for (auto [path, name, data] : {std::tuple<PCWSTR, PCWSTR, PVOID>{nullptr, L"V", &value},
                                    {kModuleKey, nullptr, &value},
                                    {kModuleKey, L"", &value},
                                    {kModuleKey, L"V", nullptr}}) {
        EXPECT_EQ(RtlWriteRegistryValue(kServices, path, name, REG_DWORD, data, sizeof(value)),
                  STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(RtlDeleteRegistryValue(kServices, kModuleKey, L"moduleip"), STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(kServices, kModuleKey, L"ModuleIP"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    for (auto [root, status] :
         {std::pair<ULONG, NTSTATUS>{RTL_REGISTRY_CONTROL, STATUS_NOT_IMPLEMENTED},
          {RTL_REGISTRY_MAXIMUM, STATUS_INVALID_PARAMETER},
          {kServices | RTL_REGISTRY_OPTIONAL, STATUS_INVALID_PARAMETER}}) {
        EXPECT_EQ(RtlWriteRegistryValue(root, L"K", L"V", REG_DWORD, &value, sizeof(value)),
                  status);
    }
    static const WCHAR kLoneSurrogate[] = {L'K', 0xD800, 0};
    EXPECT_EQ(
        RtlWriteRegistryValue(kServices, kLoneSurrogate, L"V", REG_DWORD, &value, sizeof(value)),
        STATUS_OBJECT_NAME_INVALID);
    EXPECT_FALSE(Store().KeyExists(kServices, "K"));
    // As Windows: a missing key is made only below one that exists.
    EXPECT_EQ(RtlWriteRegistryValue(kServices, L"Absent\\K", L"V", REG_DWORD, &value,
                                    sizeof(value)),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(Store().KeyExists(kServices, "Absent"));
}

using RegistryDeathTest = RegistryTest;

TEST_F(RegistryDeathTest, RegistryAtDispatchLevelAMalformedStringOrAnUnsupportedEntry)
{
    ASSERT_EQ(WriteText(L"ModuleName", L"rack"), STATUS_SUCCESS);
    EXPECT_DEATH((RaiseIrql(DISPATCH_LEVEL), WriteDword(L"ModuleIP", 1)), "RtlWriteRegistryValue");
    name_.Length = 1;
    RTL_QUERY_REGISTRY_TABLE table[2] = {StringEntry(L"ModuleName", &name_), {}};
    EXPECT_DEATH(Query(table), "Rtl string: RtlQueryRegistryValues .*odd byte length 1");
    table[0].Flags |= RTL_QUERY_REGISTRY_NOEXPAND;
    EXPECT_DEATH(Query(table), "RtlQueryRegistryValues: unsupported entry");
}

}  // namespace
}  // namespace hosttest
