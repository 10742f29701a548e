// A client that breaks the protocol loses its own connection, with a log
// line; the daemon and its other clients carry on.
#include "daemon_fixture.h"
#include "raw_client.h"

#include <zelvcom_ipc/wire.h>

namespace zeltest {
namespace {

std::vector<std::uint8_t> Header(std::uint32_t magic, std::uint16_t version, zelipc::Kind kind,
                                 std::uint32_t length)
{
    zelipc::ByteWriter out;
    out.U32(magic);
    out.U16(version);
    out.U16(static_cast<std::uint16_t>(kind));
    out.U32(length);
    out.U32(0);
    out.U64(2);
    return out.Take();
}

std::vector<std::uint8_t> Concat(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Case {
    const char* Name;
    std::vector<std::uint8_t> Bytes;
    const char* Logged;
};

std::vector<Case> Cases()
{
    using zelipc::Kind;
    const auto hello = HelloMessage();
    const std::vector<std::uint8_t> garbage(64, 0xEE);
    return {
        {"bad version", Header(zelipc::kMagic, zelipc::kVersion + 7, Kind::Hello, 4), "version"},
        {"oversized",
         Concat(hello, Header(zelipc::kMagic, zelipc::kVersion, Kind::Write, 0x7FFFFFFF)), "limit"},
        {"garbage", garbage, "bad magic"},
        {"truncated",
         Concat(hello,
                Concat(Header(zelipc::kMagic, zelipc::kVersion, Kind::Read, 4), {1, 2, 3, 4})),
         "truncated"},
        {"before hello", zelipc::EncodeRequest({5, zelipc::CloseRequest{1}}), "before Hello"},
        {"a reply", Concat(hello, zelipc::EncodeReply({6, true, 0, 0, {}})), "reply sent"},
    };
}

class MalformedMessageTest : public DaemonTest {};

TEST_F(MalformedMessageTest, EndsOnlyThatClientsConnection)
{
    const HANDLE control = OpenControl();
    ASSERT_NE(control, INVALID_HANDLE_VALUE);
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.Name);
        const auto bad = ConnectUnix(SocketPath());
        ASSERT_TRUE(bad.Valid());
        ASSERT_TRUE(SendBytes(bad.Get(), c.Bytes));
        // Whatever answer a leading Hello got, the connection then ends.
        const auto end = zel::test::ReceiveToEnd(bad.Get());
        EXPECT_EQ(end.End, zel::test::StreamEnd::Eof);
        EXPECT_TRUE(Daemon().SawLog("protocol error", c.Logged)) << Daemon().Log();
        // The well-behaved client still holds and uses its handle.
        EXPECT_EQ(ModuleCount(control), 0u);
    }
    CloseHandle(control);
}

TEST_F(MalformedMessageTest, AClientHoldingHandlesLosesThemWhenItMisbehaves)
{
    const auto bad = ConnectUnix(SocketPath());
    ASSERT_TRUE(SendBytes(bad.Get(), HelloMessage()));
    ASSERT_TRUE(ReceiveReply(bad.Get()));
    ASSERT_TRUE(SendBytes(bad.Get(),
                          zelipc::EncodeRequest({2, zelipc::OpenRequest{0, 0, kControlDevice}})));
    const auto opened = ReceiveReply(bad.Get());
    ASSERT_TRUE(opened);
    ASSERT_EQ(opened->Status, 0);
    EXPECT_EQ(OpenControl(), INVALID_HANDLE_VALUE);

    ASSERT_TRUE(SendBytes(bad.Get(), std::vector<std::uint8_t>(zelipc::kHeaderSize, 0xFF)));
    EXPECT_EQ(zel::test::ReceiveToEnd(bad.Get()).End, zel::test::StreamEnd::Eof);
    ASSERT_TRUE(Daemon().SawLog("closed 1 handle(s) left open")) << Daemon().Log();
    const HANDLE control = OpenControl();
    EXPECT_NE(control, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(control);
}

TEST_F(MalformedMessageTest, RequestsOnHandlesItDoesNotHoldAreAnsweredNotPunished)
{
    const auto client = ConnectUnix(SocketPath());
    ASSERT_TRUE(SendBytes(client.Get(), HelloMessage()));
    ASSERT_TRUE(ReceiveReply(client.Get()));
    constexpr std::uint64_t kNoSuchHandle = 99;
    ASSERT_TRUE(
        SendBytes(client.Get(), zelipc::EncodeRequest({3, zelipc::ReadRequest{kNoSuchHandle, 1}})));
    const auto reply = ReceiveReply(client.Get());
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->Id, 3u);
    EXPECT_EQ(static_cast<std::uint32_t>(reply->Status), 0xC0000008u);  // STATUS_INVALID_HANDLE
}

}  // namespace
}  // namespace zeltest
