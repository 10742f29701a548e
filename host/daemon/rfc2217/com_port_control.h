// The COM-PORT-OPTION commands of an RFC 2217 client, carried out on the
// port through the driver's serial I/O controls: the line settings become
// IOCTL_SERIAL_SET_BAUD_RATE and IOCTL_SERIAL_SET_LINE_CONTROL (so the
// module gets its frames), RTS and DTR their SET/CLR controls, a purge
// IOCTL_SERIAL_PURGE. Every answer carries the state the port is in after
// the command, so a client learns what the port could not do: the module
// has no break and the driver no flow control, so a request for either is
// answered with the port's "off"/"none". The modem state (CTS from the
// module's reports) is read with IOCTL_SERIAL_GET_MODEMSTATUS.
#pragma once

#include "../logger.h"
#include "telnet.h"

#include <host/kernel.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace zelvcomd {

class ComPortControl {
public:
    ComPortControl(std::shared_ptr<host::File> file, Logger& log, std::string name);

    // RTS and DTR up, as a serial port's open raises them, so that what is
    // reported of them is what the port has.
    void RaiseLines();
    // One command, from its command byte on: what goes back to the client
    // (a subnegotiation, or nothing). Throws TelnetViolation when it is
    // malformed; a well-formed command the port cannot carry out is
    // answered with the port's state, or ignored with a warning.
    Bytes Serve(const Bytes& command);
    // A NOTIFY-MODEMSTATE when a line the client's mask lets through
    // changed since the last one (always: whatever changed); else nothing.
    // Any thread.
    Bytes ModemState(bool always);
    // The client asked the server to hold its data back, or to go on.
    bool Suspended() const { return suspended_; }

private:
    std::uint32_t BaudRate();
    Bytes SetBaudRate(std::uint32_t rate);
    Bytes SetLine(std::uint8_t command, std::uint8_t value);
    Bytes SetControl(std::uint8_t value);
    Bytes Purge(std::uint8_t value);
    bool Succeeded(unsigned code, const void* input = nullptr, unsigned inputLength = 0);
    std::uint8_t SetModemLine(std::uint8_t value, std::uint8_t on, std::uint8_t off,
                              unsigned setCode, unsigned clearCode, bool* level);

    const std::shared_ptr<host::File> file_;
    Logger& log_;
    const std::string name_;
    bool rts_ = false;
    bool dtr_ = false;
    std::atomic<bool> suspended_{false};
    std::uint8_t lineStateMask_ = 0;

    std::mutex modemMutex_;  // guards what follows, shared with the modem watch
    std::uint8_t modemStateMask_;
    std::optional<std::uint8_t> lastModemState_;
};

}  // namespace zelvcomd
