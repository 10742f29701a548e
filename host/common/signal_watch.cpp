#include <host/common/signal_watch.h>

#include <host/common/errors.h>

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace zel {
SignalWatch::SignalWatch(std::initializer_list<int> signals)
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : signals) {
        sigaddset(&set, signal);
    }
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) {
        throw ErrnoError("blocking signals");
    }
    fd_.Reset(signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!fd_.Valid()) {
        throw ErrnoError("signalfd");
    }
}

int SignalWatch::Take()
{
    signalfd_siginfo info{};
    const ssize_t got = read(fd_.Get(), &info, sizeof info);
    return got == static_cast<ssize_t>(sizeof info) ? static_cast<int>(info.ssi_signo) : 0;
}

}  // namespace zel
