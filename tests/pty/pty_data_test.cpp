// Bytes through a COM link and an echo channel: in bulk both ways at once,
// across a connection the module drops, from a program gone as soon as it
// wrote, and none left over from a session that ended.
#include "pty_fixture.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zeltest {
namespace {

constexpr std::size_t kBulkBytes = 1 << 20;
constexpr unsigned kBulkSeed = 3;
// Only a guard against a hang: a sanitizer build moves a mebibyte slowly.
constexpr std::chrono::minutes kBulkTimeout{3};

// The channel closes a connection once it has taken this many bytes; the
// second block crosses that point.
constexpr std::size_t kDropAfter = 1000;
constexpr std::size_t kFirstBlock = 600;
constexpr std::size_t kSecondBlock = 800;
constexpr unsigned kDropSeed = 4;
// How long a probe's echo is awaited before the next probe goes; a late
// echo still counts.
constexpr std::chrono::seconds kProbeWait{1};
constexpr int kConnections = 2;
constexpr char kProbeOpen = '(';
constexpr char kProbeClose = ')';

std::string Probe(int number)
{
    return kProbeOpen + std::to_string(number) + kProbeClose;
}

// The numbers of a run of probes, or nothing when text is anything else.
std::optional<std::vector<int>> ProbeNumbers(const std::string& text)
{
    std::vector<int> numbers;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t close = text.find(kProbeClose, at);
        if (text[at] != kProbeOpen || close == std::string::npos || close == at + 1)
            return std::nullopt;
        const std::string digits = text.substr(at + 1, close - at - 1);
        if (!std::all_of(digits.begin(), digits.end(),
                         [](char c) { return c >= '0' && c <= '9'; })) {
            return std::nullopt;
        }
        numbers.push_back(std::stoi(digits));
        at = close + 1;
    }
    return numbers;
}

bool EndsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Where two byte strings first differ, for a failure message that does not
// print a mebibyte.
std::size_t FirstDifference(const std::string& a, const std::string& b)
{
    const auto [inA, inB] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    return static_cast<std::size_t>(inA - a.begin());
}

class PtyDataTest : public PtyTest {};

TEST_F(PtyDataTest, AMebibyteEachWayAtOnceComesBackWholeAndInOrder)
{
    StartModule({"echo"});
    Terminal com = OpenRaw();
    const std::string sent = PatternBytes(kBulkBytes, kBulkSeed);
    const zel::test::Deadline deadline(kBulkTimeout);

    int writeError = -1;
    std::thread writer([&] { writeError = com.Write(sent, deadline); });
    const zel::test::Received back = com.Read(sent.size(), deadline);
    writer.join();

    EXPECT_EQ(writeError, 0);
    EXPECT_EQ(back.Data.size(), sent.size());
    EXPECT_TRUE(back.Data == sent)
        << "first difference at byte " << FirstDifference(back.Data, sent);
    // The module took each byte once.
    EXPECT_TRUE(EndsWith(Module().Command("stats"), " received=" + std::to_string(kBulkBytes)))
        << Module().Command("stats");
}

TEST_F(PtyDataTest, AfterTheModuleDropsTheConnectionNothingComesTwiceAndWritesFlowAgain)
{
    StartModule({"echo,close-after=" + std::to_string(kDropAfter)});
    Terminal com = OpenRaw();
    const std::string sent = PatternBytes(kFirstBlock + kSecondBlock, kDropSeed);
    ASSERT_TRUE(Echoes(com, sent.substr(0, kFirstBlock)));
    ASSERT_EQ(com.Write(sent.substr(kFirstBlock)), 0);
    // What the module took before it closed comes back; the rest it dropped.
    const std::size_t taken = kDropAfter - kFirstBlock;
    ASSERT_EQ(com.Read(taken).Data, sent.substr(kFirstBlock, taken));
    ASSERT_TRUE(Module().Saw("DISCONNECTED channel=1 reason=close-after"));

    // A write that meets the closed connection before the daemon has seen
    // the close is lost with it; the one after reconnects. So numbered
    // probes go until one comes back, and everything that comes back after
    // the drop must be probes, each once and in order.
    std::string after;
    int probe = 0;
    const zel::test::Deadline deadline;
    while (!deadline.Passed() && (probe == 0 || !EndsWith(after, Probe(probe)))) {
        ++probe;
        ASSERT_EQ(com.Write(Probe(probe)), 0);
        after += com.Read(Probe(probe).size(), zel::test::Deadline(kProbeWait)).Data;
    }
    const auto numbers = ProbeNumbers(after);
    ASSERT_TRUE(numbers.has_value()) << "after the drop came: " << after;
    ASSERT_FALSE(numbers->empty()) << "no probe came back; " << Daemon().Log();
    EXPECT_TRUE(std::is_sorted(numbers->begin(), numbers->end()) &&
                std::adjacent_find(numbers->begin(), numbers->end()) == numbers->end())
        << after;
    EXPECT_EQ(numbers->back(), probe) << after;
    // The first connection and one reconnect.
    for (int connection = 0; connection < kConnections; ++connection) {
        EXPECT_TRUE(Module().Saw("CONNECTED channel=1")) << Module().Output();
    }
    EXPECT_EQ(Module().CountPrinted("CONNECTED channel=1"), kConnections) << Module().Output();
}

TEST_F(PtyDataTest, BytesASessionLeftUnreadNeverReachTheNextProgram)
{
    StartModule({"echo"});
    {
        Terminal first = OpenRaw();
        ASSERT_TRUE(Echoes(first, "first"));
        ASSERT_EQ(Module().Command("send 1 stale"), "ok");
        // The bytes wait in the program's queue; it closes without reading.
        ASSERT_TRUE(first.Readable());
    }
    // Sent while the daemon ends the session: whether the connection still
    // takes these or not, no program may get them.
    Module().Command("send 1 late");
    ASSERT_TRUE(SawClosed()) << Daemon().Log();

    Terminal next = OpenRaw();
    EXPECT_TRUE(Echoes(next, "fresh")) << Daemon().Log();
    EXPECT_TRUE(Echoes(next, "again")) << Daemon().Log();
}

TEST_F(PtyDataTest, AProgramThatWritesAndClosesAtOnceIsServedAndItsEchoReachesNoOneElse)
{
    StartModule({"echo"});
    const std::string command = "AT\r";
    {
        // As a shell's "echo AT > COM7" does: no setup, gone at once.
        Terminal writer(Link());
        ASSERT_EQ(writer.Write(command), 0);
    }
    const std::string total = " total=" + std::to_string(command.size());
    EXPECT_TRUE(Module().SawMatching([&total](const std::string& line) {
        return line.rfind("RECEIVED channel=1 ", 0) == 0 && EndsWith(line, total);
    })) << Module().Output();
    ASSERT_TRUE(SawClosed()) << Daemon().Log();

    Terminal next = OpenRaw();
    EXPECT_TRUE(Echoes(next, "x")) << Daemon().Log();
}

}  // namespace
}  // namespace zeltest
