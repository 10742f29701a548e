// Transport addresses as TDI takes them: one IPv4 address and TCP port.
#pragma once

#include "core/nt.h"

#include <tdi.h>

// One IPv4 TRANSPORT_ADDRESS: a count of 4 bytes, then per entry its length
// and type (4 bytes) and the 14-byte TDI_ADDRESS_IP.
constexpr ULONG TRANSPORT_ADDRESS_HEADER_SIZE = FIELD_OFFSET(TRANSPORT_ADDRESS, Address);
constexpr ULONG TA_ADDRESS_HEADER_SIZE = FIELD_OFFSET(TA_ADDRESS, Address);

// Fills one TRANSPORT_ADDRESS entry. Address and Port are copied as given,
// already in network byte order; the trailing zero bytes are left alone.
void BuildIpAddress(TA_IP_ADDRESS* Target, ULONG Address, USHORT Port);

// Byte length of a TRANSPORT_ADDRESS with all its entries; 0 for null.
ULONG TransportAddressLength(const TRANSPORT_ADDRESS* Address);
