#include "driver_fixture.h"

#include "core/control_device.h"
#include "core/module_extension.h"
#include "port/port_extension.h"

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace zeltest {

std::string Utf8(const WCHAR* text, std::size_t units)
{
    std::string out;
    for (std::size_t i = 0; i < units; ++i) {
        const auto unit = static_cast<std::uint16_t>(text[i]);
        out += unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    return out;
}

std::string Utf8(const UNICODE_STRING& text)
{
    return text.Buffer == nullptr ? std::string() : Utf8(text.Buffer, text.Length / sizeof(WCHAR));
}

std::vector<std::uint8_t> Utf16Bytes(const std::string& ascii)
{
    std::vector<std::uint8_t> bytes;
    for (char c : ascii) {
        bytes.push_back(static_cast<std::uint8_t>(c));
        bytes.push_back(0);
    }
    return bytes;
}

std::uint32_t Ip(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    const std::uint8_t bytes[4] = {a, b, c, d};
    std::uint32_t word;
    std::memcpy(&word, bytes, sizeof(word));
    return word;
}

ModuleRecord MakeRecord(std::uint32_t moduleIP, std::uint32_t controlPort, const std::string& name,
                        std::initializer_list<Channel> channels)
{
    ModuleRecord record;
    std::memset(&record, 0, sizeof(record));
    record.ModuleIP = moduleIP;
    record.ControlPort = controlPort;
    record.SerialCount = static_cast<std::uint32_t>(channels.size());
    std::memcpy(record.ModuleName, name.data(), std::min(name.size(), sizeof(record.ModuleName)));
    unsigned c = 0;
    for (const Channel& channel : channels) {
        if (c < MODULE_CHANNEL_COUNT) {
            record.SerialPort[c] = channel.SerialPort;
            record.SerialNum[c] = channel.SerialNum;
            record.SerialParaFlag[c] = channel.SerialParaFlag;
        }
        ++c;
    }
    return record;
}

std::string RecordName(const ModuleRecord& record)
{
    return std::string(record.ModuleName, strnlen(record.ModuleName, sizeof(record.ModuleName)));
}

std::string ModuleKey(unsigned index)
{
    return "ZelVCOM\\ModuleSvr" + std::to_string(index);
}

void DriverTest::SetUp()
{
    StartKernel();
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
}

void DriverTest::TearDown()
{
    StopKernel();
}

void DriverTest::StartKernel()
{
    host::KernelOptions options;
    options.StateDirectory = state_.Path();
    options.Log = [](host::LogLevel level, const std::string& line) {
        if (level >= host::LogLevel::Warning) {
            std::cerr << line << '\n';
        }
    };
    kernel_ = std::make_unique<host::Kernel>(options);
}

NTSTATUS DriverTest::LoadDriver()
{
    return kernel_->LoadDriver(SERVICE_KEY, DriverEntry);
}

void DriverTest::StopKernel()
{
    if (!kernel_) {
        return;
    }
    for (auto& file : files_) {
        if (file) {
            file->Close();
        }
    }
    files_.clear();
    CloseControl();
    if (kernel_->DriverLoaded()) {
        kernel_->UnloadDriver();
    }
    kernel_.reset();
}

void DriverTest::Restart()
{
    StopKernel();
    StartKernel();
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
}

host::File& DriverTest::Control()
{
    if (!control_) {
        NTSTATUS status = kernel_->Open("\\\\.\\ZelMain", &control_);
        if (!NT_SUCCESS(status) || !control_) {
            throw std::runtime_error("cannot open \\\\.\\ZelMain: status " +
                                     std::to_string(status));
        }
    }
    return *control_;
}

void DriverTest::CloseControl()
{
    if (control_) {
        control_->Close();
        control_.reset();
    }
}

host::IoResult DriverTest::Ioctl(ULONG code, const void* input, ULONG inputLength,
                                 ULONG outputLength)
{
    return Control().DeviceControl(code, input, inputLength, outputLength);
}

// A control that returns one 32-bit word.
std::uint32_t DriverTest::Word(ULONG code)
{
    host::IoResult result = Ioctl(code, nullptr, 0, sizeof(std::uint32_t));
    EXPECT_EQ(OutcomeOf(result), Outcome(STATUS_SUCCESS, sizeof(std::uint32_t)));
    std::uint32_t word = 0xFFFFFFFF;
    std::memcpy(&word, result.Data.data(), std::min(result.Data.size(), sizeof(word)));
    return word;
}

ModuleRecord DriverTest::Record(std::uint32_t index)
{
    host::IoResult result =
        Ioctl(IOCTL_VCOM_GET_DEV_MOD_INFO, &index, sizeof(index), sizeof(ModuleRecord));
    EXPECT_EQ(OutcomeOf(result), Outcome(STATUS_SUCCESS, sizeof(ModuleRecord)))
        << "record " << index;
    ModuleRecord record;
    std::memset(&record, 0xEE, sizeof(record));
    if (result.Data.size() >= sizeof(record)) {
        std::memcpy(&record, result.Data.data(), sizeof(record));
    }
    return record;
}

bool DriverTest::HasDevice(const std::string& name) const
{
    const std::vector<std::string> names = kernel_->DeviceNames();
    return std::find(names.begin(), names.end(), name) != names.end();
}

std::optional<std::uint32_t> DriverTest::QueryDword(const std::string& key,
                                                    const std::string& name) const
{
    auto value = kernel_->RegistryView().Query(RTL_REGISTRY_SERVICES, key, name);
    if (!value) {
        return std::nullopt;
    }
    EXPECT_EQ(value->Type, static_cast<ULONG>(REG_DWORD)) << key << "\\" << name;
    EXPECT_EQ(value->Data.size(), sizeof(std::uint32_t)) << key << "\\" << name;
    std::uint32_t word = 0;
    std::memcpy(&word, value->Data.data(), std::min(value->Data.size(), sizeof(word)));
    return word;
}

void DriverTest::WriteDword(const std::string& key, const std::string& name, std::uint32_t value)
{
    host::RegistryValue data;
    data.Type = REG_DWORD;
    data.Data.resize(sizeof(value));
    std::memcpy(data.Data.data(), &value, sizeof(value));
    ASSERT_EQ(Registry().Write(RTL_REGISTRY_SERVICES, key, name, data), STATUS_SUCCESS);
}

void DriverTest::WriteString(const std::string& key, const std::string& name,
                             const std::string& ascii)
{
    host::RegistryValue data;
    data.Type = REG_SZ;
    data.Data = Utf16Bytes(ascii);
    ASSERT_EQ(Registry().Write(RTL_REGISTRY_SERVICES, key, name, data), STATUS_SUCCESS);
}

std::optional<host::RegistryValue> DriverTest::SerialCommValue(const std::string& deviceName) const
{
    return kernel_->RegistryView().Query(RTL_REGISTRY_DEVICEMAP, "SERIALCOMM", deviceName);
}

bool DriverTest::DebugOutputHas(const std::string& message) const
{
    for (const std::string& line : kernel_->DebugOutput()) {
        if (line.find(message) != std::string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace zeltest
