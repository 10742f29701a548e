// The COM links over their lives: many short opens, sessions and the wait
// for a leaving program's bytes, a module that cannot be reached, the ports
// stopped and started, and the daemon stopped while programs hold ports.
#include "pty_fixture.h"

#include "support/eventually.h"

#include <atomic>
#include <future>
#include <thread>

namespace zeltest {
namespace {

constexpr std::size_t kWriteChunk = 4096;

// Writes to the terminal until it takes nothing more for fullAfter; returns
// what it took.
std::string FillUntilFull(Terminal& terminal, std::chrono::milliseconds fullAfter)
{
    const std::string pattern = PatternBytes(kWriteChunk, 11);
    std::string taken;
    for (pollfd wait{terminal.Fd(), POLLOUT, 0};
         poll(&wait, 1, static_cast<int>(fullAfter.count())) == 1;) {
        const ssize_t written = write(terminal.Fd(), pattern.data(), pattern.size());
        taken.append(pattern, 0, static_cast<std::size_t>(std::max<ssize_t>(written, 0)));
    }
    return taken;
}

class PtyLifecycleTest : public PtyTest {
protected:
    // A daemon that waits closingWait seconds for a leaving program's bytes
    // to go out, whose port's channel is the test's own socket, not yet
    // listening: it takes at most receiveBuffer bytes at a time and is read
    // only when the test does.
    void StartUnreadChannel(const char* closingWait, int receiveBuffer)
    {
        ASSERT_TRUE(StopDaemon());
        StartDaemon({"--pty-closing-wait", closingWait});
        channel_.LimitReceiveBuffer(receiveBuffer);
        StartModule({}, channel_.Port());
    }
    // The port's next connection.
    zel::UniqueFd Session()
    {
        zel::UniqueFd session = channel_.Accept();
        EXPECT_TRUE(session.Valid()) << Daemon().Log();
        return session;
    }

    zel::test::ClosedPort channel_;
};

TEST_F(PtyLifecycleTest, AHundredOpensAndClosesLeaveNoDescriptorOrTerminalBehind)
{
    StartModule({"echo"});
    // Once through first, so that whatever the first session sets up for
    // good is in the count.
    ASSERT_EQ(EchoOf(Terminal(Link()), "warm"), "warm");
    ASSERT_TRUE(SawClosed()) << Daemon().Log();
    const std::size_t before = Descriptors();
    const std::filesystem::path slave = std::filesystem::read_symlink(Link());
    for (int cycle = 0; cycle < 100; ++cycle) {
        Terminal opened(Link());
    }
    // A program after them is served: the daemon kept up with the opens.
    EXPECT_EQ(EchoOf(Terminal(Link()), "still served"), "still served") << Daemon().Log();
    // Its session was the last; once it has ended, the daemon holds what it
    // held before.
    EXPECT_TRUE(DescriptorsBackTo(before))
        << before << " descriptors before, now " << Descriptors();
    const auto held = DescriptorTargets(Daemon().Process().Pid());
    EXPECT_EQ(std::count(held.begin(), held.end(), "/dev/ptmx"), 1);
    EXPECT_EQ(std::filesystem::read_symlink(Link()), slave);
    EXPECT_TRUE(std::filesystem::exists(slave));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(PtyDirectory()), {}), 1);
}

// A program that opens the port while what the one before wrote is still
// going out gets a session of its own: what it writes goes out in it, and
// the module's answers come back to it, none of the last session's.
TEST_F(PtyLifecycleTest, AProgramOpeningWhileTheLastOnesBytesGoOutGetsItsOwnSession)
{
    // Far longer than the test waits: the daemon must not give up meanwhile.
    StartUnreadChannel("3600", 16 * 1024);
    channel_.Listen();
    Terminal first(Link());
    const zel::UniqueFd firstSession = Session();
    // Not read by the module, the bytes back up into the daemon and the terminal.
    const std::string firstBytes = FillUntilFull(first, std::chrono::milliseconds(200));
    first.Close();
    ASSERT_TRUE(Daemon().SawLog("COM7: the last program closed the port")) << Daemon().Log();
    ASSERT_TRUE(zel::test::SendAll(firstSession.Get(), "meant for the first program"));

    Terminal second(Link());
    const std::string question = "question";
    // The question may find the terminal full until the first session's
    // bytes go: the module takes them while it is being written.
    auto asked = std::async(std::launch::async, [&] { return second.Write(question); });
    const zel::test::Received inFirst = zel::test::ReceiveToEnd(firstSession.Get());
    ASSERT_EQ(asked.get(), 0) << Daemon().Log();
    ASSERT_EQ(inFirst.End, zel::test::StreamEnd::Eof) << Daemon().Log();
    ASSERT_LE(inFirst.Data.size(), firstBytes.size()) << "the second program's bytes went first";
    const zel::UniqueFd secondSession = Session();
    const std::string everything = firstBytes + question;
    const zel::test::Received inSecond =
        zel::test::ReceiveBytes(secondSession.Get(), everything.size() - inFirst.Data.size());
    // Nothing lost or doubled, in order.
    EXPECT_TRUE(inFirst.Data + inSecond.Data == everything)
        << inFirst.Data.size() << " + " << inSecond.Data.size() << " bytes came, "
        << everything.size() << " were written\n"
        << Daemon().Log();
    ASSERT_TRUE(zel::test::SendAll(secondSession.Get(), "answer"));
    EXPECT_EQ(second.Read(6).Data, "answer");
}

// A module that refuses the port's connection hangs up the program, and
// the next open tries again. What a program wrote before it left still goes
// out, but a module that takes none of it does not hold the port: the rest
// is dropped, with a warning, and the next program is served.
TEST_F(PtyLifecycleTest, AModuleThatRefusesOrTakesNothingDoesNotHoldThePort)
{
    StartUnreadChannel("1", 1);  // the system's least receive buffer
    {
        Terminal refused(Link());
        EXPECT_TRUE(refused.HungUp()) << Daemon().Log();
        EXPECT_EQ(refused.Write("x"), EIO);
    }
    EXPECT_TRUE(Daemon().SawLog("COM7: the port did not open: the port could not connect"))
        << Daemon().Log();
    ASSERT_TRUE(SawLinked()) << Daemon().Log();

    // Room for every connection the stalled session makes again: with a
    // full backlog the kernel would let one complete only later.
    channel_.Listen(8);
    Terminal first(Link());
    const zel::UniqueFd stalled = Session();
    // Longer than a few of the driver's send times (a second each): the
    // daemon has then tried to send again and the module took nothing.
    FillUntilFull(first, std::chrono::seconds(3));
    first.Close();
    EXPECT_TRUE(Daemon().SawLog("COM7: the module took nothing for 1 s after the program left"))
        << Daemon().Log();
    EXPECT_TRUE(SawClosed()) << Daemon().Log();
    // A send cut off in the stall may have dropped the connection, and the
    // first session's next write made another: any connection made so far
    // is the first session's.
    while (channel_.Accept(zel::test::Deadline(std::chrono::milliseconds(0))).Valid()) {
    }
    Terminal second(Link());
    const zel::UniqueFd data = Session();
    ASSERT_EQ(second.Write("served"), 0);
    EXPECT_EQ(zel::test::ReceiveBytes(data.Get(), 6).Data, "served") << Daemon().Log();
    ASSERT_TRUE(zel::test::SendAll(data.Get(), "and back"));
    EXPECT_EQ(second.Read(8).Data, "and back");
}

// Stop takes the links away and start brings them back. A program that
// never stops writing keeps a worker busy with its port; stopping the
// daemon still takes every port away from its program at once.
TEST_F(PtyLifecycleTest, StopAndStartAndSigtermTakeTheLinksAwayAndBringThemBack)
{
    StartModule({"echo", "sink"});
    const auto stop = zel::test::RunToExit(VCOMCTL_PATH, {"stop"});
    ASSERT_EQ(stop.Status, 0) << stop.Err;
    for (const unsigned com : {kCom, kCom + 1}) {
        EXPECT_TRUE(
            Daemon().SawLog("COM" + std::to_string(com) + ": " + Link(com).string() + " removed"))
            << Daemon().Log();
        EXPECT_FALSE(std::filesystem::is_symlink(Link(com)));
    }
    const auto start = zel::test::RunToExit(VCOMCTL_PATH, {"start"});
    ASSERT_EQ(start.Status, 0) << start.Err;
    ASSERT_TRUE(SawLinked(kCom) && SawLinked(kCom + 1)) << Daemon().Log();

    Terminal idle(Link(kCom));
    ASSERT_EQ(EchoOf(idle, "back"), "back");
    Terminal busy(Link(kCom + 1));
    const std::string chunk(kWriteChunk, 'w');
    ASSERT_EQ(busy.Write(chunk), 0);
    std::atomic<int> error{0};
    std::thread writer([&] {
        const zel::test::Deadline deadline;
        int result = 0;
        while (!deadline.Passed() && (result = busy.Write(chunk, deadline)) == 0) {
        }
        error = result;
    });
    const bool stopped = StopDaemon();
    writer.join();
    EXPECT_TRUE(stopped) << Daemon().Log();
    EXPECT_EQ(error, EIO);
    EXPECT_TRUE(idle.HungUp());
    EXPECT_EQ(idle.Write("x"), EIO);
    for (const unsigned com : {kCom, kCom + 1}) {
        EXPECT_FALSE(std::filesystem::is_symlink(Link(com)));
    }
}

}  // namespace
}  // namespace zeltest
