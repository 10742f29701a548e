// Transport Driver Interface: the types a TDI client shares with the
// transport, with the WDK's names, values and x64 layouts. The per-protocol
// addresses and TA_IP_ADDRESS are byte-packed, as in the WDK: one IPv4
// TRANSPORT_ADDRESS is 22 bytes.
#pragma once

#include <ntdef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef LONG TDI_STATUS;
typedef PVOID CONNECTION_CONTEXT;

typedef struct _TDI_CONNECTION_INFORMATION {
    LONG UserDataLength;
    PVOID UserData;
    LONG OptionsLength;
    PVOID Options;
    LONG RemoteAddressLength;
    PVOID RemoteAddress;
} TDI_CONNECTION_INFORMATION, *PTDI_CONNECTION_INFORMATION;

// Receive flags (TDI_REQUEST_KERNEL_RECEIVE.ReceiveFlags, receive events).
#define TDI_RECEIVE_TRUNCATED 0x00000001
#define TDI_RECEIVE_FRAGMENT 0x00000002
#define TDI_RECEIVE_BROADCAST 0x00000004
#define TDI_RECEIVE_MULTICAST 0x00000008
#define TDI_RECEIVE_PARTIAL 0x00000010
#define TDI_RECEIVE_NORMAL 0x00000020
#define TDI_RECEIVE_EXPEDITED 0x00000040
#define TDI_RECEIVE_PEEK 0x00000080
#define TDI_RECEIVE_NO_RESPONSE_EXP 0x00000100
#define TDI_RECEIVE_COPY_LOOKAHEAD 0x00000200
#define TDI_RECEIVE_ENTIRE_MESSAGE 0x00000400
#define TDI_RECEIVE_AT_DISPATCH_LEVEL 0x00000800
#define TDI_RECEIVE_CONTROL_INFO 0x00001000

// Send flags (TDI_REQUEST_KERNEL_SEND.SendFlags).
#define TDI_SEND_EXPEDITED ((USHORT)0x0020)
#define TDI_SEND_PARTIAL ((USHORT)0x0040)
#define TDI_SEND_NO_RESPONSE_EXPECTED ((USHORT)0x0080)
#define TDI_SEND_NON_BLOCKING ((USHORT)0x0100)
#define TDI_SEND_AND_DISCONNECT ((USHORT)0x0200)

// Disconnect flags (TDI_DISCONNECT requests and disconnect events).
#define TDI_DISCONNECT_WAIT ((USHORT)0x0001)
#define TDI_DISCONNECT_ABORT ((USHORT)0x0002)
#define TDI_DISCONNECT_RELEASE ((USHORT)0x0004)

// TDI_QUERY_INFORMATION query types.
#define TDI_QUERY_BROADCAST_ADDRESS 0x00000001
#define TDI_QUERY_PROVIDER_INFO 0x00000002
#define TDI_QUERY_ADDRESS_INFO 0x00000003
#define TDI_QUERY_CONNECTION_INFO 0x00000004
#define TDI_QUERY_PROVIDER_STATISTICS 0x00000005
#define TDI_QUERY_DATAGRAM_INFO 0x00000006
#define TDI_QUERY_DATA_LINK_ADDRESS 0x00000007
#define TDI_QUERY_NETWORK_ADDRESS 0x00000008
#define TDI_QUERY_MAX_DATAGRAM_INFO 0x00000009

// What TDI_QUERY_PROVIDER_INFO returns.
typedef struct _TDI_PROVIDER_INFO {
    ULONG Version;
    ULONG MaxSendSize;
    ULONG MaxConnectionUserData;
    ULONG MaxDatagramSize;
    ULONG ServiceFlags;
    ULONG MinimumLookaheadData;
    ULONG MaximumLookaheadData;
    ULONG NumberOfResources;
    LARGE_INTEGER StartTime;
} TDI_PROVIDER_INFO, *PTDI_PROVIDER_INFO;

#define TDI_SERVICE_CONNECTION_MODE 0x00000001
#define TDI_SERVICE_ORDERLY_RELEASE 0x00000002
#define TDI_SERVICE_CONNECTIONLESS_MODE 0x00000004
#define TDI_SERVICE_ERROR_FREE_DELIVERY 0x00000008
#define TDI_SERVICE_SECURITY_LEVEL 0x00000010
#define TDI_SERVICE_BROADCAST_SUPPORTED 0x00000020
#define TDI_SERVICE_MULTICAST_SUPPORTED 0x00000040
#define TDI_SERVICE_DELAYED_ACCEPTANCE 0x00000080
#define TDI_SERVICE_EXPEDITED_DATA 0x00000100
#define TDI_SERVICE_INTERNAL_BUFFERING 0x00000200
#define TDI_SERVICE_ROUTE_DIRECTED 0x00000400
#define TDI_SERVICE_NO_ZERO_LENGTH 0x00000800
#define TDI_SERVICE_POINT_TO_POINT 0x00001000
#define TDI_SERVICE_MESSAGE_MODE 0x00002000
#define TDI_SERVICE_HALF_DUPLEX 0x00004000

// ---------------------------------------------------------------------------
// Transport addresses
// ---------------------------------------------------------------------------

typedef struct _TA_ADDRESS {
    USHORT AddressLength;  // bytes of Address
    USHORT AddressType;
    UCHAR Address[1];
} TA_ADDRESS, *PTA_ADDRESS;

typedef struct _TRANSPORT_ADDRESS {
    LONG TAAddressCount;
    TA_ADDRESS Address[1];  // TAAddressCount entries of varying length
} TRANSPORT_ADDRESS, *PTRANSPORT_ADDRESS;

typedef struct _TDI_ADDRESS_INFO {
    ULONG ActivityCount;
    TRANSPORT_ADDRESS Address;
} TDI_ADDRESS_INFO, *PTDI_ADDRESS_INFO;

#define TDI_ADDRESS_TYPE_UNSPEC 0
#define TDI_ADDRESS_TYPE_UNIX 1
#define TDI_ADDRESS_TYPE_IP 2
#define TDI_ADDRESS_TYPE_IP6 23

// The extended-attribute names that open an address object and a
// connection endpoint, and their lengths without the NUL.
#define TdiTransportAddress "TransportAddress"
#define TdiConnectionContext "ConnectionContext"
#define TDI_TRANSPORT_ADDRESS_LENGTH (sizeof(TdiTransportAddress) - 1)
#define TDI_CONNECTION_CONTEXT_LENGTH (sizeof(TdiConnectionContext) - 1)

#pragma pack(push, 1)

typedef struct _TDI_ADDRESS_IP {
    USHORT sin_port;  // network byte order
    ULONG in_addr;    // network byte order
    UCHAR sin_zero[8];
} TDI_ADDRESS_IP, *PTDI_ADDRESS_IP;

#define TDI_ADDRESS_LENGTH_IP sizeof(TDI_ADDRESS_IP)

typedef struct _TA_ADDRESS_IP {
    LONG TAAddressCount;
    struct _AddrIp {
        USHORT AddressLength;
        USHORT AddressType;
        TDI_ADDRESS_IP Address[1];
    } Address[1];
} TA_IP_ADDRESS, *PTA_IP_ADDRESS;

#pragma pack(pop)

#ifdef __cplusplus
}

// The layouts the driver's wire and EA buffers rely on (x64 WDK).
static_assert(sizeof(TDI_ADDRESS_IP) == 14, "TDI_ADDRESS_IP is byte-packed");
static_assert(sizeof(TA_IP_ADDRESS) == 22, "one IPv4 TRANSPORT_ADDRESS is 22 bytes");
static_assert(offsetof(TA_IP_ADDRESS, Address[0].Address[0].in_addr) == 10, "in_addr offset");
static_assert(offsetof(TRANSPORT_ADDRESS, Address) == 4, "first TA_ADDRESS follows the count");
static_assert(sizeof(TDI_PROVIDER_INFO) == 40, "TDI_QUERY_PROVIDER_INFO result size");
static_assert(sizeof(TDI_CONNECTION_INFORMATION) == 48, "x64 TDI_CONNECTION_INFORMATION");
#endif
