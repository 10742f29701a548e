// What an endpoint decides under its lock and carries out after releasing
// it: IRP completions and disconnect indications, in the order decided. A
// completion routine may post the next request on the same endpoint, so
// none of them may run under the lock: declare the actions before taking
// the lock, and whatever Run has not done runs when they go.
#pragma once

#include "tcp_address.h"
#include "tcp_request.h"

#include <memory>
#include <vector>

namespace host {

class TcpActions {
public:
    TcpActions() = default;
    TcpActions(const TcpActions&) = delete;
    TcpActions& operator=(const TcpActions&) = delete;
    ~TcpActions();

    // Information is the request's transferred byte count.
    void Complete(TcpRequest request, NTSTATUS status);
    void IndicateDisconnect(std::shared_ptr<TcpAddress> address, CONNECTION_CONTEXT context, ULONG flags);
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

// Sets the IRP's status block and completes it.
void CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information);

}  // namespace host
