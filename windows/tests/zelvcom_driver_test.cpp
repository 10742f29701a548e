// Drives the real ZelVCOM.sys, loaded as a kernel service, as a Windows
// configuration tool and a Windows serial program would: through
// VZelSerial_64.dll and kernel32 only. run_driver_under_wine.sh runs it in
// three phases:
//   loaded     every control operation and its refusals, start and stop
//              with the devices' links and SERIALCOMM values, save and
//              reload against the service key, a port open against a module
//              nobody answers, and the serial controls that need no
//              connection; ends with a saved, running module
//   restarted  after a service restart: the saved module runs at once;
//              the configuration is deleted again
//   unloaded   after the service stopped: nothing of the driver is left
// Where wine's kernel differs from Windows (windows/tests/README.md) the
// check expects what wine does when it runs under wine, and what Windows
// does otherwise.
// Prints "N passed, M failed"; the exit status is nonzero on any failure.
#include "vzelserial_exports.h"

// ntddser.h names the kernel's PHYSICAL_ADDRESS, which user mode lacks.
typedef LARGE_INTEGER PHYSICAL_ADDRESS;
#include <ntddser.h>

#include <cstring>
#include <string>

namespace {

using namespace vzeltest;

constexpr int EXIT_USAGE = 2;

// The module nobody answers: loopback, on ports nothing listens on, with two
// channels whose port numbers no other device of the prefix uses.
constexpr std::uint8_t MODULE_ADDRESS[] = {127, 0, 0, 1};
constexpr DWORD CONTROL_PORT = 9;
constexpr DWORD FIRST_COM = 41;
constexpr DWORD SECOND_COM = 42;
constexpr DWORD ABSENT_COM = 49;
constexpr char MODULE_NAME[] = "wine-harness";

constexpr char SERVICE_KEY[] = "System\\CurrentControlSet\\Services\\ZelVCOM";
constexpr char SERIALCOMM_KEY[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

bool UnderWine()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

const bool WINE = UnderWine();

ModuleRecord TheModule()
{
    ModuleRecord record{};
    std::memcpy(&record.ModuleIP, MODULE_ADDRESS, sizeof MODULE_ADDRESS);
    record.ControlPort = CONTROL_PORT;
    record.SerialCount = 2;
    record.SerialPort[0] = CONTROL_PORT + 1;
    record.SerialNum[0] = FIRST_COM;
    record.SerialPort[1] = CONTROL_PORT + 2;
    record.SerialNum[1] = SECOND_COM;
    record.SerialParaFlag[1] = 1;
    std::strcpy(record.ModuleName, MODULE_NAME);
    return record;
}

// Names the first byte that differs.
bool SameRecord(const ModuleRecord& a, const ModuleRecord& b)
{
    const auto* x = reinterpret_cast<const unsigned char*>(&a);
    const auto* y = reinterpret_cast<const unsigned char*>(&b);
    for (std::size_t i = 0; i < sizeof a; ++i) {
        if (x[i] != y[i]) {
            std::printf("      byte %zu: %02x, not %02x\n", i, x[i], y[i]);
            return false;
        }
    }
    return true;
}

// A record read back from the registry is the saved one. Wine's
// RtlQueryRegistryValues reads a REG_SZ on to the next NUL, and the name is
// stored without one: under wine the name only begins with the saved one,
// or, when what follows it does not fit the name's buffer, the read fails
// there: the name is the driver's default and the values queried after it
// (the channels) are not read.
void CheckReloaded(const ModuleRecord& read, const char* what)
{
    ModuleRecord expected = TheModule();
    ModuleRecord got = read;
    if (WINE) {
        bool same = false;
        if (std::strcmp(got.ModuleName, "NULL") == 0) {
            same = got.ModuleIP == expected.ModuleIP && got.ControlPort == expected.ControlPort &&
                   got.SerialCount == expected.SerialCount;
        } else {
            const bool named =
                std::strncmp(got.ModuleName, MODULE_NAME, sizeof MODULE_NAME - 1) == 0;
            std::memset(got.ModuleName, 0, sizeof got.ModuleName);
            std::memset(expected.ModuleName, 0, sizeof expected.ModuleName);
            same = named && SameRecord(got, expected);
        }
        Check(same, (std::string(what) +
                     " (wine: the name only begins with the saved one, or is NULL and the "
                     "channels unread)")
                        .c_str());
        return;
    }
    Check(SameRecord(got, expected), what);
}

std::string ComName(DWORD number)
{
    return "COM" + std::to_string(number);
}

// The target of a DOS device name, or "" when there is no such link.
std::string DosDeviceTarget(const std::string& name)
{
    char target[MAX_PATH] = {};
    if (QueryDosDeviceA(name.c_str(), target, sizeof target) == 0) {
        return "";
    }
    return target;
}

// A string value of HKLM\<key>, or "<absent>".
std::string StringValue(const char* key, const std::string& name)
{
    char data[MAX_PATH] = {};
    DWORD size = sizeof data;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, key, name.c_str(), RRF_RT_REG_SZ, nullptr, data, &size) !=
        ERROR_SUCCESS) {
        return "<absent>";
    }
    return data;
}

// A REG_DWORD value of HKLM\<key>; false when absent.
bool DwordValue(const std::string& key, const char* name, DWORD* value)
{
    DWORD size = sizeof *value;
    return RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_REG_DWORD, nullptr, value,
                        &size) == ERROR_SUCCESS;
}

std::string PortDeviceName(DWORD number)
{
    return "\\Device\\VSer" + std::to_string(number);
}

// The port's link and SERIALCOMM value, both present or both gone.
void CheckPortListed(DWORD number, bool listed)
{
    const std::string com = ComName(number);
    const std::string target = DosDeviceTarget(com);
    const std::string value = StringValue(SERIALCOMM_KEY, PortDeviceName(number));
    std::string what =
        com + (listed ? ": link to " + PortDeviceName(number) + " and SERIALCOMM value"
                      : ": no link, no SERIALCOMM value");
    Check(listed ? target == PortDeviceName(number) && value == com
                 : target.empty() && value == "<absent>",
          what.c_str());
    if (listed ? target != PortDeviceName(number) || value != com : !target.empty()) {
        std::printf("      link '%s', value '%s'\n", target.c_str(), value.c_str());
    }
}

void CheckRunning(const Exports& x, HANDLE h, bool running)
{
    DWORD status = 2;
    Check(x.GetDevRunSts(h, &status) == 1 && status == (running ? 1u : 0u),
          running ? "run status 1" : "run status 0");
    Check(DosDeviceTarget("ZelSerial0") == (running ? "\\Device\\VZelSerial0" : ""),
          running ? "module link ZelSerial0 present" : "module link ZelSerial0 absent");
    CheckPortListed(FIRST_COM, running);
    CheckPortListed(SECOND_COM, running);
}

DWORD ModuleCount(const Exports& x, HANDLE h)
{
    DWORD count = UNTOUCHED_WORD;
    Check(x.GetDevModCount(h, &count) == 1, "VCOM_GetDevModCount");
    return count;
}

// The control device is exclusive: Windows refuses a second open while the
// first is held; wine's kernel opens it again.
// An open Windows refuses with error; wine hands out a handle (wineWhy).
void CheckRefused(HANDLE opened, DWORD error, const std::string& what, const char* wineWhy)
{
    if (WINE) {
        Check(opened != INVALID_HANDLE_VALUE, (what + " is opened (" + wineWhy + ")").c_str());
    } else {
        Check(opened == INVALID_HANDLE_VALUE && GetLastError() == error,
              (what + " is refused").c_str());
    }
}

void CheckExclusiveControlDevice(const Exports& x)
{
    std::printf("-- the control device is exclusive\n");
    SetLastError(ERROR_SUCCESS);
    const HANDLE second = x.CreateDevice();
    CheckRefused(second, ERROR_ACCESS_DENIED, "a second VCOM_CreateDevice",
                 "wine keeps no exclusive devices");
    if (second != INVALID_HANDLE_VALUE) {
        x.ReleaseDevice(second);
    }
}

void CheckTable(const Exports& x, HANDLE h, const ModuleRecord& module)
{
    std::printf("-- the module table\n");
    Check(ModuleCount(x, h) == 0, "... is empty at first");
    CheckRunning(x, h, false);
    Check(x.AddModule(h, nullptr) == 0, "VCOM_AddModule refuses a null record");
    Check(x.AddModule(h, &module) == 1, "VCOM_AddModule adds the module");
    ModuleRecord other = module;
    other.ControlPort = CONTROL_PORT + 100;
    Check(x.AddModule(h, &other) == 0, "a second module with the same address is refused");
    other.ModuleIP ^= 0x01000000;  // 127.0.0.0
    other.SerialCount = MODULE_CHANNEL_COUNT + 1;
    Check(x.AddModule(h, &other) == 0, "a module of nine channels is refused");
    Check(ModuleCount(x, h) == 1, "... leaving one module");

    ModuleRecord read;
    std::memset(&read, UNTOUCHED_BYTE, sizeof read);
    Check(x.GetDevModInfo(h, 0, &read) == 1 && SameRecord(read, module),
          "record 0 reads back byte for byte");
    std::memset(&read, UNTOUCHED_BYTE, sizeof read);
    ModuleRecord untouched = read;
    Check(x.GetDevModInfo(h, 1, &read) == 0 && SameRecord(read, untouched),
          "record 1 is refused and the buffer untouched");
    Check(x.GetDevModInfo(h, 0xFFFFFFFF, &read) == 0, "record 0xFFFFFFFF is refused");
    Check(x.GetDevModInfo(h, 0, nullptr) == 0, "VCOM_GetDevModInfo refuses a null buffer");
    Check(x.GetDevRunSts(h, nullptr) == 0, "VCOM_GetDevRunSts refuses a null word");
    Check(x.GetDevModCount(h, nullptr) == 0, "VCOM_GetDevModCount refuses a null word");

    // Over the very device the live handle holds: were anything sent, the
    // table would show it.
    const auto* live = static_cast<const ForgedHandle*>(h);
    for (const std::uint32_t signature : {0u, live->Signature + 1}) {
        ForgedHandle forged{live->Device, signature, nullptr};
        CheckRefused(x, &forged, "a forged record over the live device");
    }
    Check(ModuleCount(x, h) == 1, "... and the table is as it was");
}

// Sends Code with In and fills Out; true on success, else the last error.
bool Control(HANDLE port, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
             DWORD* error)
{
    DWORD returned = 0;
    SetLastError(ERROR_SUCCESS);
    const bool ok = DeviceIoControl(port, code, const_cast<void*>(in), inSize, out, outSize,
                                    &returned, nullptr) != 0;
    *error = ok ? ERROR_SUCCESS : GetLastError();
    return ok;
}

// The serial controls that reach no module: settings kept in the port and
// read back, the statuses, and the buffer and code checks.
void CheckSerialControls(HANDLE port)
{
    std::printf("-- serial controls that need no connection\n");
    DWORD error = 0;
    ULONG baud = 0;
    Check(Control(port, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof baud, &error) &&
              baud != 0,
          "IOCTL_SERIAL_GET_BAUD_RATE");
    Check(!Control(port, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof baud - 1, &error) &&
              error == ERROR_INSUFFICIENT_BUFFER,
          "... with a short buffer: ERROR_INSUFFICIENT_BUFFER");
    Check(!Control(port, CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x7FF, METHOD_BUFFERED, FILE_ANY_ACCESS),
                   nullptr, 0, nullptr, 0, &error) &&
              error == ERROR_INVALID_PARAMETER,
          "an unknown code: ERROR_INVALID_PARAMETER");

    COMMTIMEOUTS timeouts = {7, 11, 13, 17, 19};
    COMMTIMEOUTS back = {};
    Check(SetCommTimeouts(port, &timeouts) && GetCommTimeouts(port, &back) &&
              std::memcmp(&timeouts, &back, sizeof back) == 0,
          "SetCommTimeouts, then GetCommTimeouts reads them back");
    DWORD mask = 0;
    Check(SetCommMask(port, EV_RXCHAR | EV_CTS) && GetCommMask(port, &mask) &&
              mask == (EV_RXCHAR | EV_CTS),
          "SetCommMask, then GetCommMask reads it back");
    SERIAL_CHARS chars = {0x04, 0x1A, 0x7E, 0x0D, 0x11, 0x13};
    SERIAL_CHARS charsBack = {};
    Check(Control(port, IOCTL_SERIAL_SET_CHARS, &chars, sizeof chars, nullptr, 0, &error) &&
              Control(port, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &charsBack, sizeof charsBack,
                      &error) &&
              std::memcmp(&chars, &charsBack, sizeof chars) == 0,
          "IOCTL_SERIAL_SET_CHARS, then GET_CHARS reads them back");
    SERIAL_LINE_CONTROL line = {};
    Check(Control(port, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &line, sizeof line, &error),
          "IOCTL_SERIAL_GET_LINE_CONTROL");
    SERIAL_HANDFLOW handflow = {};
    Check(Control(port, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &handflow, sizeof handflow, &error),
          "IOCTL_SERIAL_GET_HANDFLOW");
    DWORD modem = 0;
    Check(GetCommModemStatus(port, &modem), "GetCommModemStatus");
    DWORD errors = 0;
    COMSTAT comstat = {};
    Check(ClearCommError(port, &errors, &comstat) && comstat.cbInQue == 0,
          "ClearCommError: nothing queued");
    Check(PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR), "PurgeComm");
    Check(FlushFileBuffers(port), "FlushFileBuffers");
}

// No module answers: Windows fails the open. Wine's kernel hands out the
// handle before the driver has answered, so there the driver's refusal
// shows only in its own state: the port does not count as open, and a
// stop-all is not refused for it.
void CheckUnreachableOpen()
{
    std::printf("-- a port open against a module nobody answers\n");
    const std::string path = "\\\\.\\" + ComName(FIRST_COM);
    SetLastError(ERROR_SUCCESS);
    HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    CheckRefused(port, ERROR_GEN_FAILURE, "CreateFileA COM41",
                 "wine does not wait for the driver's open");
    const std::string absent = "\\\\.\\" + ComName(ABSENT_COM);
    SetLastError(ERROR_SUCCESS);
    HANDLE none = CreateFileA(absent.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    Check(none == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND,
          "CreateFileA of an absent COM49 fails with ERROR_FILE_NOT_FOUND");
    if (port == INVALID_HANDLE_VALUE) {
        std::printf("-- serial controls: skipped, no port can be opened\n");
        return;
    }
    CheckSerialControls(port);
    Check(CloseHandle(port) != 0, "CloseHandle of the port");
}

void CheckStartAndStop(const Exports& x, HANDLE h)
{
    std::printf("-- start and stop\n");
    Check(x.StartAllSerial(h) != 0, "VCOM_StartAllSerial");
    CheckRunning(x, h, true);
    Check(x.StartAllSerial(h) == 0, "a second VCOM_StartAllSerial is refused (the names exist)");
    CheckUnreachableOpen();
    // A port that was never opened does not hold its module.
    Check(x.StopAllSerial(h) != 0, "VCOM_StopAllSerial");
    CheckRunning(x, h, false);
    Check(ModuleCount(x, h) == 1, "... and the table keeps the module");
}

std::string ModuleKey(DWORD index)
{
    return std::string(SERVICE_KEY) + "\\ModuleSvr" + std::to_string(index);
}

void CheckSaveAndReload(const Exports& x, HANDLE h, const ModuleRecord& module)
{
    std::printf("-- save and reload against the service key\n");
    Check(x.SaveInfoReg(h) != 0, "VCOM_SaveInfoReg");
    DWORD value = 0;
    Check(
        DwordValue(std::string(SERVICE_KEY) + "\\ModuleInfo", "ModuleCount", &value) && value == 1,
        "ModuleInfo\\ModuleCount is 1");
    Check(DwordValue(ModuleKey(0), "ModuleIP", &value) && value == module.ModuleIP,
          "ModuleSvr0\\ModuleIP is the module's address");
    Check(DwordValue(ModuleKey(0), "SerialNum1", &value) && value == SECOND_COM,
          "ModuleSvr0\\SerialNum1 is the second channel's COM number");
    Check(StringValue(ModuleKey(0).c_str(), "ModuleName") == MODULE_NAME,
          "ModuleSvr0\\ModuleName is the module's name");

    Check(x.ClearDevInfo(h) != 0 && ModuleCount(x, h) == 0, "VCOM_ClearDevInfo empties the table");
    Check(x.ResetReadReg(h) != 0 && ModuleCount(x, h) == 1, "VCOM_ResetReadReg loads one module");
    ModuleRecord read{};
    Check(x.GetDevModInfo(h, 0, &read) == 1, "VCOM_GetDevModInfo");
    CheckReloaded(read, "... byte for byte the saved one");
}

int Loaded(const Exports& x)
{
    const HANDLE h = x.CreateDevice();
    if (!Check(h != INVALID_HANDLE_VALUE, "VCOM_CreateDevice opens the driver's control device")) {
        return Summary();
    }
    CheckExclusiveControlDevice(x);
    const ModuleRecord module = TheModule();
    CheckTable(x, h, module);
    CheckStartAndStop(x, h);
    CheckSaveAndReload(x, h, module);
    // The service restarts with the module saved and running.
    Check(x.StartAllSerial(h) != 0, "VCOM_StartAllSerial before the restart");
    Check(x.ReleaseDevice(h) == 1, "VCOM_ReleaseDevice");
    const HANDLE again = x.CreateDevice();
    Check(again != INVALID_HANDLE_VALUE, "... and the control device opens again");
    x.ReleaseDevice(again);
    return Summary();
}

int Restarted(const Exports& x)
{
    const HANDLE h = x.CreateDevice();
    if (!Check(h != INVALID_HANDLE_VALUE, "VCOM_CreateDevice after the restart")) {
        return Summary();
    }
    std::printf("-- the saved configuration runs as soon as the driver is loaded\n");
    Check(ModuleCount(x, h) == 1, "one module loaded");
    ModuleRecord read{};
    Check(x.GetDevModInfo(h, 0, &read) == 1, "VCOM_GetDevModInfo");
    CheckReloaded(read, "... byte for byte the saved one");
    CheckRunning(x, h, true);
    std::printf("-- deleting the saved configuration\n");
    Check(x.ClearDevInfo(h) != 0 && x.ClearDevReg(h) != 0,
          "VCOM_ClearDevInfo, then VCOM_ClearDevReg");
    DWORD value = 0;
    Check(!DwordValue(std::string(SERVICE_KEY) + "\\ModuleInfo", "ModuleCount", &value),
          "ModuleInfo\\ModuleCount is gone");
    // The running module stays for the unload to tear down.
    Check(x.ReleaseDevice(h) == 1, "VCOM_ReleaseDevice");
    return Summary();
}

int Unloaded(const Exports& x)
{
    std::printf("-- after the unload\n");
    SetLastError(ERROR_SUCCESS);
    const HANDLE h = x.CreateDevice();
    Check(h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND,
          "VCOM_CreateDevice fails with ERROR_FILE_NOT_FOUND");
    Check(DosDeviceTarget("ZelMain").empty(), "no ZelMain link");
    Check(DosDeviceTarget("ZelSerial0").empty(), "no ZelSerial0 link");
    CheckPortListed(FIRST_COM, false);
    CheckPortListed(SECOND_COM, false);
    return Summary();
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string phase = argc == 2 ? argv[1] : "";
    if (phase != "loaded" && phase != "restarted" && phase != "unloaded") {
        std::printf("usage: zelvcom_driver_test loaded|restarted|unloaded\n");
        return EXIT_USAGE;
    }
    std::printf("-- phase %s%s\n", phase.c_str(), WINE ? ", under wine" : "");
    HMODULE library = LoadLibraryA(LIBRARY_NAME);
    Exports x{};
    if (!Check(library != nullptr, LIBRARY_NAME) || !ResolveAll(library, x)) {
        return Summary();
    }
    if (phase == "loaded") {
        return Loaded(x);
    }
    return phase == "restarted" ? Restarted(x) : Unloaded(x);
}
