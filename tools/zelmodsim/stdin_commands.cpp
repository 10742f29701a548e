#include "stdin_commands.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <system_error>

namespace zelmodsim {
namespace {

constexpr std::size_t kReadBlock = 4096;

}  // namespace

StdinCommands::StdinCommands(zel::EventLoop& loop, EventLog& log, CommandExecutor execute)
    : log_(log), execute_(std::move(execute)), lines_(kMaxCommandLine)
{
    try {
        watch_ = zel::EventLoop::Watch(loop, STDIN_FILENO, EPOLLIN, [this](std::uint32_t) { OnReadable(); });
    } catch (const std::system_error& error) {
        // A regular file or /dev/null cannot be watched; run without it.
        if (error.code() != std::errc::operation_not_permitted) {
            throw;
        }
        std::fputs("zelmodsim: standard input cannot be watched (a file?); it is not read\n", stderr);
    }
}

void StdinCommands::OnReadable()
{
    // No O_NONBLOCK: the descriptor may be shared with a shell, and epoll
    // said there is something to read.
    std::array<char, kReadBlock> block{};
    const ssize_t got = read(STDIN_FILENO, block.data(), block.size());
    const auto onLine = [this](std::string_view line, bool tooLong) { OnLine(line, tooLong); };
    if (got > 0) {
        lines_.Feed(std::string_view(block.data(), static_cast<std::size_t>(got)), onLine);
    } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        lines_.Finish(onLine);
        watch_ = zel::EventLoop::Watch();
    }
}

void StdinCommands::OnLine(std::string_view line, bool tooLong)
{
    const CommandResult result = tooLong ? CommandResult::Failure("command line too long") : execute_(line);
    log_.Line(result.Text());
}

}  // namespace zelmodsim
