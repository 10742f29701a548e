// The line settings a program makes on its end of a pseudo-terminal, read
// and kept in order from the master side.
#pragma once

#include <cstdint>

namespace zelvcomd {

// What a pseudo-terminal carries of a serial line: the baud rate and the
// stop bits. The pty driver forces 8 data bits and clears parity, so those
// never reach the master.
struct LineSettings {
    std::uint32_t BaudRate = 0;
    bool TwoStopBits = false;

    bool operator==(const LineSettings& other) const
    {
        return BaudRate == other.BaudRate && TwoStopBits == other.TwoStopBits;
    }
    bool operator!=(const LineSettings& other) const { return !(*this == other); }
};

// The speed a new port starts with, as a serial port does.
constexpr std::uint32_t kInitialBaudRate = 9600;

// Raw mode at kInitialBaudRate, with EXTPROC so that every tcsetattr of the
// program is reported to the master in packet mode. Throws on failure.
void SetRawMode(int masterFd);

// The program's current settings. Also sets EXTPROC again when the program
// cleared it (a program that zeroes c_lflag does), so later changes are
// still reported. Throws on failure.
LineSettings ReadLineSettings(int masterFd);

}  // namespace zelvcomd
