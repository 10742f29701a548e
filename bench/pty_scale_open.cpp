// Opens many COM port links at once, as many programs would, and reports
// how long until every port answered through its echo channel, and what
// the daemon holds meanwhile.
//
//   pty_scale_open DAEMON_PID LINK...
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kAnswerTimeoutMs = 60000;
constexpr char kPing = 'z';

class Port {
public:
    explicit Port(const std::string& path)
        : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
    }
    ~Port()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Port(Port&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    Port& operator=(Port&&) = delete;

    int Fd() const { return fd_; }
    bool Raw() const
    {
        termios settings{};
        if (tcgetattr(fd_, &settings) != 0)
            return false;
        cfmakeraw(&settings);
        cfsetspeed(&settings, B115200);
        return tcsetattr(fd_, TCSANOW, &settings) == 0;
    }

private:
    int fd_;
};

double Seconds(Clock::duration elapsed)
{
    return std::chrono::duration<double>(elapsed).count();
}

std::string StatusLine(int pid, const std::string& key)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(key, 0) == 0)
            return line;
    }
    return key + " ?";
}

std::size_t OpenDescriptors(int pid)
{
    std::size_t count = 0;
    std::error_code error;
    for (auto it =
             std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        ++count;
    }
    return count;
}

// Polls until every port has sent back its ping; returns how many did.
std::size_t AwaitAnswers(std::vector<Port>& ports)
{
    std::vector<pollfd> waiting;
    for (const Port& port : ports)
        waiting.push_back({port.Fd(), POLLIN, 0});
    std::size_t answered = 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kAnswerTimeoutMs);
    while (answered < ports.size() && Clock::now() < deadline) {
        if (poll(waiting.data(), waiting.size(), kAnswerTimeoutMs) <= 0)
            break;
        for (pollfd& entry : waiting) {
            char byte = 0;
            if (entry.fd >= 0 && (entry.revents & POLLIN) != 0 && read(entry.fd, &byte, 1) == 1) {
                ++answered;
                entry.fd = -entry.fd - 1;  // done: poll ignores negative descriptors
            }
        }
    }
    return answered;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: pty_scale_open DAEMON_PID LINK...\n");
        return 2;
    }
    const int daemon = std::atoi(argv[1]);
    std::printf("daemon before: %s, %s, %zu descriptors\n", StatusLine(daemon, "VmRSS").c_str(),
                StatusLine(daemon, "Threads").c_str(), OpenDescriptors(daemon));

    const auto start = Clock::now();
    std::vector<Port> ports;
    ports.reserve(static_cast<std::size_t>(argc - 2));
    for (int i = 2; i < argc; ++i) {
        Port port(argv[i]);
        if (port.Fd() < 0 || !port.Raw()) {
            std::perror(argv[i]);
            return 1;
        }
        ports.push_back(std::move(port));
    }
    const auto opened = Clock::now();
    for (const Port& port : ports) {
        if (write(port.Fd(), &kPing, 1) != 1)
            std::perror("write");
    }
    const std::size_t answered = AwaitAnswers(ports);
    const auto done = Clock::now();
    std::printf("%zu ports: opened in %.3f s, all answered after %.3f s (%zu answered)\n",
                ports.size(), Seconds(opened - start), Seconds(done - start), answered);
    std::printf("daemon with all open: %s, %s, %s, %zu descriptors\n",
                StatusLine(daemon, "VmRSS").c_str(), StatusLine(daemon, "VmHWM").c_str(),
                StatusLine(daemon, "Threads").c_str(), OpenDescriptors(daemon));
    const auto closing = Clock::now();
    ports.clear();
    std::printf("closed in %.3f s\n", Seconds(Clock::now() - closing));
    return answered == ports.capacity() ? 0 : 1;
}
