#include "tcp_address.h"

#include "callback_check.h"
#include "verifier.h"
#include "verifier_rules.h"

#include <tdi.h>

#include <cstring>

namespace host {

NTSTATUS TcpAddress::SetHandler(LONG eventType, PVOID routine, PVOID context)
{
    if (eventType < 0 || static_cast<std::size_t>(eventType) >= kEventTypes) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    handlers_[static_cast<std::size_t>(eventType)] =
        routine != nullptr ? Handler{routine, context} : Handler{};
    return STATUS_SUCCESS;
}

TcpAddress::Handler TcpAddress::Get(LONG eventType) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return handlers_.at(static_cast<std::size_t>(eventType));
}

void TcpAddress::Close()
{
    std::lock_guard<std::mutex> lock(mutex_);
    handlers_.fill(Handler{});
    closed_ = true;
}

bool TcpAddress::Closed() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

}  // namespace host

namespace host::tdi {
namespace {

constexpr ULONG kCountBytes = FIELD_OFFSET(TRANSPORT_ADDRESS, Address);
constexpr ULONG kEntryHeaderBytes = FIELD_OFFSET(TA_ADDRESS, Address);

template <typename T>
T ReadAt(const UCHAR* bytes, ULONG offset)
{
    T value;
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
}

// The address and port stay in network byte order, as TDI carries them.
sockaddr_in FromTdi(const UCHAR* entry)
{
    const auto ip = ReadAt<TDI_ADDRESS_IP>(entry, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = ip.sin_port;
    address.sin_addr.s_addr = ip.in_addr;
    return address;
}

}  // namespace

std::optional<sockaddr_in> FirstIpAddress(const void* address, ULONG length)
{
    if (address == nullptr || length < kCountBytes) {
        return std::nullopt;
    }
    const auto* bytes = static_cast<const UCHAR*>(address);
    const LONG count = ReadAt<LONG>(bytes, 0);
    ULONG offset = kCountBytes;
    for (LONG i = 0; i < count; ++i) {
        if (length - offset < kEntryHeaderBytes) {
            return std::nullopt;
        }
        const auto entryLength =
            ReadAt<USHORT>(bytes, offset + FIELD_OFFSET(TA_ADDRESS, AddressLength));
        const auto entryType =
            ReadAt<USHORT>(bytes, offset + FIELD_OFFSET(TA_ADDRESS, AddressType));
        const ULONG data = offset + kEntryHeaderBytes;
        if (length - data < entryLength) {
            return std::nullopt;
        }
        if (entryType == TDI_ADDRESS_TYPE_IP && entryLength >= TDI_ADDRESS_LENGTH_IP) {
            return FromTdi(bytes + data);
        }
        offset = data + entryLength;
    }
    return std::nullopt;
}

}  // namespace host::tdi

namespace host {
namespace {

// A stream has no message boundaries: what is indicated is whole when it
// is all there is.
ULONG ReceiveFlags(ULONG indicated, ULONG available)
{
    return TDI_RECEIVE_NORMAL | (indicated == available ? TDI_RECEIVE_ENTIRE_MESSAGE : 0);
}

// What a handler leaves in BytesTaken when it does not write it.
constexpr ULONG kTakenUnset = 0xDEADBEEF;

// A handler answers with one of three statuses and always says how many
// bytes it took: STATUS_SUCCESS (some or all taken), STATUS_DATA_NOT_ACCEPTED
// (none taken) or STATUS_MORE_PROCESSING_REQUIRED (an IRP for the rest).
void RequireSensible(const ReceiveIndication& result, ULONG indicated)
{
    auto violation = [](const std::string& what) {
        verifier::BugCheck(rule::kVerifierViolation, "TDI receive event handler " + what);
    };
    if (result.Taken == kTakenUnset) {
        violation("returned without setting BytesTaken");
    }
    if (result.Taken > indicated) {
        violation("took " + std::to_string(result.Taken) + " of " + std::to_string(indicated) +
                  " indicated bytes");
    }
    switch (result.Status) {
    case STATUS_SUCCESS:
        break;
    case STATUS_DATA_NOT_ACCEPTED:
        if (result.Taken != 0 || result.Irp != nullptr) {
            violation("declined the data but took bytes or returned an IRP");
        }
        break;
    case STATUS_MORE_PROCESSING_REQUIRED:
        if (result.Irp == nullptr) {
            violation("returned STATUS_MORE_PROCESSING_REQUIRED without an IRP");
        }
        break;
    default:
        violation("returned status " + verifier::Hex(static_cast<ULONG>(result.Status)));
    }
    if (result.Irp != nullptr && result.Status != STATUS_MORE_PROCESSING_REQUIRED) {
        violation("returned an IRP without STATUS_MORE_PROCESSING_REQUIRED");
    }
}

}  // namespace

void IndicateDisconnect(const TcpAddress& address, CONNECTION_CONTEXT context, ULONG flags)
{
    const TcpAddress::Handler handler = address.Get(TDI_EVENT_DISCONNECT);
    if (handler.Routine == nullptr) {
        return;
    }
    const auto routine = reinterpret_cast<PTDI_IND_DISCONNECT>(handler.Routine);
    const thread_state::Snapshot before = thread_state::Take();
    routine(handler.Context, context, 0, nullptr, 0, nullptr, flags);
    verifier::RequireUnchanged(before, "TDI disconnect event handler");
}

ReceiveIndication IndicateReceive(const TcpAddress& address, CONNECTION_CONTEXT context,
                                  ULONG indicated, ULONG available, PVOID data)
{
    ReceiveIndication result;
    result.Taken = kTakenUnset;
    const TcpAddress::Handler handler = address.Get(TDI_EVENT_RECEIVE);
    if (handler.Routine == nullptr) {
        result.Taken = 0;
        return result;
    }
    const auto routine = reinterpret_cast<PTDI_IND_RECEIVE>(handler.Routine);
    const thread_state::Snapshot before = thread_state::Take();
    result.Status = routine(handler.Context, context, ReceiveFlags(indicated, available), indicated,
                            available, &result.Taken, data, &result.Irp);
    verifier::RequireUnchanged(before, "TDI receive event handler");
    result.Called = true;
    RequireSensible(result, indicated);
    return result;
}

}  // namespace host
