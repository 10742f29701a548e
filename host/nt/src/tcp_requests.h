// TDI requests and their completion: a request an endpoint holds while it
// is pending, and who may complete it. A pending IRP has the transport's
// cancel routine set. The transport
// claims the IRP by taking the routine away (IoSetCancelRoutine(NULL)
// returns it) before it moves data or completes; when that finds the
// routine gone, IoCancelIrp has it, and only the cancel routine completes
// the IRP. So every IRP completes exactly once.
#pragma once

#include <host/common/non_copyable.h>
#include "mdl_transfer.h"
#include "reactor.h"
#include "tcp_address.h"

#include <wdm.h>

#include <netinet/in.h>

#include <deque>
#include <memory>
#include <optional>
#include <vector>

namespace host {

enum class RequestKind { Connect, Disconnect, Send, Receive };

struct TcpRequest {
    TcpRequest(PIRP irp, RequestKind kind) : Irp(irp), Kind(kind) {}

    PIRP Irp;
    RequestKind Kind;
    MdlTransfer Transfer;                                // send, receive
    ULONG Flags = 0;                                     // TDI disconnect flags
    std::optional<Reactor::Clock::time_point> Deadline;  // connect, disconnect
    bool Claimed = false;                                // the transport holds the cancel routine
    bool Cancelling = false;  // IoCancelIrp holds it: its routine completes the IRP
};

using RequestQueue = std::deque<TcpRequest>;

const char* KindName(RequestKind kind);

// The transport's cancel routine for every pending request.
VOID NTAPI CancelTransportRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// True when the transport now owns the request; false marks it Cancelling.
bool Claim(TcpRequest& request);
// Hands the request back to cancelling while it waits again. False when it
// was cancelled meanwhile: the transport owns it and completes it as
// cancelled.
bool Unclaim(TcpRequest& request);

// The request of `irp` taken out of the queue, or nullopt.
std::optional<TcpRequest> TakeRequest(RequestQueue& queue, PIRP irp);
// The head, unless it is being cancelled.
TcpRequest* LiveHead(RequestQueue& queue);
bool HasLiveHead(const RequestQueue& queue);

// What an endpoint decides under its lock and carries out after releasing
// it: IRP completions and disconnect indications, in the order decided. A
// completion routine may post the next request on the same endpoint, so
// none of them may run under the lock: declare the actions before taking
// the lock, and whatever Run has not done runs when they go.
class TcpActions : zel::NonCopyable {
public:
    ~TcpActions();

    // Information is the request's transferred byte count.
    void Complete(TcpRequest request, NTSTATUS status);
    void IndicateDisconnect(std::shared_ptr<TcpAddress> address, CONNECTION_CONTEXT context,
                            ULONG flags);
    void Run();

private:
    struct Step {
        PIRP Irp;
        NTSTATUS Status;
        ULONG_PTR Information;
        std::shared_ptr<TcpAddress> Address;
        CONNECTION_CONTEXT Context;
        ULONG Flags;
    };

    std::vector<Step> steps_;
};

// Sets the IRP's status block and completes it; returns the status, for a
// dispatch routine to return.
NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

}  // namespace host
