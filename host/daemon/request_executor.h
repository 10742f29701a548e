// Runs the clients' requests against the host kernel, on worker threads.
// A request the driver pends holds no thread: its reply is queued by the
// completion callback, from whichever thread completes the IRP.
#pragma once

#include "activity_counter.h"
#include "client_session.h"
#include "device_watch.h"
#include "logger.h"
#include "port_ledger.h"
#include "worker_pool.h"

#include <host/kernel.h>
#include <zelvcom_ipc/protocol.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace zelvcomd {

class RequestExecutor {
public:
    RequestExecutor(host::Kernel& kernel, Logger& log, DeviceWatch& watch,
                    ActivityCounter& activity, PortLedger& ledger)
        : kernel_(kernel), log_(log), watch_(watch), activity_(activity), ledger_(ledger)
    {
    }

    // A request the event loop accepted (begun in the session and counted
    // in the activity counter); answered exactly once, or dropped when the
    // client has gone.
    void Execute(const std::shared_ptr<ClientSession>& session, const zelipc::Request& request);

    // The handle a request names (0 for none).
    static std::uint64_t HandleOf(const zelipc::Request& request);
    // The handle an I/O request (read, write, device control, flush) is
    // for, as a cancel finds it; 0 for a close or a cancel, which no cancel
    // reaches.
    static std::uint64_t IoHandleOf(const zelipc::Request& request);
    // Where a request waits for its turn: in its device's queue, so that
    // what blocks in the driver (a write the module does not take, an open
    // waiting for a connect) holds one thread for its device and none
    // other; a request for no device (an unknown handle or name) waits in
    // its client's. None for a cancel: it never blocks, and must not wait
    // behind what it cancels.
    KeyedQueues::Key QueueOf(const std::shared_ptr<ClientSession>& session,
                             const zelipc::Request& request) const;

    // A client that has gone, as a process exit on Windows: its requests
    // are cancelled, then every handle is cleaned up and closed.
    void Teardown(const std::shared_ptr<ClientSession>& session);

private:
    struct Context {
        std::shared_ptr<ClientSession> Session;
        std::uint64_t RequestId = 0;
    };
    struct Dispatcher;

    void Open(const Context& context, const zelipc::OpenRequest& request);
    void Read(const Context& context, const zelipc::ReadRequest& request);
    void Write(const Context& context, const zelipc::WriteRequest& request);
    void Control(const Context& context, const zelipc::DeviceControlRequest& request);
    void Flush(const Context& context, const zelipc::FlushRequest& request);
    void Cancel(const Context& context, const zelipc::CancelRequest& request);
    void Close(const Context& context, const zelipc::CloseRequest& request);
    void PortStatus(const Context& context, const zelipc::PortStatusRequest& request);

    std::shared_ptr<host::File> FileOf(const Context& context, std::uint64_t handle);
    void Await(const Context& context, std::shared_ptr<host::PendingIo> io);
    void Finish(const Context& context, NTSTATUS status, std::uint64_t information = 0,
                const std::vector<std::uint8_t>& data = {});
    void Drop(const Context& context);

    host::Kernel& kernel_;
    Logger& log_;
    DeviceWatch& watch_;
    ActivityCounter& activity_;
    PortLedger& ledger_;
};

}  // namespace zelvcomd
