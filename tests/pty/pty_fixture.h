// End-to-end tests of the COM ports as pseudo-terminals: each test has its
// own zelvcomd, its own module (zelmodsim, or real peers) and programs that
// open the COM links the daemon publishes.
#pragma once

#include "daemon_fixture.h"

#include "support/loopback.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <system_error>

namespace zeltest {

// The COM number of a test's first port (every test has a daemon of its own).
constexpr unsigned kCom = 7;

// A program's end of a COM port. Non-blocking underneath, so that every
// wait has a deadline.
class Terminal {
public:
    // Opens path (following the link) as it is: the daemon sets its
    // pseudo-terminals raw before any program opens them. Throws
    // std::system_error when the open fails.
    explicit Terminal(const std::filesystem::path& path)
        : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
        if (!fd_.Valid()) {
            throw std::system_error(errno, std::generic_category(), "open " + path.string());
        }
    }
    int Fd() const { return fd_.Get(); }
    void Close() { fd_.Reset(); }

    // Writes all of bytes; 0 when they went, else the errno of the failed
    // write (ETIMEDOUT when the deadline passed first).
    int Write(std::string_view bytes,
              const zel::test::Deadline& deadline = zel::test::Deadline()) const
    {
        while (!bytes.empty()) {
            pollfd wait{Fd(), POLLOUT, 0};
            const int ready = poll(&wait, 1, deadline.PollMs());
            if (ready == 0) {
                return ETIMEDOUT;
            }
            // A hung-up terminal reports POLLHUP; the write tells how it fails.
            const ssize_t written = ready < 0 ? -1 : write(Fd(), bytes.data(), bytes.size());
            if (written < 0 && errno != EAGAIN && errno != EINTR) {
                return errno;
            }
            bytes.remove_prefix(static_cast<std::size_t>(std::max<ssize_t>(written, 0)));
        }
        return 0;
    }
    zel::test::Received Read(std::size_t count,
                             const zel::test::Deadline& deadline = zel::test::Deadline()) const
    {
        return zel::test::ReceiveBytes(Fd(), count, deadline);
    }
    // True once a read shows the hangup a program sees when the daemon
    // drops the port: end of file, or EIO.
    bool HungUp()
    {
        const zel::test::Received end = zel::test::ReceiveToEnd(Fd());
        return end.End == zel::test::StreamEnd::Eof ||
               (end.End == zel::test::StreamEnd::Error && end.Error == EIO);
    }

private:
    zel::UniqueFd fd_;
};

class PtyTest : public DaemonTest {
protected:
    // zelmodsim with these channels as the module of COM kCom, kCom + 1, ...;
    // or with no channel, and dataPort for the test's own. Returns once the
    // daemon has linked the ports.
    void StartModule(const std::vector<std::string>& channelModes, std::uint16_t dataPort = 0)
    {
        module_ = std::make_unique<ModuleSimulator>(channelModes);
        std::vector<std::uint16_t> dataPorts;
        for (std::size_t c = 1; c <= channelModes.size(); ++c) {
            dataPorts.push_back(module_->ChannelPort(static_cast<int>(c)));
        }
        const ModuleRecord record = LoopbackModule(
            module_->ControlPort(), dataPort != 0 ? std::vector{dataPort} : dataPorts, kCom);
        AddAndStart(record);
        for (unsigned c = 0; c < record.SerialCount; ++c) {
            ASSERT_TRUE(SawLinked(kCom + c)) << Daemon().Log();
        }
    }

    std::filesystem::path Link(unsigned com = kCom) const
    {
        return PtyDirectory() / ("COM" + std::to_string(com));
    }
    // The next log line (not yet waited for) saying the daemon linked the
    // port to a new pseudo-terminal, or closed it.
    bool SawLinked(unsigned com = kCom)
    {
        return Daemon().SawLog("COM" + std::to_string(com) + ": " + Link(com).string() +
                               " -> /dev/pts/");
    }
    bool SawClosed() { return Daemon().SawLog("COM" + std::to_string(kCom) + ": closed"); }

    // Writes text and reads what an echo channel sends back: text, when all is well.
    static std::string EchoOf(const Terminal& terminal, const std::string& text)
    {
        const int error = terminal.Write(text);
        return error != 0 ? std::generic_category().message(error)
                          : terminal.Read(text.size()).Data;
    }

    std::unique_ptr<ModuleSimulator> module_;
};

using zel::test::PatternBytes;

}  // namespace zeltest
