// Loads VZelSerial_64.dll, resolves its twelve exports and checks what the
// library does without a driver: the control device cannot be opened, and
// every export refuses a handle that is not live.
// Prints "N passed, M failed"; the exit status is nonzero on any failure.
#include <VZelSerial.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char LIBRARY_NAME[] = "VZelSerial_64.dll";
constexpr std::uint32_t LIVE_SIGNATURE = 0x5A5A3220;
constexpr std::uint32_t DEAD_SIGNATURE = 0;
constexpr DWORD UNTOUCHED_WORD = 0xA5A5A5A5;
constexpr unsigned char UNTOUCHED_BYTE = 0xA5;
constexpr DWORD FIRST_INDEX = 0;
constexpr int EXIT_PASSED = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_NO_LIBRARY = 2;

// Mirrors the library's handle record, so a handle can be forged.
struct ForgedHandle {
    HANDLE Device;
    std::uint32_t Signature;
    void* Reserved;
};

struct Exports {
    decltype(&VCOM_CreateDevice) CreateDevice;
    decltype(&VCOM_ReleaseDevice) ReleaseDevice;
    decltype(&VCOM_AddModule) AddModule;
    decltype(&VCOM_StopAllSerial) StopAllSerial;
    decltype(&VCOM_StartAllSerial) StartAllSerial;
    decltype(&VCOM_SaveInfoReg) SaveInfoReg;
    decltype(&VCOM_ResetReadReg) ResetReadReg;
    decltype(&VCOM_GetDevRunSts) GetDevRunSts;
    decltype(&VCOM_ClearDevInfo) ClearDevInfo;
    decltype(&VCOM_ClearDevReg) ClearDevReg;
    decltype(&VCOM_GetDevModCount) GetDevModCount;
    decltype(&VCOM_GetDevModInfo) GetDevModInfo;
};

int passed = 0;
int failed = 0;

void Check(bool ok, const char* what)
{
    (ok ? passed : failed)++;
    std::printf("%s: %s\n", ok ? "ok  " : "FAIL", what);
}

template <typename Function>
void Resolve(HMODULE library, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
    Check(function != nullptr, name);
}

void ResolveAll(HMODULE library, Exports& x)
{
    Resolve(library, "VCOM_CreateDevice", x.CreateDevice);
    Resolve(library, "VCOM_ReleaseDevice", x.ReleaseDevice);
    Resolve(library, "VCOM_AddModule", x.AddModule);
    Resolve(library, "VCOM_StopAllSerial", x.StopAllSerial);
    Resolve(library, "VCOM_StartAllSerial", x.StartAllSerial);
    Resolve(library, "VCOM_SaveInfoReg", x.SaveInfoReg);
    Resolve(library, "VCOM_ResetReadReg", x.ResetReadReg);
    Resolve(library, "VCOM_GetDevRunSts", x.GetDevRunSts);
    Resolve(library, "VCOM_ClearDevInfo", x.ClearDevInfo);
    Resolve(library, "VCOM_ClearDevReg", x.ClearDevReg);
    Resolve(library, "VCOM_GetDevModCount", x.GetDevModCount);
    Resolve(library, "VCOM_GetDevModInfo", x.GetDevModInfo);
}

bool AllResolved(const Exports& x)
{
    const void* const all[] = {
        reinterpret_cast<const void*>(x.CreateDevice),
        reinterpret_cast<const void*>(x.ReleaseDevice),
        reinterpret_cast<const void*>(x.AddModule),
        reinterpret_cast<const void*>(x.StopAllSerial),
        reinterpret_cast<const void*>(x.StartAllSerial),
        reinterpret_cast<const void*>(x.SaveInfoReg),
        reinterpret_cast<const void*>(x.ResetReadReg),
        reinterpret_cast<const void*>(x.GetDevRunSts),
        reinterpret_cast<const void*>(x.ClearDevInfo),
        reinterpret_cast<const void*>(x.ClearDevReg),
        reinterpret_cast<const void*>(x.GetDevModCount),
        reinterpret_cast<const void*>(x.GetDevModInfo),
    };
    for (const void* function : all) {
        if (function == nullptr) {
            return false;
        }
    }
    return true;
}

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

// Every export with Handle: ReleaseDevice 1, the other ten 0, outputs untouched.
void CheckRefused(const Exports& x, HANDLE handle, const char* kind)
{
    std::printf("-- %s\n", kind);
    ModuleRecord record;
    std::memset(&record, UNTOUCHED_BYTE, sizeof record);
    const ModuleRecord original = record;
    DWORD word = UNTOUCHED_WORD;

    Check(x.AddModule(handle, &record) == 0, "VCOM_AddModule refuses it");
    Check(x.StopAllSerial(handle) == 0, "VCOM_StopAllSerial refuses it");
    Check(x.StartAllSerial(handle) == 0, "VCOM_StartAllSerial refuses it");
    Check(x.SaveInfoReg(handle) == 0, "VCOM_SaveInfoReg refuses it");
    Check(x.ResetReadReg(handle) == 0, "VCOM_ResetReadReg refuses it");
    Check(x.GetDevRunSts(handle, &word) == 0, "VCOM_GetDevRunSts refuses it");
    Check(x.ClearDevInfo(handle) == 0, "VCOM_ClearDevInfo refuses it");
    Check(x.ClearDevReg(handle) == 0, "VCOM_ClearDevReg refuses it");
    Check(x.GetDevModCount(handle, &word) == 0, "VCOM_GetDevModCount refuses it");
    Check(x.GetDevModInfo(handle, FIRST_INDEX, &record) == 0, "VCOM_GetDevModInfo refuses it");
    Check(word == UNTOUCHED_WORD, "the output word is untouched");
    Check(std::memcmp(&record, &original, sizeof record) == 0, "the record buffer is untouched");
    Check(x.ReleaseDevice(handle) == 1, "VCOM_ReleaseDevice returns 1");
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
    ResolveAll(library, x);
    if (AllResolved(x)) {
        CheckNoDriver(x);
        CheckRefused(x, INVALID_HANDLE_VALUE, "INVALID_HANDLE_VALUE");
        ForgedHandle dead{INVALID_HANDLE_VALUE, DEAD_SIGNATURE, nullptr};
        CheckRefused(x, &dead, "a record whose signature is not live");
        CheckForgedLiveHandle(x);
    }
    Check(FreeLibrary(library) != 0, "FreeLibrary");
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? EXIT_PASSED : EXIT_FAILED;
}
