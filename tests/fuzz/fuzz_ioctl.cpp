// The serial and control I/O controls with any code and any buffers, sent
// through the I/O manager on an open port and on the control device. Each
// input starts from a fresh load: a module on 127.0.0.1 (served in this
// process: the control connection answers every frame, the data connection
// is drained) with one channel, started, its port open. A request that
// pends is cancelled. The input's requests go in order; then the handles
// close and the driver unloads, and the verifier checks that nothing is
// left.
//
// Input: records of eight bytes and input data: target (bit 0: the control
// device, else the port), code mode (bit 7: the next four bytes are the
// code as it is; else bit 0 picks the serial or the control device type,
// and the next bytes are the function, then method and access in the low
// four bits), two bytes unused by a device type code, input length and
// output length (one byte each, in units of 1 up to 255), then the input
// bytes (missing ones are zero).
#include "fuzz_kernel.h"

#include <host/common/unique_fd.h>
#include <host/kernel.h>

#include <ntddser.h>
#include <zelvcom/control_ioctl.h>
#include <zelvcom/module_record.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

using zel::UniqueFd;

constexpr char kService[] = "ZelVCOM";
constexpr unsigned kComNumber = 7;
constexpr std::size_t kMaxRequests = 24;
constexpr std::size_t kRecordSize = 8;

UniqueFd ListenLoopback(std::uint16_t* port)
{
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    if (!fd.Valid() || bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(fd.Get(), 16) != 0 ||
        getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        std::abort();
    }
    *port = ntohs(address.sin_port);
    return fd;
}

// The module: one thread serving both listeners and every connection made
// to them. A connection to the control port gets "OK" for whatever it
// sends; one to the data port has its bytes read and dropped.
class LoopbackModule {
public:
    LoopbackModule()
        : control_(ListenLoopback(&controlPort_)),
          data_(ListenLoopback(&dataPort_)),
          stop_(eventfd(0, EFD_CLOEXEC)),
          thread_([this] { Serve(); })
    {
    }
    ~LoopbackModule()
    {
        const std::uint64_t one = 1;
        if (write(stop_.Get(), &one, sizeof one) != sizeof one) {
            std::abort();
        }
        thread_.join();
    }
    std::uint16_t ControlPort() const { return controlPort_; }
    std::uint16_t DataPort() const { return dataPort_; }

private:
    struct Peer {
        UniqueFd Fd;
        bool Answers;
    };

    void Serve()
    {
        std::vector<Peer> peers;
        for (;;) {
            std::vector<pollfd> wait = {
                {stop_.Get(), POLLIN, 0}, {control_.Get(), POLLIN, 0}, {data_.Get(), POLLIN, 0}};
            for (const Peer& peer : peers) {
                wait.push_back({peer.Fd.Get(), POLLIN, 0});
            }
            if (poll(wait.data(), wait.size(), -1) < 0) {
                continue;
            }
            if (wait[0].revents != 0) {
                return;
            }
            for (std::size_t i = peers.size(); i-- > 0;) {
                if (wait[3 + i].revents != 0 && !Serve(peers[i])) {
                    peers.erase(peers.begin() + static_cast<std::ptrdiff_t>(i));
                }
            }
            for (int listener : {1, 2}) {
                if (wait[listener].revents != 0) {
                    UniqueFd fd(accept4(wait[listener].fd, nullptr, nullptr, SOCK_CLOEXEC));
                    if (fd.Valid()) {
                        peers.push_back({std::move(fd), listener == 1});
                    }
                }
            }
        }
    }

    // False when the peer has gone.
    static bool Serve(Peer& peer)
    {
        char block[4096];
        const ssize_t got = read(peer.Fd.Get(), block, sizeof block);
        if (got <= 0) {
            return false;
        }
        if (peer.Answers) {
            static const char kReply[] = "OK";
            send(peer.Fd.Get(), kReply, sizeof kReply - 1, MSG_NOSIGNAL);
        }
        return true;
    }

    std::uint16_t controlPort_ = 0;
    std::uint16_t dataPort_ = 0;
    UniqueFd control_;
    UniqueFd data_;
    UniqueFd stop_;
    std::thread thread_;
};

host::Kernel* g_kernel = nullptr;
LoopbackModule* g_module = nullptr;

ModuleRecord LoopbackRecord()
{
    ModuleRecord record;
    std::memset(&record, 0, sizeof(record));
    const in_addr loopback{htonl(INADDR_LOOPBACK)};
    record.ModuleIP = loopback.s_addr;
    record.ControlPort = g_module->ControlPort();
    record.SerialCount = 1;
    std::memcpy(record.ModuleName, "fuzz", 4);
    record.SerialPort[0] = g_module->DataPort();
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
    g_module = new LoopbackModule();
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
