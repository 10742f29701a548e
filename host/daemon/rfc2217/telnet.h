// The Telnet layer of an RFC 2217 connection, as its server: bytes from the
// client are split into data, option negotiation and subnegotiations; what
// goes back has IAC doubled. Only what a serial port needs is agreed to:
// BINARY and SUPPRESS-GO-AHEAD both ways, and COM-PORT-OPTION; every other
// option is declined. Each option keeps its state per side, so a request
// for a mode already in force is never answered and negotiation cannot
// loop. Anything malformed ends the connection (see Violation).
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace zelvcomd {

using Bytes = std::vector<std::uint8_t>;

namespace telnet {
constexpr std::uint8_t kIac = 255;
constexpr std::uint8_t kSb = 250;
constexpr std::uint8_t kSe = 240;
constexpr std::uint8_t kComPortOption = 44;
}  // namespace telnet

// The client broke the protocol; its connection ends.
class TelnetViolation : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TelnetServer {
public:
    // What one batch of input held, in the order it came.
    struct Event {
        enum class Kind { Data, Reply, ComPort };
        Kind What;
        // Data: the client's bytes, IAC undoubled. Reply: negotiation bytes
        // to send back as they are. ComPort: a COM-PORT-OPTION
        // subnegotiation, from its command byte on, IAC undoubled.
        Bytes Content;
    };

    // What the server asks for as the connection opens: BINARY both ways,
    // and that the client speak COM-PORT-OPTION.
    Bytes Greeting();
    // Throws TelnetViolation on malformed input; nothing of the batch is
    // acted on then.
    std::vector<Event> Feed(const std::uint8_t* data, std::size_t length);
    // Whether COM-PORT-OPTION is in force, either way round.
    bool ComPortAgreed() const;

    // A COM-PORT-OPTION subnegotiation of the server: IAC SB 44 payload
    // IAC SE, with IAC doubled in the payload.
    static Bytes Subnegotiation(const Bytes& payload);
    // Data for the client, IAC doubled.
    static void AppendEscaped(const std::uint8_t* data, std::size_t length, Bytes* out);

private:
    enum class State { Data, Iac, Option, Sub, SubIac };
    // One side of an option: in force, or asked for by the server and not
    // yet answered.
    struct Side {
        bool Enabled = false;
        bool Asked = false;
    };
    struct Option {
        Side Ours;    // the server performs it: it says WILL, the client DO
        Side Theirs;  // the client performs it: it says WILL, the server DO
    };

    void Negotiate(std::uint8_t verb, std::uint8_t option, std::vector<Event>* events);
    void EndSubnegotiation(std::vector<Event>* events);

    State state_ = State::Data;
    std::uint8_t verb_ = 0;
    Bytes sub_;
    Option options_[256]{};
};

}  // namespace zelvcomd
