#include "options.h"

#include <zelvcom_ipc/runtime_paths.h>

#include <cstdlib>
#include <iostream>
#include <string>

namespace zelvcomd {
namespace {

constexpr const char kUsage[] =
    "usage: zelvcomd [--state DIR] [--socket PATH] [--foreground]\n"
    "                [--log-level debug|info|warning|error]\n"
    "  --state DIR        registry database and runtime files\n"
    "                     (default /var/lib/zelvcom as root, else $XDG_STATE_HOME/zelvcom\n"
    "                     or ~/.local/state/zelvcom)\n"
    "  --socket PATH      the clients' socket (default DIR/zelvcomd.sock; clients find\n"
    "                     it there, or through ZELVCOM_SOCKET or ZELVCOM_STATE)\n"
    "  --foreground       stay attached and log to stderr; without it zelvcomd detaches\n"
    "                     once it is ready and logs to DIR/zelvcomd.log\n"
    "  --log-level L      least severe log level written (default info)\n"
    "Prints 'zelvcomd ready socket=PATH' once it accepts clients; SIGTERM or SIGINT\n"
    "closes every client handle, unloads the driver and exits.\n";

std::optional<host::LogLevel> ParseLogLevel(const std::string& text)
{
    if (text == "debug") return host::LogLevel::Debug;
    if (text == "info") return host::LogLevel::Info;
    if (text == "warning") return host::LogLevel::Warning;
    if (text == "error") return host::LogLevel::Error;
    return std::nullopt;
}

std::nullopt_t Fail(const std::string& reason)
{
    std::cerr << "zelvcomd: " << reason << "\n" << kUsage;
    return std::nullopt;
}

}  // namespace

std::optional<Options> ParseOptions(int argc, char** argv)
{
    Options options;
    options.StateDirectory = zelipc::DefaultStateDirectory();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--state") {
            if (!hasValue) return Fail("--state needs a directory");
            options.StateDirectory = argv[++i];
        } else if (arg == "--socket") {
            if (!hasValue) return Fail("--socket needs a path");
            options.SocketPath = argv[++i];
        } else if (arg == "--foreground") {
            options.Foreground = true;
        } else if (arg == "--log-level") {
            if (!hasValue) return Fail("--log-level needs a level");
            auto level = ParseLogLevel(argv[++i]);
            if (!level) return Fail("unknown log level '" + std::string(argv[i]) + "'");
            options.LogLevel = *level;
        } else if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            std::exit(EXIT_SUCCESS);
        } else {
            return Fail("unknown argument '" + arg + "'");
        }
    }
    if (options.SocketPath.empty()) {
        options.SocketPath = options.StateDirectory / zelipc::kSocketFileName;
    }
    // Absolute, so the daemon's paths survive the chdir of daemonising.
    options.StateDirectory = std::filesystem::absolute(options.StateDirectory);
    options.SocketPath = std::filesystem::absolute(options.SocketPath);
    return options;
}

}  // namespace zelvcomd
