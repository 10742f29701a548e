// The serial and control I/O controls with any code and any buffers, sent
// through the I/O manager on an open port and on the control device. Each
// input starts from a fresh load: a module on 127.0.0.1 (zelmodsim, which
// answers every frame and drains its channel) with one channel, started, its port open. A request
// that pends is cancelled. The input's requests go in order; then the handles close and the driver
// unloads, and the verifier checks that nothing is left.
//
// Input: records of eight bytes and input data: target (bit 0: the control
// device, else the port), code mode (bit 7: the next four bytes are the
// code as it is; else bit 0 picks the serial or the control device type,
// and the next bytes are the function, then method and access in the low
// four bits), two bytes unused by a device type code, input length and
// output length (one byte each, in units of 1 up to 255), then the input
// bytes (missing ones are zero).
#include "fuzz_kernel.h"
#include "support/module_simulator.h"

#include <host/kernel.h>

#include <ntddser.h>
#include <zelvcom/control_ioctl.h>
#include <zelvcom/module_record.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

using zel::test::ModuleSimulator;

constexpr char kService[] = "ZelVCOM";
constexpr unsigned kComNumber = 7;
constexpr std::size_t kMaxRequests = 24;
constexpr std::size_t kRecordSize = 8;

host::Kernel* g_kernel = nullptr;
ModuleSimulator* g_module = nullptr;

ModuleRecord LoopbackRecord()
{
    ModuleRecord record;
    std::memset(&record, 0, sizeof(record));
    const in_addr loopback{htonl(INADDR_LOOPBACK)};
    record.ModuleIP = loopback.s_addr;
    record.ControlPort = g_module->ControlPort();
    record.SerialCount = 1;
    std::memcpy(record.ModuleName, "fuzz", 4);
    record.SerialPort[0] = g_module->ChannelPort(1);
    record.SerialNum[0] = kComNumber;
    return record;
}

ULONG Code(const std::uint8_t* field)
{
    const std::uint8_t mode = field[0];
    if (mode & 0x80) {
        ULONG code;
        std::memcpy(&code, field + 1, sizeof(code));
        return code;
    }
    const ULONG deviceType = (mode & 1) ? ULONG(VCOM_DEVICE_TYPE) : ULONG(FILE_DEVICE_SERIAL_PORT);
    return CTL_CODE(deviceType, field[1], field[2] & 3, (field[2] >> 2) & 3);
}

void Send(host::File& file, ULONG code, const std::vector<std::uint8_t>& input, ULONG outputLength)
{
    auto request =
        file.StartDeviceControl(code, input.data(), static_cast<ULONG>(input.size()), outputLength);
    if (!request->Done()) {
        request->Cancel();
    }
    const host::IoResult& result = request->Wait();
    if (result.Status == STATUS_PENDING || result.Data.size() > outputLength) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Registered first, so it goes after the kernel, whose unload closes
    // its connections to it.
    g_module = new ModuleSimulator({"sink"});
    std::atexit([] { delete g_module; });
    g_kernel = &fuzzsupport::StartKernel("ioctl");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // A save of an earlier input's must not load with this one.
    g_kernel->RegistryView().DeleteKey(RTL_REGISTRY_SERVICES, kService);
    if (g_kernel->LoadDriver(kService, DriverEntry) != STATUS_SUCCESS) {
        std::abort();
    }
    {
        std::unique_ptr<host::File> control;
        std::unique_ptr<host::File> port;
        const ModuleRecord record = LoopbackRecord();
        if (g_kernel->Open("\\\\.\\ZelMain", &control) != STATUS_SUCCESS ||
            control->DeviceControl(IOCTL_VCOM_ADD_MODULE, &record, sizeof(record), 0).Status !=
                STATUS_SUCCESS ||
            control->DeviceControl(IOCTL_VCOM_START_ALL_SERIAL, nullptr, 0, 0).Status !=
                STATUS_SUCCESS ||
            g_kernel->Open("\\\\.\\COM" + std::to_string(kComNumber), &port) != STATUS_SUCCESS) {
            std::abort();
        }
        std::size_t requests = 0;
        while (size >= kRecordSize && requests++ < kMaxRequests) {
            const bool toControl = data[0] & 1;
            const ULONG code = Code(data + 1);
            const std::size_t inputLength = data[6];
            const ULONG outputLength = data[7];
            data += kRecordSize;
            size -= kRecordSize;
            std::vector<std::uint8_t> input(inputLength, 0);
            const std::size_t given = std::min(inputLength, size);
            std::copy(data, data + given, input.begin());
            data += given;
            size -= given;
            Send(toControl ? *control : *port, code, input, outputLength);
        }
        port->Close();
        control->Close();
    }
    g_kernel->UnloadDriver();
    return 0;
}
