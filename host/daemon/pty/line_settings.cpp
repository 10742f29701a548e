// termios2 (TCGETS2/TCSETS2) carries any baud rate, standard or not; the
// kernel's header defines it and cannot be mixed with <termios.h>, so this
// file is the only one that touches termios.
#include "line_settings.h"

#include <host/common/errors.h>

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace zelvcomd {
namespace {

termios2 Get(int fd)
{
    termios2 settings{};
    if (ioctl(fd, TCGETS2, &settings) != 0) {
        throw zel::ErrnoError("TCGETS2");
    }
    return settings;
}

void Set(int fd, const termios2& settings)
{
    if (ioctl(fd, TCSETS2, &settings) != 0) {
        throw zel::ErrnoError("TCSETS2");
    }
}

}  // namespace

void SetRawMode(int masterFd)
{
    termios2 settings = Get(masterFd);
    // cfmakeraw, plus EXTPROC for the change reports.
    settings.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
    settings.c_oflag &= ~OPOST;
    settings.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_lflag |= EXTPROC;
    settings.c_cflag &= ~(CSIZE | PARENB | CBAUD);
    settings.c_cflag |= CS8 | CREAD | CLOCAL | BOTHER;
    settings.c_ispeed = kInitialBaudRate;
    settings.c_ospeed = kInitialBaudRate;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    Set(masterFd, settings);
}

LineSettings ReadLineSettings(int masterFd)
{
    termios2 settings = Get(masterFd);
    if ((settings.c_lflag & EXTPROC) == 0) {
        settings.c_lflag |= EXTPROC;
        Set(masterFd, settings);
    }
    LineSettings line;
    line.BaudRate = settings.c_ospeed;
    line.TwoStopBits = (settings.c_cflag & CSTOPB) != 0;
    return line;
}

}  // namespace zelvcomd
