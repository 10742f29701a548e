// The wire protocol: what goes out comes back the same, however the bytes
// arrive, and what breaks the rules is refused with a reason before it can
// do harm.
#include <zelvcom_ipc/codec.h>
#include <zelvcom_ipc/frame_reader.h>
#include <zelvcom_ipc/wire.h>

#include <gtest/gtest.h>

namespace zelipc {
namespace {

// Decoded and encoded again, every message gives back its own bytes.
TEST(ProtocolTest, MessagesRoundTripWhenTheyArriveByteByByte)
{
    const std::vector<Request> requests = {
        {7, OpenRequest{0xC0000000, 0x40000080, "\\\\.\\ZelMain"}},
        {8, DeviceControlRequest{3, 0x11708024, 128, {1, 0, 0, 0}}},
        {9, WriteRequest{4, {'h', 'i'}}},
        {10, ReadRequest{5, kMaxData}},
        {11, CancelRequest{5, 77}},
        {12, CloseRequest{6}},
        {13, PortStatusRequest{2049}}};
    std::vector<std::vector<std::uint8_t>> encoded;
    for (const auto& request : requests) {
        encoded.push_back(EncodeRequest(request));
    }
    // A pending reply with a negative status.
    encoded.push_back(
        EncodeReply({42, false, static_cast<std::int32_t>(0xC0000120), 1234, {9, 8}}));
    std::vector<std::uint8_t> bytes;
    for (const auto& message : encoded) {
        bytes.insert(bytes.end(), message.begin(), message.end());
    }

    FrameReader reader;
    std::vector<Frame> frames;
    Frame frame;
    std::string error;
    for (std::uint8_t byte : bytes) {
        reader.Append(&byte, 1);
        while (reader.Next(&frame, &error) == FrameStatus::Ready) {
            frames.push_back(frame);
        }
    }
    EXPECT_EQ(reader.Buffered(), 0u) << error;
    ASSERT_EQ(frames.size(), encoded.size());
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const auto request = DecodeRequest(frames[i].Head, frames[i].Payload, &error);
        ASSERT_TRUE(request) << error;
        EXPECT_EQ(EncodeRequest(*request), encoded[i]) << i;
    }
    EXPECT_EQ(frames.back().Head.MessageKind, Kind::Pending);
    const auto reply = DecodeReply(frames.back().Head, frames.back().Payload, &error);
    ASSERT_TRUE(reply) << error;
    EXPECT_EQ(EncodeReply(*reply), encoded.back());
}

// A page takes the bytes the daemon counts to fill a reply; a longer text
// is cut, and what decodes is what was encoded.
TEST(ProtocolTest, PortStatusPagesTakeTheirCountedSizeAndDecodeAsSent)
{
    PortReport open{11,
                    PortOpener::Program,
                    4242,
                    PortLink::Reconnecting,
                    5,
                    6,
                    1,
                    2,
                    "picocom",
                    "/dev/pts/7",
                    std::string(kMaxReportText + 9, 'e')};
    PortReport closed;
    closed.ComNumber = 12;
    const PortStatusPage page{{0, 3}, {open, closed}};
    const auto data = EncodePortStatus(page);
    EXPECT_EQ(data.size(),
              EncodePortStatus({{0, 3}, {}}).size() + EncodedSize(open) + EncodedSize(closed));
    std::string error;
    const auto decoded = DecodePortStatus(data, &error);
    ASSERT_TRUE(decoded) << error;
    open.LastError.resize(kMaxReportText);
    EXPECT_EQ(EncodePortStatus(*decoded), EncodePortStatus({{0, 3}, {open, closed}}));
    EXPECT_FALSE(DecodePortStatus({data.begin(), data.end() - 1}, &error));
}

// What the daemon refuses on its connections (a bad magic, version or
// length, a truncated payload, a reply kind) is tested there; these are the
// rest.
TEST(ProtocolTest, BadKindsAndPayloadsAreRefusedWithAReason)
{
    ByteWriter unknownKind;
    unknownKind.U32(kMagic);
    unknownKind.U16(kVersion);
    unknownKind.U16(0x7777);
    unknownKind.U32(0);
    unknownKind.U32(0);
    unknownKind.U64(1);
    const auto bytes = unknownKind.Take();
    FrameReader reader;
    reader.Append(bytes.data(), bytes.size());
    Frame frame;
    std::string error;
    EXPECT_EQ(reader.Next(&frame, &error), FrameStatus::Invalid);
    EXPECT_NE(error.find("kind"), std::string::npos) << error;

    Header header;
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
}

}  // namespace
}  // namespace zelipc
