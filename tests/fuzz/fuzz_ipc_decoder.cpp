// The daemon's side of the client protocol: a byte stream cut into messages
// and each decoded as a request or a reply. A message the decoder takes must
// encode back to the very bytes it came as (nothing dropped or invented).
//
// Input: one byte, the size of the reads the stream arrives in (0 means all
// at once), then the stream.
#include "zelvcom_ipc/codec.h"
#include "zelvcom_ipc/frame_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

void ExpectSameBytes(const Bytes& encoded, const zelipc::Frame& frame, const std::uint8_t* start)
{
    if (encoded.size() != zelipc::kHeaderSize + frame.Payload.size() ||
        !std::equal(encoded.begin(), encoded.end(), start)) {
        std::abort();
    }
}

void Decode(const zelipc::Frame& frame, const std::uint8_t* start)
{
    std::string error;
    if (zelipc::IsRequestKind(frame.Head.MessageKind)) {
        if (auto request = zelipc::DecodeRequest(frame.Head, frame.Payload, &error)) {
            ExpectSameBytes(zelipc::EncodeRequest(*request), frame, start);
        }
    } else if (auto reply = zelipc::DecodeReply(frame.Head, frame.Payload, &error)) {
        ExpectSameBytes(zelipc::EncodeReply(*reply), frame, start);
        // Any reply's data, taken as a port status page, the same way.
        if (auto page = zelipc::DecodePortStatus(reply->Data, &error)) {
            if (zelipc::EncodePortStatus(*page) != reply->Data) {
                std::abort();
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::size_t step = data[0] == 0 ? size : data[0];
    const std::uint8_t* stream = data + 1;
    const std::size_t length = size - 1;

    zelipc::FrameReader reader;
    std::size_t appended = 0;
    std::size_t taken = 0;  // stream bytes returned as messages
    while (appended < length) {
        const std::size_t piece = std::min(step, length - appended);
        reader.Append(stream + appended, piece);
        appended += piece;
        zelipc::Frame frame;
        std::string error;
        zelipc::FrameStatus status;
        while ((status = reader.Next(&frame, &error)) == zelipc::FrameStatus::Ready) {
            Decode(frame, stream + taken);
            taken += zelipc::kHeaderSize + frame.Payload.size();
        }
        if (status == zelipc::FrameStatus::Invalid) {
            return 0;  // the connection ends here
        }
        if (reader.Buffered() != appended - taken) {
            std::abort();
        }
    }
    return 0;
}
