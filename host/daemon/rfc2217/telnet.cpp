#include "telnet.h"

#include <string>

namespace zelvcomd {
namespace {

constexpr std::uint8_t kWill = 251;
constexpr std::uint8_t kWont = 252;
constexpr std::uint8_t kDo = 253;
constexpr std::uint8_t kDont = 254;
constexpr std::uint8_t kBinary = 0;
constexpr std::uint8_t kSuppressGoAhead = 3;
// Commands below SE are no commands at all.
constexpr std::uint8_t kLowestCommand = telnet::kSe;
// The longest subnegotiation a client has reason to send (a signature).
constexpr std::size_t kLongestSubnegotiation = 255;

bool Supported(std::uint8_t option)
{
    return option == kBinary || option == kSuppressGoAhead || option == telnet::kComPortOption;
}

void Append(std::vector<TelnetServer::Event>* events, TelnetServer::Event::Kind kind,
            const Bytes& bytes)
{
    if (!events->empty() && events->back().What == kind &&
        kind != TelnetServer::Event::Kind::ComPort) {
        Bytes& last = events->back().Content;
        last.insert(last.end(), bytes.begin(), bytes.end());
    } else {
        events->push_back({kind, bytes});
    }
}

}  // namespace

Bytes TelnetServer::Greeting()
{
    options_[kBinary].Ours.Asked = true;
    options_[kBinary].Theirs.Asked = true;
    options_[telnet::kComPortOption].Theirs.Asked = true;
    return {telnet::kIac, kWill,        kBinary, telnet::kIac,          kDo,
            kBinary,      telnet::kIac, kDo,     telnet::kComPortOption};
}

bool TelnetServer::ComPortAgreed() const
{
    const Option& option = options_[telnet::kComPortOption];
    return option.Ours.Enabled || option.Theirs.Enabled;
}

std::vector<TelnetServer::Event> TelnetServer::Feed(const std::uint8_t* data, std::size_t length)
{
    std::vector<Event> events;
    Bytes plain;
    const auto flushPlain = [&] {
        if (!plain.empty()) {
            Append(&events, Event::Kind::Data, plain);
            plain.clear();
        }
    };
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t byte = data[i];
        switch (state_) {
        case State::Data:
            if (byte == telnet::kIac) {
                state_ = State::Iac;
            } else {
                plain.push_back(byte);
            }
            break;
        case State::Iac:
            state_ = State::Data;
            if (byte == telnet::kIac) {
                plain.push_back(byte);
            } else if (byte == telnet::kSb) {
                sub_.clear();
                state_ = State::Sub;
            } else if (byte >= kWill) {
                verb_ = byte;
                state_ = State::Option;
            } else if (byte <= telnet::kSe) {
                // SE outside a subnegotiation, or no command at all.
                throw TelnetViolation("IAC followed by " + std::to_string(byte));
            }
            // NOP, data mark, break, interrupt, abort output, are you
            // there, erase character or line, go ahead: nothing to do on a
            // serial line that carries bytes as they are.
            break;
        case State::Option:
            flushPlain();
            Negotiate(verb_, byte, &events);
            state_ = State::Data;
            break;
        case State::Sub:
            if (byte == telnet::kIac) {
                state_ = State::SubIac;
            } else if (sub_.size() == kLongestSubnegotiation) {
                throw TelnetViolation("a subnegotiation longer than " +
                                      std::to_string(kLongestSubnegotiation) + " bytes");
            } else {
                sub_.push_back(byte);
            }
            break;
        case State::SubIac:
            if (byte == telnet::kSe) {
                flushPlain();
                EndSubnegotiation(&events);
                state_ = State::Data;
            } else if (byte == telnet::kIac && sub_.size() < kLongestSubnegotiation) {
                sub_.push_back(byte);
                state_ = State::Sub;
            } else {
                throw TelnetViolation("a subnegotiation broken by IAC " + std::to_string(byte));
            }
            break;
        }
    }
    flushPlain();
    return events;
}

void TelnetServer::Negotiate(std::uint8_t verb, std::uint8_t option, std::vector<Event>* events)
{
    const bool theirSide = verb == kWill || verb == kWont;
    const bool wanted = verb == kWill || verb == kDo;
    Side& side = theirSide ? options_[option].Theirs : options_[option].Ours;
    const std::uint8_t yes = theirSide ? kDo : kWill;
    const std::uint8_t no = theirSide ? kDont : kWont;
    std::uint8_t answer = 0;
    if (wanted && !Supported(option)) {
        answer = no;
    } else if (wanted && !side.Enabled) {
        side.Enabled = true;
        answer = side.Asked ? 0 : yes;  // an answer to the server's own request
    } else if (!wanted && side.Enabled) {
        side.Enabled = false;
        answer = side.Asked ? 0 : no;
    }
    // A request for what is already in force, or a refusal of what the
    // server asked for, is not answered.
    side.Asked = false;
    if (answer != 0)
        Append(events, Event::Kind::Reply, {telnet::kIac, answer, option});
}

void TelnetServer::EndSubnegotiation(std::vector<Event>* events)
{
    if (sub_.empty())
        throw TelnetViolation("an empty subnegotiation");
    if (sub_[0] != telnet::kComPortOption)
        throw TelnetViolation("a subnegotiation of option " + std::to_string(sub_[0]) +
                              ", which was not agreed");
    if (!ComPortAgreed())
        throw TelnetViolation("COM-PORT-OPTION subnegotiation before the option was agreed");
    if (sub_.size() < 2)
        throw TelnetViolation("a COM-PORT-OPTION subnegotiation without a command");
    events->push_back({Event::Kind::ComPort, Bytes(sub_.begin() + 1, sub_.end())});
}

Bytes TelnetServer::Subnegotiation(const Bytes& payload)
{
    Bytes out{telnet::kIac, telnet::kSb, telnet::kComPortOption};
    AppendEscaped(payload.data(), payload.size(), &out);
    out.insert(out.end(), {telnet::kIac, telnet::kSe});
    return out;
}

void TelnetServer::AppendEscaped(const std::uint8_t* data, std::size_t length, Bytes* out)
{
    for (std::size_t i = 0; i < length; ++i) {
        out->push_back(data[i]);
        if (data[i] == telnet::kIac)
            out->push_back(telnet::kIac);
    }
}

}  // namespace zelvcomd
