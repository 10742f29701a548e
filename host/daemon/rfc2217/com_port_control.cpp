#include "com_port_control.h"

#include <ntddser.h>

#include <algorithm>
#include <cstring>

namespace zelvcomd {
namespace {

// Client commands; the server answers each with its code plus 100.
enum Command : std::uint8_t {
    kSignature = 0,
    kSetBaudRate = 1,
    kSetDataSize = 2,
    kSetParity = 3,
    kSetStopSize = 4,
    kSetControl = 5,
    kNotifyModemState = 7,
    kFlowControlSuspend = 8,
    kFlowControlResume = 9,
    kSetLineStateMask = 10,
    kSetModemStateMask = 11,
    kPurgeData = 12,
};
constexpr std::uint8_t kServerCode = 100;
// In the answers of SET-DATASIZE, SET-PARITY and SET-STOPSIZE, 0 asks for
// the current value.
constexpr std::uint8_t kQuery = 0;

// SET-CONTROL values.
enum Control : std::uint8_t {
    kOutboundFlowQuery = 0,
    kNoFlowControl = 1,
    kXonXoffFlowControl = 2,
    kHardwareFlowControl = 3,
    kBreakQuery = 4,
    kBreakOn = 5,
    kBreakOff = 6,
    kDtrQuery = 7,
    kDtrOn = 8,
    kDtrOff = 9,
    kRtsQuery = 10,
    kRtsOn = 11,
    kRtsOff = 12,
    kInboundFlowQuery = 13,
    kNoInboundFlowControl = 14,
    kInboundXonXoff = 15,
    kInboundHardware = 16,
    kDcdFlowControl = 17,
    kDtrFlowControl = 18,
    kDsrFlowControl = 19,
};

// SET-STOPSIZE values, in the order of the NT stop bit values they stand for.
constexpr std::uint8_t kStopSizes[] = {1, 3, 2};  // STOP_BIT_1, STOP_BITS_1_5, STOP_BITS_2
constexpr std::uint8_t kFirstParity = 1;          // NONE; then ODD, EVEN, MARK, SPACE as in NT
constexpr std::uint8_t kLastParity = 5;
constexpr std::uint8_t kFewestDataBits = 5;
constexpr std::uint8_t kMostDataBits = 8;
constexpr std::uint8_t kPurgeReceive = 1;
constexpr std::uint8_t kPurgeTransmit = 2;
constexpr std::uint8_t kPurgeBoth = 3;
// The modem state byte is laid out as the UART's modem status register,
// and so as the driver's SERIAL_MSR_* bits: levels high, changes low.
constexpr std::uint8_t kAllModemLines = 0xFF;
constexpr std::uint8_t kLevels = SERIAL_MSR_CTS | SERIAL_MSR_DSR | SERIAL_MSR_RI | SERIAL_MSR_DCD;
constexpr std::size_t kBaudRateBytes = 4;

Bytes Answer(std::uint8_t command, const Bytes& value)
{
    Bytes payload(1 + value.size());
    payload[0] = static_cast<std::uint8_t>(command + kServerCode);
    std::copy(value.begin(), value.end(), payload.begin() + 1);
    return TelnetServer::Subnegotiation(payload);
}

void ExpectLength(const Bytes& command, std::size_t valueBytes)
{
    if (command.size() != 1 + valueBytes) {
        throw TelnetViolation("COM-PORT-OPTION command " + std::to_string(command[0]) + " with " +
                              std::to_string(command.size() - 1) + " value bytes");
    }
}

}  // namespace

ComPortControl::ComPortControl(std::shared_ptr<host::File> file, Logger& log, std::string name)
    : file_(std::move(file)), log_(log), name_(std::move(name)), modemStateMask_(kAllModemLines)
{
}

bool ComPortControl::Succeeded(unsigned code, const void* input, unsigned inputLength)
{
    const NTSTATUS status = file_->DeviceControl(code, input, inputLength, 0).Status;
    if (!NT_SUCCESS(status))
        log_.Warning(name_ + ": the port refused a setting of the RFC 2217 client (status " +
                     StatusText(status) + ")");
    return NT_SUCCESS(status);
}

void ComPortControl::RaiseLines()
{
    rts_ = Succeeded(IOCTL_SERIAL_SET_RTS);
    dtr_ = Succeeded(IOCTL_SERIAL_SET_DTR);
}

Bytes ComPortControl::Serve(const Bytes& command)
{
    const std::uint8_t code = command[0];
    switch (code) {
    case kSignature:
        if (command.size() == 1) {
            const std::string signature = "ZelVCOM " + name_;
            return Answer(code, Bytes(signature.begin(), signature.end()));
        }
        log_.Info(name_ + ": RFC 2217 client " + std::string(command.begin() + 1, command.end()));
        return {};
    case kSetBaudRate: {
        ExpectLength(command, kBaudRateBytes);
        std::uint32_t rate = 0;
        for (std::size_t i = 1; i <= kBaudRateBytes; ++i)
            rate = rate << 8 | command[i];
        return SetBaudRate(rate);
    }
    case kSetDataSize:
    case kSetParity:
    case kSetStopSize:
        ExpectLength(command, 1);
        return SetLine(code, command[1]);
    case kSetControl:
        ExpectLength(command, 1);
        return SetControl(command[1]);
    case kNotifyModemState:
        // Sent by clients that poll the modem state.
        return ModemState(true);
    case kFlowControlSuspend:
    case kFlowControlResume:
        ExpectLength(command, 0);
        suspended_ = code == kFlowControlSuspend;
        return {};
    case kSetLineStateMask:
        // The driver reports no line state events, so there is never one to send.
        ExpectLength(command, 1);
        lineStateMask_ = command[1];
        return Answer(code, {lineStateMask_});
    case kSetModemStateMask: {
        ExpectLength(command, 1);
        std::lock_guard<std::mutex> lock(modemMutex_);
        modemStateMask_ = command[1];
        return Answer(code, {modemStateMask_});
    }
    case kPurgeData:
        ExpectLength(command, 1);
        return Purge(command[1]);
    default:
        log_.Warning(name_ + ": the RFC 2217 client sent command " + std::to_string(code) +
                     ", which a client does not send; ignored");
        return {};
    }
}

std::uint32_t ComPortControl::BaudRate()
{
    const host::IoResult result =
        file_->DeviceControl(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, sizeof(SERIAL_BAUD_RATE));
    SERIAL_BAUD_RATE rate{};
    if (NT_SUCCESS(result.Status) && result.Data.size() >= sizeof rate)
        std::memcpy(&rate, result.Data.data(), sizeof rate);
    return rate.BaudRate;
}

Bytes ComPortControl::SetBaudRate(std::uint32_t rate)
{
    if (rate != 0) {
        const SERIAL_BAUD_RATE wanted{rate};
        Succeeded(IOCTL_SERIAL_SET_BAUD_RATE, &wanted, sizeof wanted);
    }
    const std::uint32_t now = BaudRate();
    Bytes value;
    for (int shift = 24; shift >= 0; shift -= 8)
        value.push_back(static_cast<std::uint8_t>(now >> shift));
    return Answer(kSetBaudRate, value);
}

// Data size, parity and stop size are one SERIAL_LINE_CONTROL: the one
// asked for changes, the others stay.
Bytes ComPortControl::SetLine(std::uint8_t command, std::uint8_t value)
{
    SERIAL_LINE_CONTROL line{};
    const host::IoResult current = file_->DeviceControl(IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0,
                                                        sizeof(SERIAL_LINE_CONTROL));
    if (NT_SUCCESS(current.Status) && current.Data.size() >= sizeof line)
        std::memcpy(&line, current.Data.data(), sizeof line);
    SERIAL_LINE_CONTROL wanted = line;
    if (command == kSetDataSize && value >= kFewestDataBits && value <= kMostDataBits) {
        wanted.WordLength = value;
    } else if (command == kSetParity && value >= kFirstParity && value <= kLastParity) {
        wanted.Parity = static_cast<UCHAR>(value - kFirstParity);
    } else if (command == kSetStopSize) {
        for (UCHAR stopBits = 0; stopBits < sizeof kStopSizes; ++stopBits) {
            if (kStopSizes[stopBits] == value)
                wanted.StopBits = stopBits;
        }
    }
    if (value != kQuery && std::memcmp(&wanted, &line, sizeof line) != 0 &&
        Succeeded(IOCTL_SERIAL_SET_LINE_CONTROL, &wanted, sizeof wanted)) {
        line = wanted;
    }
    std::uint8_t now = line.WordLength;
    if (command == kSetParity)
        now = static_cast<std::uint8_t>(line.Parity + kFirstParity);
    else if (command == kSetStopSize)
        now = line.StopBits < sizeof kStopSizes ? kStopSizes[line.StopBits] : kQuery;
    return Answer(command, {now});
}

Bytes ComPortControl::SetControl(std::uint8_t value)
{
    std::uint8_t now = 0;
    switch (value) {
    case kOutboundFlowQuery:
    case kNoFlowControl:
    case kXonXoffFlowControl:
    case kHardwareFlowControl:
    case kDcdFlowControl:
    case kDsrFlowControl:
        now = kNoFlowControl;
        break;
    case kInboundFlowQuery:
    case kNoInboundFlowControl:
    case kInboundXonXoff:
    case kInboundHardware:
    case kDtrFlowControl:
        now = kNoInboundFlowControl;
        break;
    case kBreakQuery:
    case kBreakOn:
    case kBreakOff:
        now = kBreakOff;
        break;
    case kDtrOn:
    case kDtrOff:
    case kDtrQuery:
        now =
            SetModemLine(value, kDtrOn, kDtrOff, IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_DTR, &dtr_);
        break;
    case kRtsOn:
    case kRtsOff:
    case kRtsQuery:
        now =
            SetModemLine(value, kRtsOn, kRtsOff, IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_CLR_RTS, &rts_);
        break;
    default:
        log_.Warning(name_ + ": the RFC 2217 client sent SET-CONTROL " + std::to_string(value) +
                     ", which has no meaning; ignored");
        return {};
    }
    if (now != value && value != kOutboundFlowQuery && value != kInboundFlowQuery &&
        value != kBreakQuery && value != kDtrQuery && value != kRtsQuery) {
        log_.Info(name_ + ": the RFC 2217 client asked for SET-CONTROL " + std::to_string(value) +
                  ", which the port does not have; answered " + std::to_string(now));
    }
    return Answer(kSetControl, {now});
}

Bytes ComPortControl::Purge(std::uint8_t value)
{
    ULONG flags = 0;
    if (value == kPurgeReceive || value == kPurgeBoth)
        flags |= SERIAL_PURGE_RXCLEAR;
    if (value == kPurgeTransmit || value == kPurgeBoth)
        flags |= SERIAL_PURGE_TXCLEAR;
    if (flags == 0) {
        log_.Warning(name_ + ": the RFC 2217 client asked to purge " + std::to_string(value) +
                     ", which names no buffer; ignored");
        return {};
    }
    if (!Succeeded(IOCTL_SERIAL_PURGE, &flags, sizeof flags))
        return {};
    return Answer(kPurgeData, {value});
}

Bytes ComPortControl::ModemState(bool always)
{
    const host::IoResult result =
        file_->DeviceControl(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, sizeof(ULONG));
    ULONG status = 0;
    if (NT_SUCCESS(result.Status) && result.Data.size() >= sizeof status)
        std::memcpy(&status, result.Data.data(), sizeof status);
    const auto levels = static_cast<std::uint8_t>(status & kLevels);

    std::lock_guard<std::mutex> lock(modemMutex_);
    const std::uint8_t before = lastModemState_.value_or(levels);
    const auto changed = static_cast<std::uint8_t>(levels ^ before);
    std::uint8_t state = levels;
    if ((changed & SERIAL_MSR_CTS) != 0)
        state |= SERIAL_MSR_DCTS;
    if ((changed & SERIAL_MSR_DSR) != 0)
        state |= SERIAL_MSR_DDSR;
    if ((changed & SERIAL_MSR_DCD) != 0)
        state |= SERIAL_MSR_DDCD;
    if ((changed & SERIAL_MSR_RI) != 0 && (levels & SERIAL_MSR_RI) == 0)
        state |= SERIAL_MSR_TERI;
    lastModemState_ = levels;
    if (!always && ((changed | (state & ~kLevels)) & modemStateMask_) == 0)
        return {};
    return Answer(kNotifyModemState, {static_cast<std::uint8_t>(state & modemStateMask_)});
}

// A modem line set or cleared as asked (a query asks neither); the answer
// is its level after.
std::uint8_t ComPortControl::SetModemLine(std::uint8_t value, std::uint8_t on, std::uint8_t off,
                                          unsigned setCode, unsigned clearCode, bool* level)
{
    if ((value == on || value == off) && Succeeded(value == on ? setCode : clearCode))
        *level = value == on;
    return *level ? on : off;
}

}  // namespace zelvcomd
