// Bytes through a COM link and an echo channel: in bulk both ways at once,
// across a connection the module drops, through a module that fails, and
// none of a session that ended reaching the next program.
#include "pty_fixture.h"

#include <termios.h>

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

// A program that only reads hears the module again after the module dropped
// the data connection: the port connects again without a write.
TEST_F(PtyTest, AReadOnlyProgramHearsTheModuleAgainAfterADrop)
{
    StartModule({"echo"});
    Terminal com(Link());
    ASSERT_TRUE(module_->Saw("CONNECTED channel=1"));
    // The log names the program that opened the port: this one.
    ASSERT_TRUE(Daemon().SawLog(", pid " + std::to_string(getpid()) + ") on /dev/pts/"))
        << Daemon().Log();
    ASSERT_EQ(module_->Command("close 1").rfind("ok", 0), 0u);
    ASSERT_TRUE(module_->Saw("CONNECTED channel=1")) << module_->Output();
    ASSERT_EQ(module_->Command("send 1 again").rfind("ok", 0), 0u);
    EXPECT_EQ(com.Read(5).Data, "again");
    EXPECT_TRUE(Daemon().SawLog("COM7: the data connection is back")) << Daemon().Log();
}

class PtyFaultTest : public PtyTest, public ::testing::WithParamInterface<Fault> {};

// A pseudo-terminal cannot fail a write: the port holds what it cannot send
// until the module takes it. Once the program has left, the daemon holds
// what it held before.
TEST_P(PtyFaultTest, NothingWrittenIsDoubledOrLostAndThePortRecovers)
{
    const Fault fault = GetParam();
    FaultyChannel channel(fault);
    StartModule({}, channel.Port());
    const std::size_t descriptors = Descriptors();
    Terminal com(Link());
    const auto write = [&com](const std::string& piece) {
        return com.Write(piece) == 0 ? piece.size() : 0;
    };
    channel.Play(*module_, write, [&](const std::atomic<bool>&) {
        termios settings{};
        if (fault != Fault::SilentControl) {
            return Daemon().SawLog(fault == Fault::Away ? "COM7: the module is away"
                                                        : "COM7: the module took ");
        }
        return tcgetattr(com.Fd(), &settings) == 0 && cfsetspeed(&settings, B9600) == 0 &&
               tcsetattr(com.Fd(), TCSANOW, &settings) == 0 && module_->SawPrefix("FRAME 0219600");
    });
    ASSERT_TRUE(channel.Send("back"));
    EXPECT_EQ(com.Read(4).Data, "back");
    com.Close();
    ASSERT_TRUE(SawClosed()) << Daemon().Log();
    EXPECT_TRUE(DescriptorsBackTo(descriptors)) << descriptors << " before";
}
INSTANTIATE_TEST_SUITE_P(Faults, PtyFaultTest, kFaults, FaultName);

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
