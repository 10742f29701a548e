// Turns SIGINT and SIGTERM into loop events. While it exists the two signals
// are blocked, so they arrive only through here.
#pragma once

#include "event_loop.h"
#include "unique_fd.h"

#include <signal.h>

#include <functional>

namespace zelmodsim {

class SignalWatch {
public:
    SignalWatch(EventLoop& loop, std::function<void(int signal)> onSignal);

private:
    // Blocks the stop signals and restores the previous mask when it goes.
    class Block {
    public:
        Block();
        Block(const Block&) = delete;
        Block& operator=(const Block&) = delete;
        ~Block();
        const sigset_t& Signals() const { return signals_; }

    private:
        sigset_t signals_{};
        sigset_t previous_{};
    };

    void OnReadable();

    Block block_;
    UniqueFd fd_;
    std::function<void(int)> onSignal_;
    EventLoop::Watch watch_;
};

}  // namespace zelmodsim
