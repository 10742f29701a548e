// A client process for the end-to-end tests, built on zelwin32: it opens
// each device named (a COM port at most once), leaves an overlapped
// WaitCommEvent pending in the driver on the COM port, says READY and waits
// for stdin to close (or to be killed). A failure prints
// "FAILED <step> <error>" and exits 1.
#include <windows.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv)
{
    static DWORD events = 0;
    static OVERLAPPED overlapped{};
    for (int arg = 1; arg < argc; ++arg) {
        const HANDLE handle =
            CreateFileA(argv[arg], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
        const char* failed = handle == INVALID_HANDLE_VALUE ? "open" : nullptr;
        // Nothing arrives, so the wait for a received character stays pending.
        if (!failed && std::strstr(argv[arg], "COM") != nullptr &&
            (!SetCommMask(handle, EV_RXCHAR) || WaitCommEvent(handle, &events, &overlapped) ||
             GetLastError() != ERROR_IO_PENDING)) {
            failed = "wait";
        }
        if (failed) {
            std::printf("FAILED %s %u\n", failed, static_cast<unsigned>(GetLastError()));
            return EXIT_FAILURE;
        }
    }
    std::printf("READY\n");
    std::fflush(stdout);
    char byte = 0;
    while (read(STDIN_FILENO, &byte, 1) > 0) {
    }
    return EXIT_SUCCESS;
}
