#include "tcp_request.h"

namespace host {

const char* KindName(RequestKind kind)
{
    switch (kind) {
    case RequestKind::Connect:
        return "TDI_CONNECT";
    case RequestKind::Disconnect:
        return "TDI_DISCONNECT";
    case RequestKind::Send:
        return "TDI_SEND";
    case RequestKind::Receive:
        return "TDI_RECEIVE";
    }
    return "TDI request";
}

bool Claim(TcpRequest& request)
{
    if (request.Claimed) {
        return true;
    }
    if (IoSetCancelRoutine(request.Irp, nullptr) != nullptr) {
        request.Claimed = true;
        return true;
    }
    request.Cancelling = true;
    return false;
}

bool Unclaim(TcpRequest& request)
{
    request.Claimed = false;
    IoSetCancelRoutine(request.Irp, CancelTransportRequest);
    if (request.Irp->Cancel && IoSetCancelRoutine(request.Irp, nullptr) != nullptr) {
        request.Claimed = true;
        return false;
    }
    return true;
}

std::optional<TcpRequest> TakeRequest(RequestQueue& queue, PIRP irp)
{
    for (auto it = queue.begin(); it != queue.end(); ++it) {
        if (it->Irp == irp) {
            TcpRequest request = std::move(*it);
            queue.erase(it);
            return request;
        }
    }
    return std::nullopt;
}

TcpRequest* LiveHead(RequestQueue& queue)
{
    return queue.empty() || queue.front().Cancelling ? nullptr : &queue.front();
}

bool HasLiveHead(const RequestQueue& queue) { return !queue.empty() && !queue.front().Cancelling; }

}  // namespace host
