// A TCP port that serves one client at a time, as a module's ports do: a new
// connection replaces the current one. It listens, refuses (bound but not
// listening, so connects are refused) or holds (listening but not accepting),
// reads for its owner and closes on request. Connects and disconnects are
// logged as "CONNECTED <label>" and "DISCONNECTED <label> reason=...".
#pragma once

#include "connection.h"
#include "event_log.h"

#include <host/common/event_loop.h>
#include <host/common/unique_fd.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelmodsim {

class ServedPort {
public:
    enum class Listening { Refuse, Accept, Hold };

    struct Settings {
        std::string Label;  // "control", "channel=N"
        Listening Start = Listening::Accept;
        int Backlog = 1;
        std::size_t ReadChunk = 1;  // the most one read takes
    };

    struct Handlers {
        std::function<void()> Connected;
        std::function<void(std::string_view bytes)> Received;
        // The open client is gone or closing, whatever the reason.
        std::function<void()> Disconnected;
    };

    // bound comes from BindTcp.
    ServedPort(zel::EventLoop& loop, EventLog& log, zel::UniqueFd bound, Settings settings, Handlers handlers);
    ServedPort(const ServedPort&) = delete;
    ServedPort& operator=(const ServedPort&) = delete;

    std::uint16_t Port() const { return port_; }
    bool HasClient() const { return client_.has_value() && !client_->Closing(); }

    // Each returns false when there is no open client (or it just failed).
    bool Send(std::string_view bytes);
    bool Close(std::string_view reason);
    bool Reset(std::string_view reason);

    bool Refusing() const { return listening_ == Listening::Refuse; }
    bool Holding() const { return listening_ == Listening::Hold; }
    // Between Accept and Hold; not for a refusing port.
    void SetListening(Listening listening);

private:
    void OnListenerReady();
    void OnClientEvent(std::uint32_t events);
    void ReadClient();
    void OnClientFailed();
    void Drop(std::string_view reason);
    void ApplyBackpressure();

    zel::EventLoop& loop_;
    EventLog& log_;
    zel::UniqueFd listener_;
    std::uint16_t port_;
    Settings settings_;
    Listening listening_;
    Handlers handlers_;
    std::vector<char> readBuffer_;
    zel::EventLoop::Watch listenWatch_;
    std::optional<Connection> client_;
};

}  // namespace zelmodsim
