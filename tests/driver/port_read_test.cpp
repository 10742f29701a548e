// Bytes from the module reach reads: at once when enough are held, through
// a pending read's timer or a data arrival, and, with more than the receive
// buffer holds, whole and in order as reads make room.
#include "net_fixture.h"

#include "core/module_extension.h"
#include "port/port_extension.h"

#include "support/eventually.h"
#include "support/loopback.h"

#include <fstream>
#include <random>
#include <thread>

namespace zeltest {
namespace {

constexpr ULONG WAIT_FOR_DATA = 1;  // any ReadTotalTimeoutConstant but 0 and MAXULONG
constexpr ULONG SHORT_INTERVAL_MS = 50;
constexpr ULONG BEYOND_THE_CAP_MS = 5000;  // waits one second

class PortReadTest : public NetTest {
protected:
    // A module with one channel of the given mode, its port COM5 open.
    void OpenWithModule(const std::string& mode)
    {
        module_ = std::make_unique<ModuleSimulator>(std::vector<std::string>{mode});
        AddLoopbackModule(module_->ControlPort(), {module_->ChannelPort(1)});
        ASSERT_EQ(OpenPort(5, &com5_), STATUS_SUCCESS);
        ASSERT_TRUE(module_->Saw("CONNECTED channel=1"));
    }

    void ModuleSends(const std::string& text)
    {
        ASSERT_EQ(module_->Command("send 1 " + text).rfind("ok", 0), 0u) << text;
    }

    std::unique_ptr<ModuleSimulator> module_;
    host::File* com5_ = nullptr;
};

// Under the default timeouts a read takes what it asks for when that much
// is held, and otherwise answers at once with nothing.
TEST_F(PortReadTest, HeldBytesAreReadAtOnceAndAShortReadGetsNothing)
{
    OpenWithModule("echo");
    std::string hundred;
    for (int i = 0; i < 100; ++i) {
        hundred += static_cast<char>('A' + i % 26);
    }
    ModuleSends(hundred);
    ASSERT_TRUE(WaitHeld(5, 100));

    host::IoResult read = com5_->Read(50);
    EXPECT_EQ(OutcomeOf(read), Outcome(STATUS_SUCCESS, 50u));
    EXPECT_EQ(Text(read), hundred.substr(0, 50));
    EXPECT_EQ(Port(5)->RxCount, 50u);

    read = com5_->Read(60);
    EXPECT_EQ(OutcomeOf(read), Outcome(STATUS_SUCCESS, 0u));
    EXPECT_EQ(Port(5)->CommStatus.AmountInInQueue, 50u);
    Port(5)->CommStatus.AmountInOutQueue = 7;
    read = com5_->Read(0);
    EXPECT_EQ(OutcomeOf(read), Outcome(STATUS_SUCCESS, 0u));
    EXPECT_EQ(Port(5)->CommStatus.AmountInOutQueue, 7u) << "the transmit side is the writes'";

    EXPECT_EQ(Text(com5_->Read(50)), hundred.substr(50));
    EXPECT_EQ(Port(5)->RxCount, 0u);
}

// Waiting for data, a read short of it gets what is held from its timer:
// the interval as set, none, or one beyond the one-second cap.
TEST_F(PortReadTest, TheTimerDeliversWhatIsHeld)
{
    OpenWithModule("echo");
    for (ULONG interval : {SHORT_INTERVAL_MS, 0u, BEYOND_THE_CAP_MS}) {
        SetReadTimeouts(5, interval, WAIT_FOR_DATA);
        ModuleSends("abc");
        ASSERT_TRUE(WaitHeld(5, 3));
        host::IoResult read = com5_->Read(10);
        EXPECT_EQ(read.Status, STATUS_SUCCESS);
        EXPECT_EQ(Text(read), "abc") << interval;
        EXPECT_EQ(Port(5)->RxCount, 0u);
    }
}

TEST_F(PortReadTest, AnIntervalWhoseTicksPassThirtyTwoBitsStillWaitsOneSecond)
{
    constexpr ULONG TICKS_PASS_32_BITS_MS = 1u << 28;  // x 10,000 is 625 x 2^32
    OpenWithModule("echo");
    SetReadTimeouts(5, TICKS_PASS_32_BITS_MS, WAIT_FOR_DATA);

    auto pending = com5_->StartRead(10);
    ModuleSends("0123456789");
    const host::IoResult& read = pending->Wait();
    EXPECT_EQ(read.Status, STATUS_SUCCESS);
    EXPECT_EQ(Text(read), "0123456789") << "the read waited for the arrival";
}

TEST_F(PortReadTest, AnArrivalCompletesAReadThatAsksForAtLeastAllHeld)
{
    OpenWithModule("echo");
    SetReadTimeouts(5, BEYOND_THE_CAP_MS, WAIT_FOR_DATA);

    auto pending = com5_->StartRead(10);
    ASSERT_FALSE(pending->Done());
    // A second read while one waits is refused and leaves the first alone.
    EXPECT_EQ(OutcomeOf(com5_->Read(10)), Outcome(STATUS_INVALID_DEVICE_REQUEST, 0u));

    ModuleSends("0123456");
    const host::IoResult& read = pending->Wait();
    EXPECT_EQ(read.Status, STATUS_SUCCESS);
    // Normally the arrival itself completes the read with all 7 bytes; should
    // the timer come first, the rest follows in order.
    std::string delivered = Text(read);
    if (delivered.size() < 7) {
        ASSERT_TRUE(WaitHeld(5, static_cast<ULONG>(7 - delivered.size())));
        delivered += Text(com5_->Read(static_cast<ULONG>(7 - delivered.size())));
    }
    EXPECT_EQ(delivered, "0123456");
}

// A flood many times the receive buffer arrives whole and in order, as
// reads make room. No read waits for bytes that cannot fit: under the
// default timeouts a full buffer answers a read longer than it; a read as
// long as its capacity is answered by a full buffer or the next arrival,
// never a timer; with ReadIntervalTimeout MAXULONG every read returns at
// once with what is held.
TEST_F(PortReadTest, AFloodLargerThanTheBufferArrivesWholeAndInOrder)
{
    constexpr std::size_t FLOOD_BYTES = 64 * 1024;
    constexpr unsigned seed = 20261207;
    std::printf("seed %u\n", seed);
    std::mt19937 random(seed);
    std::string flood(FLOOD_BYTES, '\0');
    for (char& byte : flood) {
        byte = static_cast<char>(random());
    }
    const std::string path = (state_.Path() / "flood.bin").string();
    std::ofstream(path, std::ios::binary)
        .write(flood.data(), static_cast<std::streamsize>(flood.size()));
    OpenWithModule("source=" + path);
    PortExtension* port = Port(5);
    // Bytes wait unread in the connection once the buffer is full.
    ASSERT_TRUE(zel::test::Eventually(
        [&] { return __atomic_load_n(&port->DataConnection.UnreadCount, __ATOMIC_ACQUIRE) != 0; }));
    host::IoResult read = com5_->Read(2 * PORT_RX_BUFFER_SIZE);
    ASSERT_EQ(read.Status, STATUS_SUCCESS);
    ASSERT_NE(read.Information, 0u) << "a full buffer answers a read longer than it";
    std::string received = Text(read);

    constexpr ULONG CAPACITY = PORT_RX_BUFFER_SIZE - 1;
    SetReadTimeouts(5, BEYOND_THE_CAP_MS, WAIT_FOR_DATA);
    zel::test::Deadline deadline;
    while (received.size() < flood.size() / 2 && !deadline.Passed()) {
        read = com5_->Read(CAPACITY);
        ASSERT_EQ(read.Status, STATUS_SUCCESS);
        ASSERT_LE(port->RxCount, CAPACITY);
        received += Text(read);
    }
    SetReadTimeouts(5, MAXULONG, 0);
    while (received.size() < flood.size() && !deadline.Passed()) {
        read = com5_->Read(2 * PORT_RX_BUFFER_SIZE);
        ASSERT_EQ(read.Status, STATUS_SUCCESS);
        received += Text(read);
    }
    ASSERT_EQ(received.size(), flood.size());
    EXPECT_TRUE(received == flood) << "bytes lost, doubled or out of order";
    EXPECT_TRUE(module_->Saw("SENT channel=1 bytes=" + std::to_string(FLOOD_BYTES)));
}

// A short read left to its timer while an arrival filled the buffer and
// left bytes unread: the timer's delivery makes room, moves them in, and
// the receive cycle goes on, so later bytes still come.
TEST_F(PortReadTest, AReadEndedByItsTimerLetsHeldBackBytesInAndTheReceiveGoOn)
{
    OpenWithModule("sink");
    SetReadTimeouts(5, BEYOND_THE_CAP_MS, WAIT_FOR_DATA);
    constexpr ULONG SHORT_READ = 100;
    auto shortRead = com5_->StartRead(SHORT_READ);
    ASSERT_TRUE(zel::test::Eventually(
        [&] { return __atomic_load_n(&Port(5)->PendingRead, __ATOMIC_ACQUIRE) != nullptr; }));
    const std::string overflow(PORT_RX_BUFFER_SIZE + 50, 'o');
    ModuleSends(overflow);
    EXPECT_EQ(Text(shortRead->Wait()), overflow.substr(0, SHORT_READ));

    const ULONG rest = static_cast<ULONG>(overflow.size()) - SHORT_READ;
    ASSERT_TRUE(WaitHeld(5, rest));
    EXPECT_EQ(Text(com5_->Read(rest)), overflow.substr(SHORT_READ));
    ModuleSends("tail");
    ASSERT_TRUE(WaitHeld(5, 4)) << "no receive after the held-back bytes went in";
    EXPECT_EQ(Text(com5_->Read(4)), "tail");
}

// A read completed by data leaves its timer armed. When the timer's DPC is
// already running as the port is stopped, the stop waits for it before the
// port's memory goes (the host stops on memory freed under a running DPC).
TEST_F(PortReadTest, AStopWaitsForAReadTimeoutDpcThatIsRunning)
{
    OpenWithModule("echo");
    SetReadTimeouts(5, BEYOND_THE_CAP_MS, WAIT_FOR_DATA);
    auto pending = com5_->StartRead(3);
    ModuleSends("abc");
    ASSERT_EQ(Text(pending->Wait()), "abc");
    ClosePort(com5_);

    // The DPC, once its timer expires, waits here for the port's lock.
    PortExtension* port = Port(5);
    KIRQL irql;
    KeAcquireSpinLock(&port->PortLock, &irql);
    const bool expired = zel::test::Eventually([&] {
        return __atomic_load_n(&port->ReadTimer.Header.SignalState, __ATOMIC_ACQUIRE) != 0;
    });
    NTSTATUS stopped = STATUS_PENDING;
    std::thread stopping([&] { stopped = StopAll().Status; });
    // The stop is under way once the port's names are gone.
    const bool underWay = zel::test::Eventually([&] { return !LinkTarget("\\DosDevices\\COM5"); });
    KeReleaseSpinLock(&port->PortLock, irql);
    stopping.join();
    EXPECT_TRUE(expired);
    EXPECT_TRUE(underWay);
    EXPECT_EQ(stopped, STATUS_SUCCESS);
    EXPECT_FALSE(HasDevice("\\Device\\VSer5"));
}

// Bytes that waited unread in the connection and are moved in by a read are
// an arrival like any other: a wait-on-mask for arrivals hears of them, or a
// program waiting for data would never learn that they are there.
TEST_F(PortReadTest, BytesMovedInByAReadFinishAWaitForArrivals)
{
    // One byte more than the buffer holds: it waits unread, and nothing
    // arrives after it.
    constexpr std::size_t SOURCE_BYTES = PORT_RX_BUFFER_SIZE;
    const std::string path = (state_.Path() / "source.bin").string();
    std::ofstream(path, std::ios::binary) << std::string(SOURCE_BYTES, 'x');
    OpenWithModule("source=" + path);
    constexpr ULONG FULL = PORT_RX_BUFFER_SIZE - 1;
    ASSERT_TRUE(WaitHeld(5, FULL));
    zel::test::Deadline deadline;
    while (Port(5)->DataConnection.UnreadCount == 0 && !deadline.Passed()) {
        std::this_thread::yield();
    }
    ASSERT_EQ(Port(5)->DataConnection.UnreadCount, 1u);

    const ULONG arrivals = SERIAL_EV_RXFLAG;
    ASSERT_EQ(
        com5_->DeviceControl(IOCTL_SERIAL_SET_WAIT_MASK, &arrivals, sizeof arrivals, 0).Status,
        STATUS_SUCCESS);
    std::shared_ptr<host::PendingIo> wait =
        com5_->StartDeviceControl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    ASSERT_FALSE(wait->Done());

    host::IoResult read = com5_->Read(FULL);
    ASSERT_EQ(read.Information, FULL);
    ASSERT_EQ(Port(5)->RxCount, 1u) << "the unread byte was moved in";
    ASSERT_TRUE(wait->WaitFor(zel::test::kSafetyTimeout)) << "the wait did not hear of the bytes";
    const host::IoResult& woken = wait->Wait();
    EXPECT_EQ(woken.Status, STATUS_SUCCESS);
    ASSERT_EQ(woken.Data.size(), sizeof(ULONG));
}

// A port that only reads gets the module back after it dropped the data
// connection: the port connects again by itself, replays its line settings
// and receives, and the log says so.
TEST_F(PortReadTest, AfterTheModuleDropsTheDataConnectionThePortConnectsAgainByItself)
{
    OpenWithModule("echo");
    ModuleSends("before");
    ASSERT_TRUE(WaitHeld(5, 6));

    ASSERT_EQ(module_->Command("close 1").rfind("ok", 0), 0u);
    ASSERT_TRUE(module_->Saw("DISCONNECTED channel=1 reason=close"));
    ASSERT_TRUE(module_->Saw("CONNECTED channel=1"));
    // The frames may have been read as one.
    EXPECT_TRUE(module_->SawMatching([](const std::string& line) {
        return line.rfind("FRAME ", 0) == 0 && line.find("0318N1") != std::string::npos;
    })) << module_->Output();
    ModuleSends("after");
    ASSERT_TRUE(WaitHeld(5, 11));
    EXPECT_EQ(Text(com5_->Read(11)), "beforeafter");
    // The drop is told as a close or as a loss, depending on which the
    // transport saw first; the return is logged once the settings went.
    EXPECT_TRUE(DebugOutputHas("ZelVCOM: COM5: ") && DebugOutputHas("; connecting again"));
    EXPECT_TRUE(Eventually([&] { return DebugOutputHas("COM5: the data connection is back"); }));
}

// A module that stays away is tried again after a growing delay; a close
// ends the attempts, leaving nothing queued.
TEST_F(PortReadTest, AttemptsAtAnAbsentModuleWaitLongerEachTimeUntilTheClose)
{
    module_ = std::make_unique<ModuleSimulator>(std::vector<std::string>{"echo"});
    zel::test::ClosedPort channel;
    channel.Listen();
    AddLoopbackModule(module_->ControlPort(), {channel.Port()});
    ASSERT_EQ(OpenPort(5, &com5_), STATUS_SUCCESS);
    zel::UniqueFd far = channel.Accept();
    ASSERT_TRUE(far.Valid());
    channel.Close();
    zel::test::ResetConnection(far);

    PortExtension* port = Port(5);
    ASSERT_TRUE(Eventually([&] { return Observe(port->ReconnectDelayMs) != 0; }))
        << "connected " << Observe(port->DataConnection.Connected) << " queued "
        << int(Observe(port->ReconnectQueued)) << " inflight "
        << Observe(port->DataConnection.Receive.InFlight);
    const ULONG first = Observe(port->ReconnectDelayMs);
    ASSERT_TRUE(Eventually([&] { return Observe(port->ReconnectDelayMs) == 2 * first; }));
    EXPECT_FALSE(Port(5)->DataConnection.Connected);
    ClosePort(com5_);
    EXPECT_EQ(Observe(port->ReconnectQueued), FALSE);
}

}  // namespace
}  // namespace zeltest
