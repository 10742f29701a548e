// The daemon's log: one line per event on standard error (a terminal or the
// journal in the foreground; the log file once daemonised). Safe from any
// thread, the host kernel's included.
#pragma once

#include <host/kernel.h>

#include <mutex>
#include <string>

namespace zelvcomd {

class Logger {
public:
    Logger(host::LogLevel least, bool timestamps) : least_(least), timestamps_(timestamps) {}

    void Write(host::LogLevel level, const std::string& line);
    void Debug(const std::string& line) { Write(host::LogLevel::Debug, line); }
    void Info(const std::string& line) { Write(host::LogLevel::Info, line); }
    void Warning(const std::string& line) { Write(host::LogLevel::Warning, line); }
    void Error(const std::string& line) { Write(host::LogLevel::Error, line); }

    // For KernelOptions::Log: the host's lines and DbgPrint output.
    host::LogSink Sink();

private:
    const host::LogLevel least_;
    const bool timestamps_;
    std::mutex mutex_;
};

// "0x%08X", as NT status values are written.
std::string StatusText(std::int32_t status);

}  // namespace zelvcomd
