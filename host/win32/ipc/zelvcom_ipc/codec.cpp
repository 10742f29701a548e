#include "codec.h"

#include "wire.h"

#include <algorithm>
#include <type_traits>

namespace zelipc {
namespace {

constexpr std::uint32_t kReserved = 0;

struct KindOf {
    Kind operator()(const HelloRequest&) const { return Kind::Hello; }
    Kind operator()(const OpenRequest&) const { return Kind::Open; }
    Kind operator()(const ReadRequest&) const { return Kind::Read; }
    Kind operator()(const WriteRequest&) const { return Kind::Write; }
    Kind operator()(const DeviceControlRequest&) const { return Kind::DeviceControl; }
    Kind operator()(const FlushRequest&) const { return Kind::Flush; }
    Kind operator()(const CancelRequest&) const { return Kind::Cancel; }
    Kind operator()(const CloseRequest&) const { return Kind::Close; }
    Kind operator()(const PortStatusRequest&) const { return Kind::PortStatus; }
};

struct PayloadWriter {
    ByteWriter& out;
    void operator()(const HelloRequest& r) const { out.U32(r.ProcessId); }
    void operator()(const OpenRequest& r) const
    {
        out.U32(r.DesiredAccess);
        out.U32(r.Flags);
        out.Text(r.Name);
    }
    void operator()(const ReadRequest& r) const
    {
        out.U64(r.Handle);
        out.U32(r.Length);
    }
    void operator()(const WriteRequest& r) const
    {
        out.U64(r.Handle);
        out.Bytes(r.Data);
    }
    void operator()(const DeviceControlRequest& r) const
    {
        out.U64(r.Handle);
        out.U32(r.Code);
        out.U32(r.OutputLength);
        out.Bytes(r.Input);
    }
    void operator()(const FlushRequest& r) const { out.U64(r.Handle); }
    void operator()(const CancelRequest& r) const
    {
        out.U64(r.Handle);
        out.U64(r.Target);
    }
    void operator()(const CloseRequest& r) const { out.U64(r.Handle); }
    void operator()(const PortStatusRequest& r) const { out.U32(r.From); }
};

// Header with a zero length, patched once the payload is known.
void WriteHeader(ByteWriter& out, Kind kind, std::uint64_t id)
{
    out.U32(kMagic);
    out.U16(kVersion);
    out.U16(static_cast<std::uint16_t>(kind));
    out.U32(0);
    out.U32(kReserved);
    out.U64(id);
}

std::vector<std::uint8_t> Finish(ByteWriter& out)
{
    constexpr std::size_t kLengthOffset = 8;
    const auto length = static_cast<std::uint32_t>(out.Size() - kHeaderSize);
    auto bytes = out.Take();
    for (std::size_t i = 0; i < sizeof length; ++i) {
        bytes[kLengthOffset + i] = static_cast<std::uint8_t>(length >> (8 * i));
    }
    return bytes;
}

bool KnownKind(std::uint16_t value)
{
    switch (static_cast<Kind>(value)) {
    case Kind::Hello:
    case Kind::Open:
    case Kind::Read:
    case Kind::Write:
    case Kind::DeviceControl:
    case Kind::Flush:
    case Kind::Cancel:
    case Kind::Close:
    case Kind::PortStatus:
    case Kind::Pending:
    case Kind::Complete:
        return true;
    }
    return false;
}

std::nullopt_t Fail(std::string* error, const std::string& reason)
{
    *error = reason;
    return std::nullopt;
}

// Fields are read inside braced lists, which are evaluated left to right:
// in wire order.
std::optional<RequestBody> DecodeBody(Kind kind, ByteReader& in, std::string* error)
{
    switch (kind) {
    case Kind::Hello:
        return HelloRequest{in.U32()};
    case Kind::Open: {
        OpenRequest r{in.U32(), in.U32(), {}};
        const auto name = in.Rest();
        if (name.size() > kMaxNameLength)
            return Fail(error, "device name too long");
        r.Name.assign(name.begin(), name.end());
        return r;
    }
    case Kind::Read: {
        ReadRequest r{in.U64(), in.U32()};
        if (r.Length > kMaxData)
            return Fail(error, "read length above the limit");
        return r;
    }
    case Kind::Write: {
        WriteRequest r{in.U64(), in.Rest()};
        if (r.Data.size() > kMaxData)
            return Fail(error, "write data above the limit");
        return r;
    }
    case Kind::DeviceControl: {
        DeviceControlRequest r{in.U64(), in.U32(), in.U32(), in.Rest()};
        if (r.OutputLength > kMaxData || r.Input.size() > kMaxData) {
            return Fail(error, "device control buffer above the limit");
        }
        return r;
    }
    case Kind::Flush:
        return FlushRequest{in.U64()};
    case Kind::Cancel:
        return CancelRequest{in.U64(), in.U64()};
    case Kind::Close:
        return CloseRequest{in.U64()};
    case Kind::PortStatus:
        return PortStatusRequest{in.U32()};
    default:
        return Fail(error, "not a request");
    }
}

// Port status pages: texts are a u16 length and the bytes.
constexpr std::size_t kReportFixedBytes = 6 * 4 + 2 * 8 + 3 * 2;

void PutText(ByteWriter& out, const std::string& text)
{
    const std::size_t length = std::min(text.size(), kMaxReportText);
    out.U16(static_cast<std::uint16_t>(length));
    out.Bytes(reinterpret_cast<const std::uint8_t*>(text.data()), length);
}

// Nothing longer than the encoder writes, so what decodes encodes back the
// same.
std::string TakeText(ByteReader& in, bool* tooLong)
{
    const std::uint16_t length = in.U16();
    *tooLong = *tooLong || length > kMaxReportText;
    return in.Text(length);
}

}  // namespace

std::size_t EncodedSize(const PortReport& report)
{
    return kReportFixedBytes + std::min(report.Program.size(), kMaxReportText) +
           std::min(report.Where.size(), kMaxReportText) +
           std::min(report.LastError.size(), kMaxReportText);
}

std::vector<std::uint8_t> EncodePortStatus(const PortStatusPage& page)
{
    ByteWriter out;
    out.U32(static_cast<std::uint32_t>(page.ModuleDevices.size()));
    for (const std::uint32_t index : page.ModuleDevices)
        out.U32(index);
    out.U32(static_cast<std::uint32_t>(page.Ports.size()));
    for (const PortReport& port : page.Ports) {
        out.U32(port.ComNumber);
        out.U32(static_cast<std::uint32_t>(port.OpenedBy));
        out.U32(port.ProcessId);
        out.U32(static_cast<std::uint32_t>(port.Link));
        out.U64(port.ToModule);
        out.U64(port.FromModule);
        out.U32(port.Drops);
        out.U32(port.Reconnects);
        PutText(out, port.Program);
        PutText(out, port.Where);
        PutText(out, port.LastError);
    }
    return out.Take();
}

std::optional<PortStatusPage> DecodePortStatus(const std::vector<std::uint8_t>& data,
                                               std::string* error)
{
    ByteReader in(data.data(), data.size());
    PortStatusPage page;
    // Each count is checked against what is left, so a count cannot make
    // the decoder reserve more than the data could hold.
    const std::uint32_t modules = in.U32();
    if (modules > in.Left() / sizeof(std::uint32_t))
        return Fail(error, "module count above the data");
    for (std::uint32_t i = 0; i < modules; ++i)
        page.ModuleDevices.push_back(in.U32());
    const std::uint32_t ports = in.U32();
    if (ports > in.Left() / kReportFixedBytes)
        return Fail(error, "port count above the data");
    for (std::uint32_t i = 0; i < ports && in.Ok(); ++i) {
        PortReport port;
        port.ComNumber = in.U32();
        port.OpenedBy = static_cast<PortOpener>(in.U32());
        port.ProcessId = in.U32();
        port.Link = static_cast<PortLink>(in.U32());
        port.ToModule = in.U64();
        port.FromModule = in.U64();
        port.Drops = in.U32();
        port.Reconnects = in.U32();
        bool tooLong = false;
        port.Program = TakeText(in, &tooLong);
        port.Where = TakeText(in, &tooLong);
        port.LastError = TakeText(in, &tooLong);
        if (port.OpenedBy > PortOpener::Rfc2217 || port.Link > PortLink::Reconnecting)
            return Fail(error, "unknown opener or link state");
        if (tooLong)
            return Fail(error, "a text above the limit");
        page.Ports.push_back(std::move(port));
    }
    if (!in.Ok())
        return Fail(error, "truncated port status");
    if (in.Left() != 0)
        return Fail(error, "trailing bytes after the port status");
    return page;
}

bool IsRequestKind(Kind kind)
{
    return kind != Kind::Pending && kind != Kind::Complete;
}

std::vector<std::uint8_t> EncodeRequest(const Request& request)
{
    ByteWriter out;
    WriteHeader(out, std::visit(KindOf{}, request.Body), request.Id);
    std::visit(PayloadWriter{out}, request.Body);
    return Finish(out);
}

std::vector<std::uint8_t> EncodeReply(const Reply& reply)
{
    ByteWriter out;
    WriteHeader(out, reply.Final ? Kind::Complete : Kind::Pending, reply.Id);
    out.U32(static_cast<std::uint32_t>(reply.Status));
    out.U32(kReserved);
    out.U64(reply.Information);
    out.Bytes(reply.Data);
    return Finish(out);
}

std::optional<Header> DecodeHeader(const std::uint8_t* bytes, std::string* error)
{
    ByteReader in(bytes, kHeaderSize);
    if (in.U32() != kMagic)
        return Fail(error, "bad magic");
    Header header;
    header.Version = in.U16();
    if (header.Version != kVersion) {
        return Fail(error, "unsupported protocol version " + std::to_string(header.Version));
    }
    const std::uint16_t kind = in.U16();
    if (!KnownKind(kind))
        return Fail(error, "unknown message kind " + std::to_string(kind));
    header.MessageKind = static_cast<Kind>(kind);
    header.Length = in.U32();
    if (header.Length > kMaxPayload) {
        return Fail(error,
                    "payload of " + std::to_string(header.Length) + " bytes above the limit");
    }
    if (in.U32() != kReserved)
        return Fail(error, "reserved header bits set");
    header.RequestId = in.U64();
    return header;
}

std::optional<Request> DecodeRequest(const Header& header, const std::vector<std::uint8_t>& payload,
                                     std::string* error)
{
    ByteReader in(payload.data(), payload.size());
    auto body = DecodeBody(header.MessageKind, in, error);
    if (!body)
        return std::nullopt;
    if (!in.Ok())
        return Fail(error, "truncated payload");
    if (in.Left() != 0)
        return Fail(error, "trailing bytes after the payload");
    return Request{header.RequestId, std::move(*body)};
}

std::optional<Reply> DecodeReply(const Header& header, const std::vector<std::uint8_t>& payload,
                                 std::string* error)
{
    if (IsRequestKind(header.MessageKind))
        return Fail(error, "not a reply");
    ByteReader in(payload.data(), payload.size());
    Reply reply;
    reply.Id = header.RequestId;
    reply.Final = header.MessageKind == Kind::Complete;
    reply.Status = static_cast<std::int32_t>(in.U32());
    const bool reservedClear = in.U32() == kReserved;
    reply.Information = in.U64();
    reply.Data = in.Rest();
    if (!in.Ok())
        return Fail(error, "truncated reply");
    if (!reservedClear)
        return Fail(error, "reserved reply bits set");
    if (reply.Data.size() > kMaxData)
        return Fail(error, "reply data above the limit");
    return reply;
}

}  // namespace zelipc
