// The simulator's TCP side: listening sockets, one accepted connection with
// buffered output, and a port that serves one client at a time as a module's
// ports do.
#pragma once

#include <host/common/non_copyable.h>
#include "event_log.h"

#include <host/common/event_loop.h>
#include <host/common/unique_fd.h>

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelmodsim {

// Socket set-up for the listening side.
// A non-blocking TCP socket bound to address:port (0 = any free port), not yet
// listening. Throws naming the address on failure.
zel::UniqueFd BindTcp(const in_addr& address, std::uint16_t port);

void StartListening(int fd, int backlog);

std::uint16_t LocalPort(int fd);

// The next pending connection, non-blocking; invalid when there is none.
zel::UniqueFd AcceptPending(int listener);

// Sends small writes at once; frames and reports are a few bytes each.
void SetNoDelay(int fd);

// Makes close() reset the connection (RST) instead of closing it.
void SetResetOnClose(int fd);

// One accepted stream socket in the event loop. Its owner's handler reads it;
// whatever cannot be written at once waits here until the socket has room.
// It closes either gracefully (FIN once the pending output is out; the owner
// then drains it until the peer closes) or abortively (RST).
class Connection {
public:
    enum class ReadStatus { Data, WouldBlock, End, Failed };
    struct ReadResult {
        ReadStatus Status;
        std::size_t Size;
    };

    Connection(zel::EventLoop& loop, zel::UniqueFd fd, zel::EventLoop::Handler handler);

    ReadResult Read(char* buffer, std::size_t size);
    // Queues bytes and writes what the socket takes; false when it failed.
    bool Write(std::string_view bytes);
    // For EPOLLOUT: writes pending output; false when the socket failed.
    bool Flush();

    void CloseGracefully();
    bool Closing() const { return closing_; }
    // Destroying the connection afterwards sends RST.
    void ResetOnClose();

    // Backpressure: stop reading while the peer does not take our output.
    void PauseReading(bool paused);
    bool ReadingPaused() const { return readingPaused_; }
    std::size_t Pending() const { return pending_.size() - sentOffset_; }

private:
    void ShutdownIfFlushed();
    void UpdateInterest();

    zel::UniqueFd fd_;
    zel::EventLoop::Watch watch_;
    std::string pending_;
    std::size_t sentOffset_ = 0;
    bool closing_ = false;
    bool shutDown_ = false;
    bool readingPaused_ = false;
    std::uint32_t interest_;
};

// A TCP port that serves one client at a time, as a module's ports do: a new
// connection replaces the current one. It listens, refuses (bound but not
// listening, so connects are refused) or holds (listening but not accepting),
// reads for its owner and closes on request. Connects and disconnects are
// logged as "CONNECTED <label>" and "DISCONNECTED <label> reason=...".
class ServedPort : zel::NonCopyable {
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
    ServedPort(zel::EventLoop& loop, EventLog& log, zel::UniqueFd bound, Settings settings,
               Handlers handlers);

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
