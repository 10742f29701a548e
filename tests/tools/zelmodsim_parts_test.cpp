// The pieces of zelmodsim that need no sockets.
#include "channel.h"
#include "commands.h"
#include <host/common/errors.h>
#include "control_port.h"
#include "text_escape.h"

#include <gtest/gtest.h>

#include <vector>

namespace zelmodsim {
namespace {

TEST(ZelmodsimText, EscapesDecode)
{
    EXPECT_EQ(DecodeEscapes("a\\n\\r\\t\\\\\\x2c\\x7F\\0b"), std::string("a\n\r\t\\,\x7f\0b", 9));
    EXPECT_THROW(DecodeEscapes("\\"), zel::ParseError);
    EXPECT_THROW(DecodeEscapes("\\x4"), zel::ParseError);
    EXPECT_THROW(DecodeEscapes("\\xg0"), zel::ParseError);
    EXPECT_THROW(DecodeEscapes("\\q"), zel::ParseError);
}

TEST(ZelmodsimText, LogFormKeepsPrintablesAndDecodesBack)
{
    const std::string bytes("CTS1 1\\\n\x00\xff", 10);
    const std::string logged = EscapeForLog(bytes);
    EXPECT_EQ(logged, "CTS1 1\\\\\\x0a\\x00\\xff");
    EXPECT_EQ(DecodeEscapes(logged), bytes);
}

TEST(ZelmodsimChannelSetup, ModesAndOptions)
{
    const auto echo = ParseChannelSetup("4001:echo");
    EXPECT_EQ(echo.Port, 4001);
    EXPECT_EQ(echo.Mode, ChannelMode::Echo);
    EXPECT_EQ(echo.Limit, LimitAction::None);

    const auto sink = ParseChannelSetup("0:sink,reset-after=12,accept-delay");
    EXPECT_EQ(sink.Mode, ChannelMode::Sink);
    EXPECT_EQ(sink.Limit, LimitAction::Reset);
    EXPECT_EQ(sink.LimitBytes, 12U);
    EXPECT_TRUE(sink.AcceptDelay);

    const auto text = ParseChannelSetup("0:source-text=a\\x2cb,close-after=1,refuse");
    EXPECT_EQ(text.Mode, ChannelMode::Source);
    EXPECT_EQ(text.SourceBytes, "a,b");
    EXPECT_EQ(text.Limit, LimitAction::Close);
    EXPECT_TRUE(text.Refuse);

    const auto file = ParseChannelSetup("0:source=/tmp/x");
    EXPECT_EQ(file.SourceFile.value_or(""), "/tmp/x");
}

TEST(ZelmodsimChannelSetup, BadSetupsThrow)
{
    for (const char* bad : {"echo", ":echo", "x:echo", "0:", "0:source=", "0:echo,",
                            "0:echo,reset-after=", "0:sink,close-after=1,close-after=2",
                            "0:echo,accept-delay,refuse"}) {
        EXPECT_THROW(ParseChannelSetup(bad), zel::ParseError) << bad;
    }
}

TEST(ZelmodsimCommands, Parse)
{
    const auto cts = std::get<command::Cts>(ParseCommand("cts 9 1"));
    EXPECT_EQ(cts.Channel, '9');
    EXPECT_EQ(cts.Level, '1');
    EXPECT_EQ(std::get<command::Status>(ParseCommand("status 2 1")).Count, 1U);
    EXPECT_EQ(std::get<command::Status>(ParseCommand("status 2 1  5")).Count, 5U);
    EXPECT_EQ(std::get<command::SendControl>(ParseCommand("send-control  0219600\\r")).Bytes,
              " 0219600\r");
    const auto send = std::get<command::Send>(ParseCommand("send 3 a b"));
    EXPECT_EQ(send.Channel, 3);
    EXPECT_EQ(send.Bytes, "a b");
    EXPECT_EQ(std::get<command::Accept>(ParseCommand("accept 8")).Channel, 8);
    EXPECT_EQ(std::get<command::Reply>(ParseCommand("reply late=15")).Mode.Delay,
              std::chrono::milliseconds(15));
    EXPECT_TRUE(std::holds_alternative<command::Quit>(ParseCommand("quit")));
}

TEST(ZelmodsimCommands, BadCommandsThrow)
{
    for (const char* bad : {"", "quit now", "cts 1", "cts a 1", "status 1 1 228", "send 1",
                            "send 0 x", "close x", "reply", "reply sometimes", "send-control"}) {
        EXPECT_THROW(ParseCommand(bad), zel::ParseError) << bad;
    }
}

TEST(ZelmodsimReplyMode, ParseAndDescribe)
{
    for (const char* mode : {"answer", "silent", "late=0", "late=250"}) {
        EXPECT_EQ(DescribeReplyMode(ParseReplyMode(mode)), mode);
    }
    EXPECT_THROW(ParseReplyMode("late="), zel::ParseError);
    EXPECT_THROW(ParseReplyMode("late=600001"), zel::ParseError);
}

TEST(ZelmodsimLines, SplitsAndLimits)
{
    constexpr std::size_t kLimit = 4;
    LineBuffer buffer(kLimit);
    std::vector<std::pair<std::string, bool>> lines;
    const auto collect = [&](std::string_view line, bool tooLong) {
        lines.emplace_back(line, tooLong);
    };
    buffer.Feed("ab\r\ncd", collect);
    buffer.Feed("\nabcdef\nlast", collect);
    buffer.Finish(collect);
    const std::vector<std::pair<std::string, bool>> expected = {
        {"ab", false}, {"cd", false}, {"abcd", true}, {"last", false}};
    EXPECT_EQ(lines, expected);
}

}  // namespace
}  // namespace zelmodsim
