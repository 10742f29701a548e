#include "port/receive_buffer.h"

namespace {

ULONG ReadLengthOf(PIRP Read)
{
    return IoGetCurrentIrpStackLocation(Read)->Parameters.Read.Length;
}

void Append(PortExtension* Port, const UCHAR* Bytes, ULONG Count)
{
    RtlCopyMemory(Port->RxBuffer + Port->RxCount, Bytes, Count);
    SetRxCount(Port, Port->RxCount + Count);
}

ULONG RoomLeft(const PortExtension* Port)
{
    return Port->RxCount < PORT_RX_LIMIT ? PORT_RX_LIMIT - Port->RxCount : 0;
}

}  // namespace

void SetRxCount(PortExtension* Port, ULONG Count)
{
    Port->RxCount = Count;
    Port->CommStatus.AmountInInQueue = Count;
}

ULONG CopyOut(PIRP Read, PortExtension* Port)
{
    ULONG length = ReadLengthOf(Read);
    ULONG delivered = length < Port->RxCount ? length : Port->RxCount;
    if (delivered != 0) {
        RtlCopyMemory(Read->AssociatedIrp.SystemBuffer, Port->RxBuffer, delivered);
        RtlMoveMemory(Port->RxBuffer, Port->RxBuffer + delivered, Port->RxCount - delivered);
        SetRxCount(Port, Port->RxCount - delivered);
    } else {
        SetRxCount(Port, 0);
    }
    return delivered;
}

void TakeArrival(PortExtension* Port, ULONG Received)
{
    ConnectionRecord* data = &Port->DataConnection;
    ULONG room = RoomLeft(Port);
    ULONG taken = Received < room ? Received : room;
    Append(Port, data->ReceiveBuffer, taken);
    data->UnreadOffset = taken;
    data->UnreadCount = Received - taken;
}

ULONG TakeUnread(PortExtension* Port)
{
    ConnectionRecord* data = &Port->DataConnection;
    ULONG room = RoomLeft(Port);
    ULONG moved = data->UnreadCount < room ? data->UnreadCount : room;
    if (moved != 0) {
        Append(Port, data->ReceiveBuffer + data->UnreadOffset, moved);
        data->UnreadOffset += moved;
        data->UnreadCount -= moved;
    }
    if (data->UnreadCount == 0) {
        data->UnreadOffset = 0;
    }
    return moved;
}

void DiscardReceived(PortExtension* Port)
{
    SetRxCount(Port, 0);
    Port->DataConnection.UnreadOffset = 0;
    Port->DataConnection.UnreadCount = 0;
}
