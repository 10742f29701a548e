#include "net/control_protocol.h"

#include "core/module_extension.h"
#include "core/module_lock.h"
#include "net/connection.h"
#include "net/control_receive.h"
#include "port/port_extension.h"
#include "port/port_receive.h"

namespace {

constexpr UCHAR FRAME_LEAD = '0';
constexpr UCHAR BAUD_COMMAND = '2';
constexpr UCHAR FRAMING_COMMAND = '3';
constexpr UCHAR RTS_COMMAND = '5';

// A frame's numbers share 100 characters; the channel number starts at 2.
constexpr ULONG FRAME_ROOM = 100;
constexpr ULONG CHANNEL_AT = 2;

constexpr UCHAR LEVEL_ON = '1';
constexpr UCHAR LEVEL_OFF = '0';
constexpr UCHAR ONE_STOP_BIT = '1';
constexpr UCHAR MORE_STOP_BITS = '2';  // 1.5 and 2 stop bits alike

// Indexed by SERIAL_LINE_CONTROL.Parity: none, odd, even, mark, space.
constexpr UCHAR PARITY_LETTERS[] = {'N', 'O', 'E', 'M', 'S'};
constexpr UCHAR UNKNOWN_PARITY_LETTER = 'N';

// A frame is the channel's number counting from 1.
constexpr ULONG FIRST_CHANNEL_NUMBER = 1;

// 100 ns units, relative.
constexpr LONGLONG REPLY_WAIT = -2000000;  // 200 ms
// How long a reconnect gives the transport to finish the receive of the
// connection it just dropped, so the new connection gets a receive of its own.
constexpr LONGLONG RECEIVE_END_WAIT = -1000000;  // 100 ms

UCHAR ParityLetter(UCHAR Parity)
{
    return Parity < sizeof(PARITY_LETTERS) ? PARITY_LETTERS[Parity] : UNKNOWN_PARITY_LETTER;
}

UCHAR StopBitsCharacter(UCHAR StopBits)
{
    return StopBits == STOP_BIT_1 ? ONE_STOP_BIT : MORE_STOP_BITS;
}

// A frame under construction in a control connection's SendBuffer.
struct FrameWriter {
    PUCHAR Text;
    ULONG Length;

    void Character(UCHAR Value) { Text[Length++] = Value; }
    void Number(ULONG Value) { Length += FormatDecimal(Text + Length, FRAME_ROOM - Length, Value, 0); }
};

// "0", the command digit and the channel number.
bool StartFrame(ConnectionRecord* Control, UCHAR Command, ULONG ChannelIndex, FrameWriter* Frame)
{
    if (Control->SendBuffer == nullptr) {
        return false;
    }
    Frame->Text = Control->SendBuffer;
    Frame->Length = 0;
    Frame->Character(FRAME_LEAD);
    Frame->Character(Command);
    Frame->Number(ChannelIndex + FIRST_CHANNEL_NUMBER);
    return true;
}

// The NUL follows the frame in the buffer but is not sent.
void EndFrame(ConnectionRecord* Control, FrameWriter* Frame)
{
    Frame->Text[Frame->Length] = '\0';
    Control->SendLength = Frame->Length;
}

// Waits, boundedly, until the receive of a connection just dropped has
// finished its completion.
void AwaitReceiveEnd(ConnectionRecord* Connection)
{
    if (!Connection->Opened) {
        return;
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = RECEIVE_END_WAIT;
    KeWaitForSingleObject(&Connection->Receive.Idle, Executive, KernelMode, FALSE, &timeout);
}

ModuleExtension* ModuleOf(PortExtension* Port)
{
    return Port->ModuleDevice == nullptr ? nullptr : ModuleExtensionOf(Port->ModuleDevice);
}

void SendLineFrames(ConnectionRecord* Control, PortExtension* Port)
{
    if (BuildBaudFrame(Control, Port->ChannelIndex, Port->BaudRate)) {
        SendConnection(Control);
    }
    if (BuildFramingFrame(Control, Port->ChannelIndex, Port->LineControl)) {
        SendConnection(Control);
    }
    if (BuildRtsFrame(Control, Port->ChannelIndex, true)) {
        SendConnection(Control);
    }
}

// Data-connection receive restart after a reconnect. Bytes still unread in
// the connection's ReceiveBuffer hold the receive back until reads have
// taken them (port/receive_buffer.h).
void RestartReceiveAfterReconnect(PortExtension* Port)
{
    KIRQL irql;
    KeAcquireSpinLock(&Port->PortLock, &irql);
    const bool unread = Port->DataConnection.UnreadCount != 0;
    KeReleaseSpinLock(&Port->PortLock, irql);
    if (!unread) {
        RestartReceive(Port);
    }
}

}  // namespace

ULONG FormatDecimal(PUCHAR Position, ULONG Room, ULONG Value, LONG Minimum)
{
    constexpr ULONG DECIMAL_BASE = 10;
    if (Room == 0 || (Value == 0 && Minimum <= 0)) {
        return 0;
    }
    ULONG written = FormatDecimal(Position, Room - 1, Value / DECIMAL_BASE, Minimum - 1);
    Position[written] = static_cast<UCHAR>('0' + Value % DECIMAL_BASE);
    return written + 1;
}

bool BuildBaudFrame(ConnectionRecord* Control, ULONG ChannelIndex, ULONG BaudRate)
{
    FrameWriter frame;
    if (!StartFrame(Control, BAUD_COMMAND, ChannelIndex, &frame)) {
        return false;
    }
    frame.Number(BaudRate);
    EndFrame(Control, &frame);
    return true;
}

bool BuildFramingFrame(ConnectionRecord* Control, ULONG ChannelIndex,
                       const SERIAL_LINE_CONTROL& LineControl)
{
    FrameWriter frame;
    if (!StartFrame(Control, FRAMING_COMMAND, ChannelIndex, &frame)) {
        return false;
    }
    frame.Number(LineControl.WordLength);
    frame.Character(ParityLetter(LineControl.Parity));
    frame.Character(StopBitsCharacter(LineControl.StopBits));
    EndFrame(Control, &frame);
    return true;
}

bool BuildRtsFrame(ConnectionRecord* Control, ULONG ChannelIndex, bool On)
{
    FrameWriter frame;
    if (!StartFrame(Control, RTS_COMMAND, ChannelIndex, &frame)) {
        return false;
    }
    frame.Character(On ? LEVEL_ON : LEVEL_OFF);
    EndFrame(Control, &frame);
    return true;
}

NTSTATUS SendControlFrame(ModuleExtension* Module)
{
    ConnectionRecord* control = &Module->ControlConnection;
    if (!NT_SUCCESS(SendConnection(control)) && NT_SUCCESS(Connect(control))) {
        PostReceive(control, ControlReceiveComplete, Module);
        SendConnection(control);
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = REPLY_WAIT;
    return KeWaitForSingleObject(&Module->ReplyEvent, Executive, KernelMode, FALSE, &timeout);
}

void SendLineSettings(PortExtension* Port)
{
    ModuleExtension* module = ModuleOf(Port);
    if (module == nullptr) {
        return;
    }
    ConnectionRecord* control = &module->ControlConnection;
    AcquireModuleLock(module);
    Disconnect(control);
    AwaitReceiveEnd(control);
    if (NT_SUCCESS(Connect(control))) {
        PostReceive(control, ControlReceiveComplete, module);
        if (module->SerialParaFlag[Port->ChannelIndex] == 0) {
            SendLineFrames(control, Port);
        }
    }
    ReleaseModuleLock(module);
}

NTSTATUS SendWithReconnect(PortExtension* Port)
{
    ConnectionRecord* data = &Port->DataConnection;
    NTSTATUS status = SendConnection(data);
    if (NT_SUCCESS(status)) {
        return status;  // STATUS_TIMEOUT too: the write reports how much went
    }
    AwaitReceiveEnd(data);
    status = Connect(data);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RestartReceiveAfterReconnect(Port);
    SendLineSettings(Port);
    // The write is done only when its bytes went out on the new connection.
    return SendConnection(data);
}
