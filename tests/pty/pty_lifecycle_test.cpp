// The COM links over their lives: many short opens, a module that cannot be
// reached, the ports stopped and started, and the daemon stopped while a
// program holds a port.
#include "pty_fixture.h"

#include "support/eventually.h"
#include "support/loopback.h"
#include "support/process.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace zeltest {
namespace {

constexpr int kOpenCloseCycles = 100;
constexpr std::size_t kWriteChunk = 4096;
// Between looks at the daemon's descriptors in /proc.
constexpr std::chrono::milliseconds kProcPause{10};
constexpr char kPtyMaster[] = "/dev/ptmx";
// The module's side of a channel that is not read takes this much, so that
// a program's bytes soon back up into the daemon.
constexpr int kSmallReceiveBuffer = 16 * 1024;
// Seconds, for a test that waits for the daemon to give up.
constexpr char kShortClosingWait[] = "1";
// Seconds, far longer than any test waits.
constexpr char kNeverGivesUp[] = "3600";
// The least the system allows (it rounds up).
constexpr int kLeastReceiveBuffer = 1;
// A terminal that takes nothing for this long is taken to be full.
constexpr std::chrono::milliseconds kFullAfter{200};
// Longer than a few of the driver's send times (a second each): the daemon
// has then tried to send again and the module took nothing.
constexpr std::chrono::milliseconds kStuckAfter{3000};
// Enough to fill any buffers on the way.
constexpr std::size_t kMostToFill = 64 * 1024 * 1024;
constexpr unsigned kFillSeed = 11;

std::vector<std::string> NamesIn(const std::filesystem::path& directory)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool Linked(const std::filesystem::path& link)
{
    return std::filesystem::is_symlink(link);
}

std::string Lines(const std::vector<std::string>& texts)
{
    std::string all;
    for (const auto& text : texts)
        all += text + "\n";
    return all;
}

// Writes to the terminal until it takes nothing more for a while; returns
// what it took.
std::string FillUntilFull(Terminal& terminal, std::chrono::milliseconds fullAfter = kFullAfter)
{
    const std::string pattern = PatternBytes(kWriteChunk, kFillSeed);
    std::string taken;
    while (taken.size() < kMostToFill) {
        pollfd wait{terminal.Fd(), POLLOUT, 0};
        if (poll(&wait, 1, static_cast<int>(fullAfter.count())) != 1)
            break;
        const ssize_t written = write(terminal.Fd(), pattern.data(), pattern.size());
        if (written > 0)
            taken.append(pattern, 0, static_cast<std::size_t>(written));
    }
    return taken;
}

class PtyLifecycleTest : public PtyTest {
protected:
    // The module's channel is the test's own socket, which takes at most
    // receiveBuffer bytes at a time and is read only when the test reads it.
    void StartUnreadChannel(zel::test::ClosedPort& channel, int receiveBuffer)
    {
        channel.LimitReceiveBuffer(receiveBuffer);
        channel.Listen();
        StartModuleWithChannelAt(channel.Port());
    }

    // Accepts the port's connection on channel (into *data) and checks that
    // what the program writes arrives there.
    void ExpectReachesChannel(Terminal& program, zel::test::ClosedPort& channel,
                              const std::string& text, zel::UniqueFd* data)
    {
        *data = channel.Accept();
        ASSERT_TRUE(data->Valid()) << Daemon().Log();
        ASSERT_EQ(program.Write(text), 0);
        EXPECT_EQ(zel::test::ReceiveBytes(data->Get(), text.size()).Data, text);
    }

    static zel::test::ProgramOutcome Vcomctl(const std::string& command)
    {
        return zel::test::RunToExit(VCOMCTL_PATH, {command});
    }
};

TEST_F(PtyLifecycleTest, AHundredOpensAndClosesLeaveNoDescriptorOrTerminalBehind)
{
    StartModule({"echo"});
    // Once through first, so that whatever the first session sets up for
    // good is in the count.
    {
        Terminal warm = OpenRaw();
        ASSERT_TRUE(Echoes(warm, "warm"));
    }
    ASSERT_TRUE(SawClosed()) << Daemon().Log();
    const pid_t daemon = Daemon().Process().Pid();
    const std::size_t before = DescriptorTargets(daemon).size();
    const std::filesystem::path slave = std::filesystem::read_symlink(Link());

    for (int cycle = 0; cycle < kOpenCloseCycles; ++cycle) {
        Terminal opened(Link());
    }
    // A program after them is served: the daemon kept up with the opens.
    {
        Terminal last = OpenRaw();
        EXPECT_TRUE(Echoes(last, "still served")) << Daemon().Log();
    }
    // Its session was the last; once it has ended, the daemon holds what it
    // held before.
    EXPECT_TRUE(zel::test::Eventually([&] { return DescriptorTargets(daemon).size() == before; },
                                      zel::test::Deadline(), kProcPause))
        << before << " descriptors before, now:\n"
        << Lines(DescriptorTargets(daemon));
    const auto held = DescriptorTargets(daemon);
    EXPECT_EQ(std::count(held.begin(), held.end(), kPtyMaster), 1) << Lines(held);
    EXPECT_EQ(std::filesystem::read_symlink(Link()), slave);
    EXPECT_TRUE(std::filesystem::exists(slave));
    EXPECT_EQ(NamesIn(PtyDirectory()), std::vector<std::string>{Link().filename().string()});
}

// A program that opens the port while what the one before wrote is still
// going out gets a session of its own: what it writes goes out in it, and
// the module's answers come back to it, none of the last session's.
TEST_F(PtyLifecycleTest, AProgramOpeningWhileTheLastOnesBytesGoOutGetsItsOwnSession)
{
    // The first session's bytes stay stuck until the test reads them: the
    // daemon must not give up on the module meanwhile.
    ASSERT_TRUE(StopDaemon());
    StartDaemon({"--pty-closing-wait", kNeverGivesUp});
    zel::test::ClosedPort channel;
    StartUnreadChannel(channel, kSmallReceiveBuffer);

    Terminal first = OpenRaw();
    zel::UniqueFd firstSession = channel.Accept();
    ASSERT_TRUE(firstSession.Valid()) << Daemon().Log();
    // Not read by the module, the bytes back up into the daemon and the
    // terminal.
    const std::string firstBytes = FillUntilFull(first);
    first.Close();
    ASSERT_TRUE(
        Daemon().SawLog("COM" + std::to_string(kCom) + ": the last program closed the port"))
        << Daemon().Log();
    ASSERT_TRUE(zel::test::SendAll(firstSession.Get(), "meant for the first program"));

    Terminal second = OpenRaw();
    const std::string question = "question";
    // The question may find the terminal full until the first session's
    // bytes go: the module takes them while it is being written.
    auto asked = std::async(std::launch::async, [&] { return second.Write(question); });
    const zel::test::Received inFirst = zel::test::ReceiveToEnd(firstSession.Get());
    ASSERT_EQ(asked.get(), 0) << Daemon().Log();
    ASSERT_EQ(inFirst.End, zel::test::StreamEnd::Eof) << Daemon().Log();
    EXPECT_LE(inFirst.Data.size(), firstBytes.size())
        << "the second program's bytes went in the first session";
    zel::UniqueFd secondSession = channel.Accept();
    ASSERT_TRUE(secondSession.Valid()) << Daemon().Log();
    const std::string everything = firstBytes + question;
    const std::size_t rest = everything.size() - std::min(inFirst.Data.size(), everything.size());
    const zel::test::Received inSecond = zel::test::ReceiveBytes(secondSession.Get(), rest);
    // Nothing lost or doubled, in order.
    EXPECT_TRUE(inFirst.Data + inSecond.Data == everything)
        << inFirst.Data.size() << " + " << inSecond.Data.size() << " bytes came, "
        << everything.size() << " were written\n"
        << Daemon().Log();
    const std::string answer = "answer";
    ASSERT_TRUE(zel::test::SendAll(secondSession.Get(), answer));
    EXPECT_EQ(second.Read(answer.size()).Data, answer);
}

// What a program wrote before it left still goes out, but a module that
// takes none of it does not hold the port: the rest is dropped, with a
// warning, and the next program is served.
TEST_F(PtyLifecycleTest, AModuleThatTakesNothingAfterTheProgramLeftDoesNotHoldThePort)
{
    ASSERT_TRUE(StopDaemon());
    StartDaemon({"--pty-closing-wait", kShortClosingWait});
    zel::test::ClosedPort channel;
    StartUnreadChannel(channel, kLeastReceiveBuffer);
    {
        Terminal first = OpenRaw();
        zel::UniqueFd stalled = channel.Accept();
        ASSERT_TRUE(stalled.Valid()) << Daemon().Log();
        FillUntilFull(first, kStuckAfter);
        first.Close();
        EXPECT_TRUE(Daemon().SawLog("COM" + std::to_string(kCom) +
                                    ": the module took nothing for " + kShortClosingWait +
                                    " s after the program left"))
            << Daemon().Log();
        EXPECT_TRUE(SawClosed()) << Daemon().Log();
    }
    Terminal second = OpenRaw();
    zel::UniqueFd data;
    ExpectReachesChannel(second, channel, "served", &data);
}

TEST_F(PtyLifecycleTest, AnUnreachableModuleHangsUpTheProgramAndTheNextOpenTriesAgain)
{
    // Bound but not listening: the channel refuses the port's connection.
    zel::test::ClosedPort channel;
    StartModuleWithChannelAt(channel.Port());
    {
        Terminal refused(Link());
        EXPECT_TRUE(refused.HungUp()) << Daemon().Log();
        EXPECT_EQ(refused.Write("x"), EIO);
    }
    EXPECT_TRUE(Daemon().SawLog("COM" + std::to_string(kCom) + ": the port did not open"))
        << Daemon().Log();
    ASSERT_TRUE(SawLinked()) << Daemon().Log();

    channel.Listen();
    Terminal com = OpenRaw();
    zel::UniqueFd data;
    ExpectReachesChannel(com, channel, "reached", &data);
    ASSERT_TRUE(data.Valid());
    const std::string in = "and back";
    ASSERT_TRUE(zel::test::SendAll(data.Get(), in));
    EXPECT_EQ(com.Read(in.size()).Data, in);
}

TEST_F(PtyLifecycleTest, StopTakesTheLinksAwayAndStartBringsThemBack)
{
    StartModule({"echo", "echo"});
    const std::vector<unsigned> ports{kCom, kCom + 1};

    const auto stop = Vcomctl("stop");
    ASSERT_EQ(stop.Status, 0) << stop.Err;
    for (const unsigned com : ports) {
        EXPECT_TRUE(SawUnlinked(com)) << Daemon().Log();
        EXPECT_FALSE(Linked(Link(com)));
    }

    const auto start = Vcomctl("start");
    ASSERT_EQ(start.Status, 0) << start.Err;
    for (const unsigned com : ports) {
        ASSERT_TRUE(SawLinked(com)) << Daemon().Log();
        Terminal terminal = OpenRaw(Link(com));
        EXPECT_TRUE(Echoes(terminal, "back on COM" + std::to_string(com)));
    }
}

// A program that never stops writing keeps a worker busy with its port;
// stopping the daemon still takes the port away from it at once.
TEST_F(PtyLifecycleTest, SigtermHangsUpAProgramThatKeepsWriting)
{
    StartModule({"sink"});
    Terminal held = OpenRaw();
    const std::string chunk(kWriteChunk, 'w');
    ASSERT_EQ(held.Write(chunk), 0);
    std::atomic<int> error{0};
    std::thread writer([&] {
        const zel::test::Deadline deadline;
        int result = 0;
        while (!deadline.Passed() && (result = held.Write(chunk, deadline)) == 0) {
        }
        error = result;
    });
    const bool stopped = StopDaemon();
    writer.join();
    EXPECT_TRUE(stopped) << Daemon().Log();
    EXPECT_EQ(error, EIO);
    EXPECT_FALSE(Linked(Link()));
}

TEST_F(PtyLifecycleTest, SigtermHangsUpAProgramHoldingAPortAndRemovesTheLinks)
{
    StartModule({"echo"});
    Terminal held = OpenRaw();
    ASSERT_TRUE(Echoes(held, "open"));

    EXPECT_TRUE(StopDaemon()) << Daemon().Log();
    EXPECT_TRUE(held.HungUp());
    EXPECT_EQ(held.Write("x"), EIO);
    EXPECT_FALSE(Linked(Link()));
}

}  // namespace
}  // namespace zeltest
