// Opens the control device through VZelSerial and holds it until its stdin
// ends, then returns from main WITHOUT releasing the handle: the library's
// unload step must release it. Prints "holding" once the handle is open, or
// "failed <error>" and exits 1.
#include <VZelSerial.h>

#include <cstdio>

int main()
{
    if (VCOM_CreateDevice() == INVALID_HANDLE_VALUE) {
        std::printf("failed %u\n", static_cast<unsigned>(GetLastError()));
        return 1;
    }
    std::printf("holding\n");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    return 0;
}
