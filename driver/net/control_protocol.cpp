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

ModuleExtension* ModuleOf(PortExtension* Port)
{
    return Port->ModuleDevice == nullptr ? nullptr : ModuleExtensionOf(Port->ModuleDevice);
}

// Brings the module's control connection back and starts its receive
// cycle again; a report cut off by the old connection is dropped.
NTSTATUS ReconnectControl(ModuleExtension* Module)
{
    ConnectionRecord* control = &Module->ControlConnection;
    NTSTATUS status = Reconnect(control);
    if (NT_SUCCESS(status)) {
        ForgetPartialReport(&Module->Reports);
        PostReceive(control, ControlReceiveComplete, Module);
    }
    return status;
}

// Sends the frame in the control SendBuffer. A connection known to be down,
// or whose send fails, is reconnected once and the frame sent again. The
// reply event is cleared just before the frame goes, so only what the
// module sends after it counts as its reply.
NTSTATUS SendFrame(ModuleExtension* Module)
{
    ConnectionRecord* control = &Module->ControlConnection;
    if (IsConnected(control)) {
        KeClearEvent(&Module->ReplyEvent);
        if (NT_SUCCESS(SendConnection(control))) {
            return STATUS_SUCCESS;
        }
    }
    NTSTATUS status = ReconnectControl(Module);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    KeClearEvent(&Module->ReplyEvent);
    return SendConnection(control);
}

// Baud rate, framing and the RTS level the program last set, no replies
// waited for.
void SendLineFrames(ModuleExtension* Module, PortExtension* Port)
{
    ConnectionRecord* control = &Module->ControlConnection;
    if (BuildBaudFrame(control, Port->ChannelIndex, Port->BaudRate)) {
        SendFrame(Module);
    }
    if (BuildFramingFrame(control, Port->ChannelIndex, Port->LineControl)) {
        SendFrame(Module);
    }
    if (BuildRtsFrame(control, Port->ChannelIndex, Port->RtsLevel != RTS_LEVEL_OFF)) {
        SendFrame(Module);
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
    SendFrame(Module);
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
    AcquireModuleLock(module);
    // A healthy control connection is left alone: the module's other ports
    // go on using it.
    const bool up = IsConnected(&module->ControlConnection) || NT_SUCCESS(ReconnectControl(module));
    if (up && module->SerialParaFlag[Port->ChannelIndex] == 0) {
        SendLineFrames(module, Port);
    }
    ReleaseModuleLock(module);
}

NTSTATUS SendWithReconnect(PortExtension* Port)
{
    ConnectionRecord* data = &Port->DataConnection;
    if (IsConnected(data)) {
        NTSTATUS status = SendConnection(data);
        if (NT_SUCCESS(status)) {
            return status;  // STATUS_TIMEOUT too: the write reports how much went
        }
    }
    NTSTATUS status = Reconnect(data);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RestartReceiveAfterReconnect(Port);
    SendLineSettings(Port);
    // The write is done only when its bytes went out on the new connection.
    return SendConnection(data);
}
