// The wire protocol between zelvcomd and its clients (zelwin32) on the Unix
// stream socket.
//
// Every message is a 24-byte header followed by its payload, all integers
// little-endian:
//   u32 magic  u16 version  u16 kind  u32 payload length  u32 reserved (0)
//   u64 request id
// A client sends requests; the daemon answers each with one Complete
// message carrying the same request id, preceded by a Pending message when
// the driver pended the request (so an overlapped caller can return
// ERROR_IO_PENDING). Replies to different requests may come in any order.
//
// Payloads (after the header):
//   Hello          u32 client process id            -> Information = protocol version
//   Open           u32 access, u32 flags, name      -> Information = handle id
//   Read           u64 handle, u32 length           -> Data = bytes read
//   Write          u64 handle, data                 -> Information = bytes written
//   DeviceControl  u64 handle, u32 code, u32 output length, input
//                                                   -> Data = output bytes
//   Flush          u64 handle
//   Cancel         u64 handle, u64 request id (0 = every request on the handle)
//   Close          u64 handle
//   PortStatus     u32 first COM number         -> Data = a port status page (below),
//                                                  Information = the COM number to
//                                                  ask from next, 0 when none is left
//   Pending / Complete (daemon to client): i32 status, u32 reserved,
//                  u64 information, data
//
// A port status page: u32 count, then the indexes of the module devices
// that exist (only in the page asked for from COM number 0, else count 0);
// u32 count, then per port that exists, from the first COM number asked for
// up: u32 COM number, u32 opener (PortOpener), u32 opener's process id (0:
// unknown), u32 link (PortLink), u64 bytes to the module, u64 bytes from
// it, u32 drops, u32 reconnects, then three texts, each a u16 length and
// its bytes: the opener's program name, where it holds the port (a
// pseudo-terminal, a client's address), the last error in words.
//
// A request id belongs to its request until the final reply has come.
//
// A message that breaks these rules (bad magic or version, a length above
// the limits, a payload of the wrong shape, anything but Hello first, an id
// still in flight) ends the connection; it never gets an answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace zelipc {

constexpr std::uint32_t kMagic = 0x4D43565A;  // "ZVCM" as little-endian bytes
constexpr std::uint16_t kVersion = 1;
constexpr std::size_t kHeaderSize = 24;

// Bytes one read, write or device control may move in either direction.
constexpr std::uint32_t kMaxData = 64 * 1024;
// Room for the fixed fields in front of the data.
constexpr std::uint32_t kMaxFixedFields = 64;
constexpr std::uint32_t kMaxPayload = kMaxData + kMaxFixedFields;
// Longest device name a client may open ("\\.\COM256" needs far less).
constexpr std::size_t kMaxNameLength = 256;

enum class Kind : std::uint16_t {
    Hello = 1,
    Open = 2,
    Read = 3,
    Write = 4,
    DeviceControl = 5,
    Flush = 6,
    Cancel = 7,
    Close = 8,
    PortStatus = 9,
    Pending = 0x81,
    Complete = 0x82,
};

struct Header {
    std::uint16_t Version = kVersion;
    Kind MessageKind = Kind::Hello;
    std::uint32_t Length = 0;
    std::uint64_t RequestId = 0;
};

struct HelloRequest {
    std::uint32_t ProcessId = 0;
};
struct OpenRequest {
    std::uint32_t DesiredAccess = 0;
    std::uint32_t Flags = 0;
    std::string Name;
};
struct ReadRequest {
    std::uint64_t Handle = 0;
    std::uint32_t Length = 0;
};
struct WriteRequest {
    std::uint64_t Handle = 0;
    std::vector<std::uint8_t> Data;
};
struct DeviceControlRequest {
    std::uint64_t Handle = 0;
    std::uint32_t Code = 0;
    std::uint32_t OutputLength = 0;
    std::vector<std::uint8_t> Input;
};
struct FlushRequest {
    std::uint64_t Handle = 0;
};
struct CancelRequest {
    std::uint64_t Handle = 0;
    std::uint64_t Target = 0;  // a request id; 0 cancels every request on the handle
};
struct CloseRequest {
    std::uint64_t Handle = 0;
};
struct PortStatusRequest {
    std::uint32_t From = 0;
};

using RequestBody =
    std::variant<HelloRequest, OpenRequest, ReadRequest, WriteRequest, DeviceControlRequest,
                 FlushRequest, CancelRequest, CloseRequest, PortStatusRequest>;

struct Request {
    std::uint64_t Id = 0;
    RequestBody Body;
};

// What zelvcomd has seen of one port since it started, apart from the
// driver: who has it open, the bytes each way, the module's comings and
// goings.
enum class PortOpener : std::uint32_t {
    None = 0,
    Program = 1,  // a program on the port's pseudo-terminal
    Client = 2,   // a zelwin32 client process
    Rfc2217 = 3,  // an RFC 2217 client
};
enum class PortLink : std::uint32_t {
    Closed = 0,  // the port is not open: no connection
    Connected = 1,
    Reconnecting = 2,  // the module went away; the driver connects again
};
struct PortReport {
    std::uint32_t ComNumber = 0;
    PortOpener OpenedBy = PortOpener::None;
    std::uint32_t ProcessId = 0;
    PortLink Link = PortLink::Closed;
    std::uint64_t ToModule = 0;
    std::uint64_t FromModule = 0;
    std::uint32_t Drops = 0;
    std::uint32_t Reconnects = 0;
    std::string Program;
    std::string Where;
    std::string LastError;
};
// Longest text of a report; longer ones are cut.
constexpr std::size_t kMaxReportText = 255;
struct PortStatusPage {
    std::vector<std::uint32_t> ModuleDevices;
    std::vector<PortReport> Ports;
};

// Pending or Complete.
struct Reply {
    std::uint64_t Id = 0;
    bool Final = true;
    std::int32_t Status = 0;
    std::uint64_t Information = 0;
    std::vector<std::uint8_t> Data;
};

}  // namespace zelipc
