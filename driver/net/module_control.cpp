#include "core/devices.h"
#include "core/module_extension.h"
#include "net/connection.h"
#include "port/port_extension.h"
#include "port/port_read.h"
#include "port/serial_wait.h"

namespace {

constexpr UCHAR FRAME_LEAD = '0';
constexpr UCHAR BAUD_COMMAND = '2';
constexpr UCHAR FRAMING_COMMAND = '3';
constexpr UCHAR RTS_COMMAND = '5';

// A frame's numbers share 100 characters.
constexpr ULONG FRAME_ROOM = 100;

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
    void Number(ULONG Value)
    {
        Length += FormatDecimal(Text + Length, FRAME_ROOM - Length, Value, 0);
    }
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

ModuleExtension* ModuleOf(const PortExtension* Port)
{
    return Port->ModuleDevice == nullptr ? nullptr : ModuleExtensionOf(Port->ModuleDevice);
}

// Posts the control connection's receive. A connection without one would
// never hear a reply or a report again: when it cannot be posted (short of
// resources) the connection is marked down, so the next frame connects it
// afresh and posts again.
NTSTATUS PostControlReceive(ModuleExtension* Module)
{
    ConnectionRecord* control = &Module->ControlConnection;
    const NTSTATUS status = PostReceive(control, ControlReceiveComplete, Module);
    if (!NT_SUCCESS(status)) {
        MarkConnectionDown(control, false);
        return status;
    }
    return STATUS_SUCCESS;  // posted (pending), or one is posted already
}

// Brings the module's control connection back and starts its receive
// cycle again.
NTSTATUS ReconnectControl(ModuleExtension* Module)
{
    NTSTATUS status = Reconnect(&Module->ControlConnection);
    if (NT_SUCCESS(status)) {
        status = StartControlReceive(Module);
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

namespace {

// "CTS" c ' ' l
constexpr char CTS_TAG[] = "CTS";
constexpr ULONG CTS_REPORT_SIZE = 6;
constexpr ULONG CTS_CHANNEL_AT = 3;
constexpr ULONG CTS_LEVEL_AT = 5;

// "29" . . . c . l .
constexpr char STATUS_TAG[] = "29";
constexpr ULONG STATUS_RECORD_SIZE = 9;
constexpr ULONG STATUS_CHANNEL_AT = 5;
constexpr ULONG STATUS_LEVEL_AT = 7;

static_assert(STATUS_RECORD_SIZE == LONGEST_REPORT && CTS_REPORT_SIZE <= LONGEST_REPORT,
              "a held report fits");

constexpr UCHAR FIRST_CHANNEL_DIGIT = '1';

// Whether the Length bytes held agree with the tag as far as both go.
bool BeginsWithTag(const UCHAR* Held, ULONG Length, const char* Tag, ULONG TagLength)
{
    const ULONG compared = Length < TagLength ? Length : TagLength;
    return RtlEqualMemory(Held, Tag, compared);
}

// The size of the report the held bytes begin, or 0 when they begin none.
ULONG ReportSizeOf(const UCHAR* Held, ULONG Length)
{
    if (Length == 0) {
        return 0;
    }
    if (BeginsWithTag(Held, Length, CTS_TAG, sizeof(CTS_TAG) - 1)) {
        return CTS_REPORT_SIZE;
    }
    if (BeginsWithTag(Held, Length, STATUS_TAG, sizeof(STATUS_TAG) - 1)) {
        return STATUS_RECORD_SIZE;
    }
    return 0;
}

CtsReport ReadReport(const UCHAR* Fields, ULONG Size)
{
    const ULONG channelAt = Size == CTS_REPORT_SIZE ? CTS_CHANNEL_AT : STATUS_CHANNEL_AT;
    const ULONG levelAt = Size == CTS_REPORT_SIZE ? CTS_LEVEL_AT : STATUS_LEVEL_AT;
    CtsReport report;
    report.ChannelIndex = static_cast<LONG>(Fields[channelAt]) - FIRST_CHANNEL_DIGIT;
    report.On = Fields[levelAt] == LEVEL_ON ? TRUE : FALSE;
    return report;
}

// Drops the first held byte: it began no report.
void DropFirstHeld(ReportStream* Stream)
{
    --Stream->HeldLength;
    RtlMoveMemory(Stream->Held, Stream->Held + 1, Stream->HeldLength);
}

}  // namespace

void ScanReports(ReportStream* Stream, const UCHAR* Text, ULONG Length, CtsReportSink Sink,
                 PVOID Context)
{
    for (ULONG i = 0; i < Length; ++i) {
        Stream->Held[Stream->HeldLength++] = Text[i];
        // A tag that breaks off may still hide the start of another in the
        // bytes after its first.
        ULONG size = ReportSizeOf(Stream->Held, Stream->HeldLength);
        while (size == 0 && Stream->HeldLength != 0) {
            DropFirstHeld(Stream);
            size = ReportSizeOf(Stream->Held, Stream->HeldLength);
        }
        if (size != 0 && Stream->HeldLength == size) {
            Sink(Context, ReadReport(Stream->Held, size));
            Stream->HeldLength = 0;
        }
    }
}

void ForgetPartialReport(ReportStream* Stream)
{
    Stream->HeldLength = 0;
}

namespace {

// A report for a channel without a port device is ignored.
void ApplyCtsReport(PVOID Context, const CtsReport& Report)
{
    auto* module = static_cast<ModuleExtension*>(Context);
    if (Report.ChannelIndex < 0 || Report.ChannelIndex >= static_cast<LONG>(MODULE_CHANNEL_COUNT)) {
        return;
    }
    PDEVICE_OBJECT portDevice = module->PortDevices[Report.ChannelIndex];
    if (portDevice != nullptr) {
        ReportCtsChange(PortExtensionOf(portDevice), Report.On);
    }
}

}  // namespace

NTSTATUS StartControlReceive(ModuleExtension* Module)
{
    ForgetPartialReport(&Module->Reports);
    return PostControlReceive(Module);
}

VOID ControlReceiveComplete(PVOID Context, PIO_STATUS_BLOCK StatusBlock, ULONG_PTR Extra)
{
    UNREFERENCED_PARAMETER(Extra);
    auto* module = static_cast<ModuleExtension*>(Context);
    ConnectionRecord* control = &module->ControlConnection;
    // The status block is the one the next receive reuses.
    const NTSTATUS status = StatusBlock->Status;
    const ULONG received = static_cast<ULONG>(StatusBlock->Information);

    if (IsConnected(control) && NT_SUCCESS(status) && received != 0) {
        // The buffer has a byte beyond the longest receive for this.
        control->ReceiveBuffer[received] = '\0';
        ScanReports(&module->Reports, control->ReceiveBuffer, received, ApplyCtsReport, module);
        control->LastReceived = received;
        PostControlReceive(module);
    }
    KeSetEvent(&module->ReplyEvent, IO_NO_INCREMENT, FALSE);
}

namespace {

bool BuildFrame(ConnectionRecord* Control, const PortExtension* Port, LineFrame Frame)
{
    switch (Frame) {
    case LineFrame::BaudRate:
        return BuildBaudFrame(Control, Port->ChannelIndex, Port->BaudRate);
    case LineFrame::Framing:
        return BuildFramingFrame(Control, Port->ChannelIndex, Port->LineControl);
    case LineFrame::RtsOn:
        return BuildRtsFrame(Control, Port->ChannelIndex, true);
    case LineFrame::RtsOff:
        return BuildRtsFrame(Control, Port->ChannelIndex, false);
    }
    return false;
}

}  // namespace

bool SendsLineSettings(const PortExtension* Port)
{
    const ModuleExtension* module = ModuleOf(Port);
    return module != nullptr && module->SerialParaFlag[Port->ChannelIndex] == 0;
}

NTSTATUS SendPortFrame(PortExtension* Port, LineFrame Frame)
{
    ModuleExtension* module = ModuleOf(Port);
    if (module == nullptr) {
        return STATUS_SUCCESS;
    }
    AcquireModuleLock(module);
    KIRQL irql;
    KeAcquireSpinLock(&Port->PortLock, &irql);
    const bool built = BuildFrame(&module->ControlConnection, Port, Frame);
    KeReleaseSpinLock(&Port->PortLock, irql);
    // PortLock is never held across the send: it waits.
    const NTSTATUS status = built ? SendControlFrame(module) : STATUS_SUCCESS;
    ReleaseModuleLock(module);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}
