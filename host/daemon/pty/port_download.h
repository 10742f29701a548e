// Module to program, for one session of a port: reads kept pending in the
// driver complete as bytes arrive, and the bytes go to the pseudo-terminal's
// master. A wait-on-mask catches what arrives between reads. The master
// taking no more holds the next read back, so the driver's buffer and then
// TCP hold the module back. No polling: an idle port has only its wait
// pending.
//
// The work runs in whichever thread a completion arrives on (the transport's
// reactor, mostly), once that thread has left the driver; one thread at a
// time pumps, and a completion arriving meanwhile is left to it. Room in a
// full master is reported on the transport's thread too. A stream from the
// module thus moves without a hand-off between threads.
#pragma once

#include "../logger.h"

#include <host/kernel.h>
#include <ntddser.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zelvcomd {

class PortDownload : public std::enable_shared_from_this<PortDownload> {
public:
    // baseTimeouts: the port's timeouts, kept but for the read ones.
    PortDownload(host::Kernel& kernel, std::shared_ptr<host::File> file, int masterFd,
                 const SERIAL_TIMEOUTS& baseTimeouts, Logger& log, std::string name);

    // Readies a freshly opened port for a download: keeps its timeouts in
    // *baseTimeouts and has its wait report data arrival, and also the
    // events given.
    static NTSTATUS Prepare(host::File& file, ULONG moreEvents, SERIAL_TIMEOUTS* baseTimeouts);

    // Has the transport watch the master for room. Throws std::system_error
    // when it cannot. Before Start.
    void WatchMaster();
    // For a program on a network connection rather than a pseudo-terminal
    // (the descriptor is then its socket). Before Start. encode: turns the
    // module's bytes into what the connection carries. onModemChange: runs
    // on the pumping thread when the port reports a modem line change (the
    // wait mask must include SERIAL_EV_CTS).
    using Encoder =
        std::function<void(const std::uint8_t*, std::size_t, std::vector<std::uint8_t>*)>;
    void Encode(Encoder encode) { encode_ = std::move(encode); }
    void OnModemChange(std::function<void()> onModemChange)
    {
        onModemChange_ = std::move(onModemChange);
    }
    // Bytes of the daemon's own for the program, after what it has been
    // given so far. Any thread.
    void Send(const std::vector<std::uint8_t>& bytes);
    // While held, nothing more goes to the program: the driver's buffer and
    // then TCP hold the module back. Any thread.
    void Hold(bool held);
    void Start();
    // No more writes to the master and no more requests once this returns;
    // the requests in flight are called off. Idempotent.
    void Stop();
    // Blocks until the called-off requests have completed. After Stop.
    void AwaitRequests();

private:
    // Reads wait up to a second for data, or only for a timer of no length
    // (taking what is held).
    enum class ReadKind { Waiting, Draining };
    enum class Step {
        None,
        PostWait,
        PostWaitingRead,
        PostDrainingRead,
        CallOffRead,
        ModemChanged
    };

    void MasterWritable();
    void Pump();
    Step NextStep();
    void Perform(Step step);
    void TakeReadResult();
    bool TakeWaitResult();
    bool FlushToProgram();

    void UseReadTimeouts(ReadKind kind);
    void PostWait();
    void PostRead(ReadKind kind);
    void CallOffRead();
    using Completion = void (PortDownload::*)(std::uint64_t serial, const host::IoResult& result);
    void Route(host::PendingIo& io, std::uint64_t serial, Completion done);
    void OnReadDone(std::uint64_t serial, const host::IoResult& result);
    void OnWaitDone(std::uint64_t serial, const host::IoResult& result);

    host::Kernel& kernel_;
    const std::shared_ptr<host::File> file_;
    const SERIAL_TIMEOUTS baseTimeouts_;
    Logger& log_;
    const std::string name_;
    std::optional<ReadKind> readTimeouts_;  // what the port is set to; pumping thread only
    Encoder encode_;
    std::function<void()> onModemChange_;

    std::mutex mutex_;  // guards what follows
    std::condition_variable idle_;
    int masterFd_;  // -1 once stopped
    // Reports room in the master on the transport's thread, so that one
    // thread carries the stream; armed when the master takes no more.
    std::unique_ptr<host::RoomWatch> room_;
    bool stopped_ = false;
    bool pumping_ = false;
    bool masterFull_ = false;
    std::uint64_t serial_ = 0;  // tells a current request's completion from a called-off one's

    std::shared_ptr<host::PendingIo> read_;
    std::uint64_t readSerial_ = 0;
    ReadKind readKind_ = ReadKind::Draining;
    std::optional<host::IoResult> readResult_;  // completed, not yet taken by the pump

    std::shared_ptr<host::PendingIo> wait_;  // completes when data arrives with no read pending
    std::uint64_t waitSerial_ = 0;
    std::optional<host::IoResult> waitResult_;
    bool modemChanged_ = false;
    bool held_ = false;

    bool heldMaybe_ = false;  // bytes may be held with no read pending
    bool active_ = false;     // data came recently: keep a read waiting
    std::vector<std::uint8_t> toProgram_;
    std::size_t toProgramSent_ = 0;
    std::vector<std::shared_ptr<host::PendingIo>> calledOff_;
};

}  // namespace zelvcomd
