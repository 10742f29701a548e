// Bytes through a COM link and an echo channel: in bulk both ways at once,
// across a connection the module drops, and none of a session that ended
// reaching the next program.
#include "pty_fixture.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace zeltest {
namespace {

TEST_F(PtyTest, AMebibyteEachWayAtOnceComesBackWholeAndInOrder)
{
    constexpr std::size_t kBulkBytes = 1 << 20;
    StartModule({"echo"});
    Terminal com(Link());
    const std::string sent = PatternBytes(kBulkBytes, 3);
    // Only a guard against a hang: a sanitizer build moves a mebibyte slowly.
    const zel::test::Deadline deadline(std::chrono::minutes(3));
    int writeError = -1;
    std::thread writer([&] { writeError = com.Write(sent, deadline); });
    const std::string back = com.Read(sent.size(), deadline).Data;
    writer.join();
    EXPECT_EQ(writeError, 0);
    EXPECT_EQ(back.size(), sent.size());
    EXPECT_TRUE(back == sent);
}

// The driver's reconnect, seen from a program: a write that meets the
// closed connection before the daemon has seen the close is lost with it;
// the one after reconnects. So probes (a, b, c, ...) go until one comes
// back, and all that comes back after the drop must be probes, each once
// and in order.
TEST_F(PtyTest, AfterTheModuleDropsTheConnectionNothingComesTwiceAndWritesFlowAgain)
{
    // The second block crosses the point where the channel closes.
    constexpr std::size_t kDropAfter = 1000, kFirstBlock = 600, kSecondBlock = 800;
    StartModule({"echo,close-after=" + std::to_string(kDropAfter)});
    Terminal com(Link());
    const std::string sent = PatternBytes(kFirstBlock + kSecondBlock, 4);
    ASSERT_EQ(EchoOf(com, sent.substr(0, kFirstBlock)), sent.substr(0, kFirstBlock));
    ASSERT_EQ(com.Write(sent.substr(kFirstBlock)), 0);
    const std::size_t taken = kDropAfter - kFirstBlock;
    ASSERT_EQ(com.Read(taken).Data, sent.substr(kFirstBlock, taken));
    ASSERT_TRUE(module_->Saw("DISCONNECTED channel=1 reason=close-after"));

    std::string after;
    for (char probe = 'a'; probe <= 'z' && (after.empty() || after.back() != probe - 1); ++probe) {
        ASSERT_EQ(com.Write(std::string(1, probe)), 0);
        // A late echo still counts: it is read with the next probe's.
        after += com.Read(1, zel::test::Deadline(std::chrono::seconds(1))).Data;
    }
    ASSERT_FALSE(after.empty()) << "no probe came back; " << Daemon().Log();
    EXPECT_TRUE(std::adjacent_find(after.begin(), after.end(), std::greater_equal<char>()) ==
                    after.end() &&
                after.front() >= 'a' && after.back() <= 'z')
        << after;
    ASSERT_TRUE(module_->Saw("CONNECTED channel=1"));
    ASSERT_TRUE(module_->Saw("CONNECTED channel=1")) << "no reconnect: " << module_->Output();
    EXPECT_EQ(module_->CountPrinted("CONNECTED channel=1"), 2) << module_->Output();
}

// A program that only reads hears the module again after the module dropped
// the data connection: the port connects again without a write.
TEST_F(PtyTest, AReadOnlyProgramHearsTheModuleAgainAfterADrop)
{
    StartModule({"echo"});
    Terminal com(Link());
    ASSERT_TRUE(module_->Saw("CONNECTED channel=1"));
    ASSERT_EQ(module_->Command("close 1").rfind("ok", 0), 0u);
    ASSERT_TRUE(module_->Saw("CONNECTED channel=1")) << module_->Output();
    ASSERT_EQ(module_->Command("send 1 again").rfind("ok", 0), 0u);
    EXPECT_EQ(com.Read(5).Data, "again");
    EXPECT_TRUE(Daemon().SawLog("COM7: the data connection is back")) << Daemon().Log();
}

// What a program writes while the module is away waits for it and reaches
// it, in order, once it is back.
TEST_F(PtyTest, BytesWrittenWhileTheModuleIsAwayReachItWhenItIsBack)
{
    zel::test::ClosedPort channel(true);
    channel.Listen();
    StartModule({}, channel.Port());
    Terminal com(Link());
    zel::UniqueFd first = channel.Accept();
    ASSERT_TRUE(first.Valid());
    // The log names the program that opened the port: this one.
    ASSERT_TRUE(Daemon().SawLog(", pid " + std::to_string(getpid()) + ") on /dev/pts/"))
        << Daemon().Log();
    channel.GoAway();
    zel::test::ResetConnection(first);
    ASSERT_EQ(com.Write("held "), 0);
    ASSERT_TRUE(Daemon().SawLog("COM7: the module is away")) << Daemon().Log();
    ASSERT_EQ(com.Write("in order"), 0);

    channel.Listen();
    const zel::UniqueFd back = channel.Accept();
    ASSERT_TRUE(back.Valid());
    EXPECT_EQ(zel::test::ReceiveBytes(back.Get(), 13).Data, "held in order") << Daemon().Log();
    EXPECT_TRUE(Daemon().SawLog("COM7: the module is back")) << Daemon().Log();
}

// A program gone as soon as it wrote, as a shell's "echo AT > COM7" (no
// setup), is served; then bytes a program left unread, and bytes the
// module sent while its session ended, reach no one.
TEST_F(PtyTest, NothingOfASessionThatEndedReachesTheNextProgram)
{
    StartModule({"echo"});
    const std::string command = "AT\r";
    ASSERT_EQ(Terminal(Link()).Write(command), 0);
    const std::string total = " total=" + std::to_string(command.size());
    EXPECT_TRUE(module_->SawMatching([&total](const std::string& line) {
        return line.rfind("RECEIVED channel=1 ", 0) == 0 &&
               line.rfind(total) == line.size() - total.size();
    })) << module_->Output();
    ASSERT_TRUE(SawClosed()) << Daemon().Log();
    {
        Terminal second(Link());
        ASSERT_EQ(EchoOf(second, "second"), "second") << Daemon().Log();
        ASSERT_EQ(module_->Command("send 1 stale"), "ok");
        // The bytes wait in the program's queue; it closes without reading.
        pollfd wait{second.Fd(), POLLIN, 0};
        ASSERT_EQ(poll(&wait, 1, zel::test::Deadline().PollMs()), 1);
    }
    // Whether the connection still takes these or not, no program may get them.
    module_->Command("send 1 late");
    ASSERT_TRUE(SawClosed()) << Daemon().Log();
    Terminal next(Link());
    EXPECT_EQ(EchoOf(next, "fresh"), "fresh") << Daemon().Log();
    EXPECT_EQ(EchoOf(next, "again"), "again") << Daemon().Log();
}

}  // namespace
}  // namespace zeltest
