// A host kernel with ZelVCOM loaded, on a state directory of the test's own,
// and the helpers the driver tests share.
#pragma once

#include <host/kernel.h>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

#include <zelvcom/control_ioctl.h>
#include <zelvcom/module_record.h>

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

struct PortExtension;
struct ModuleExtension;
struct ControlExtension;

namespace zeltest {

using zel::test::TempDir;

// UTF-16 text (ASCII in these tests) as a narrow string, for assertions.
std::string Utf8(const WCHAR* text, std::size_t units);
std::string Utf8(const UNICODE_STRING& text);
std::vector<std::uint8_t> Utf16Bytes(const std::string& ascii);

// The ModuleIP word of a.b.c.d: the first number at the lowest address.
std::uint32_t Ip(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d);

struct Channel {
    std::uint32_t SerialPort;
    std::uint32_t SerialNum;
    std::uint32_t SerialParaFlag;
};

ModuleRecord MakeRecord(std::uint32_t moduleIP, std::uint32_t controlPort, const std::string& name,
                        std::initializer_list<Channel> channels);

std::string RecordName(const ModuleRecord& record);

// A request's status and byte count, compared as one.
using Outcome = std::pair<NTSTATUS, ULONG_PTR>;
inline Outcome OutcomeOf(const host::IoResult& result)
{
    return {result.Status, result.Information};
}

constexpr char SERVICE_KEY[] = "ZelVCOM";
constexpr char MODULE_INFO_KEY[] = "ZelVCOM\\ModuleInfo";
std::string ModuleKey(unsigned index);

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts a kernel on the state directory; LoadDriver() then loads ZelVCOM.
    void StartKernel();
    NTSTATUS LoadDriver();
    // Closes every handle, unloads (the verifier checks for leaks) and stops
    // the kernel.
    void StopKernel();
    // A host restart: the same state directory, a new kernel, the driver loaded.
    void Restart();

    host::Kernel& Kernel() { return *kernel_; }
    host::Registry& Registry() { return kernel_->RegistryView(); }

    host::File& Control();
    void CloseControl();
    host::IoResult Ioctl(ULONG code, const void* input = nullptr, ULONG inputLength = 0,
                         ULONG outputLength = 0);
    host::IoResult Add(const ModuleRecord& record)
    {
        return Ioctl(IOCTL_VCOM_ADD_MODULE, &record, sizeof(record), 0);
    }
    host::IoResult StartAll() { return Ioctl(IOCTL_VCOM_START_ALL_SERIAL); }
    host::IoResult StopAll() { return Ioctl(IOCTL_VCOM_STOP_ALL_SERIAL); }
    std::uint32_t Word(ULONG code);
    std::uint32_t ModuleCount() { return Word(IOCTL_VCOM_GET_DEV_MOD_COUNT); }
    std::uint32_t RunStatus() { return Word(IOCTL_VCOM_GET_DEV_RUN_STS); }
    ModuleRecord Record(std::uint32_t index);

    bool HasDevice(const std::string& name) const;
    std::optional<std::string> LinkTarget(const std::string& link) const
    {
        return kernel_->SymbolicLinkTarget(link);
    }
    PDEVICE_OBJECT Device(const std::string& name) const { return kernel_->FindDevice(name); }
    // A device's extension, or null when there is no such device.
    template <typename Extension>
    Extension* ExtensionOf(const std::string& name) const
    {
        PDEVICE_OBJECT device = Device(name);
        return device == nullptr ? nullptr : static_cast<Extension*>(device->DeviceExtension);
    }
    PortExtension* Port(unsigned com) const
    {
        return ExtensionOf<PortExtension>("\\Device\\VSer" + std::to_string(com));
    }
    ModuleExtension* Module(unsigned index) const
    {
        return ExtensionOf<ModuleExtension>("\\Device\\VZelSerial" + std::to_string(index));
    }
    ControlExtension* ControlExt() const
    {
        return ExtensionOf<ControlExtension>("\\Device\\ZelMinVirtCOM");
    }

    std::optional<std::uint32_t> QueryDword(const std::string& key, const std::string& name) const;
    // A stored name: its UTF-16 text, no NUL.
    std::vector<std::uint8_t> StoredName(const std::string& key) const
    {
        auto value = kernel_->RegistryView().Query(RTL_REGISTRY_SERVICES, key, "ModuleName");
        return value ? value->Data : std::vector<std::uint8_t>();
    }
    void WriteDword(const std::string& key, const std::string& name, std::uint32_t value);
    void WriteString(const std::string& key, const std::string& name, const std::string& ascii);
    std::optional<host::RegistryValue> SerialCommValue(const std::string& deviceName) const;

    // A line of the driver's debug output holds message.
    bool DebugOutputHas(const std::string& message) const;

    TempDir state_;
    std::unique_ptr<host::Kernel> kernel_;
    std::unique_ptr<host::File> control_;
    // Further handles a test opened; closed before unload.
    std::vector<std::unique_ptr<host::File>> files_;
};

}  // namespace zeltest
