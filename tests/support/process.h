// Test support: a program run as a child process with its standard streams
// connected to the test. The test writes command lines to its stdin and
// waits, with a deadline, for lines on its stdout; stderr is collected too.
//
// Output is read by background threads all the time, so a child that writes
// a lot never blocks on a full pipe while the test is busy elsewhere.
//
// The child gets SIGTERM if the thread that started it ends (a crashed test
// leaves no orphan), and SIGKILL when the ChildProcess goes while it runs.
// RunToExit runs a program to its end and returns its status and output.
#pragma once

#include "deadline.h"
#include <host/common/unique_fd.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace zel::test {

// Lines of one output stream as they arrive. A wait takes the first line not
// yet taken that matches, so waits for different lines need not come in the
// order the lines were written.
class LineCollector {
public:
    using Match = std::function<bool(const std::string& line)>;

    void Append(std::string_view bytes)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            text_.append(bytes);
            for (const char byte : bytes) {
                if (byte == '\n') {
                    AddLine();
                } else {
                    partial_ += byte;
                }
            }
        }
        changed_.notify_all();
    }

    void End()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!partial_.empty()) {
                AddLine();
            }
            ended_ = true;
        }
        changed_.notify_all();
    }

    // Nothing when the deadline passes or the stream ends first.
    std::optional<std::string> WaitFor(const Match& match, const Deadline& deadline = Deadline())
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (std::size_t next = 0;;) {
            for (; next < lines_.size(); ++next) {
                if (!taken_[next] && match(lines_[next])) {
                    taken_[next] = true;
                    return lines_[next];
                }
            }
            if (ended_) {
                return std::nullopt;
            }
            const bool timedOut =
                changed_.wait_until(lock, deadline.At()) == std::cv_status::timeout;
            if (timedOut && next == lines_.size()) {
                return std::nullopt;
            }
        }
    }

    std::optional<std::string> WaitForPrefix(std::string_view prefix,
                                             const Deadline& deadline = Deadline())
    {
        return WaitFor([prefix](const std::string& line) { return line.rfind(prefix, 0) == 0; },
                       deadline);
    }

    // Everything so far, as written.
    std::string Text() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }

private:
    void AddLine()
    {
        lines_.push_back(std::move(partial_));
        taken_.push_back(false);
        partial_.clear();
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string text_;
    std::string partial_;
    std::vector<std::string> lines_;
    std::vector<bool> taken_;
    bool ended_ = false;
};

class ChildProcess {
public:
    // Throws std::system_error when the process cannot be started. A program
    // that cannot be executed exits with kExecFailed.
    ChildProcess(const std::string& program, const std::vector<std::string>& args)
    {
        // stdin is a socket pair, so writes to a child that is gone fail
        // instead of raising SIGPIPE in the test.
        auto [parentIn, childIn] = Pair(SocketPair, "socketpair");
        auto [readOut, childOut] = Pair(OutputPipe, "pipe2");
        auto [readErr, childErr] = Pair(OutputPipe, "pipe2");
        stdin_ = std::move(parentIn);

        std::vector<std::string> argvStrings{program};
        argvStrings.insert(argvStrings.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& arg : argvStrings) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);

        const pid_t parent = getpid();
        pid_ = fork();
        Check(pid_, "fork");
        if (pid_ == 0) {
            RunChild(parent, childIn.Get(), childOut.Get(), childErr.Get(), argv.data());
        }
        stdoutReader_ = std::thread(Pump, std::move(readOut), std::ref(stdout_));
        stderrReader_ = std::thread(Pump, std::move(readErr), std::ref(stderr_));
    }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    ~ChildProcess()
    {
        if (!status_) {
            kill(pid_, SIGKILL);
            int ignored = 0;
            waitpid(pid_, &ignored, 0);
        }
        stdin_.Reset();
        stdoutReader_.join();
        stderrReader_.join();
    }

    static constexpr int kExecFailed = 127;

    pid_t Pid() const { return pid_; }
    LineCollector& Stdout() { return stdout_; }
    LineCollector& Stderr() { return stderr_; }

    bool Write(std::string_view text)
    {
        while (!text.empty()) {
            const ssize_t sent = send(stdin_.Get(), text.data(), text.size(), MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR) {
                continue;
            }
            if (sent <= 0) {
                return false;
            }
            text.remove_prefix(static_cast<std::size_t>(sent));
        }
        return true;
    }
    bool WriteLine(std::string_view line) { return Write(std::string(line) + '\n'); }
    void CloseStdin() { stdin_.Reset(); }

    bool Signal(int signal) { return !status_ && kill(pid_, signal) == 0; }

    // The wait status (as waitpid gives it) once the process has ended;
    // nothing when the deadline passes first.
    std::optional<int> WaitForExit(const Deadline& deadline = Deadline())
    {
        if (status_) {
            return status_;
        }
        UniqueFd exitWatch(static_cast<int>(syscall(SYS_pidfd_open, pid_, 0)));
        Check(exitWatch.Valid() ? 0 : -1, "pidfd_open");
        if (!Readable(exitWatch.Get(), deadline)) {
            return std::nullopt;
        }
        int status = 0;
        Check(waitpid(pid_, &status, 0), "waitpid");
        status_ = status;
        return status_;
    }

    static bool ExitedWith(const std::optional<int>& status, int code)
    {
        return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
    }

private:
    static void Check(int result, const char* what)
    {
        if (result < 0) {
            throw std::system_error(errno, std::generic_category(), what);
        }
    }

    static int SocketPair(int fds[2])
    {
        return ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
    }
    static int OutputPipe(int fds[2]) { return pipe2(fds, O_CLOEXEC); }

    // Both ends of a new pipe or socket pair: [0] stays here, [1] is the child's.
    static std::pair<UniqueFd, UniqueFd> Pair(int (*make)(int[2]), const char* what)
    {
        int fds[2] = {-1, -1};
        Check(make(fds), what);
        return {UniqueFd(fds[0]), UniqueFd(fds[1])};
    }

    static bool Readable(int fd, const Deadline& deadline)
    {
        pollfd wait{fd, POLLIN, 0};
        for (;;) {
            const int ready = poll(&wait, 1, deadline.PollMs());
            if (ready >= 0 || errno != EINTR) {
                return ready > 0;
            }
        }
    }

    // In the forked child: async-signal-safe calls only, then exec.
    [[noreturn]] static void RunChild(pid_t parent, int in, int out, int err, char* const* argv)
    {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            _exit(kExecFailed);  // the test is gone already
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (dup2(in, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0 ||
            dup2(err, STDERR_FILENO) < 0) {
            _exit(kExecFailed);
        }
        execv(argv[0], argv);
        _exit(kExecFailed);
    }

    static void Pump(UniqueFd fd, LineCollector& lines)
    {
        constexpr std::size_t kBlock = 4096;
        std::array<char, kBlock> block{};
        for (;;) {
            const ssize_t got = read(fd.Get(), block.data(), block.size());
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                break;
            }
            lines.Append(std::string_view(block.data(), static_cast<std::size_t>(got)));
        }
        lines.End();
    }

    pid_t pid_ = -1;
    UniqueFd stdin_;
    LineCollector stdout_;
    LineCollector stderr_;
    std::thread stdoutReader_;
    std::thread stderrReader_;
    std::optional<int> status_;
};

// A program run to its end with stdin closed: its exit status and all it wrote.
struct ProgramOutcome {
    int Status = -1;  // the exit status; -1 when it did not exit normally
    std::string Out;
    std::string Err;
};

inline ProgramOutcome RunToExit(const std::string& program, const std::vector<std::string>& args)
{
    ChildProcess process(program, args);
    process.CloseStdin();
    const auto status = process.WaitForExit();
    // Both streams to their end, so nothing written is missed.
    const auto never = [](const std::string&) { return false; };
    process.Stdout().WaitFor(never);
    process.Stderr().WaitFor(never);
    ProgramOutcome outcome;
    if (status && WIFEXITED(*status)) {
        outcome.Status = WEXITSTATUS(*status);
    }
    outcome.Out = process.Stdout().Text();
    outcome.Err = process.Stderr().Text();
    return outcome;
}

}  // namespace zel::test
