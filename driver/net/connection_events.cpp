#include "net/connection_events.h"

#include "net/connection.h"

NTSTATUS NTAPI DisconnectEventHandler(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
                                      LONG DisconnectDataLength, PVOID DisconnectData,
                                      LONG DisconnectInformationLength,
                                      PVOID DisconnectInformation, ULONG DisconnectFlags)
{
    UNREFERENCED_PARAMETER(ConnectionContext);
    UNREFERENCED_PARAMETER(DisconnectDataLength);
    UNREFERENCED_PARAMETER(DisconnectData);
    UNREFERENCED_PARAMETER(DisconnectInformationLength);
    UNREFERENCED_PARAMETER(DisconnectInformation);
    UNREFERENCED_PARAMETER(DisconnectFlags);
    MarkPeerDisconnected(static_cast<ConnectionRecord*>(TdiEventContext));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ReceiveEventHandler(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
                                   ULONG ReceiveFlags, ULONG BytesIndicated, ULONG BytesAvailable,
                                   ULONG* BytesTaken, PVOID Tsdu, PIRP* IoRequestPacket)
{
    UNREFERENCED_PARAMETER(TdiEventContext);
    UNREFERENCED_PARAMETER(ConnectionContext);
    UNREFERENCED_PARAMETER(ReceiveFlags);
    UNREFERENCED_PARAMETER(BytesIndicated);
    UNREFERENCED_PARAMETER(BytesAvailable);
    UNREFERENCED_PARAMETER(Tsdu);
    // Data waits with the transport for the receive the driver keeps posted.
    *BytesTaken = 0;
    *IoRequestPacket = nullptr;
    return STATUS_DATA_NOT_ACCEPTED;
}

NTSTATUS NTAPI ErrorEventHandler(PVOID TdiEventContext, NTSTATUS Status)
{
    UNREFERENCED_PARAMETER(TdiEventContext);
    UNREFERENCED_PARAMETER(Status);
    return STATUS_SUCCESS;
}
