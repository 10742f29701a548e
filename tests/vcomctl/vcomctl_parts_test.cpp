// vcomctl's parsers and writers on their own.
#include "arguments.h"
#include "commands.h"
#include "output.h"

#include <common/argument_reader.h>

#include <gtest/gtest.h>

#include <cstring>

namespace vcomctl {
namespace {

TEST(VcomctlNumbers, AcceptsPlainDecimalsInRange)
{
    EXPECT_EQ(zeltools::ParseDecimal("0", 0, 10), 0u);
    EXPECT_EQ(zeltools::ParseDecimal("65535", 1, 65535), 65535u);
    EXPECT_EQ(zeltools::ParseDecimal("4294967295", 0, 0xFFFFFFFF), 0xFFFFFFFFu);
}

TEST(VcomctlNumbers, RefusesAnythingElse)
{
    for (const char* text :
         {"", "-1", "+1", " 1", "1 ", "01", "1x", "0x10", "65536", "99999999999999999999"}) {
        EXPECT_FALSE(zeltools::ParseDecimal(text, 0, 65535)) << text;
    }
    EXPECT_FALSE(zeltools::ParseDecimal("0", 1, 65535));
}

TEST(VcomctlIpv4, FirstNumberIsTheLowestAddressedByte)
{
    const auto address = ParseIpv4("192.168.1.10");
    ASSERT_TRUE(address);
    const unsigned char expected[] = {192, 168, 1, 10};
    EXPECT_EQ(std::memcmp(&*address, expected, sizeof expected), 0);
    EXPECT_EQ(FormatIpv4(*address), "192.168.1.10");
}

TEST(VcomctlIpv4, RefusesMalformedAddresses)
{
    for (const char* text : {"", "1.2.3", "1.2.3.4.5", "1.2.3.256", "1..3.4", "1.2.3.4.", ".1.2.3",
                             "a.b.c.d", "1.2.3.04", "1.2.3.-4", "1.2.3.4 "}) {
        EXPECT_FALSE(ParseIpv4(text)) << text;
    }
}

TEST(VcomctlChannelArgument, PortComAndWithhold)
{
    const auto plain = ParseChannelArgument("4001:5");
    EXPECT_EQ(plain.TcpPort, 4001u);
    EXPECT_EQ(plain.ComNumber, 5u);
    EXPECT_FALSE(plain.Withhold);
    const auto withheld = ParseChannelArgument("4002:COM4096:withhold");
    EXPECT_EQ(withheld.ComNumber, 4096u);
    EXPECT_TRUE(withheld.Withhold);
    EXPECT_EQ(ParseChannelArgument("1:com0").ComNumber, 0u);
}

TEST(VcomctlChannelArgument, RefusesBadChannels)
{
    for (const char* text : {"", "4001", "4001:", ":5", "0:5", "65536:5", "4001:4097", "4001:COM",
                             "4001:5:", "4001:5:keep", "4001:5:withhold:x", "4001:-1"}) {
        EXPECT_THROW(ParseChannelArgument(text), UsageError) << text;
    }
}

TEST(VcomctlModuleArgument, BuildsTheRecord)
{
    const ModuleRecord record = ParseModuleArgument(
        {"192.168.1.10", "4660", "nineteen-bytes-name", "4001:5", "4002:0:withhold"});
    const unsigned char address[] = {192, 168, 1, 10};
    EXPECT_EQ(std::memcmp(&record.ModuleIP, address, sizeof address), 0);
    EXPECT_EQ(record.ControlPort, 0x1234u);
    EXPECT_EQ(record.SerialCount, 2u);
    EXPECT_STREQ(record.ModuleName, "nineteen-bytes-name");
    EXPECT_EQ(record.SerialPort[0], 4001u);
    EXPECT_EQ(record.SerialNum[0], 5u);
    EXPECT_EQ(record.SerialParaFlag[0], 0u);
    EXPECT_EQ(record.SerialPort[1], 4002u);
    EXPECT_EQ(record.SerialNum[1], 0u);
    EXPECT_EQ(record.SerialParaFlag[1], 1u);
    EXPECT_EQ(record.SerialPort[2], 0u);
}

TEST(VcomctlModuleArgument, EightChannelsFit)
{
    const ModuleRecord record = ParseModuleArgument(
        {"10.0.0.1", "4000", "eight", "1:1", "2:2", "3:3", "4:4", "5:5", "6:6", "7:7", "8:8"});
    EXPECT_EQ(record.SerialCount, 8u);
}

TEST(VcomctlModuleArgument, RefusesBadModules)
{
    using Args = std::vector<std::string>;
    const Args bad[] = {
        {},
        {"10.0.0.1", "4000", "name"},
        {"10.0.0.256", "4000", "name", "1:1"},
        {"0.0.0.0", "4000", "name", "1:1"},
        {"255.255.255.255", "4000", "name", "1:1"},
        {"10.0.0.1", "0", "name", "1:1"},
        {"10.0.0.1", "65536", "name", "1:1"},
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
}

TEST(VcomctlModuleArgument, ChannelsWithoutPortMayRepeatComZero)
{
    const ModuleRecord record = ParseModuleArgument({"10.0.0.1", "4000", "name", "1:0", "2:0"});
    EXPECT_EQ(record.SerialNum[0], 0u);
    EXPECT_EQ(record.SerialNum[1], 0u);
}

TEST(VcomctlJson, EscapesQuotesControlsAndHighBytes)
{
    EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(JsonString("\x01\x7f\xe9"), "\"\\u0001\\u007f\\u00e9\"");
}

}  // namespace
}  // namespace vcomctl
