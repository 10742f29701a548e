// Transport Driver Interface for kernel-mode clients: the TDI minor function
// codes of IRP_MJ_INTERNAL_DEVICE_CONTROL requests, the request parameters a
// client places in the transport's stack location, the event codes and the
// event handler types, with the WDK's names, values and x64 layouts.
#pragma once

#include <wdm.h>

#include <tdi.h>

// Minor function codes.
#define TDI_ASSOCIATE_ADDRESS 0x01
#define TDI_DISASSOCIATE_ADDRESS 0x02
#define TDI_CONNECT 0x03
#define TDI_LISTEN 0x04
#define TDI_ACCEPT 0x05
#define TDI_DISCONNECT 0x06
#define TDI_SEND 0x07
#define TDI_RECEIVE 0x08
#define TDI_SEND_DATAGRAM 0x09
#define TDI_RECEIVE_DATAGRAM 0x0A
#define TDI_SET_EVENT_HANDLER 0x0B
#define TDI_QUERY_INFORMATION 0x0C
#define TDI_SET_INFORMATION 0x0D
#define TDI_ACTION 0x0E

// FsContext2 of the transport's file objects.
#define TDI_TRANSPORT_ADDRESS_FILE 1
#define TDI_CONNECTION_FILE 2
#define TDI_CONTROL_CHANNEL_FILE 3

// The request parameters, laid over IO_STACK_LOCATION.Parameters.
typedef struct _TDI_REQUEST_KERNEL {
    ULONG RequestFlags;
    PTDI_CONNECTION_INFORMATION RequestConnectionInformation;
    PTDI_CONNECTION_INFORMATION ReturnConnectionInformation;
    PVOID RequestSpecific;  // TDI_CONNECT, TDI_DISCONNECT: PLARGE_INTEGER timeout
} TDI_REQUEST_KERNEL, *PTDI_REQUEST_KERNEL;

typedef struct _TDI_REQUEST_KERNEL_ASSOCIATE {
    HANDLE AddressHandle;
} TDI_REQUEST_KERNEL_ASSOCIATE, *PTDI_REQUEST_KERNEL_ASSOCIATE;

typedef TDI_REQUEST_KERNEL TDI_REQUEST_KERNEL_DISASSOCIATE, *PTDI_REQUEST_KERNEL_DISASSOCIATE;
typedef TDI_REQUEST_KERNEL TDI_REQUEST_KERNEL_CONNECT, *PTDI_REQUEST_KERNEL_CONNECT;
typedef TDI_REQUEST_KERNEL TDI_REQUEST_KERNEL_DISCONNECT, *PTDI_REQUEST_KERNEL_DISCONNECT;
typedef TDI_REQUEST_KERNEL TDI_REQUEST_KERNEL_LISTEN, *PTDI_REQUEST_KERNEL_LISTEN;

typedef struct _TDI_REQUEST_KERNEL_ACCEPT {
    PTDI_CONNECTION_INFORMATION RequestConnectionInformation;
    PTDI_CONNECTION_INFORMATION ReturnConnectionInformation;
} TDI_REQUEST_KERNEL_ACCEPT, *PTDI_REQUEST_KERNEL_ACCEPT;

typedef struct _TDI_REQUEST_KERNEL_RECEIVE {
    ULONG ReceiveLength;
    ULONG ReceiveFlags;
} TDI_REQUEST_KERNEL_RECEIVE, *PTDI_REQUEST_KERNEL_RECEIVE;

typedef struct _TDI_REQUEST_KERNEL_SEND {
    ULONG SendLength;
    ULONG SendFlags;
} TDI_REQUEST_KERNEL_SEND, *PTDI_REQUEST_KERNEL_SEND;

typedef struct _TDI_REQUEST_KERNEL_SET_EVENT {
    LONG EventType;
    PVOID EventHandler;
    PVOID EventContext;
} TDI_REQUEST_KERNEL_SET_EVENT, *PTDI_REQUEST_KERNEL_SET_EVENT;

typedef struct _TDI_REQUEST_KERNEL_QUERY_INFO {
    LONG QueryType;
    PTDI_CONNECTION_INFORMATION RequestConnectionInformation;
} TDI_REQUEST_KERNEL_QUERY_INFORMATION, *PTDI_REQUEST_KERNEL_QUERY_INFORMATION;

typedef struct _TDI_REQUEST_KERNEL_SET_INFO {
    LONG SetType;
    PTDI_CONNECTION_INFORMATION RequestConnectionInformation;
} TDI_REQUEST_KERNEL_SET_INFORMATION, *PTDI_REQUEST_KERNEL_SET_INFORMATION;

// TDI versions: minor in the high byte, major in the low byte.
#define TDI_CURRENT_MAJOR_VERSION 2
#define TDI_CURRENT_MINOR_VERSION 0
#define TDI_CURRENT_VERSION ((TDI_CURRENT_MINOR_VERSION) << 8 | (TDI_CURRENT_MAJOR_VERSION))
#define TDI_VERSION_ONE 0x0001

// Event types of TDI_SET_EVENT_HANDLER.
#define TDI_EVENT_CONNECT 0
#define TDI_EVENT_DISCONNECT 1
#define TDI_EVENT_ERROR 2
#define TDI_EVENT_RECEIVE 3
#define TDI_EVENT_RECEIVE_DATAGRAM 4
#define TDI_EVENT_RECEIVE_EXPEDITED 5
#define TDI_EVENT_SEND_POSSIBLE 6
#define TDI_EVENT_CHAINED_RECEIVE 7
#define TDI_EVENT_CHAINED_RECEIVE_DATAGRAM 8
#define TDI_EVENT_CHAINED_RECEIVE_EXPEDITED 9
#define TDI_EVENT_ERROR_EX 10

// Event handlers the transport calls, at up to DISPATCH_LEVEL.
typedef NTSTATUS(NTAPI* PTDI_IND_CONNECT)(PVOID TdiEventContext, LONG RemoteAddressLength,
                                          PVOID RemoteAddress, LONG UserDataLength, PVOID UserData,
                                          LONG OptionsLength, PVOID Options,
                                          CONNECTION_CONTEXT* ConnectionContext, PIRP* AcceptIrp);

typedef NTSTATUS(NTAPI* PTDI_IND_DISCONNECT)(PVOID TdiEventContext,
                                             CONNECTION_CONTEXT ConnectionContext,
                                             LONG DisconnectDataLength, PVOID DisconnectData,
                                             LONG DisconnectInformationLength,
                                             PVOID DisconnectInformation, ULONG DisconnectFlags);

typedef NTSTATUS(NTAPI* PTDI_IND_ERROR)(PVOID TdiEventContext, NTSTATUS Status);

typedef NTSTATUS(NTAPI* PTDI_IND_ERROR_EX)(PVOID TdiEventContext, NTSTATUS Status, PVOID Buffer);

// A handler that takes fewer than BytesAvailable bytes may hand back an IRP
// for the rest; STATUS_DATA_NOT_ACCEPTED leaves them with the transport.
typedef NTSTATUS(NTAPI* PTDI_IND_RECEIVE)(PVOID TdiEventContext,
                                          CONNECTION_CONTEXT ConnectionContext, ULONG ReceiveFlags,
                                          ULONG BytesIndicated, ULONG BytesAvailable,
                                          ULONG* BytesTaken, PVOID Tsdu, PIRP* IoRequestPacket);

typedef NTSTATUS(NTAPI* PTDI_IND_RECEIVE_DATAGRAM)(PVOID TdiEventContext, LONG SourceAddressLength,
                                                   PVOID SourceAddress, LONG OptionsLength,
                                                   PVOID Options, ULONG ReceiveDatagramFlags,
                                                   ULONG BytesIndicated, ULONG BytesAvailable,
                                                   ULONG* BytesTaken, PVOID Tsdu,
                                                   PIRP* IoRequestPacket);

typedef NTSTATUS(NTAPI* PTDI_IND_RECEIVE_EXPEDITED)(PVOID TdiEventContext,
                                                    CONNECTION_CONTEXT ConnectionContext,
                                                    ULONG ReceiveFlags, ULONG BytesIndicated,
                                                    ULONG BytesAvailable, ULONG* BytesTaken,
                                                    PVOID Tsdu, PIRP* IoRequestPacket);

typedef NTSTATUS(NTAPI* PTDI_IND_SEND_POSSIBLE)(PVOID TdiEventContext, PVOID ConnectionContext,
                                                ULONG BytesAvailable);

#ifdef __cplusplus
static_assert(sizeof(TDI_REQUEST_KERNEL) == 32, "x64 TDI_REQUEST_KERNEL");
static_assert(sizeof(TDI_REQUEST_KERNEL_SET_EVENT) == 24, "x64 TDI_REQUEST_KERNEL_SET_EVENT");
static_assert(sizeof(TDI_REQUEST_KERNEL_SEND) == 8, "TDI_REQUEST_KERNEL_SEND");
static_assert(sizeof(TDI_REQUEST_KERNEL_QUERY_INFORMATION) == 16,
              "x64 TDI_REQUEST_KERNEL_QUERY_INFORMATION");
#endif
