// What the Windows test programs share: the library's twelve exports,
// resolved at run time as a tool written against the DLL alone would, and a
// tally of checks printed one a line.
#pragma once

#include <VZelSerial.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace vzeltest {

constexpr const char LIBRARY_NAME[] = "VZelSerial_64.dll";

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

inline int passed = 0;
inline int failed = 0;

inline bool Check(bool ok, const char* what)
{
    (ok ? passed : failed)++;
    std::printf("%s: %s\n", ok ? "ok  " : "FAIL", what);
    return ok;
}

// "N passed, M failed", and the exit status: 0 when nothing failed.
inline int Summary()
{
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

template <typename Function>
bool Resolve(HMODULE library, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
    return Check(function != nullptr, name);
}

// True when every export was found.
inline bool ResolveAll(HMODULE library, Exports& x)
{
    bool all = Resolve(library, "VCOM_CreateDevice", x.CreateDevice);
    all &= Resolve(library, "VCOM_ReleaseDevice", x.ReleaseDevice);
    all &= Resolve(library, "VCOM_AddModule", x.AddModule);
    all &= Resolve(library, "VCOM_StopAllSerial", x.StopAllSerial);
    all &= Resolve(library, "VCOM_StartAllSerial", x.StartAllSerial);
    all &= Resolve(library, "VCOM_SaveInfoReg", x.SaveInfoReg);
    all &= Resolve(library, "VCOM_ResetReadReg", x.ResetReadReg);
    all &= Resolve(library, "VCOM_GetDevRunSts", x.GetDevRunSts);
    all &= Resolve(library, "VCOM_ClearDevInfo", x.ClearDevInfo);
    all &= Resolve(library, "VCOM_ClearDevReg", x.ClearDevReg);
    all &= Resolve(library, "VCOM_GetDevModCount", x.GetDevModCount);
    all &= Resolve(library, "VCOM_GetDevModInfo", x.GetDevModInfo);
    return all;
}

constexpr DWORD UNTOUCHED_WORD = 0xA5A5A5A5;
constexpr unsigned char UNTOUCHED_BYTE = 0xA5;

// Every export with Handle: ReleaseDevice 1, the other ten 0, outputs untouched.
inline void CheckRefused(const Exports& x, HANDLE handle, const char* kind)
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
    Check(x.GetDevModInfo(handle, 0, &record) == 0, "VCOM_GetDevModInfo refuses it");
    Check(word == UNTOUCHED_WORD, "the output word is untouched");
    Check(std::memcmp(&record, &original, sizeof record) == 0, "the record buffer is untouched");
    Check(x.ReleaseDevice(handle) == 1, "VCOM_ReleaseDevice returns 1");
}

}  // namespace vzeltest
