#include "tdi_address.h"

#include <tdi.h>

#include <cstring>

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
        const auto entryLength = ReadAt<USHORT>(bytes, offset + FIELD_OFFSET(TA_ADDRESS, AddressLength));
        const auto entryType = ReadAt<USHORT>(bytes, offset + FIELD_OFFSET(TA_ADDRESS, AddressType));
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
