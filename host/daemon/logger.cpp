#include "logger.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace zelvcomd {
namespace {

const char* LevelName(host::LogLevel level)
{
    switch (level) {
    case host::LogLevel::Debug:
        return "debug";
    case host::LogLevel::Info:
        return "info";
    case host::LogLevel::Warning:
        return "warning";
    case host::LogLevel::Error:
        return "error";
    }
    return "?";
}

std::string Timestamp()
{
    constexpr std::size_t kTimestampSize = sizeof "2000-01-01T00:00:00 ";
    char text[kTimestampSize] = {};
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S ", &local);
    return text;
}

// One write per line, so lines from different threads never interleave.
void WriteLine(const std::string& text)
{
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t count = write(STDERR_FILENO, text.data() + written, text.size() - written);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return;
        }
        written += static_cast<std::size_t>(count);
    }
}

}  // namespace

void Logger::Write(host::LogLevel level, const std::string& line)
{
    if (level < least_) {
        return;
    }
    // DbgPrint messages usually bring their own line end.
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string prefix = timestamps_ ? Timestamp() : std::string();
    WriteLine(prefix + "zelvcomd[" + LevelName(level) + "]: " + text + "\n");
}

host::LogSink Logger::Sink()
{
    return [this](host::LogLevel level, const std::string& line) { Write(level, line); };
}

std::string StatusText(std::int32_t status)
{
    constexpr std::size_t kStatusTextSize = sizeof "0x00000000";
    char text[kStatusTextSize] = {};
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

}  // namespace zelvcomd
