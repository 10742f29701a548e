#include "signal_watch.h"

#include "errors.h"

#include <sys/epoll.h>
#include <sys/signalfd.h>

namespace zelmodsim {

SignalWatch::Block::Block()
{
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &signals_, &previous_) != 0) {
        throw ErrnoError("sigprocmask");
    }
}

SignalWatch::Block::~Block() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }

SignalWatch::SignalWatch(EventLoop& loop, std::function<void(int signal)> onSignal)
    : fd_(signalfd(-1, &block_.Signals(), SFD_NONBLOCK | SFD_CLOEXEC)), onSignal_(std::move(onSignal))
{
    if (!fd_.Valid()) {
        throw ErrnoError("signalfd");
    }
    watch_ = EventLoop::Watch(loop, fd_.Get(), EPOLLIN, [this](std::uint32_t) { OnReadable(); });
}

void SignalWatch::OnReadable()
{
    signalfd_siginfo info{};
    if (read(fd_.Get(), &info, sizeof info) == sizeof info) {
        onSignal_(static_cast<int>(info.ssi_signo));
    }
}

}  // namespace zelmodsim
