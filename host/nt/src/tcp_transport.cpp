#include "tcp_transport.h"

#include "device_table.h"
#include "loaded_driver.h"
#include "nt_time.h"
#include "tcp_actions.h"
#include "worker.h"

#include <stdexcept>

namespace host {
namespace {

constexpr char16_t kDriverName[] = u"\\Driver\\Tcpip";
constexpr char16_t kDeviceName[] = u"\\Device\\Tcp";

void InstallDispatch(DRIVER_OBJECT& driver)
{
    for (PDRIVER_DISPATCH& routine : driver.MajorFunction) {
        routine = InvalidDeviceRequest;
    }
    driver.MajorFunction[IRP_MJ_CREATE] = TcpDispatchCreate;
    driver.MajorFunction[IRP_MJ_CLEANUP] = TcpDispatchCleanup;
    driver.MajorFunction[IRP_MJ_CLOSE] = TcpDispatchClose;
    driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = TcpDispatchInternalControl;
}

}  // namespace

TcpTransport::TcpTransport(DeviceTable& devices, Worker& worker)
    : devices_(devices), worker_(worker), driverName_(kDriverName), startTime_(nt_time::SystemTimeNow())
{
    driver_.Type = IO_TYPE_DRIVER;
    driver_.Size = sizeof(DRIVER_OBJECT);
    SetString(&driver_.DriverName, driverName_);
    InstallDispatch(driver_);
    CreateDevice();
}

TcpTransport::~TcpTransport()
{
    reactor_.Stop();
    worker_.WaitUntilIdle();
    devices_.Delete(device_);
}

void TcpTransport::CreateDevice()
{
    std::u16string name(kDeviceName);
    UNICODE_STRING deviceName;
    SetString(&deviceName, name);
    if (devices_.Create(&driver_, 0, &deviceName, FILE_DEVICE_NETWORK, FILE_DEVICE_SECURE_OPEN, FALSE,
                        &device_) != STATUS_SUCCESS) {
        throw std::runtime_error("cannot create \\Device\\Tcp");
    }
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
}

}  // namespace host
