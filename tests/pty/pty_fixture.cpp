#include "pty_fixture.h"

#include <random>
#include <system_error>

namespace zeltest {
namespace {

// The frame that sets the first channel's baud rate: lead '0', command '2',
// channel 1, then the rate in decimal.
constexpr char kFirstChannelBaudFrame[] = "021";
// Frames the driver sends back to back may be read as one; the frames that
// follow a baud rate frame are the framing ("03...") and RTS ("05...") ones.
constexpr const char* kFollowingFrames[] = {"03", "05"};
constexpr char kFrameLine[] = "FRAME ";

}  // namespace

void PtyTest::StartModule(const std::vector<std::string>& channelModes)
{
    module_ = std::make_unique<ModuleSimulator>(channelModes);
    std::vector<std::uint16_t> dataPorts;
    for (std::size_t c = 1; c <= channelModes.size(); ++c) {
        dataPorts.push_back(module_->ChannelPort(static_cast<int>(c)));
    }
    AddModule(module_->ControlPort(), dataPorts);
}

void PtyTest::AddModule(std::uint16_t controlPort, const std::vector<std::uint16_t>& dataPorts)
{
    AddAndStart(LoopbackModule(controlPort, dataPorts, kCom));
    for (unsigned c = 0; c < dataPorts.size(); ++c) {
        ASSERT_TRUE(SawLinked(kCom + c)) << Daemon().Log();
    }
}

void PtyTest::StartModuleWithChannelAt(std::uint16_t dataPort)
{
    module_ = std::make_unique<ModuleSimulator>(std::vector<std::string>{});
    AddModule(module_->ControlPort(), {dataPort});
}

std::filesystem::path PtyTest::Link(unsigned com) const
{
    return PtyDirectory() / ("COM" + std::to_string(com));
}

bool PtyTest::SawLinked(unsigned com)
{
    return Daemon().SawLog("COM" + std::to_string(com) + ": " + Link(com).string() +
                           " -> /dev/pts/");
}

bool PtyTest::SawUnlinked(unsigned com)
{
    return Daemon().SawLog("COM" + std::to_string(com) + ": " + Link(com).string() + " removed");
}

bool PtyTest::SawClosed(unsigned com)
{
    return Daemon().SawLog("COM" + std::to_string(com) + ": closed");
}

bool PtyTest::SawBaudFrame(std::uint32_t baudRate)
{
    const std::string frame = kFrameLine + (kFirstChannelBaudFrame + std::to_string(baudRate));
    return module_->SawMatching([&frame](const std::string& line) {
        if (line.compare(0, frame.size(), frame) != 0) {
            return false;
        }
        const std::string rest = line.substr(frame.size());
        if (rest.empty()) {
            return true;
        }
        for (const char* next : kFollowingFrames) {
            if (rest.rfind(next, 0) == 0) {
                return true;
            }
        }
        return false;
    });
}

Terminal PtyTest::OpenRaw(const std::filesystem::path& link)
{
    Terminal terminal(link);
    terminal.MakeRaw();
    return terminal;
}

::testing::AssertionResult PtyTest::Echoes(Terminal& terminal, const std::string& text)
{
    if (const int error = terminal.Write(text); error != 0) {
        return ::testing::AssertionFailure()
               << "write failed: " << std::generic_category().message(error);
    }
    const zel::test::Received back = terminal.Read(text.size());
    if (back.Data != text) {
        return ::testing::AssertionFailure()
               << "sent \"" << text << "\", got back \"" << back.Data << "\"";
    }
    return ::testing::AssertionSuccess();
}

std::string PatternBytes(std::size_t count, unsigned seed)
{
    constexpr unsigned kByteMask = 0xFF;
    std::mt19937 generator(seed);
    std::string bytes(count, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(generator() & kByteMask);
    }
    return bytes;
}

std::vector<std::string> DescriptorTargets(pid_t pid)
{
    std::vector<std::string> targets;
    std::error_code error;
    const std::filesystem::path fds = std::filesystem::path("/proc") / std::to_string(pid) / "fd";
    for (const auto& entry : std::filesystem::directory_iterator(fds, error)) {
        // A descriptor closed meanwhile is simply not counted.
        const std::filesystem::path target = std::filesystem::read_symlink(entry.path(), error);
        if (!error) {
            targets.push_back(target.string());
        }
    }
    return targets;
}

}  // namespace zeltest
