#include "tcp_indication.h"

#include "callback_check.h"
#include "verifier.h"
#include "verifier_rules.h"

namespace host {
namespace {

// A stream has no message boundaries: what is indicated is whole when it
// is all there is.
ULONG ReceiveFlags(ULONG indicated, ULONG available)
{
    return TDI_RECEIVE_NORMAL | (indicated == available ? TDI_RECEIVE_ENTIRE_MESSAGE : 0);
}

void RequireSensible(const ReceiveIndication& result, ULONG indicated)
{
    if (result.Taken > indicated) {
        verifier::BugCheck(rule::kVerifierViolation,
                           "TDI receive event handler took " + std::to_string(result.Taken) + " of " +
                               std::to_string(indicated) + " indicated bytes");
    }
    if (result.Irp != nullptr && result.Status != STATUS_MORE_PROCESSING_REQUIRED) {
        verifier::BugCheck(rule::kVerifierViolation,
                           "TDI receive event handler returned an IRP without STATUS_MORE_PROCESSING_REQUIRED");
    }
}

}  // namespace

void IndicateDisconnect(const TcpAddress& address, CONNECTION_CONTEXT context, ULONG flags)
{
    const TcpAddress::Handler handler = address.Get(TDI_EVENT_DISCONNECT);
    if (handler.Routine == nullptr) {
        return;
    }
    const auto routine = reinterpret_cast<PTDI_IND_DISCONNECT>(handler.Routine);
    const thread_state::Snapshot before = thread_state::Take();
    routine(handler.Context, context, 0, nullptr, 0, nullptr, flags);
    verifier::RequireUnchanged(before, "TDI disconnect event handler");
}

ReceiveIndication IndicateReceive(const TcpAddress& address, CONNECTION_CONTEXT context,
                                  ULONG indicated, ULONG available, PVOID data)
{
    ReceiveIndication result;
    const TcpAddress::Handler handler = address.Get(TDI_EVENT_RECEIVE);
    if (handler.Routine == nullptr) {
        return result;
    }
    const auto routine = reinterpret_cast<PTDI_IND_RECEIVE>(handler.Routine);
    const thread_state::Snapshot before = thread_state::Take();
    result.Status = routine(handler.Context, context, ReceiveFlags(indicated, available), indicated,
                            available, &result.Taken, data, &result.Irp);
    verifier::RequireUnchanged(before, "TDI receive event handler");
    result.Called = true;
    RequireSensible(result, indicated);
    return result;
}

}  // namespace host
