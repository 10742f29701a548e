// The wire protocol: what goes out comes back the same, and what breaks the
// rules is refused with a reason before it can do harm.
#include <zelvcom_ipc/codec.h>
#include <zelvcom_ipc/frame_reader.h>
#include <zelvcom_ipc/wire.h>

#include <gtest/gtest.h>

namespace zelipc {
namespace {

Frame Split(const std::vector<std::uint8_t>& bytes)
{
    FrameReader reader;
    reader.Append(bytes.data(), bytes.size());
    Frame frame;
    std::string error;
    EXPECT_EQ(reader.Next(&frame, &error), FrameStatus::Ready) << error;
    EXPECT_EQ(reader.Buffered(), 0u);
    return frame;
}

Request RoundTrip(const Request& request)
{
    const Frame frame = Split(EncodeRequest(request));
    std::string error;
    auto decoded = DecodeRequest(frame.Head, frame.Payload, &error);
    EXPECT_TRUE(decoded) << error;
    return decoded.value_or(Request{});
}

// A header with the given fields and a payload of payloadBytes zeros.
std::vector<std::uint8_t> RawMessage(std::uint32_t magic, std::uint16_t version, std::uint16_t kind,
                                     std::uint32_t length, std::size_t payloadBytes)
{
    ByteWriter out;
    out.U32(magic);
    out.U16(version);
    out.U16(kind);
    out.U32(length);
    out.U32(0);
    out.U64(1);
    out.Bytes(std::vector<std::uint8_t>(payloadBytes));
    return out.Take();
}

std::string HeaderError(const std::vector<std::uint8_t>& bytes)
{
    FrameReader reader;
    reader.Append(bytes.data(), bytes.size());
    Frame frame;
    std::string error;
    EXPECT_EQ(reader.Next(&frame, &error), FrameStatus::Invalid);
    return error;
}

TEST(ProtocolTest, RequestsRoundTrip)
{
    const Request open = RoundTrip({7, OpenRequest{0xC0000000, 0x40000080, "\\\\.\\ZelMain"}});
    EXPECT_EQ(open.Id, 7u);
    const auto& o = std::get<OpenRequest>(open.Body);
    EXPECT_EQ(o.DesiredAccess, 0xC0000000u);
    EXPECT_EQ(o.Flags, 0x40000080u);
    EXPECT_EQ(o.Name, "\\\\.\\ZelMain");

    const Request control = RoundTrip({8, DeviceControlRequest{3, 0x11708024, 128, {1, 0, 0, 0}}});
    const auto& c = std::get<DeviceControlRequest>(control.Body);
    EXPECT_EQ(c.Handle, 3u);
    EXPECT_EQ(c.Code, 0x11708024u);
    EXPECT_EQ(c.OutputLength, 128u);
    EXPECT_EQ(c.Input, (std::vector<std::uint8_t>{1, 0, 0, 0}));

    const Request write = RoundTrip({9, WriteRequest{4, {'h', 'i'}}});
    EXPECT_EQ(std::get<WriteRequest>(write.Body).Data, (std::vector<std::uint8_t>{'h', 'i'}));
    EXPECT_EQ(std::get<ReadRequest>(RoundTrip({1, ReadRequest{5, kMaxData}}).Body).Length,
              kMaxData);
    EXPECT_EQ(std::get<CancelRequest>(RoundTrip({1, CancelRequest{5, 77}}).Body).Target, 77u);
    EXPECT_EQ(std::get<CloseRequest>(RoundTrip({1, CloseRequest{6}}).Body).Handle, 6u);
}

TEST(ProtocolTest, RepliesRoundTripWithANegativeStatus)
{
    Reply reply;
    reply.Id = 42;
    reply.Final = false;
    reply.Status = static_cast<std::int32_t>(0xC0000120);
    reply.Information = 1234;
    reply.Data = {9, 8, 7};
    const Frame frame = Split(EncodeReply(reply));
    EXPECT_EQ(frame.Head.MessageKind, Kind::Pending);
    std::string error;
    const auto back = DecodeReply(frame.Head, frame.Payload, &error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(back->Id, 42u);
    EXPECT_FALSE(back->Final);
    EXPECT_EQ(back->Status, reply.Status);
    EXPECT_EQ(back->Information, 1234u);
    EXPECT_EQ(back->Data, reply.Data);
}

TEST(ProtocolTest, MessagesArrivingByteByByteComeOutWhole)
{
    auto bytes = EncodeRequest({1, HelloRequest{55}});
    const auto second = EncodeRequest({2, FlushRequest{3}});
    bytes.insert(bytes.end(), second.begin(), second.end());
    FrameReader reader;
    Frame frame;
    std::string error;
    std::vector<std::uint64_t> ids;
    for (std::uint8_t byte : bytes) {
        reader.Append(&byte, 1);
        while (reader.Next(&frame, &error) == FrameStatus::Ready) {
            ids.push_back(frame.Head.RequestId);
        }
    }
    EXPECT_EQ(ids, (std::vector<std::uint64_t>{1, 2}));
}

TEST(ProtocolTest, BadHeadersAreRefusedWithAReason)
{
    const auto hello = static_cast<std::uint16_t>(Kind::Hello);
    EXPECT_NE(HeaderError(RawMessage(0x12345678, kVersion, hello, 4, 4)).find("magic"),
              std::string::npos);
    EXPECT_NE(HeaderError(RawMessage(kMagic, kVersion + 1, hello, 4, 4)).find("version"),
              std::string::npos);
    EXPECT_NE(HeaderError(RawMessage(kMagic, kVersion, 0x7777, 4, 4)).find("kind"),
              std::string::npos);
}

TEST(ProtocolTest, AnOversizedLengthIsRefusedBeforeItsPayloadArrives)
{
    const auto bytes =
        RawMessage(kMagic, kVersion, static_cast<std::uint16_t>(Kind::Write), kMaxPayload + 1, 0);
    EXPECT_NE(HeaderError(bytes).find("limit"), std::string::npos);
}

TEST(ProtocolTest, PayloadsOfTheWrongShapeAreRefused)
{
    std::string error;
    Header header;
    header.MessageKind = Kind::Read;
    EXPECT_FALSE(DecodeRequest(header, {1, 2, 3}, &error));
    EXPECT_NE(error.find("truncated"), std::string::npos);

    header.MessageKind = Kind::Close;
    EXPECT_FALSE(DecodeRequest(header, std::vector<std::uint8_t>(9), &error));
    EXPECT_NE(error.find("trailing"), std::string::npos);

    ByteWriter read;
    read.U64(1);
    read.U32(kMaxData + 1);
    header.MessageKind = Kind::Read;
    EXPECT_FALSE(DecodeRequest(header, read.Take(), &error));

    header.MessageKind = Kind::Open;
    EXPECT_FALSE(
        DecodeRequest(header, std::vector<std::uint8_t>(8 + kMaxNameLength + 1, 'A'), &error));

    header.MessageKind = Kind::Complete;
    EXPECT_FALSE(DecodeRequest(header, {}, &error));
}

}  // namespace
}  // namespace zelipc
