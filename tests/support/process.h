// Test support: a program run as a child process, the test writing to its
// stdin and waiting, with a deadline, for lines of its stdout or stderr.
// Background threads read its output all the time, so it never blocks on a
// full pipe. It gets SIGTERM if the thread that started it ends (a crashed
// test leaves no orphan), SIGKILL when the ChildProcess goes while it runs.
#pragma once

#include "deadline.h"
#include "loopback.h"
#include <host/common/unique_fd.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace zel::test {

// Lines of one output stream as they arrive. A wait takes the first matching
// line not yet taken, so waits need not come in the order of the lines.
class LineCollector {
public:
    using Match = std::function<bool(const std::string& line)>;

    void Append(std::string_view bytes)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        text_.append(bytes);
        for (std::size_t end; (end = text_.find('\n', lineStart_)) != std::string::npos;) {
            lines_.push_back({text_.substr(lineStart_, end - lineStart_), false});
            lineStart_ = end + 1;
        }
        changed_.notify_all();
    }
    void End()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (lineStart_ < text_.size()) {
            lines_.push_back({text_.substr(lineStart_), false});
        }
        ended_ = true;
        changed_.notify_all();
    }

    // Nothing when the deadline passes or the stream ends first.
    std::optional<std::string> WaitFor(const Match& match, const Deadline& deadline = Deadline())
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (std::size_t next = 0;;) {
            for (; next < lines_.size(); ++next) {
                if (!lines_[next].second && match(lines_[next].first)) {
                    lines_[next].second = true;
                    return lines_[next].first;
                }
            }
            if (ended_ || !changed_.wait_until(lock, deadline.At(),
                                               [&] { return ended_ || next < lines_.size(); })) {
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
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string text_;
    std::size_t lineStart_ = 0;
    std::vector<std::pair<std::string, bool>> lines_;  // each line, and whether it was taken
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
        int in[2], out[2], err[2];
        Check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in), "socketpair");
        stdin_ = UniqueFd(in[0]);
        const UniqueFd childIn(in[1]);
        Check(pipe2(out, O_CLOEXEC) | pipe2(err, O_CLOEXEC), "pipe2");
        UniqueFd readOut(out[0]), readErr(err[0]);
        const UniqueFd childOut(out[1]), childErr(err[1]);

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
            waitpid(pid_, nullptr, 0);
        }
        stdin_.Reset();
        stdoutReader_.join();
        stderrReader_.join();
    }

    static constexpr int kExecFailed = 127;

    pid_t Pid() const { return pid_; }
    LineCollector& Stdout() { return stdout_; }
    LineCollector& Stderr() { return stderr_; }

    bool WriteLine(std::string_view line)
    {
        return SendAll(stdin_.Get(), std::string(line) + '\n');
    }
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
        pollfd wait{exitWatch.Get(), POLLIN, 0};
        int ready;
        while ((ready = poll(&wait, 1, deadline.PollMs())) < 0 && errno == EINTR) {
        }
        if (ready <= 0) {
            return std::nullopt;
        }
        int status = 0;
        Check(waitpid(pid_, &status, 0), "waitpid");
        status_ = status;
        return status_;
    }

    // Waits for both output streams to end, so that nothing written is missed.
    void Drain()
    {
        const auto never = [](const std::string&) { return false; };
        stdout_.WaitFor(never);
        stderr_.WaitFor(never);
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
        std::array<char, 4096> block{};
        for (ssize_t got; (got = read(fd.Get(), block.data(), block.size())) != 0;) {
            if (got < 0 && errno != EINTR) {
                break;
            }
            lines.Append(std::string_view(block.data(),
                                          static_cast<std::size_t>(std::max<ssize_t>(got, 0))));
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

inline bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

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
    process.Drain();
    return {status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1, process.Stdout().Text(),
            process.Stderr().Text()};
}

}  // namespace zel::test
