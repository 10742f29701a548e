// A serial port used through zelwin32 as a Windows program would: the comm
// API, reads and writes, overlapped requests that pend, cancel, and several
// threads with requests in flight on the one connection.
#include "daemon_fixture.h"

#include <zelvcom_ipc/protocol.h>

#include <future>
#include <string>

namespace zeltest {
namespace {

constexpr unsigned kCom = 51;

class PortIoTest : public DaemonTest {
protected:
    // The port, opened with flags, on an echo channel, or on dataPort (the
    // test's own) of a module without channels.
    void Connect(DWORD flags = FILE_ATTRIBUTE_NORMAL, std::uint16_t dataPort = 0)
    {
        module_ = std::make_unique<ModuleSimulator>(
            std::vector<std::string>(dataPort == 0 ? 1 : 0, "echo"));
        AddAndStart(LoopbackModule(module_->ControlPort(),
                                   {dataPort != 0 ? dataPort : module_->ChannelPort(1)}, kCom));
        // Its pseudo-terminal, held while the port exists, is in the count.
        ASSERT_TRUE(Daemon().SawLog(" -> /dev/pts/")) << Daemon().Log();
        descriptors_ = Descriptors();
        port_ = OpenPort(kCom, flags);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError() << Daemon().Log();
        ASSERT_TRUE(dataPort != 0 || module_->Saw("CONNECTED channel=1"));
        // A read waits (ReadIntervalTimeout, at most a second) when the
        // total constant is neither 0 nor MAXULONG.
        COMMTIMEOUTS timeouts{1000, 0, 1, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(port_, &timeouts)) << GetLastError();
    }
    void TearDown() override
    {
        if (port_ != INVALID_HANDLE_VALUE) {
            CloseHandle(port_);
        }
        DaemonTest::TearDown();
    }

    // Reads until count bytes have come; each read waits up to a second.
    std::string ReadExactly(std::size_t count)
    {
        std::string text(count, '\0');
        DWORD got = 0;
        for (std::size_t have = 0; have < count; have += got) {
            if (!ReadFile(port_, &text[have], static_cast<DWORD>(count - have), &got, nullptr) ||
                (got == 0 && deadline_.Passed())) {
                ADD_FAILURE() << "ReadFile: " << GetLastError() << ", " << have << " bytes came";
                return text.substr(0, have);
            }
        }
        return text;
    }
    DWORD Write(const std::string& text)
    {
        DWORD written = 0;
        EXPECT_TRUE(
            WriteFile(port_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
            << GetLastError();
        return written;
    }
    // An overlapped wait for a received character, pending in the driver.
    void StartWait(OVERLAPPED* overlapped, DWORD* events)
    {
        ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR)) << GetLastError();
        ASSERT_FALSE(WaitCommEvent(port_, events, overlapped));
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }

    std::unique_ptr<ModuleSimulator> module_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    std::size_t descriptors_ = 0;  // the daemon's, before the port was opened
    const zel::test::Deadline deadline_;
};

// The comm API's settings are the translation's and the driver's, tested
// there; here the data goes through the daemon and back.
TEST_F(PortIoTest, WritesAndReadsGoThroughTheDaemonAndBack)
{
    // A write above the message limit goes in pieces; the caller learns
    // how much of it the driver took, and exactly that comes back.
    Connect();
    std::string big(zelipc::kMaxData * 2 + 123, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>('a' + i % 26);
    }
    const DWORD taken = Write(big);
    ASSERT_GT(taken, 0u);
    ASSERT_LE(taken, big.size());
    EXPECT_EQ(ReadExactly(taken), big.substr(0, taken));

    // The module drops the connection: a program that only reads hears it
    // again, the port having connected by itself.
    ASSERT_EQ(module_->Command("close 1").rfind("ok", 0), 0u);
    ASSERT_TRUE(module_->Saw("CONNECTED channel=1")) << module_->Output();
    ASSERT_EQ(module_->Command("send 1 again").rfind("ok", 0), 0u);
    EXPECT_EQ(ReadExactly(5), "again");
}

TEST_F(PortIoTest, AnOverlappedWaitPendsUntilACancelOrDataEndsIt)
{
    Connect(FILE_FLAG_OVERLAPPED);
    OVERLAPPED overlapped{};
    DWORD events = 0;
    DWORD transferred = 0;
    StartWait(&overlapped, &events);
    ASSERT_TRUE(CancelIoEx(port_, &overlapped)) << GetLastError();
    EXPECT_FALSE(GetOverlappedResult(port_, &overlapped, &transferred, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    // Once it has ended, there is nothing left to cancel.
    EXPECT_FALSE(CancelIoEx(port_, &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    StartWait(&overlapped, &events);
    ASSERT_TRUE(CancelIo(port_)) << GetLastError();
    EXPECT_FALSE(GetOverlappedResult(port_, &overlapped, &transferred, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));

    // A later request is answered first: replies come out of order on the
    // one connection the process shares.
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    StartWait(&overlapped, &events);
    const HANDLE control = OpenControl();
    EXPECT_EQ(ModuleCount(control), 1u);
    CloseHandle(control);
    EXPECT_FALSE(GetOverlappedResult(port_, &overlapped, &transferred, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    ASSERT_EQ(module_->Command("send 1 x").rfind("ok", 0), 0u);
    EXPECT_EQ(WaitForSingleObject(overlapped.hEvent,
                                  static_cast<DWORD>(zel::test::kSafetyTimeout.count())),
              WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(port_, &overlapped, &transferred, TRUE)) << GetLastError();
    EXPECT_EQ(transferred, sizeof(DWORD));
    EXPECT_EQ(events & EV_RXCHAR, static_cast<DWORD>(EV_RXCHAR));
    CloseHandle(overlapped.hEvent);
}

// Without OVERLAPPED a pending request keeps its caller blocked; other
// threads of the process go on meanwhile.
TEST_F(PortIoTest, AThreadBlockedInTheDriverLetsAnotherThreadWrite)
{
    Connect();
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR)) << GetLastError();
    auto waiter = std::async(std::launch::async, [this] {
        DWORD events = 0;
        return WaitCommEvent(port_, &events, nullptr) ? events : 0;
    });
    // Data that came before the wait would not end it.
    ASSERT_TRUE(Daemon().SawLog("pending in the driver")) << Daemon().Log();
    EXPECT_EQ(Write("ping"), 4u);
    EXPECT_EQ(waiter.get() & EV_RXCHAR, static_cast<DWORD>(EV_RXCHAR));
}

class PortFaultTest : public PortIoTest, public ::testing::WithParamInterface<Fault> {};

// Every write ends, in success or failure (a failed or short one is seen);
// once the port is closed the daemon holds what it held before.
TEST_P(PortFaultTest, EveryWriteEndsNothingIsDoubledAndThePortRecovers)
{
    const Fault fault = GetParam();
    FaultyChannel channel(fault);
    Connect(FILE_ATTRIBUTE_NORMAL, channel.Port());
    const auto write = [this](const std::string& piece) -> std::size_t {
        DWORD written = 0;
        return WriteFile(port_, piece.data(), static_cast<DWORD>(piece.size()), &written, nullptr)
                   ? written
                   : 0;
    };
    channel.Play(*module_, write, [&](const std::atomic<bool>& cut) {
        DCB dcb{};
        if (fault != Fault::SilentControl) {
            return zel::test::Eventually([&] { return cut.load(); });
        }
        return GetCommState(port_, &dcb) && (dcb.BaudRate = CBR_9600, SetCommState(port_, &dcb));
    });
    ASSERT_TRUE(channel.Send("back"));
    EXPECT_EQ(ReadExactly(4), "back");
    ASSERT_TRUE(CloseHandle(std::exchange(port_, INVALID_HANDLE_VALUE)));
    EXPECT_TRUE(DescriptorsBackTo(descriptors_)) << descriptors_ << " before";
}
INSTANTIATE_TEST_SUITE_P(Faults, PortFaultTest, kFaults, FaultName);

}  // namespace
}  // namespace zeltest
