// vcomctl's parsers and writers on their own.
#include "arguments.h"
#include "commands.h"
#include "output.h"

#include <gtest/gtest.h>

#include <cstring>

namespace vcomctl {
namespace {

TEST(VcomctlIpv4, FirstNumberIsTheLowestAddressedByteAndMalformedAreRefused)
{
    const auto address = ParseIpv4("192.168.1.10");
    ASSERT_TRUE(address);
    const unsigned char expected[] = {192, 168, 1, 10};
    EXPECT_EQ(std::memcmp(&*address, expected, sizeof expected), 0);
    EXPECT_EQ(FormatIpv4(*address), "192.168.1.10");
    for (const char* text : {"", "1.2.3", "1.2.3.4.5", "1.2.3.256", "1..3.4", "1.2.3.4.", ".1.2.3",
                             "a.b.c.d", "1.2.3.04", "1.2.3.-4", "1.2.3.4 "}) {
        EXPECT_FALSE(ParseIpv4(text)) << text;
    }
}

TEST(VcomctlChannelArgument, PortComAndWithholdOrAUsageError)
{
    const auto plain = ParseChannelArgument("4001:5");
    EXPECT_EQ(plain.TcpPort, 4001u);
    EXPECT_EQ(plain.ComNumber, 5u);
    EXPECT_FALSE(plain.Withhold);
    const auto withheld = ParseChannelArgument("4002:COM4096:withhold");
    EXPECT_EQ(withheld.ComNumber, 4096u);
    EXPECT_TRUE(withheld.Withhold);
    EXPECT_EQ(ParseChannelArgument("1:com0").ComNumber, 0u);
    for (const char* text :
         {"", "4001", "4001:", ":5", "0:5", "65536:5", "+1:5", "0x10:5", "99999999999999999999:5",
          "4001:4097", "4001:COM", "4001:5:", "4001:5:keep", "4001:5:withhold:x", "4001:-1"}) {
        EXPECT_THROW(ParseChannelArgument(text), UsageError) << text;
    }
}

TEST(VcomctlModuleArgument, BuildsTheRecord)
{
    const ModuleRecord record = ParseModuleArgument(
        {"192.168.1.10", "4660", "nineteen-bytes-name", "4001:5", "4002:0:withhold"});
    EXPECT_EQ(FormatIpv4(record.ModuleIP), "192.168.1.10");
    EXPECT_EQ(record.ControlPort, 0x1234u);
    EXPECT_EQ(record.SerialCount, 2u);
    EXPECT_STREQ(record.ModuleName, "nineteen-bytes-name");
    const std::vector<std::uint32_t> ports(record.SerialPort, record.SerialPort + 3);
    const std::vector<std::uint32_t> coms(record.SerialNum, record.SerialNum + 3);
    const std::vector<std::uint32_t> flags(record.SerialParaFlag, record.SerialParaFlag + 3);
    EXPECT_EQ(ports, (std::vector<std::uint32_t>{4001, 4002, 0}));
    EXPECT_EQ(coms, (std::vector<std::uint32_t>{5, 0, 0}));
    EXPECT_EQ(flags, (std::vector<std::uint32_t>{0, 1, 0}));
    const ModuleRecord eight = ParseModuleArgument(
        {"10.0.0.1", "4000", "eight", "1:1", "2:2", "3:3", "4:4", "5:5", "6:6", "7:7", "8:8"});
    EXPECT_EQ(eight.SerialCount, 8u);
}

TEST(VcomctlModuleArgument, RefusesBadModules)
{
    using Args = std::vector<std::string>;
    const Args bad[] = {
        {},
        {"10.0.0.1", "4000", "name"},
        {"0.0.0.0", "4000", "name", "1:1"},
        {"255.255.255.255", "4000", "name", "1:1"},
        {"10.0.0.1", "0", "name", "1:1"},
        {"10.0.0.1", "4000", "", "1:1"},
        {"10.0.0.1", "4000", "twenty-bytes-name-xx", "1:1"},
        {"10.0.0.1", "4000", "tab\there", "1:1"},
        {"10.0.0.1", "4000", "name", "1:1", "2:2", "3:3", "4:4", "5:5", "6:6", "7:7", "8:8", "9:9"},
        {"10.0.0.1", "4000", "name", "1:1", "1:2"},
        {"10.0.0.1", "4000", "name", "1:1", "2:1"},
        {"10.0.0.1", "4000", "name", "4000:1"},
    };
    for (const auto& args : bad) {
        EXPECT_THROW(ParseModuleArgument(args), UsageError) << ::testing::PrintToString(args);
    }
    const ModuleRecord comZero = ParseModuleArgument({"10.0.0.1", "4000", "name", "1:0", "2:0"});
    EXPECT_EQ(comZero.SerialNum[1], 0u);  // channels without port may repeat COM0
}

TEST(VcomctlJson, EscapesQuotesControlsAndHighBytes)
{
    EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(JsonString("\x01\x7f\xe9"), "\"\\u0001\\u007f\\u00e9\"");
}

}  // namespace
}  // namespace vcomctl
