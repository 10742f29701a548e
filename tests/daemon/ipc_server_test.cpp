// The daemon's IPC server: a client that breaks the protocol, or dies,
// loses its own connection and handles (its pending requests cancelled) and
// no one else's; a failed request carries its error back.
#include "daemon_fixture.h"
#include "support/loopback.h"

#include <zelvcom_ipc/codec.h>

namespace zeltest {
namespace {

constexpr std::uint32_t kStatusInvalidHandle = 0xC0000008u;
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
    // A handle it does not hold is answered, not punished.
    constexpr std::uint64_t kNoSuchHandle = 99;
    ASSERT_TRUE(
        SendBytes(bad.Get(), zelipc::EncodeRequest({3, zelipc::ReadRequest{kNoSuchHandle, 1}})));
    const auto reply = ReceiveReply(bad.Get());
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->Id, 3u);
    EXPECT_EQ(static_cast<std::uint32_t>(reply->Status), kStatusInvalidHandle);

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

}  // namespace
}  // namespace zeltest
