// Each port as an RFC 2217 endpoint, end to end: pyserial's rfc2217 client
// (and a raw TCP client) against zelvcomd, with zelmodsim as the module.
#include "pty_fixture.h"

namespace zeltest {
namespace {

constexpr unsigned char kIac = 0xFF;

bool HasFrame(const std::string& line, const std::string& frame)
{
    return line.rfind("FRAME ", 0) == 0 && line.find(frame) != std::string::npos;
}

class Rfc2217Test : public PtyTest {
protected:
    void SetUp() override
    {
        zel::test::UseDaemonSocket(SocketPath());
        // COM kCom's endpoint gets a port that was free: the base counts back from it.
        port_ = zel::test::ClosedPort().Port();
        StartDaemon({"--rfc2217-base-port", std::to_string(port_ - kCom)});
        if (zel::test::RunToExit(SYSTEM_PYTHON_PATH, {"-c", "import serial"}).Status != 0) {
            GTEST_SKIP() << "pyserial for " << SYSTEM_PYTHON_PATH << " is not installed";
        }
    }

    // pyserial on COM kCom's endpoint, waiting for commands (see the script).
    std::unique_ptr<zel::test::ChildProcess> Client()
    {
        return std::make_unique<zel::test::ChildProcess>(
            SYSTEM_PYTHON_PATH,
            std::vector<std::string>{RFC2217_CLIENT_SCRIPT,
                                     "rfc2217://127.0.0.1:" + std::to_string(port_)});
    }
    // A command to the client, and its one line of answer.
    static std::string Say(zel::test::ChildProcess& client, const std::string& command)
    {
        if (!client.WriteLine(command))
            return "(the client has gone)";
        return client.Stdout()
            .WaitFor([](const std::string&) { return true; })
            .value_or("(no answer) " + client.Stderr().Text());
    }
    bool SawFrame(const std::string& frame)
    {
        return module_->SawMatching([&](const std::string& line) { return HasFrame(line, frame); });
    }

    std::uint16_t port_ = 0;
};

TEST_F(Rfc2217Test, FramingAndRtsReachTheModuleAndItsCtsReachesTheClient)
{
    StartModule({"echo"});
    const auto client = Client();
    ASSERT_EQ(Say(*client, "open 7 E 1"), "open") << Daemon().Log();
    EXPECT_TRUE(SawFrame("0317E1")) << module_->Output();
    ASSERT_EQ(Say(*client, "set 8 O 2"), "set") << Daemon().Log();
    EXPECT_TRUE(SawFrame("0318O2")) << module_->Output();

    ASSERT_EQ(Say(*client, "rts 0"), "rts");
    ASSERT_EQ(Say(*client, "rts 1"), "rts");
    // RTS off, and on again after it (the open raised it before).
    bool off = false;
    EXPECT_TRUE(module_->SawMatching([&off](const std::string& line) {
        if (!off) {
            off = HasFrame(line, "0510");
            return false;
        }
        return HasFrame(line, "0511");
    })) << module_->Output();

    // Only a notification of the change brings pyserial the new level, with
    // the change bit set.
    ASSERT_EQ(module_->Command("cts 1 1").rfind("ok", 0), 0u);
    EXPECT_EQ(Say(*client, "cts 1"), "cts 1 modemstate 0x11") << Daemon().Log();
    ASSERT_EQ(module_->Command("cts 1 0").rfind("ok", 0), 0u);
    EXPECT_EQ(Say(*client, "cts 0"), "cts 0 modemstate 0x1") << Daemon().Log();
}

// Every byte value, 0xFF (IAC) among them, goes both ways doubled on the
// wire and arrives single.
TEST_F(Rfc2217Test, APurgeIsAnsweredAndSixtyFourKibibytesComeBackByteForByte)
{
    StartModule({"echo"});
    const auto client = Client();
    ASSERT_EQ(Say(*client, "open 8 N 1"), "open") << Daemon().Log();
    EXPECT_EQ(Say(*client, "purge"), "purged") << Daemon().Log();
    constexpr unsigned kSeed = 13;
    std::cout << "echo of 65536 bytes, seed " << kSeed << std::endl;
    EXPECT_EQ(Say(*client, "echo 65536 " + std::to_string(kSeed)), "echo ok") << Daemon().Log();
}

TEST_F(Rfc2217Test, MalformedTelnetEndsOnlyThatClient)
{
    StartModule({"echo"});
    // A subnegotiation broken by IAC and a byte that is no command.
    auto broken = zel::test::ConnectLoopback(port_);
    ASSERT_EQ(broken.Error, 0);
    const std::string bad{char(kIac), char(0xFA), char(44), char(1), char(kIac), char(1)};
    ASSERT_TRUE(zel::test::SendAll(broken.Fd.Get(), bad));
    EXPECT_EQ(zel::test::ReceiveToEnd(broken.Fd.Get()).End, zel::test::StreamEnd::Eof);
    EXPECT_TRUE(Daemon().SawLog("disconnected: a subnegotiation broken")) << Daemon().Log();
    ASSERT_TRUE(Daemon().SawLog("gone; the port is closed")) << Daemon().Log();
    // Seeded garbage, one connection after another, takes nothing down.
    for (unsigned seed = 1; seed <= 16; ++seed) {
        auto garbage = zel::test::ConnectLoopback(port_);
        ASSERT_EQ(garbage.Error, 0);
        ASSERT_TRUE(zel::test::SendAll(garbage.Fd.Get(), PatternBytes(512, seed)));
        garbage.Fd.Reset();
        EXPECT_TRUE(Daemon().SawLog("gone; the port is closed")) << Daemon().Log();
    }
    const auto client = Client();
    ASSERT_EQ(Say(*client, "open 8 N 1"), "open") << Daemon().Log();
    EXPECT_EQ(Say(*client, "echo 300 1"), "echo ok") << Daemon().Log();
}

TEST_F(Rfc2217Test, ThePortIsEitherTheTerminalsOrTheClients)
{
    StartModule({"echo"});
    {
        Terminal com(Link());
        ASSERT_EQ(EchoOf(com, "held"), "held") << Daemon().Log();
        auto refused = zel::test::ConnectLoopback(port_);
        ASSERT_EQ(refused.Error, 0);
        EXPECT_EQ(zel::test::ReceiveToEnd(refused.Fd.Get()).End, zel::test::StreamEnd::Eof);
        EXPECT_TRUE(Daemon().SawLog("disconnected: the port did not open: COM7 is held by "))
            << Daemon().Log();
    }
    ASSERT_TRUE(SawClosed()) << Daemon().Log();
    const auto client = Client();
    ASSERT_EQ(Say(*client, "open 8 N 1"), "open") << Daemon().Log();
    Terminal late(Link());
    EXPECT_TRUE(late.HungUp()) << Daemon().Log();
    EXPECT_EQ(Say(*client, "echo 16 2"), "echo ok") << Daemon().Log();
}

TEST_F(Rfc2217Test, VcomctlListShowsEachPortsEndpoint)
{
    StartModule({"echo"});
    ASSERT_EQ(setenv("ZELVCOM_PTY_DIR", PtyDirectory().c_str(), 1), 0);
    const std::string endpoint = "127.0.0.1:" + std::to_string(port_);
    const auto table = zel::test::RunToExit(VCOMCTL_PATH, {"list"});
    EXPECT_TRUE(Contains(table.Out, "RFC 2217")) << table.Out << table.Err;
    EXPECT_TRUE(Contains(table.Out, endpoint + " ")) << table.Out;
    const auto json = zel::test::RunToExit(VCOMCTL_PATH, {"list", "--json"});
    EXPECT_TRUE(Contains(json.Out, "\"rfc2217\": \"" + endpoint + "\"}")) << json.Out << json.Err;
}

}  // namespace
}  // namespace zeltest
