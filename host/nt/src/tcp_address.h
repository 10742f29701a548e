// An address object: the local address its endpoints connect from, and the
// event handlers registered on it (each with its own context). Closing the
// handle clears the handlers, so none is called after that.
#pragma once

#include <tdikrnl.h>

#include <netinet/in.h>

#include <array>
#include <mutex>

namespace host {

class TcpAddress {
public:
    struct Handler {
        PVOID Routine = nullptr;
        PVOID Context = nullptr;
    };

    explicit TcpAddress(const sockaddr_in& local) : local_(local) {}

    const sockaddr_in& Local() const { return local_; }
    // STATUS_INVALID_PARAMETER for an event type TDI does not define; a null
    // routine clears the handler.
    NTSTATUS SetHandler(LONG eventType, PVOID routine, PVOID context);
    Handler Get(LONG eventType) const;
    void Close();
    bool Closed() const;

private:
    static constexpr std::size_t kEventTypes = TDI_EVENT_ERROR_EX + 1;

    const sockaddr_in local_;
    mutable std::mutex mutex_;
    std::array<Handler, kEventTypes> handlers_{};
    bool closed_ = false;
};

}  // namespace host
