// The driver's load from a registry that holds anything: values of other
// types, sizes and ranges than the driver writes, under its module keys.
// Each input writes its values, loads the driver, reads the module table
// back through the control device, saves it, and unloads (the verifier
// checks that nothing is left); the configuration the driver saved then
// loads as the same table.
//
// Input: records of four bytes and data: key (ModuleInfo, ModuleSvr0..3),
// value name (with a channel number for the per-channel names), type,
// data length, then that many data bytes.
#include "fuzz_kernel.h"

#include <host/kernel.h>

#include <zelvcom/control_ioctl.h>
#include <zelvcom/module_record.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

constexpr char kService[] = "ZelVCOM";
constexpr unsigned kModuleKeys = 4;
constexpr unsigned kChannelNames = 10;  // two beyond a module's channels
constexpr std::size_t kMaxRecords = 48;

const char* const kModuleValues[] = {"ModuleIP", "ControlPort", "SerialCount", "ModuleName"};
const char* const kChannelValues[] = {"SerialPort", "SerialNum", "SerialParaFlag"};
const ULONG kTypes[] = {REG_DWORD,     REG_SZ,   REG_BINARY, REG_MULTI_SZ,
                        REG_EXPAND_SZ, REG_NONE, REG_QWORD};

host::Kernel* g_kernel = nullptr;

std::string ValueName(unsigned selector, bool moduleInfo)
{
    if (moduleInfo) {
        return "ModuleCount";
    }
    constexpr unsigned kPlain = sizeof(kModuleValues) / sizeof(kModuleValues[0]);
    if (selector % 8 < kPlain) {
        return kModuleValues[selector % 8];
    }
    return std::string(kChannelValues[(selector % 8 - kPlain) % 3]) +
           std::to_string(selector / 8 % kChannelNames);
}

ULONG Type(std::uint8_t selector)
{
    constexpr unsigned kKnown = sizeof(kTypes) / sizeof(kTypes[0]);
    return selector < 0xF0 ? kTypes[selector % kKnown] : selector;  // a few unknown types too
}

void WriteValues(const std::uint8_t* data, std::size_t size)
{
    host::Registry& registry = g_kernel->RegistryView();
    std::size_t records = 0;
    while (size >= 4 && records++ < kMaxRecords) {
        const unsigned key = data[0] % (kModuleKeys + 1);
        const std::string keyPath =
            key == 0 ? std::string(kService) + "\\ModuleInfo"
                     : std::string(kService) + "\\ModuleSvr" + std::to_string(key - 1);
        host::RegistryValue value;
        value.Type = Type(data[2]);
        const std::size_t length = std::min<std::size_t>(data[3], size - 4);
        value.Data.assign(data + 4, data + 4 + length);
        registry.Write(RTL_REGISTRY_SERVICES, keyPath, ValueName(data[1], key == 0), value);
        data += 4 + length;
        size -= 4 + length;
    }
}

host::IoResult Control(host::File& control, ULONG code, const void* input, ULONG inputLength,
                       ULONG outputLength)
{
    return control.DeviceControl(code, input, inputLength, outputLength);
}

// The module table as the control device reports it; saved to the registry
// when save is set.
std::vector<std::uint8_t> LoadAndRead(bool save)
{
    if (g_kernel->LoadDriver(kService, DriverEntry) != STATUS_SUCCESS) {
        std::abort();  // the configuration never fails the load
    }
    std::vector<std::uint8_t> table;
    {
        std::unique_ptr<host::File> control;
        if (g_kernel->Open("\\\\.\\ZelMain", &control) != STATUS_SUCCESS) {
            std::abort();
        }
        const host::IoResult count =
            Control(*control, IOCTL_VCOM_GET_DEV_MOD_COUNT, nullptr, 0, sizeof(std::uint32_t));
        std::uint32_t modules = 0;
        std::memcpy(&modules, count.Data.data(), std::min(count.Data.size(), sizeof(modules)));
        if (count.Status != STATUS_SUCCESS || modules > MODULE_TABLE_SIZE) {
            std::abort();
        }
        for (std::uint32_t i = 0; i < modules; ++i) {
            const host::IoResult record =
                Control(*control, IOCTL_VCOM_GET_DEV_MOD_INFO, &i, sizeof(i), sizeof(ModuleRecord));
            if (record.Status != STATUS_SUCCESS || record.Data.size() != sizeof(ModuleRecord)) {
                std::abort();
            }
            // The name ends at its NUL; what follows it in the field says nothing.
            ModuleRecord read;
            std::memcpy(&read, record.Data.data(), sizeof(read));
            const std::size_t name = strnlen(read.ModuleName, sizeof(read.ModuleName));
            std::memset(read.ModuleName + name, 0, sizeof(read.ModuleName) - name);
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(&read);
            table.insert(table.end(), bytes, bytes + sizeof(read));
        }
        if (save) {
            Control(*control, IOCTL_VCOM_SAVE_INFO_REG, nullptr, 0, 0);
        }
        control->Close();
    }
    g_kernel->UnloadDriver();
    return table;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_kernel = &fuzzsupport::StartKernel("registry");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    g_kernel->RegistryView().DeleteKey(RTL_REGISTRY_SERVICES, kService);
    WriteValues(data, size);
    const std::vector<std::uint8_t> loaded = LoadAndRead(true);
    if (LoadAndRead(false) != loaded) {
        std::abort();  // the saved configuration reads back as another table
    }
    return 0;
}
