// A serial port used through zelwin32 as a Windows program would: the comm
// API, reads and writes, overlapped requests that pend, cancel, and several
// threads with requests in flight on the one connection.
#include "daemon_fixture.h"
#include "module_simulator.h"

#include <zelvcom_ipc/protocol.h>

#include "support/deadline.h"

#include <future>
#include <string>
#include <thread>

namespace zeltest {
namespace {

constexpr unsigned kCom = 51;
// A generous bound that only stops a broken run from hanging.
constexpr DWORD kSafetyWaitMs = 20'000;
// The driver's reads wait (at most one second, from ReadIntervalTimeout)
// when ReadTotalTimeoutConstant is neither 0 nor MAXULONG.
constexpr DWORD kLongestReadWaitMs = 1000;
constexpr DWORD kWaitingReads = 1;
// Bytes one write carries; the driver cuts longer ones.
constexpr DWORD kLongestWrite = 2047;

class PortIoTest : public DaemonTest {
protected:
    void Connect(const std::string& mode, DWORD flags = FILE_ATTRIBUTE_NORMAL)
    {
        module_ = std::make_unique<ModuleSimulator>(std::vector<std::string>{mode});
        AddAndStart(LoopbackModule(module_->ControlPort(), {module_->ChannelPort(1)}, kCom));
        port_ = OpenPort(kCom, flags);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError() << Daemon().Log();
        ASSERT_TRUE(module_->Saw("CONNECTED channel=1"));
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = kLongestReadWaitMs;
        timeouts.ReadTotalTimeoutConstant = kWaitingReads;
        ASSERT_TRUE(SetCommTimeouts(port_, &timeouts)) << GetLastError();
    }
    void TearDown() override
    {
        if (port_ != INVALID_HANDLE_VALUE) {
            CloseHandle(port_);
        }
        DaemonTest::TearDown();
    }

    // Reads until count bytes have come (each read waits up to a second).
    std::string ReadExactly(DWORD count)
    {
        const zel::test::Deadline deadline;
        std::string text;
        while (text.size() < count && !deadline.Passed()) {
            std::string buffer(count - text.size(), '\0');
            DWORD got = 0;
            if (!ReadFile(port_, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
                ADD_FAILURE() << "ReadFile failed with " << GetLastError();
                break;
            }
            text.append(buffer, 0, got);
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
    void ModuleSends(const std::string& text)
    {
        ASSERT_EQ(module_->Command("send 1 " + text).rfind("ok", 0), 0u);
    }

    std::unique_ptr<ModuleSimulator> module_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_F(PortIoTest, WrittenBytesComeBackThroughTheEcho)
{
    Connect("echo");
    EXPECT_EQ(Write("hello"), 5u);
    EXPECT_EQ(ReadExactly(5), "hello");
}

TEST_F(PortIoTest, CommStateAndTimeoutsRoundTripThroughTheDriver)
{
    Connect("echo");
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port_, &dcb)) << GetLastError();
    dcb.BaudRate = CBR_19200;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    ASSERT_TRUE(SetCommState(port_, &dcb)) << GetLastError();

    DCB back{};
    ASSERT_TRUE(GetCommState(port_, &back)) << GetLastError();
    EXPECT_EQ(back.BaudRate, static_cast<DWORD>(CBR_19200));
    EXPECT_EQ(back.ByteSize, 7);
    EXPECT_EQ(back.Parity, EVENPARITY);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);

    COMMTIMEOUTS timeouts{10, 20, 30, 40, 50};
    ASSERT_TRUE(SetCommTimeouts(port_, &timeouts)) << GetLastError();
    COMMTIMEOUTS read{};
    ASSERT_TRUE(GetCommTimeouts(port_, &read));
    EXPECT_EQ(read.ReadIntervalTimeout, 10u);
    EXPECT_EQ(read.WriteTotalTimeoutConstant, 50u);
}

TEST_F(PortIoTest, StatusQueriesAnswer)
{
    Connect("echo");
    DWORD errors = ~0u;
    COMSTAT stat{};
    EXPECT_TRUE(ClearCommError(port_, &errors, &stat)) << GetLastError();
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 0u);
    DWORD modem = 0;
    EXPECT_TRUE(GetCommModemStatus(port_, &modem)) << GetLastError();
    DWORD mask = ~0u;
    EXPECT_TRUE(SetCommMask(port_, EV_CTS | EV_RXCHAR)) << GetLastError();
    EXPECT_TRUE(GetCommMask(port_, &mask)) << GetLastError();
    EXPECT_EQ(mask, static_cast<DWORD>(EV_CTS | EV_RXCHAR));
}

TEST_F(PortIoTest, PurgeClearsTheQueues)
{
    Connect("echo");
    EXPECT_TRUE(PurgeComm(port_, PURGE_RXCLEAR | PURGE_TXCLEAR)) << GetLastError();
}

TEST_F(PortIoTest, AnOverlappedWaitPendsUntilDataArrives)
{
    Connect("echo", FILE_FLAG_OVERLAPPED);
    const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    DWORD events = 0;
    StartWait(&overlapped, &events);
    DWORD transferred = 0;
    EXPECT_FALSE(GetOverlappedResult(port_, &overlapped, &transferred, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

    ModuleSends("x");
    EXPECT_EQ(WaitForSingleObject(event, kSafetyWaitMs), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(port_, &overlapped, &transferred, TRUE)) << GetLastError();
    EXPECT_EQ(transferred, sizeof(DWORD));
    EXPECT_EQ(events & EV_RXCHAR, static_cast<DWORD>(EV_RXCHAR));
    CloseHandle(event);
}

TEST_F(PortIoTest, CancelIoAbortsAPendingWait)
{
    Connect("echo", FILE_FLAG_OVERLAPPED);
    OVERLAPPED overlapped{};
    DWORD events = 0;
    StartWait(&overlapped, &events);
    ASSERT_TRUE(CancelIo(port_)) << GetLastError();
    DWORD transferred = 0;
    EXPECT_FALSE(GetOverlappedResult(port_, &overlapped, &transferred, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

TEST_F(PortIoTest, CancelIoExAbortsTheRequestItNames)
{
    Connect("echo", FILE_FLAG_OVERLAPPED);
    OVERLAPPED overlapped{};
    DWORD events = 0;
    StartWait(&overlapped, &events);
    ASSERT_TRUE(CancelIoEx(port_, &overlapped)) << GetLastError();
    DWORD transferred = 0;
    EXPECT_FALSE(GetOverlappedResult(port_, &overlapped, &transferred, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    // Once it has ended, there is nothing left to cancel.
    EXPECT_FALSE(CancelIoEx(port_, &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
}

// The later request is answered first: replies come out of order on the
// one connection the process shares.
TEST_F(PortIoTest, AControlRequestIsAnsweredWhileAWaitStillPends)
{
    Connect("echo", FILE_FLAG_OVERLAPPED);
    OVERLAPPED overlapped{};
    DWORD events = 0;
    StartWait(&overlapped, &events);

    const HANDLE control = OpenControl();
    EXPECT_EQ(ModuleCount(control), 1u);
    CloseHandle(control);
    DWORD transferred = 0;
    EXPECT_FALSE(GetOverlappedResult(port_, &overlapped, &transferred, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

    ModuleSends("abc");
    ASSERT_TRUE(GetOverlappedResult(port_, &overlapped, &transferred, TRUE)) << GetLastError();
    EXPECT_EQ(events & EV_RXCHAR, static_cast<DWORD>(EV_RXCHAR));
}

// Without OVERLAPPED a pending request keeps its caller blocked; other
// threads of the process go on meanwhile.
TEST_F(PortIoTest, AThreadBlockedInTheDriverLetsAnotherThreadWrite)
{
    Connect("echo");
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR)) << GetLastError();
    auto waiter = std::async(std::launch::async, [this] {
        DWORD events = 0;
        const BOOL done = WaitCommEvent(port_, &events, nullptr);
        return done ? events : 0;
    });
    // Data that came before the wait would not end it.
    ASSERT_TRUE(Daemon().SawLog("pending in the driver")) << Daemon().Log();
    EXPECT_EQ(Write("ping"), 4u);
    EXPECT_EQ(waiter.get() & EV_RXCHAR, static_cast<DWORD>(EV_RXCHAR));
    EXPECT_EQ(ReadExactly(4), "ping");
}

// Pieces of the message limit go out one by one; the driver takes the first
// 2047 bytes of a write, and the caller learns that count.
TEST_F(PortIoTest, AWriteAboveTheMessageLimitReportsWhatTheDriverTook)
{
    Connect("sink");
    const std::string big(zelipc::kMaxData * 2 + 123, 'z');
    EXPECT_EQ(Write(big), kLongestWrite);
}

}  // namespace
}  // namespace zeltest
