// ser2net as a module's channel: a COM port's far end is a real serial
// server, serving one end of a socat pseudo-terminal pair; a program on the
// other end of the pair is the device on the line.
#include "pty_fixture.h"
#include "real_peers.h"

#include <cstddef>
#include <string>
#include <vector>

namespace zeltest {
namespace {

// Every byte value several times over, so nothing on the way may treat any
// of them as special.
constexpr std::size_t kDeviceBytes = 4096;
constexpr unsigned kDeviceSeed = 2;

class PtySer2netTest : public PtyTest {
protected:
    void SetUp() override
    {
        const std::string missing = MissingSocatOrSer2net();
        if (!missing.empty())
            GTEST_SKIP() << missing;
        PtyTest::SetUp();
    }
};

TEST_F(PtySer2netTest, BytesCrossBothWaysBetweenTheComPortAndTheDevice)
{
    const auto served = Dir().Path() / "served";
    const auto device = Dir().Path() / "device";
    SocatPtyPair line(served, device);
    Ser2net server(Dir().Path(), served);
    // zelmodsim only answers the control frames; ser2net is the channel.
    StartModuleWithChannelAt(server.Port());

    Terminal com = OpenRaw();
    Terminal far = OpenRaw(device);
    // This way first: it shows ser2net has the line open, so nothing the
    // device sends next can meet a line nobody serves.
    const std::string out = "to the device\r\n";
    ASSERT_EQ(com.Write(out), 0);
    EXPECT_EQ(far.Read(out.size()).Data, out) << Daemon().Log();

    const std::string in = PatternBytes(kDeviceBytes, kDeviceSeed);
    ASSERT_EQ(far.Write(in), 0);
    EXPECT_EQ(com.Read(in.size()).Data, in) << Daemon().Log();
}

}  // namespace
}  // namespace zeltest
