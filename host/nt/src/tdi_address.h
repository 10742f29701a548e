// TRANSPORT_ADDRESS as TDI clients pass it (in the "TransportAddress" EA and
// in a connect's remote address): a count, then that many TA_ADDRESS
// entries of varying length. Only IPv4 entries mean anything to TCP here.
#pragma once

#include <ntdef.h>

#include <netinet/in.h>

#include <optional>

namespace host::tdi {

// The first TDI_ADDRESS_TYPE_IP entry of an address of `length` bytes;
// nullopt when there is none or an entry runs past the length.
std::optional<sockaddr_in> FirstIpAddress(const void* address, ULONG length);

}  // namespace host::tdi
