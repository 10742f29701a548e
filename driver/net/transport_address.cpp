#include "net/transport_address.h"

void BuildIpAddress(TA_IP_ADDRESS* Target, ULONG Address, USHORT Port)
{
    Target->TAAddressCount = 1;
    Target->Address[0].AddressLength = TDI_ADDRESS_LENGTH_IP;
    Target->Address[0].AddressType = TDI_ADDRESS_TYPE_IP;
    Target->Address[0].Address[0].sin_port = Port;
    Target->Address[0].Address[0].in_addr = Address;
}

ULONG TransportAddressLength(const TRANSPORT_ADDRESS* Address)
{
    if (Address == nullptr) {
        return 0;
    }
    ULONG length = TRANSPORT_ADDRESS_HEADER_SIZE;
    const UCHAR* entry = reinterpret_cast<const UCHAR*>(Address->Address);
    for (LONG i = 0; i < Address->TAAddressCount; ++i) {
        const TA_ADDRESS* address = reinterpret_cast<const TA_ADDRESS*>(entry);
        ULONG entryLength = TA_ADDRESS_HEADER_SIZE + address->AddressLength;
        length += entryLength;
        entry += entryLength;
    }
    return length;
}
