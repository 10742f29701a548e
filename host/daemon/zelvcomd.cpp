// zelvcomd: hosts the ZelVCOM driver in the user-mode host kernel and serves
// the client processes that reach its devices through zelwin32.
//
// Start: lock the state directory, detach (unless --foreground), load the
// driver (its saved configuration starts with it), listen, print the ready
// line. SIGHUP: reopen the log file. Stop (SIGTERM/SIGINT/SIGQUIT): tear every client down as at process exit,
// wait for the last request, close the ports programs held as
// pseudo-terminals, unload the driver (the verifier checks run).
#include "background.h"
#include <host/common/non_copyable.h>
#include "device_watch.h"
#include "logger.h"
#include "options.h"
#include "port_ledger.h"
#include "pty/capacity.h"
#include "pty/pty_bridge.h"
#include "server.h"
#include "state_lock.h"

#include <host/common/signal_watch.h>
#include <host/common/unix_listener.h>
#include <host/kernel.h>
#include <zelvcom_ipc/runtime_paths.h>

#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace zelvcomd {
namespace {

constexpr const char kServiceName[] = "ZelVCOM";
constexpr int kUsageError = 2;
// Narrowed by the umask, as for any program.
constexpr mode_t kDirectoryMode = 0777;

// Tells vcomctl, beside the socket, where the ports' RFC 2217 endpoints
// are, for the daemon's life; a note a daemon left behind goes.
class Rfc2217Note : zel::NonCopyable {
public:
    explicit Rfc2217Note(const Options& options)
        : path_(options.SocketPath.parent_path() / zelipc::kRfc2217FileName)
    {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
        if (options.Rfc2217BasePort != 0) {
            std::ofstream(path_) << options.Rfc2217Address << " " << options.Rfc2217BasePort
                                 << "\n";
        }
    }
    ~Rfc2217Note()
    {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }

private:
    const std::filesystem::path path_;
};

// Makes a missing directory, but not its parent: a mistyped path fails
// rather than growing a tree somewhere.
void MakeDirectory(const std::filesystem::path& directory)
{
    if (mkdir(directory.c_str(), kDirectoryMode) == 0 || errno == EEXIST) {
        return;
    }
    const int error = errno;
    const std::string why = error == ENOENT
                                ? directory.parent_path().string() + " does not exist"
                                : std::strerror(error);
    throw std::runtime_error("cannot create the directory " + directory.string() + ": " + why);
}

// Listens and serves until a stop signal; false when it cannot listen.
bool Serve(host::Kernel& kernel, Logger& log, DeviceWatch& watch, PortLedger& ledger,
           zel::SignalWatch& signals, const Options& options, Background& background)
{
    std::optional<zel::UnixListener> listener;
    try {
        listener.emplace(options.SocketPath);
    } catch (const std::exception& error) {
        log.Error(error.what());
        return false;
    }
    // SIGHUP, as logrotate sends it: the log file is opened again.
    const auto reopenLog = [&log, &background] {
        if (background.Foreground()) {
            log.Info("SIGHUP: logging to standard error, no log file to reopen");
        } else if (background.ReopenLog()) {
            log.Info("log file reopened");
        } else {
            log.Warning(std::string("cannot reopen the log file: ") + std::strerror(errno));
        }
    };
    Server server(kernel, log, watch, ledger, *listener, signals, options.HelloTimeout, reopenLog);
    log.Info("accepting clients on " + options.SocketPath.string());
    background.ReportReady("zelvcomd ready socket=" + options.SocketPath.string());
    server.Run();
    return true;
}

int Run(const Options& options)
{
    for (const auto& directory :
         {options.StateDirectory, options.SocketPath.parent_path(), options.PtyDirectory}) {
        MakeDirectory(directory);
    }
    std::string error;
    const auto lock = StateLock::Acquire(options.StateDirectory, &error);
    if (!lock) {
        std::cerr << "zelvcomd: " << error << "\n";
        return EXIT_FAILURE;
    }
    Background background =
        Background::Start(options.Foreground, options.StateDirectory / kLogFileName);
    lock->RecordProcessId();
    Logger log(options.LogLevel, !options.Foreground);
    // A client that vanishes mid-reply shows up as a write error, not a signal.
    std::signal(SIGPIPE, SIG_IGN);
    // Before the kernel starts its threads, so they inherit the blocked signals.
    zel::SignalWatch signals({SIGTERM, SIGINT, SIGQUIT, SIGHUP});
    // The driver's reports on the ports' connections reach the ledger
    // through the log.
    PortLedger ledger;
    const host::LogSink logSink = log.Sink();
    host::Kernel kernel(
        {options.StateDirectory, [&ledger, logSink](host::LogLevel level, const std::string& line) {
             ledger.OnKernelLog(line);
             logSink(level, line);
         }});

    const NTSTATUS status = kernel.LoadDriver(kServiceName, DriverEntry);
    if (!NT_SUCCESS(status)) {
        log.Error(std::string("driver ") + kServiceName + " failed to load with " +
                  StatusText(status));
        return EXIT_FAILURE;
    }
    log.Info(std::string("driver ") + kServiceName + " loaded, state in " +
             options.StateDirectory.string());
    DeviceWatch watch(kernel, log);
    watch.Check();

    PrepareCapacity(log);
    std::optional<PtyBridge> ptys;
    try {
        ptys.emplace(kernel, log, ledger,
                     PtyOptions{options.PtyDirectory, options.PtyAccess, options.PtyClosingWait,
                                options.Rfc2217Address, options.Rfc2217BasePort});
    } catch (const std::exception& error) {
        log.Error(std::string("pseudo-terminal ports: ") + error.what());
        kernel.UnloadDriver();
        return EXIT_FAILURE;
    }
    watch.ObserveNames([&ptys](const auto& created, const auto& removed) {
        ptys->OnNamesChanged(created, removed);
    });
    log.Info("ports appear in " + options.PtyDirectory.string());
    const Rfc2217Note rfc2217(options);

    const bool served = Serve(kernel, log, watch, ledger, signals, options, background);
    watch.ObserveNames(nullptr);
    ptys->Stop();
    kernel.UnloadDriver();
    watch.Check();
    log.Info(std::string("driver ") + kServiceName + " unloaded");
    return served ? EXIT_SUCCESS : EXIT_FAILURE;
}

}  // namespace
}  // namespace zelvcomd

int main(int argc, char** argv)
{
    const auto options = zelvcomd::ParseOptions(argc, argv);
    if (!options) {
        return zelvcomd::kUsageError;
    }
    try {
        return zelvcomd::Run(*options);
    } catch (const std::exception& error) {
        std::cerr << "zelvcomd: " << error.what() << "\n";
        return EXIT_FAILURE;
    }
}
