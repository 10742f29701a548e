#include "tcp_actions.h"

#include "tcp_indication.h"

namespace host {

TcpActions::~TcpActions() { Run(); }

void TcpActions::Complete(TcpRequest request, NTSTATUS status)
{
    // The client may unlock the buffer from its completion routine.
    request.Transfer.Release();
    steps_.push_back(Step{request.Irp, status, request.Transfer.Done(), nullptr, nullptr, 0});
}

void TcpActions::IndicateDisconnect(std::shared_ptr<TcpAddress> address, CONNECTION_CONTEXT context,
                                    ULONG flags)
{
    if (address != nullptr) {
        steps_.push_back(Step{nullptr, STATUS_SUCCESS, 0, std::move(address), context, flags});
    }
}

void TcpActions::Run()
{
    std::vector<Step> steps;
    steps.swap(steps_);
    for (const Step& step : steps) {
        if (step.Irp != nullptr) {
            CompleteIrp(step.Irp, step.Status, step.Information);
        } else {
            host::IndicateDisconnect(*step.Address, step.Context, step.Flags);
        }
    }
}

void CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

}  // namespace host
