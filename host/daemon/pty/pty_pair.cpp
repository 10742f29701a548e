#include "pty_pair.h"

#include "line_settings.h"

#include <host/common/errors.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace zelvcomd {
namespace {

constexpr std::size_t kPathCapacity = 128;

[[noreturn]] void Fail(const std::string& what)
{
    throw zel::ErrnoError(what);
}

zel::UniqueFd OpenMaster()
{
    zel::UniqueFd master(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!master.Valid()) {
        Fail("cannot create a pseudo-terminal");
    }
    if (grantpt(master.Get()) != 0 || unlockpt(master.Get()) != 0) {
        Fail("cannot unlock a pseudo-terminal");
    }
    return master;
}

std::string SlaveOf(int master)
{
    std::array<char, kPathCapacity> path{};
    if (ptsname_r(master, path.data(), path.size()) != 0) {
        Fail("ptsname");
    }
    return path.data();
}

void GrantAccess(const std::string& slave, const SlaveAccess& access)
{
    if (access.Owner || access.Group) {
        const uid_t owner = access.Owner.value_or(static_cast<uid_t>(-1));
        const gid_t group = access.Group.value_or(static_cast<gid_t>(-1));
        if (chown(slave.c_str(), owner, group) != 0) {
            Fail("cannot change the owner of " + slave);
        }
    }
    if (chmod(slave.c_str(), access.Mode) != 0) {
        Fail("cannot change the mode of " + slave);
    }
}

zel::UniqueFd OpenSlave(const std::string& slave)
{
    zel::UniqueFd fd(open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.Valid()) {
        Fail("cannot open " + slave);
    }
    return fd;
}

}  // namespace

PtyPair PtyPair::Create(const SlaveAccess& access)
{
    zel::UniqueFd master = OpenMaster();
    std::string slave = SlaveOf(master.Get());
    SetRawMode(master.Get());
    int packetMode = 1;
    if (ioctl(master.Get(), TIOCPKT, &packetMode) != 0) {
        Fail("TIOCPKT");
    }
    GrantAccess(slave, access);
    // The master reports a hangup only after a slave was opened and closed
    // again; reach that state now, before any program comes.
    OpenSlave(slave);
    return PtyPair(std::move(master), std::move(slave));
}

bool SlaveHeld(int masterFd)
{
    pollfd master{masterFd, 0, 0};
    return poll(&master, 1, 0) == 0 || (master.revents & POLLHUP) == 0;
}

void PtyPair::DiscardSlaveInput() const
{
    const zel::UniqueFd slave = OpenSlave(slavePath_);
    if (tcflush(slave.Get(), TCIFLUSH) != 0) {
        Fail("tcflush " + slavePath_);
    }
}

}  // namespace zelvcomd
