#include "background.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace zelvcomd {
namespace {

constexpr mode_t kLogFileMode = 0640;
constexpr std::size_t kReadyLineLimit = 4096;

// In the parent: relays the child's ready line, or reports its failure.
[[noreturn]] void WaitForChild(zel::UniqueFd fromChild, const std::filesystem::path& logFile)
{
    std::string line;
    char byte = 0;
    while (line.size() < kReadyLineLimit) {
        const ssize_t got = read(fromChild.Get(), &byte, 1);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        line += byte;
    }
    if (line.empty() || line.back() != '\n') {
        std::cerr << "zelvcomd: failed to start; see " << logFile.string() << "\n";
        std::_Exit(EXIT_FAILURE);
    }
    std::cout << line << std::flush;
    std::_Exit(EXIT_SUCCESS);
}

bool Redirect(const char* path, int flags, mode_t mode, int target)
{
    zel::UniqueFd fd(open(path, flags | O_CLOEXEC, mode));
    return fd.Valid() && dup2(fd.Get(), target) >= 0;
}

bool OpenLogAsStderr(const std::filesystem::path& logFile)
{
    return Redirect(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, kLogFileMode, STDERR_FILENO);
}

void Detach(const std::filesystem::path& logFile)
{
    if (setsid() < 0 || chdir("/") != 0 || !Redirect("/dev/null", O_RDONLY, 0, STDIN_FILENO) ||
        !Redirect("/dev/null", O_WRONLY, 0, STDOUT_FILENO) || !OpenLogAsStderr(logFile)) {
        std::perror("zelvcomd: detaching");
        std::_Exit(EXIT_FAILURE);
    }
}

}  // namespace

Background Background::Start(bool foreground, const std::filesystem::path& logFile)
{
    if (foreground) {
        return Background();
    }
    int fds[2] = {-1, -1};
    if (pipe2(fds, O_CLOEXEC) != 0) {
        std::perror("zelvcomd: pipe");
        std::exit(EXIT_FAILURE);
    }
    zel::UniqueFd fromChild(fds[0]);
    zel::UniqueFd toParent(fds[1]);
    std::cout.flush();
    const pid_t child = fork();
    if (child < 0) {
        std::perror("zelvcomd: fork");
        std::exit(EXIT_FAILURE);
    }
    if (child > 0) {
        toParent.Reset();
        WaitForChild(std::move(fromChild), logFile);
    }
    fromChild.Reset();
    Detach(logFile);
    return Background(std::move(toParent), logFile);
}

void Background::ReportReady(const std::string& line)
{
    const std::string text = line + "\n";
    if (!toParent_.Valid()) {
        std::cout << text << std::flush;
        return;
    }
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t count = write(toParent_.Get(), text.data() + written, text.size() - written);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        written += static_cast<std::size_t>(count);
    }
    toParent_.Reset();
}

bool Background::ReopenLog() const
{
    return Foreground() || OpenLogAsStderr(logFile_);
}

}  // namespace zelvcomd
