// The host's TCP transport: the driver \Driver\Tcpip with its device
// \Device\Tcp, reached through TDI exactly as a driver reaches tcpip.sys.
// It belongs to the kernel, not to the loaded driver: its device is no part
// of the driver's unload checks. Sockets are served by one reactor thread.
#pragma once

#include <host/common/non_copyable.h>
#include "reactor.h"
#include "tcp_address.h"
#include "tcp_endpoint.h"

#include <wdm.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace host {

// What each file object opened on \Device\Tcp is: an address object, a
// connection endpoint or a control channel (FsContext2 says the same, as
// TDI transports keep it).
struct TransportFile {
    ULONG Kind = TDI_CONTROL_CHANNEL_FILE;
    std::shared_ptr<TcpAddress> Address;
    std::shared_ptr<TcpEndpoint> Endpoint;
};

class TransportFiles {
public:
    void Add(PFILE_OBJECT file, TransportFile object);
    std::optional<TransportFile> Find(PFILE_OBJECT file) const;
    // IRP_MJ_CLOSE: forgets the file's object and closes it.
    void Close(PFILE_OBJECT file);

private:
    mutable std::mutex mutex_;
    std::unordered_map<PFILE_OBJECT, TransportFile> files_;
};

class DeviceTable;
class Worker;

class TcpTransport : zel::NonCopyable {
public:
    TcpTransport(DeviceTable& devices, Worker& worker);
    // Stops the reactor first, then lets queued closes finish.
    ~TcpTransport();

    PDEVICE_OBJECT Device() const { return device_; }
    Reactor& Events() { return reactor_; }
    TransportFiles& Files() { return files_; }
    // System time of the transport's start, for TDI_QUERY_PROVIDER_INFO.
    LONGLONG StartTime() const { return startTime_; }

private:
    void CreateDevice();

    DeviceTable& devices_;
    Worker& worker_;
    DRIVER_OBJECT driver_{};
    std::u16string driverName_;
    PDEVICE_OBJECT device_ = nullptr;
    LONGLONG startTime_ = 0;
    Reactor reactor_;
    TransportFiles files_;
};

// The kernel's transport.
TcpTransport& Tcp();

// The dispatch routines of \Driver\Tcpip (tcp_transport.cpp, tcp_requests.cpp).
NTSTATUS NTAPI TcpDispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI TcpDispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI TcpDispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI TcpDispatchInternalControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

}  // namespace host
