// A client process for the end-to-end tests, built on zelwin32: it opens a
// device, optionally leaves a request pending in the driver, says so on
// stdout and then waits for stdin to close (or to be killed).
//
//   win32_probe open NAME           OPENED, then waits
//   win32_probe pending-wait NAME   OPENED, PENDING once an overlapped
//                                   WaitCommEvent waits in the driver, then waits
// Failures print "FAILED <step> <error>" and exit 1.
#include <windows.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

int Fail(const char* step)
{
    std::printf("FAILED %s %u\n", step, static_cast<unsigned>(GetLastError()));
    std::fflush(stdout);
    return EXIT_FAILURE;
}

void Say(const char* word)
{
    std::printf("%s\n", word);
    std::fflush(stdout);
}

void WaitForStdinToClose()
{
    char byte = 0;
    while (read(STDIN_FILENO, &byte, 1) > 0) {
    }
}

// A wait for a received character: nothing arrives, so it stays pending.
int LeaveWaitPending(HANDLE port)
{
    if (!SetCommMask(port, EV_RXCHAR))
        return Fail("mask");
    static DWORD events = 0;
    static OVERLAPPED overlapped{};
    if (WaitCommEvent(port, &events, &overlapped) || GetLastError() != ERROR_IO_PENDING) {
        return Fail("wait");
    }
    Say("PENDING");
    return EXIT_SUCCESS;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: win32_probe open|pending-wait NAME\n");
        return EXIT_FAILURE;
    }
    const std::string command = argv[1];
    const HANDLE handle =
        CreateFileA(argv[2], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return Fail("open");
    Say("OPENED");
    if (command == "pending-wait" && LeaveWaitPending(handle) != EXIT_SUCCESS) {
        return EXIT_FAILURE;
    }
    WaitForStdinToClose();
    CloseHandle(handle);
    return EXIT_SUCCESS;
}
