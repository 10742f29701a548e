// pyserial, as a Linux program uses a serial port, on a COM link: the bytes
// come back through an echo channel, and the baud rate it sets (standard or
// not) reaches the module as its frame.
#include "pty_fixture.h"
#include "real_peers.h"

#include "support/process.h"

#include <cstdint>
#include <string>

namespace zeltest {
namespace {

// Seconds pyserial waits for the echo: only a guard against a hang.
constexpr char kReadTimeoutSeconds[] = "20";
constexpr std::uint32_t kStandardRate = 115200;
// No B constant of termios has it: pyserial sets it through termios2.
constexpr std::uint32_t kNonStandardRate = 250000;

class PtyPyserialTest : public PtyTest {
protected:
    void SetUp() override
    {
        const std::string missing = MissingPyserial();
        if (!missing.empty())
            GTEST_SKIP() << missing;
        PtyTest::SetUp();
    }

    zel::test::ProgramOutcome Exchange(std::uint32_t baudRate, const std::string& message)
    {
        return zel::test::RunToExit(
            SYSTEM_PYTHON_PATH, {SERIAL_EXCHANGE_SCRIPT, Link().string(), std::to_string(baudRate),
                                 message, kReadTimeoutSeconds});
    }
};

TEST_F(PtyPyserialTest, AnEchoComesBackAtAStandardRateThatReachesTheModule)
{
    StartModule({"echo"});
    const auto outcome = Exchange(kStandardRate, "hello from pyserial");
    EXPECT_EQ(outcome.Status, 0) << outcome.Out << outcome.Err << Daemon().Log();
    EXPECT_TRUE(SawBaudFrame(kStandardRate)) << Module().Output();
}

TEST_F(PtyPyserialTest, ANonStandardRateReachesTheModule)
{
    StartModule({"echo"});
    const auto outcome = Exchange(kNonStandardRate, "odd rate");
    EXPECT_EQ(outcome.Status, 0) << outcome.Out << outcome.Err << Daemon().Log();
    EXPECT_TRUE(SawBaudFrame(kNonStandardRate)) << Module().Output();
}

}  // namespace
}  // namespace zeltest
