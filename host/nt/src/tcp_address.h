// Addresses and event indications. TRANSPORT_ADDRESS as TDI clients pass
// it; an address object, with the local address its endpoints connect from
// and the event handlers registered on it; and the calls into those
// handlers.
#pragma once

#include <ntdef.h>
#include <tdikrnl.h>

#include <netinet/in.h>

#include <array>
#include <mutex>
#include <optional>

namespace host {

// An address object. Each handler has its own context. Closing the handle
// clears the handlers, so none is called after that.
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

namespace host::tdi {

// TRANSPORT_ADDRESS as TDI clients pass it (in the "TransportAddress" EA and
// in a connect's remote address): a count, then that many TA_ADDRESS
// entries of varying length. Only IPv4 entries mean anything to TCP here.
// The first TDI_ADDRESS_TYPE_IP entry of an address of `length` bytes;
// nullopt when there is none or an entry runs past the length.
std::optional<sockaddr_in> FirstIpAddress(const void* address, ULONG length);

}  // namespace host::tdi

namespace host {

// Calls into a client's event handlers, with the verifier's checks around
// each call. The transport calls them on its reactor thread at
// DISPATCH_LEVEL, holding none of its locks.
void IndicateDisconnect(const TcpAddress& address, CONNECTION_CONTEXT context, ULONG flags);

struct ReceiveIndication {
    bool Called = false;  // false when no receive handler is registered
    NTSTATUS Status = STATUS_SUCCESS;
    ULONG Taken = 0;
    PIRP Irp = nullptr;
};

// Bug check when the handler takes more bytes than were indicated, or
// hands back an IRP without STATUS_MORE_PROCESSING_REQUIRED.
ReceiveIndication IndicateReceive(const TcpAddress& address, CONNECTION_CONTEXT context,
                                  ULONG indicated, ULONG available, PVOID data);

}  // namespace host
