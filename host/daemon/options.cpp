#include "options.h"

#include <zelvcom_ipc/runtime_paths.h>

#include <grp.h>
#include <pwd.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>

namespace zelvcomd {
namespace {

constexpr const char kUsage[] =
    "usage: zelvcomd [--state DIR] [--socket PATH] [--foreground]\n"
    "                [--log-level debug|info|warning|error]\n"
    "                [--pty-dir DIR] [--pty-owner USER] [--pty-group GROUP] [--pty-mode MODE]\n"
    "                [--pty-closing-wait SECONDS] [--hello-timeout SECONDS]\n"
    "                [--rfc2217-base-port BASE [--rfc2217-address ADDRESS]]\n"
    "  --state DIR        registry database and runtime files (default /var/lib/zelvcom\n"
    "                     as root, else $XDG_STATE_HOME/zelvcom or ~/.local/state/zelvcom);\n"
    "                     made if missing, as are the socket's and ports' directories,\n"
    "                     but never their parents\n"
    "  --socket PATH      the clients' socket (default DIR/zelvcomd.sock, but\n"
    "                     /run/zelvcom/zelvcomd.sock for /var/lib/zelvcom: clients\n"
    "                     try that one first, then their user's default; a client\n"
    "                     with ZELVCOM_SOCKET or ZELVCOM_STATE set tries only that)\n"
    "  --foreground       stay attached and log to stderr; without it zelvcomd detaches\n"
    "                     once it is ready and logs to DIR/zelvcomd.log\n"
    "  --log-level L      least severe log level written (default info)\n"
    "  --pty-dir DIR      where each port appears as COM<n>, a link to its\n"
    "                     pseudo-terminal (default STATE/dev)\n"
    "  --pty-owner USER   owner of the pseudo-terminals (default: zelvcomd's user)\n"
    "  --pty-group GROUP  their group (default unchanged), e.g. dialout\n"
    "  --pty-mode MODE    their mode, octal (default 0660)\n"
    "  --pty-closing-wait SECONDS\n"
    "                     how long what a program wrote before it closed waits for a\n"
    "                     module that takes none of it, before it is dropped (default 30)\n"
    "  --hello-timeout SECONDS\n"
    "                     how long a new connection may stay silent before its Hello,\n"
    "                     before it is closed (default 5)\n"
    "  --rfc2217-base-port BASE\n"
    "                     serve each port COM<n> also to RFC 2217 (Telnet COM port\n"
    "                     control) clients on TCP port BASE + n\n"
    "  --rfc2217-address ADDRESS\n"
    "                     the IPv4 or IPv6 address they listen on (default 127.0.0.1)\n"
    "Prints 'zelvcomd ready socket=PATH' once it accepts clients; SIGTERM, SIGINT or\n"
    "SIGQUIT closes every client handle, unloads the driver and exits; SIGHUP opens\n"
    "the log file again (after logrotate has moved it).\n";

std::optional<host::LogLevel> ParseLogLevel(const std::string& text)
{
    if (text == "debug")
        return host::LogLevel::Debug;
    if (text == "info")
        return host::LogLevel::Info;
    if (text == "warning")
        return host::LogLevel::Warning;
    if (text == "error")
        return host::LogLevel::Error;
    return std::nullopt;
}

constexpr mode_t kLargestMode = 07777;
constexpr int kOctal = 8;
constexpr int kDecimal = 10;
constexpr unsigned long kLongestClosingWaitSeconds = 24 * 60 * 60;
constexpr unsigned long kLongestHelloTimeoutSeconds = 60 * 60;
constexpr unsigned long kLargestTcpPort = 65535;

std::optional<unsigned long> Number(const std::string& text, int base)
{
    if (text.empty())
        return std::nullopt;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, base);
    if (*end != '\0' || text[0] == '-')
        return std::nullopt;
    return value;
}

std::optional<uid_t> ParseUser(const std::string& text)
{
    if (auto id = Number(text, 10))
        return static_cast<uid_t>(*id);
    const passwd* user = getpwnam(text.c_str());
    return user != nullptr ? std::optional<uid_t>(user->pw_uid) : std::nullopt;
}

std::optional<gid_t> ParseGroup(const std::string& text)
{
    if (auto id = Number(text, 10))
        return static_cast<gid_t>(*id);
    const group* found = getgrnam(text.c_str());
    return found != nullptr ? std::optional<gid_t>(found->gr_gid) : std::nullopt;
}

std::nullopt_t Fail(const std::string& reason)
{
    std::cerr << "zelvcomd: " << reason << "\n" << kUsage;
    return std::nullopt;
}

// The options that take a value, and what the value is.
struct ValueOption {
    std::string_view Name;
    std::string_view Value;
};

constexpr ValueOption kValueOptions[] = {
    {"--state", "a directory"},
    {"--socket", "a path"},
    {"--log-level", "a level"},
    {"--pty-dir", "a directory"},
    {"--pty-owner", "a user"},
    {"--pty-group", "a group"},
    {"--pty-mode", "an octal mode"},
    {"--pty-closing-wait", "a number of seconds"},
    {"--hello-timeout", "a number of seconds"},
    {"--rfc2217-base-port", "a TCP port"},
    {"--rfc2217-address", "an address"},
};

const ValueOption* FindValueOption(const std::string& arg)
{
    for (const auto& option : kValueOptions) {
        if (option.Name == arg)
            return &option;
    }
    return nullptr;
}

}  // namespace

std::optional<Options> ParseOptions(int argc, char** argv)
{
    Options options;
    options.StateDirectory = zelipc::DefaultStateDirectory();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string value;
        if (const ValueOption* option = FindValueOption(arg)) {
            if (i + 1 == argc)
                return Fail(arg + " needs " + std::string(option->Value));
            value = argv[++i];
        }
        if (arg == "--state") {
            options.StateDirectory = value;
        } else if (arg == "--socket") {
            options.SocketPath = value;
        } else if (arg == "--foreground") {
            options.Foreground = true;
        } else if (arg == "--log-level") {
            const auto level = ParseLogLevel(value);
            if (!level)
                return Fail("unknown log level '" + value + "'");
            options.LogLevel = *level;
        } else if (arg == "--pty-dir") {
            options.PtyDirectory = value;
        } else if (arg == "--pty-owner") {
            options.PtyAccess.Owner = ParseUser(value);
            if (!options.PtyAccess.Owner)
                return Fail("unknown user '" + value + "'");
        } else if (arg == "--pty-group") {
            options.PtyAccess.Group = ParseGroup(value);
            if (!options.PtyAccess.Group)
                return Fail("unknown group '" + value + "'");
        } else if (arg == "--pty-mode") {
            const auto mode = Number(value, kOctal);
            if (!mode || *mode > kLargestMode)
                return Fail("bad mode '" + value + "'");
            options.PtyAccess.Mode = static_cast<mode_t>(*mode);
        } else if (arg == "--pty-closing-wait") {
            const auto seconds = Number(value, kDecimal);
            if (!seconds || *seconds > kLongestClosingWaitSeconds)
                return Fail("bad closing wait '" + value + "'");
            options.PtyClosingWait = std::chrono::seconds(*seconds);
        } else if (arg == "--hello-timeout") {
            const auto seconds = Number(value, kDecimal);
            if (!seconds || *seconds == 0 || *seconds > kLongestHelloTimeoutSeconds)
                return Fail("bad hello timeout '" + value + "'");
            options.HelloTimeout = std::chrono::seconds(*seconds);
        } else if (arg == "--rfc2217-base-port") {
            const auto port = Number(value, kDecimal);
            if (!port || *port == 0 || *port > kLargestTcpPort)
                return Fail("bad RFC 2217 base port '" + value + "'");
            options.Rfc2217BasePort = static_cast<std::uint16_t>(*port);
        } else if (arg == "--rfc2217-address") {
            options.Rfc2217Address = value;
        } else if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            std::exit(EXIT_SUCCESS);
        } else {
            return Fail("unknown argument '" + arg + "'");
        }
    }
    // Absolute, so the daemon's paths survive the chdir of daemonising.
    options.StateDirectory = std::filesystem::absolute(options.StateDirectory);
    if (options.SocketPath.empty()) {
        options.SocketPath = zelipc::SocketFor(options.StateDirectory);
    }
    if (options.PtyDirectory.empty()) {
        options.PtyDirectory = options.StateDirectory / zelipc::kPtyDirectoryName;
    }
    options.SocketPath = std::filesystem::absolute(options.SocketPath);
    options.PtyDirectory = std::filesystem::absolute(options.PtyDirectory);
    return options;
}

}  // namespace zelvcomd
