// End-to-end tests: a real zelvcomd per test, reached through zelwin32 from
// the test process (and from helper processes), with zelmodsim as a module.
#pragma once

#include "support/daemon_process.h"
#include "support/eventually.h"
#include "support/loopback.h"
#include "support/module_simulator.h"
#include "support/temp_dir.h"

#include <windows.h>
#include <zelvcom/control_ioctl.h>
#include <zelvcom/module_record.h>

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zeltest {

using zel::test::DaemonProcess;
using zel::test::ModuleSimulator;

constexpr const char kControlDevice[] = "\\\\.\\ZelMain";

using zel::test::Contains;

// What each of a process's descriptors refers to, as /proc shows it.
inline std::vector<std::string> DescriptorTargets(pid_t pid)
{
    std::vector<std::string> targets;
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        const auto target = std::filesystem::read_symlink(entry.path(), error);
        if (!error) {  // not one closed meanwhile
            targets.push_back(target.string());
        }
    }
    return targets;
}

// How a module's data channel fails a port: it resets the connection and the
// next two right after accepting them; stops reading, then closes its side
// (reading the rest once the port has connected again); goes away (connects
// refused); stops reading; or its control port stops answering (zelmodsim).
enum class Fault { ResetOnAccept, CloseMidTransfer, Away, HalfOpen, SilentControl };
inline std::string FaultName(const ::testing::TestParamInfo<Fault>& info)
{
    return std::vector<std::string>{"ResetOnAccept", "CloseMidTransfer", "Away", "HalfOpen",
                                    "SilentControl"}[static_cast<std::size_t>(info.param)];
}
const auto kFaults = ::testing::Values(Fault::ResetOnAccept, Fault::CloseMidTransfer, Fault::Away,
                                       Fault::HalfOpen, Fault::SilentControl);

// The far end of a port's data channel, played by the test: it accepts the
// port's connections and keeps what comes on each until the port ends it.
class FaultyChannel {
public:
    explicit FaultyChannel(Fault fault) : fault_(fault)
    {
        if (Stalls()) {
            port_.LimitReceiveBuffer(1);  // the system's least: the port stalls soon
        }
        port_.Listen();
    }
    std::uint16_t Port() const { return port_.Port(); }

    // A program writes a seeded stream through the port in pieces (write: the
    // bytes reported written) while the fault is played until shown(cut: a
    // write came short) says the port met it; then the module recovers. What
    // was reported written comes once and in order, all of it but what went
    // into connections reset as they came (no TCP client hears of that).
    template <typename Write, typename Shown>
    void Play(ModuleSimulator& module, const Write& write, const Shown& shown)
    {
        const std::string stream = zel::test::PatternBytes(8 << 20, 50 + static_cast<int>(fault_));
        std::string sent;
        std::size_t at = 0;
        std::atomic<bool> cut{false}, over{false}, done{false};
        const auto next = [&] {  // a failed piece is not sent again
            const std::size_t written = write(stream.substr(at, kPiece));
            sent.append(stream, at, written);
            at += kPiece;
            return written == kPiece;
        };
        ASSERT_TRUE(next());
        ASSERT_TRUE(Serve([&] { return Came(sent); }));
        if (fault_ == Fault::ResetOnAccept || fault_ == Fault::Away) {
            zel::test::ResetConnection(links_.back().Fd);
        }
        resetsLeft_ = fault_ == Fault::ResetOnAccept ? 2 : 0;
        faulty_ = true;
        if (fault_ == Fault::Away) {
            port_.GoAway();
        }
        EXPECT_TRUE(fault_ != Fault::SilentControl ||
                    module.Command("reply silent") == "ok reply silent");
        auto writer = std::async(std::launch::async, [&] {
            while (!over && at + 4 * kPiece <= stream.size()) {
                cut = !next() || cut;
            }
            // The first may still end short, on the connection the module closed.
            const bool whole = (next() || next()) && next();
            done = true;
            return whole;
        });
        const bool seen =
            fault_ == Fault::ResetOnAccept ? Serve([&] { return resetsLeft_ == 0; }) : shown(cut);
        Link& newest = links_.back();
        newest.Closed =
            fault_ == Fault::CloseMidTransfer && shutdown(newest.Fd.Get(), SHUT_WR) == 0;
        faulty_ = false;
        if (fault_ == Fault::Away) {
            port_.Listen();
        }
        EXPECT_EQ(module.Command("reply answer"), "ok reply answer");
        over = true;
        EXPECT_TRUE(Serve([&] { return done && Came(sent); })) << "the last piece never came";
        EXPECT_TRUE(seen && writer.get())
            << "the fault never showed, or the port never took a whole piece again";
        std::size_t from = 0, came = 0;
        for (const Link& link : links_) {
            const std::size_t first = sent.find(link.Bytes.substr(0, 16), from);
            ASSERT_TRUE(first != std::string::npos &&
                        sent.compare(first, link.Bytes.size(), link.Bytes) == 0)
                << "bytes doubled, out of order, or never sent after byte " << from;
            from = first + link.Bytes.size();
            came += link.Bytes.size();
        }
        EXPECT_TRUE(came == sent.size() || fault_ == Fault::ResetOnAccept)
            << came << " of " << sent.size();
    }
    // On the newest connection.
    bool Send(std::string_view bytes) { return zel::test::SendAll(links_.back().Fd.Get(), bytes); }

private:
    static constexpr std::size_t kPiece = 2000;  // less than a port write takes at once
    struct Link {
        zel::UniqueFd Fd;  // invalid once ended
        std::string Bytes;
        bool Closed;  // by the module
    };

    bool Stalls() const { return fault_ == Fault::HalfOpen || fault_ == Fault::CloseMidTransfer; }
    // The port ended all connections but the newest, which has the last piece.
    bool Came(const std::string& sent) const
    {
        const auto ended = [](const Link& link) { return !link.Fd.Valid(); };
        return !links_.empty() && std::all_of(links_.begin(), links_.end() - 1, ended) &&
               links_.back().Bytes.size() >= kPiece &&
               std::equal(sent.end() - kPiece, sent.end(), links_.back().Bytes.end() - kPiece);
    }
    // Serves the connections until condition holds, looking again at least
    // every 10 ms (it may depend on the writer too).
    template <typename Condition>
    bool Serve(Condition condition)
    {
        for (const zel::test::Deadline deadline; !condition();) {
            if (deadline.Passed()) {
                return false;
            }
            std::vector<pollfd> waits{
                {faulty_ && fault_ == Fault::Away ? -1 : port_.Fd(), POLLIN, 0}};
            for (const Link& link : links_) {  // a closed newest is read once the next came
                const bool read =
                    !(faulty_ && Stalls()) && !(link.Closed && &link == &links_.back());
                waits.push_back({read ? link.Fd.Get() : -1, POLLIN, 0});
            }
            poll(waits.data(), waits.size(), 10);
            for (std::size_t w = 1; w < waits.size(); ++w) {
                char block[64 * 1024];
                const ssize_t got =
                    waits[w].revents == 0 ? -1 : read(waits[w].fd, block, sizeof block);
                links_[w - 1].Bytes.append(block,
                                           static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
                if (waits[w].revents != 0 && (got == 0 || (got < 0 && errno != EAGAIN))) {
                    links_[w - 1].Fd.Reset();  // ended by the port
                }
            }
            // A connection reset as it comes is one that ended empty.
            if (waits[0].revents != 0) {
                links_.push_back({zel::UniqueFd(accept4(port_.Fd(), nullptr, nullptr,
                                                        SOCK_NONBLOCK | SOCK_CLOEXEC)),
                                  "", false});
                if (resetsLeft_ > 0 && links_.back().Fd.Valid()) {
                    --resetsLeft_;
                    zel::test::ResetConnection(links_.back().Fd);
                }
            }
        }
        return true;
    }

    const Fault fault_;
    zel::test::ClosedPort port_{true};
    std::vector<Link> links_;
    int resetsLeft_ = 0;
    bool faulty_ = false;
};

class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        zel::test::UseDaemonSocket(SocketPath());
        StartDaemon();
    }
    // Stops the daemon (if it still runs) and expects a clean exit.
    void TearDown() override { EXPECT_TRUE(StopDaemon()) << Daemon().Log(); }

    // moreArgs: options beyond the fixture's own.
    void StartDaemon(const std::vector<std::string>& moreArgs = {})
    {
        daemon_ =
            std::make_unique<DaemonProcess>(dir_.Path(), SocketPath(), PtyDirectory(), moreArgs);
        ASSERT_TRUE(daemon_->WaitReady()) << daemon_->Log();
    }
    // SIGTERM (unless it has ended); true when the daemon exited with status 0.
    bool StopDaemon() { return zel::test::ChildProcess::ExitedWith(daemon_->Stop(), EXIT_SUCCESS); }
    DaemonProcess& Daemon() { return *daemon_; }
    std::string SocketPath() const { return dir_.File("s"); }
    // Where the daemon links the COM ports to their pseudo-terminals.
    std::filesystem::path PtyDirectory() const { return dir_.Path() / "pty"; }
    const zel::test::TempDir& Dir() const { return dir_; }
    std::size_t Descriptors() { return DescriptorTargets(Daemon().Process().Pid()).size(); }
    // True once the daemon holds count descriptors.
    bool DescriptorsBackTo(std::size_t count)
    {
        return zel::test::Eventually([&] { return Descriptors() == count; }, zel::test::Deadline(),
                                     std::chrono::milliseconds(10));
    }

    // CreateFileA as the control library calls it.
    static HANDLE OpenControl()
    {
        return CreateFileA(kControlDevice, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    static HANDLE OpenPort(unsigned comNumber, DWORD flags = FILE_ATTRIBUTE_NORMAL)
    {
        const std::string name = "\\\\.\\COM" + std::to_string(comNumber);
        return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           flags, nullptr);
    }
    static BOOL Control(HANDLE handle, DWORD code, const void* input, DWORD inputLength,
                        void* output = nullptr, DWORD outputLength = 0)
    {
        DWORD returned = 0;
        return DeviceIoControl(handle, code, const_cast<void*>(input), inputLength, output,
                               outputLength, &returned, nullptr);
    }
    static std::uint32_t ModuleCount(HANDLE control)
    {
        std::uint32_t count = ~0u;
        EXPECT_TRUE(
            Control(control, IOCTL_VCOM_GET_DEV_MOD_COUNT, nullptr, 0, &count, sizeof count))
            << GetLastError();
        return count;
    }

    // A module at 127.0.0.1 with one channel per data port, COM numbers
    // firstCom, firstCom + 1, ...
    static ModuleRecord LoopbackModule(std::uint16_t controlPort,
                                       const std::vector<std::uint16_t>& dataPorts,
                                       unsigned firstCom)
    {
        ModuleRecord record{};
        record.ModuleIP = htonl(INADDR_LOOPBACK);
        record.ControlPort = controlPort;
        std::strncpy(record.ModuleName, "loopback", sizeof record.ModuleName - 1);
        for (std::size_t c = 0; c < dataPorts.size(); ++c) {
            record.SerialPort[c] = dataPorts[c];
            record.SerialNum[c] = firstCom + static_cast<unsigned>(c);
        }
        record.SerialCount = static_cast<std::uint32_t>(dataPorts.size());
        return record;
    }
    // Added and started through \\.\ZelMain.
    static void AddAndStart(const ModuleRecord& record)
    {
        const HANDLE control = OpenControl();
        ASSERT_NE(control, INVALID_HANDLE_VALUE) << GetLastError();
        EXPECT_TRUE(Control(control, IOCTL_VCOM_ADD_MODULE, &record, sizeof record))
            << GetLastError();
        EXPECT_TRUE(Control(control, IOCTL_VCOM_START_ALL_SERIAL, nullptr, 0)) << GetLastError();
        EXPECT_TRUE(CloseHandle(control));
    }

private:
    zel::test::TempDir dir_;
    std::unique_ptr<DaemonProcess> daemon_;
};

}  // namespace zeltest
