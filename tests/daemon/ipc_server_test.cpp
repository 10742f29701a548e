// The daemon's IPC server: a client that breaks the protocol, or dies,
// loses its own connection and handles (its pending requests cancelled) and
// no one else's; a failed request carries its error back; no client, idle
// or flooding, keeps the others from being served.
#include "daemon_fixture.h"
#include "support/loopback.h"

#include <zelvcom_ipc/codec.h>

#include <chrono>
#include <iostream>

namespace zeltest {
namespace {

constexpr std::uint32_t kStatusInvalidHandle = 0xC0000008u;
constexpr std::int32_t kStatusCancelled = static_cast<std::int32_t>(0xC0000120u);
using Bytes = std::vector<std::uint8_t>;

bool SendBytes(int fd, const Bytes& bytes)
{
    return zel::test::SendAll(fd, std::string(bytes.begin(), bytes.end()));
}

// One reply; nothing when the connection ends first.
std::optional<zelipc::Reply> ReceiveReply(int fd)
{
    const std::string header = zel::test::ReceiveBytes(fd, zelipc::kHeaderSize).Data;
    std::string error;
    const auto head =
        header.size() < zelipc::kHeaderSize
            ? std::nullopt
            : zelipc::DecodeHeader(reinterpret_cast<const std::uint8_t*>(header.data()), &error);
    const std::string payload = head ? zel::test::ReceiveBytes(fd, head->Length).Data : "";
    if (!head || payload.size() < head->Length) {
        return std::nullopt;
    }
    return zelipc::DecodeReply(*head, Bytes(payload.begin(), payload.end()), &error);
}

TEST_F(DaemonTest, AClientThatBreaksTheProtocolLosesOnlyItsOwnConnectionAndHandles)
{
    // A client that speaks the wire protocol by hand, to send what zelwin32
    // never would.
    const auto bad = zel::test::ConnectUnix(SocketPath());
    ASSERT_TRUE(bad.Valid());
    ASSERT_TRUE(SendBytes(bad.Get(), zelipc::EncodeRequest({1, zelipc::HelloRequest{0}})));
    ASSERT_TRUE(ReceiveReply(bad.Get()));
    ASSERT_TRUE(SendBytes(bad.Get(),
                          zelipc::EncodeRequest({2, zelipc::OpenRequest{0, 0, kControlDevice}})));
    const auto opened = ReceiveReply(bad.Get());
    ASSERT_TRUE(opened && opened->Status == 0);
    EXPECT_EQ(OpenControl(), INVALID_HANDLE_VALUE);
    // A handle it does not hold is answered, not punished; a request id is
    // free again as soon as its answer has come.
    constexpr std::uint64_t kNoSuchHandle = 99;
    constexpr int kReuses = 100;
    for (int round = 0; round < kReuses; ++round) {
        ASSERT_TRUE(SendBytes(bad.Get(),
                              zelipc::EncodeRequest({3, zelipc::ReadRequest{kNoSuchHandle, 1}})));
        const auto reply = ReceiveReply(bad.Get());
        ASSERT_TRUE(reply) << "round " << round << Daemon().Log();
        EXPECT_EQ(reply->Id, 3u);
        EXPECT_EQ(static_cast<std::uint32_t>(reply->Status), kStatusInvalidHandle);
    }

    // A write whose payload is above the limit: refused on its header alone.
    Bytes oversized =
        zelipc::EncodeRequest({4, zelipc::WriteRequest{1, Bytes(zelipc::kMaxPayload)}});
    oversized.resize(zelipc::kHeaderSize);
    ASSERT_TRUE(SendBytes(bad.Get(), oversized));
    EXPECT_EQ(zel::test::ReceiveToEnd(bad.Get()).End, zel::test::StreamEnd::Eof);
    EXPECT_TRUE(Daemon().SawLog("above the limit")) << Daemon().Log();
    ASSERT_TRUE(Daemon().SawLog("closed 1 handle(s) left open")) << Daemon().Log();

    const HANDLE control = OpenControl();
    ASSERT_NE(control, INVALID_HANDLE_VALUE) << GetLastError();
    // Only DOS-device names open: the kernel's own devices are the drivers'.
    for (const char* name : {"\\Device\\Tcp", "\\Device\\ZelMinVirtCOM", "\\\\.\\ZelMain\\x"}) {
        EXPECT_EQ(CreateFileA(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
                  INVALID_HANDLE_VALUE)
            << name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND)) << name;
    }
    // A failed request carries its error back and leaves the output alone.
    std::uint32_t index = 0;
    ModuleRecord untouched;
    std::memset(&untouched, 0x5A, sizeof untouched);
    ModuleRecord listed = untouched;
    EXPECT_FALSE(Control(control, IOCTL_VCOM_GET_DEV_MOD_INFO, &index, sizeof index, &listed,
                         sizeof listed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(std::memcmp(&listed, &untouched, sizeof listed), 0);

    const std::pair<const char*, Bytes> cases[] = {
        {"before Hello", zelipc::EncodeRequest({5, zelipc::CloseRequest{1}})},
        {"reply sent", zelipc::EncodeReply({6, true, 0, 0, {}})},
    };
    for (const auto& [logged, bytes] : cases) {
        SCOPED_TRACE(logged);
        const auto next = zel::test::ConnectUnix(SocketPath());
        ASSERT_TRUE(SendBytes(next.Get(), bytes));
        EXPECT_EQ(zel::test::ReceiveToEnd(next.Get()).End, zel::test::StreamEnd::Eof);
        EXPECT_TRUE(Daemon().SawLog(logged)) << Daemon().Log();
        // The well-behaved client still holds and uses its handle.
        EXPECT_EQ(ModuleCount(control), 0u);
    }
    CloseHandle(control);
}

// As Windows does at process exit: a crashed configuration tool never
// leaves \\.\ZelMain locked, nor its port held by a wait that pends.
TEST_F(DaemonTest, AKilledClientsPendingWaitIsCancelledAndItsHandlesClosed)
{
    constexpr unsigned kCom = 31;
    ModuleSimulator module({"echo"});
    AddAndStart(LoopbackModule(module.ControlPort(), {module.ChannelPort(1)}, kCom));
    zel::test::ChildProcess probe(WIN32_PROBE_PATH,
                                  {kControlDevice, "\\\\.\\COM" + std::to_string(kCom)});
    ASSERT_TRUE(probe.Stdout().WaitFor([](const std::string& line) { return line == "READY"; }))
        << probe.Stdout().Text() << Daemon().Log();
    EXPECT_EQ(OpenControl(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    ASSERT_TRUE(probe.Signal(SIGKILL));
    const auto status = probe.WaitForExit();
    ASSERT_TRUE(status && WIFSIGNALED(*status));
    ASSERT_TRUE(Daemon().SawLog("closed 2 handle(s) left open")) << Daemon().Log();
    const HANDLE control = OpenControl();
    EXPECT_NE(control, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(control);
    // Reopening needs the close, which needs the wait to have ended: only
    // the cancel ends it.
    const HANDLE port = OpenPort(kCom);
    EXPECT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(port);
}

// A client floods a port with requests that each wait out the driver's
// reply time (its module has stopped answering control frames): the flood
// holds that port's turn and nothing else, so another client opens a port
// of another module and makes a round trip while most of the flood still
// waits. What
// waits can be cancelled, and its ids are in use until answered.
TEST_F(DaemonTest, AFloodOfBlockedRequestsHoldsUpNoOtherPort)
{
    constexpr unsigned kHealthyCom = 61;
    constexpr unsigned kStalledCom = 62;
    constexpr std::uint32_t kSetRts = 0x001B0030;  // IOCTL_SERIAL_SET_RTS
    constexpr std::uint64_t kFlood = 48;
    ModuleSimulator healthy({"echo"});
    ModuleSimulator stalled(ModuleSimulator::CommandLine{},
                            {"--address", "127.0.0.2", "--control", "0", "--channel", "0:echo"});
    ModuleRecord stalledRecord =
        LoopbackModule(stalled.ControlPort(), {stalled.ChannelPort(1)}, kStalledCom);
    stalledRecord.ModuleIP = htonl(INADDR_LOOPBACK + 1);
    const HANDLE control = OpenControl();
    ASSERT_NE(control, INVALID_HANDLE_VALUE) << GetLastError();
    const ModuleRecord healthyRecord =
        LoopbackModule(healthy.ControlPort(), {healthy.ChannelPort(1)}, kHealthyCom);
    EXPECT_TRUE(Control(control, IOCTL_VCOM_ADD_MODULE, &healthyRecord, sizeof healthyRecord));
    EXPECT_TRUE(Control(control, IOCTL_VCOM_ADD_MODULE, &stalledRecord, sizeof stalledRecord));
    EXPECT_TRUE(Control(control, IOCTL_VCOM_START_ALL_SERIAL, nullptr, 0)) << GetLastError();
    CloseHandle(control);
    const auto bystander = [this] {
        const auto start = std::chrono::steady_clock::now();
        const HANDLE port = OpenPort(kHealthyCom);
        EXPECT_NE(port, INVALID_HANDLE_VALUE) << GetLastError() << Daemon().Log();
        COMMTIMEOUTS timeouts{1000, 0, 1, 0, 0};  // a read waits for its bytes
        EXPECT_TRUE(SetCommTimeouts(port, &timeouts)) << GetLastError();
        DWORD done = 0;
        EXPECT_TRUE(WriteFile(port, "ping", 4, &done, nullptr)) << GetLastError();
        char echoed[4] = {};
        EXPECT_TRUE(ReadFile(port, echoed, sizeof echoed, &done, nullptr)) << GetLastError();
        EXPECT_EQ(std::string(echoed, done), "ping");
        EXPECT_TRUE(CloseHandle(port));
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
    };
    const auto unloaded = bystander();

    const auto flooder = zel::test::ConnectUnix(SocketPath());
    ASSERT_TRUE(SendBytes(flooder.Get(), zelipc::EncodeRequest({1, zelipc::HelloRequest{0}})));
    ASSERT_TRUE(ReceiveReply(flooder.Get()));
    const std::string stalledName = "\\\\.\\COM" + std::to_string(kStalledCom);
    ASSERT_TRUE(SendBytes(flooder.Get(),
                          zelipc::EncodeRequest({2, zelipc::OpenRequest{0, 0, stalledName}})));
    const auto opened = ReceiveReply(flooder.Get());
    ASSERT_TRUE(opened && opened->Status == 0) << Daemon().Log();
    ASSERT_EQ(stalled.Command("reply silent"), "ok reply silent");
    constexpr std::uint64_t kFirstFlooding = 3;
    const auto floodOf = [](std::uint64_t handle) {
        Bytes flood;
        for (std::uint64_t id = kFirstFlooding; id < kFirstFlooding + kFlood; ++id) {
            const auto bytes =
                zelipc::EncodeRequest({id, zelipc::DeviceControlRequest{handle, kSetRts, 0, {}}});
            flood.insert(flood.end(), bytes.begin(), bytes.end());
        }
        return flood;
    };
    // Then the handle's close, and a Hello, answered as it is read: the
    // whole flood has been taken in when its answer comes.
    constexpr std::uint64_t kClose = kFirstFlooding + kFlood;
    Bytes flood = floodOf(opened->Information);
    for (const auto& bytes :
         {zelipc::EncodeRequest({kClose, zelipc::CloseRequest{opened->Information}}),
          zelipc::EncodeRequest({1, zelipc::HelloRequest{0}})}) {
        flood.insert(flood.end(), bytes.begin(), bytes.end());
    }
    ASSERT_TRUE(SendBytes(flooder.Get(), flood));
    std::uint64_t answered = 0;
    for (auto reply = ReceiveReply(flooder.Get()); reply && reply->Id != 1;
         reply = ReceiveReply(flooder.Get())) {
        ++answered;
    }

    const auto loaded = bystander();
    pollfd arrived{flooder.Get(), POLLIN, 0};
    while (poll(&arrived, 1, 0) == 1 && ReceiveReply(flooder.Get())) {
        ++answered;
    }
    std::cout << "open, round trip and close: " << unloaded.count() << " ms alone, "
              << loaded.count() << " ms while a flood waited; " << answered << " of " << kFlood
              << " flooding requests answered meanwhile\n";
    EXPECT_LT(answered, kFlood / 2);

    // A cancel of every request on the handle: those still waiting end
    // without reaching the driver; the close is no request to cancel.
    ASSERT_TRUE(SendBytes(
        flooder.Get(), zelipc::EncodeRequest({1, zelipc::CancelRequest{opened->Information, 0}})));
    std::uint64_t cancelled = 0;
    for (std::uint64_t left = kFlood + 1 - answered + 1; left > 0; --left) {
        const auto reply = ReceiveReply(flooder.Get());
        ASSERT_TRUE(reply) << Daemon().Log();
        cancelled += reply->Status == kStatusCancelled ? 1 : 0;
    }
    EXPECT_GT(cancelled, 0u);
    ASSERT_TRUE(SendBytes(flooder.Get(),
                          zelipc::EncodeRequest({2, zelipc::OpenRequest{0, 0, stalledName}})));
    const auto reopened = ReceiveReply(flooder.Get());
    ASSERT_TRUE(reopened && reopened->Status == 0) << Daemon().Log();

    // An id still in flight cannot name a second request.
    ASSERT_TRUE(SendBytes(flooder.Get(), floodOf(reopened->Information)));
    const std::uint64_t lastFlooding = kFirstFlooding + kFlood - 1;
    ASSERT_TRUE(SendBytes(
        flooder.Get(),
        zelipc::EncodeRequest({lastFlooding, zelipc::FlushRequest{reopened->Information}})));
    EXPECT_EQ(zel::test::ReceiveToEnd(flooder.Get()).End, zel::test::StreamEnd::Eof);
    EXPECT_TRUE(
        Daemon().SawLog("request id " + std::to_string(lastFlooding) + " is already in flight"))
        << Daemon().Log();
}

// Handles are a process's to hold up to a limit, as open files are: one
// closed makes room again, and another process has a limit of its own.
TEST_F(DaemonTest, AClientHoldsHandlesUpToItsLimit)
{
    constexpr std::size_t kFarMoreThanAnyClientNeeds = 10'000;
    constexpr const char kModuleDevice[] = "\\\\.\\ZelSerial0";
    ModuleSimulator module({"echo"});
    AddAndStart(LoopbackModule(module.ControlPort(), {module.ChannelPort(1)}, 71));
    const auto open = [&] {
        return CreateFileA(kModuleDevice, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           0, nullptr);
    };
    std::vector<HANDLE> held;
    for (HANDLE handle = open(); handle != INVALID_HANDLE_VALUE; handle = open()) {
        held.push_back(handle);
        ASSERT_LT(held.size(), kFarMoreThanAnyClientNeeds);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TOO_MANY_OPEN_FILES));
    ASSERT_FALSE(held.empty()) << Daemon().Log();

    zel::test::ChildProcess probe(WIN32_PROBE_PATH, {kModuleDevice});
    EXPECT_TRUE(probe.Stdout().WaitFor([](const std::string& line) { return line == "READY"; }))
        << probe.Stdout().Text() << Daemon().Log();
    CloseHandle(held.back());
    held.back() = open();
    EXPECT_NE(held.back(), INVALID_HANDLE_VALUE) << GetLastError();
    for (const HANDLE handle : held) {
        CloseHandle(handle);
    }
}

// Connections that never say Hello take no client's place, and the hello
// timeout closes them; a client that said it stays, however quiet.
TEST_F(DaemonTest, ConnectionsThatNeverSayHelloLockNoClientOut)
{
    constexpr int kSilent = 300;  // more than the daemon has places for
    std::vector<zel::UniqueFd> silent;
    for (int n = 0; n < kSilent; ++n) {
        silent.push_back(zel::test::ConnectUnix(SocketPath()));
        ASSERT_TRUE(silent.back().Valid()) << n;
    }
    HANDLE control = OpenControl();
    ASSERT_NE(control, INVALID_HANDLE_VALUE) << GetLastError() << Daemon().Log();
    EXPECT_EQ(ModuleCount(control), 0u);
    CloseHandle(control);

    ASSERT_TRUE(StopDaemon()) << Daemon().Log();
    StartDaemon({"--hello-timeout", "1"});
    control = OpenControl();
    ASSERT_NE(control, INVALID_HANDLE_VALUE) << GetLastError() << Daemon().Log();
    const auto quiet = zel::test::ConnectUnix(SocketPath());
    EXPECT_EQ(zel::test::ReceiveToEnd(quiet.Get()).End, zel::test::StreamEnd::Eof);
    EXPECT_TRUE(Daemon().SawLog("said no Hello")) << Daemon().Log();
    // It came first, and is still served.
    EXPECT_EQ(ModuleCount(control), 0u);
    CloseHandle(control);
}

}  // namespace
}  // namespace zeltest
