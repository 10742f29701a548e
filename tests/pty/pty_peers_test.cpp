// Real programs on the COM links and as a module's channel: pyserial, as a
// Linux program uses a serial port, and ser2net serving one end of a socat
// pseudo-terminal pair, as a serial device server would. A test whose
// program is not installed skips.
#include "pty_fixture.h"

#include "support/eventually.h"

#include <fstream>

namespace zeltest {
namespace {

bool Runnable(const std::string& path)
{
    return access(path.c_str(), X_OK) == 0;
}

TEST_F(PtyTest, PyserialGetsItsEchoAndItsBaudRateReachesTheModule)
{
    if (!Runnable(SYSTEM_PYTHON_PATH) ||
        zel::test::RunToExit(SYSTEM_PYTHON_PATH, {"-c", "import serial"}).Status != 0) {
        GTEST_SKIP() << "pyserial for " << SYSTEM_PYTHON_PATH << " is not installed";
    }
    StartModule({"echo"});
    // 250000 has no B constant in termios: pyserial sets it through termios2.
    for (const std::uint32_t rate : {115200u, 250000u}) {
        // The timeout (seconds) is only a guard against a hang.
        const auto outcome = zel::test::RunToExit(
            SYSTEM_PYTHON_PATH,
            {SERIAL_EXCHANGE_SCRIPT, Link().string(), std::to_string(rate), "hello", "20"});
        EXPECT_EQ(outcome.Status, 0) << outcome.Out << outcome.Err << Daemon().Log();
        // The frame that sets the first channel's baud rate (the framing
        // and RTS frames may follow it on the same line).
        EXPECT_TRUE(module_->SawPrefix("FRAME 021" + std::to_string(rate))) << module_->Output();
    }
}

// A program on the other end of the socat pair is the device on the line.
TEST_F(PtyTest, BytesCrossBothWaysBetweenTheComPortAndADeviceBehindSer2net)
{
    if (!Runnable(SOCAT_PATH) || !Runnable(SER2NET_PATH)) {
        GTEST_SKIP() << "socat or ser2net is not installed";
    }
    const auto served = Dir().Path() / "served";
    const auto device = Dir().Path() / "device";
    const std::string end = "pty,raw,echo=0,link=";
    zel::test::ChildProcess socat(SOCAT_PATH,
                                  {"-d", "-d", end + served.string(), end + device.string()});
    ASSERT_TRUE(socat.Stderr().WaitFor([](const std::string& line) {
        return line.find("starting data transfer loop") != std::string::npos;
    })) << socat.Stderr().Text();

    const std::uint16_t port = zel::test::ClosedPort().Port();  // free again for ser2net
    const std::string config = Dir().File("ser2net.yaml");
    std::ofstream(config) << "connection: &channel\n"
                          << "  accepter: tcp,127.0.0.1," << port << "\n"
                          << "  enable: on\n"
                          << "  options: {kickolduser: true, chardelay: false, mdns: false}\n"
                          << "  connector: serialdev," << served.string() << ",115200n81,local\n";
    zel::test::ChildProcess ser2net(SER2NET_PATH,
                                    {"-n", "-u", "-c", config, "-P", Dir().File("ser2net.pid")});
    // ser2net says nothing when it listens: a connection tells. It opens
    // the device for the probe and closes it again when the probe goes.
    ASSERT_TRUE(zel::test::Eventually([&] { return zel::test::ConnectLoopback(port).Error == 0; },
                                      zel::test::Deadline(), std::chrono::milliseconds(20)))
        << ser2net.Stderr().Text();
    // zelmodsim only answers the control frames; ser2net is the channel.
    StartModule({}, port);

    Terminal com(Link());
    Terminal far(device);
    // This way first: it shows ser2net has the line open, so nothing the
    // device sends next can meet a line nobody serves.
    const std::string out = "to the device\r\n";
    ASSERT_EQ(com.Write(out), 0);
    EXPECT_EQ(far.Read(out.size()).Data, out) << Daemon().Log();
    // Every byte value several times over: nothing on the way may treat
    // any of them as special.
    const std::string in = PatternBytes(4096, 2);
    ASSERT_EQ(far.Write(in), 0);
    EXPECT_EQ(com.Read(in.size()).Data, in) << Daemon().Log();
}

}  // namespace
}  // namespace zeltest
