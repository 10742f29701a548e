// Loads VZelSerial_64.dll, resolves its twelve exports and checks what the
// library does without a driver: the control device cannot be opened, and
// every export refuses a handle that is not live.
// Prints "N passed, M failed"; the exit status is nonzero on any failure.
#include "vzelserial_exports.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

using namespace vzeltest;

constexpr std::uint32_t LIVE_SIGNATURE = 0x5A5A3220;
constexpr std::uint32_t DEAD_SIGNATURE = 0;
constexpr int EXIT_NO_LIBRARY = 2;

void CheckNoDriver(const Exports& x)
{
    SetLastError(ERROR_SUCCESS);
    const HANDLE device = x.CreateDevice();
    const DWORD error = GetLastError();
    Check(device == INVALID_HANDLE_VALUE,
          "VCOM_CreateDevice without a driver returns INVALID_HANDLE_VALUE");
    Check(error == ERROR_FILE_NOT_FOUND, "... and the last error is ERROR_FILE_NOT_FOUND");
    if (device != INVALID_HANDLE_VALUE) {
        x.ReleaseDevice(device);
    }
}

// A live-looking record over a device handle that is not open: the exports
// get as far as DeviceIoControl, which fails, and the release frees the
// record from the process heap although the library never listed it.
void CheckForgedLiveHandle(const Exports& x)
{
    std::printf("-- a forged live handle over a closed device\n");
    auto* forged = static_cast<ForgedHandle*>(HeapAlloc(GetProcessHeap(), 0, sizeof(ForgedHandle)));
    if (forged == nullptr) {
        Check(false, "HeapAlloc for the forged handle");
        return;
    }
    *forged = ForgedHandle{INVALID_HANDLE_VALUE, LIVE_SIGNATURE, nullptr};
    DWORD word = UNTOUCHED_WORD;
    SetLastError(ERROR_SUCCESS);
    Check(x.GetDevModCount(forged, &word) == 0, "VCOM_GetDevModCount fails in DeviceIoControl");
    Check(GetLastError() != ERROR_SUCCESS, "... which set a last error");
    Check(word == UNTOUCHED_WORD, "... and left the word untouched");
    Check(x.GetDevRunSts(forged, nullptr) == 0, "VCOM_GetDevRunSts with a null pointer returns 0");
    Check(x.ReleaseDevice(forged) == 1, "VCOM_ReleaseDevice releases an unlisted live handle");
}

}  // namespace

int main()
{
    HMODULE library = LoadLibraryA(LIBRARY_NAME);
    if (library == nullptr) {
        std::printf("cannot load %s (error %lu)\n0 passed, 1 failed\n", LIBRARY_NAME,
                    GetLastError());
        return EXIT_NO_LIBRARY;
    }
    Exports x{};
    if (ResolveAll(library, x)) {
        CheckNoDriver(x);
        CheckRefused(x, INVALID_HANDLE_VALUE, "INVALID_HANDLE_VALUE");
        ForgedHandle dead{INVALID_HANDLE_VALUE, DEAD_SIGNATURE, nullptr};
        CheckRefused(x, &dead, "a record whose signature is not live");
        CheckForgedLiveHandle(x);
    }
    Check(FreeLibrary(library) != 0, "FreeLibrary");
    return Summary();
}
