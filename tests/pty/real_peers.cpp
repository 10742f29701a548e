#include "real_peers.h"

#include "support/eventually.h"
#include "support/loopback.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace zeltest {
namespace {

constexpr char kSocatReady[] = "starting data transfer loop";
// Between attempts to connect to a ser2net that is still starting.
constexpr std::chrono::milliseconds kStartPause{20};

std::vector<std::string> SocatArguments(const std::filesystem::path& first,
                                        const std::filesystem::path& second)
{
    const std::string end = "pty,raw,echo=0,link=";
    return {"-d", "-d", end + first.string(), end + second.string()};
}

// A TCP port nobody uses now: bound, read and released again for ser2net.
std::uint16_t FreePort()
{
    return zel::test::ClosedPort().Port();
}

// Writes the configuration file; the arguments that run ser2net on it.
std::vector<std::string> Ser2netArguments(const std::filesystem::path& directory,
                                          const std::filesystem::path& device, std::uint16_t port)
{
    const std::filesystem::path config = directory / "ser2net.yaml";
    std::ofstream(config) << "connection: &channel\n"
                          << "  accepter: tcp,127.0.0.1," << port << "\n"
                          << "  enable: on\n"
                          << "  options:\n"
                          << "    kickolduser: true\n"
                          << "    chardelay: false\n"
                          << "    mdns: false\n"
                          << "  connector: serialdev," << device.string() << ",115200n81,local\n";
    return {"-n", "-u", "-c", config.string(), "-P", (directory / "ser2net.pid").string()};
}

bool Runnable(const std::string& path)
{
    return access(path.c_str(), X_OK) == 0;
}

std::string NotInstalled(const std::string& tool)
{
    return tool + " is not installed";
}

void Stop(zel::test::ChildProcess& process)
{
    process.Signal(SIGTERM);
    process.WaitForExit();
}

}  // namespace

std::string MissingSocatOrSer2net()
{
    if (!Runnable(SOCAT_PATH))
        return NotInstalled("socat");
    if (!Runnable(SER2NET_PATH))
        return NotInstalled("ser2net");
    return "";
}

std::string MissingPyserial()
{
    if (!Runnable(SYSTEM_PYTHON_PATH))
        return NotInstalled(SYSTEM_PYTHON_PATH);
    if (zel::test::RunToExit(SYSTEM_PYTHON_PATH, {"-c", "import serial"}).Status != 0) {
        return NotInstalled(std::string("pyserial for ") + SYSTEM_PYTHON_PATH);
    }
    return "";
}

SocatPtyPair::SocatPtyPair(const std::filesystem::path& first, const std::filesystem::path& second)
    : process_(SOCAT_PATH, SocatArguments(first, second))
{
    const auto ready = process_.Stderr().WaitFor(
        [](const std::string& line) { return line.find(kSocatReady) != std::string::npos; });
    if (!ready) {
        throw std::runtime_error("socat did not get ready: " + process_.Stderr().Text());
    }
}

SocatPtyPair::~SocatPtyPair()
{
    Stop(process_);
}

Ser2net::Ser2net(const std::filesystem::path& directory, const std::filesystem::path& device)
    : port_(FreePort()), process_(SER2NET_PATH, Ser2netArguments(directory, device, port_))
{
    // ser2net says nothing when it listens: a connection tells. It opens
    // the device for the probe and closes it again when the probe goes.
    bool exited = false;
    const bool listening = zel::test::Eventually(
        [&] {
            exited = process_.WaitForExit(zel::test::Deadline(std::chrono::milliseconds::zero()))
                         .has_value();
            return exited || zel::test::ConnectLoopback(port_).Error == 0;
        },
        zel::test::Deadline(), kStartPause);
    if (!listening || exited) {
        throw std::runtime_error("ser2net does not take connections: " + process_.Stderr().Text());
    }
}

Ser2net::~Ser2net()
{
    Stop(process_);
}

}  // namespace zeltest
