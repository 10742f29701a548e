// The command line of comping.
#pragma once

#include <windows.h>

#include <string>

namespace comping {

struct Options {
    unsigned ComNumber = 0;
    DWORD BaudRate = CBR_115200;
    unsigned Count = 4;
    std::string Message = "ping";
    DWORD TimeoutMs = 1000;  // for each round trip
    bool Help = false;
};

// Throws UsageError on a bad argument.
Options ParseOptions(int argc, const char* const* argv);

const char* HelpText();

}  // namespace comping
