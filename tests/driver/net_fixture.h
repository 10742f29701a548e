// Driver tests over real loopback TCP: the module is zelmodsim (or a socket
// of the test's own) on 127.0.0.1, reached through the host's \Device\Tcp.
#pragma once

#include "driver_fixture.h"

#include "port/port_extension.h"

#include "support/deadline.h"
#include "support/eventually.h"
#include "support/loopback.h"
#include "support/module_simulator.h"
#include <host/common/unique_fd.h>

#include <cstdint>
#include <initializer_list>
#include <string>

namespace zeltest {

// Polls the driver's state until a condition holds.
using zel::test::Eventually;

// A field the driver's threads write, read as they left it.
template <typename T>
T Observe(const T& field)
{
    return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}

using zel::test::ClosedPort;
using zel::test::ModuleSimulator;

class NetTest : public DriverTest {
protected:
    static constexpr unsigned FIRST_COM = 5;

    // Adds a module at 127.0.0.1 with the given control port and one channel
    // per data port, COM numbers firstCom, firstCom + 1, ..., and starts it.
    void AddLoopbackModule(std::uint16_t controlPort,
                           std::initializer_list<std::uint16_t> dataPorts,
                           unsigned firstCom = FIRST_COM)
    {
        ModuleRecord record = MakeRecord(Ip(127, 0, 0, 1), controlPort, "loopback", {});
        for (std::uint16_t port : dataPorts) {
            record.SerialPort[record.SerialCount] = port;
            record.SerialNum[record.SerialCount] = firstCom + record.SerialCount;
            ++record.SerialCount;
        }
        ASSERT_EQ(Add(record).Status, STATUS_SUCCESS);
        ASSERT_EQ(StartAll().Status, STATUS_SUCCESS);
    }

    // Opens \\.\COM<n>; on success *file is the handle, owned by the test.
    NTSTATUS OpenPort(unsigned comNumber, host::File** file)
    {
        std::unique_ptr<host::File> opened;
        NTSTATUS status = Kernel().Open("\\\\.\\COM" + std::to_string(comNumber), &opened);
        *file = opened.get();
        if (opened) {
            files_.push_back(std::move(opened));
        }
        return status;
    }
    void ClosePort(host::File* file) { file->Close(); }

    // Read timeouts set straight in the port extension.
    void SetReadTimeouts(unsigned comNumber, ULONG intervalMs, ULONG totalConstant)
    {
        PortExtension* port = Port(comNumber);
        ASSERT_NE(port, nullptr);
        port->Timeouts.ReadIntervalTimeout = intervalMs;
        port->Timeouts.ReadTotalTimeoutConstant = totalConstant;
    }

    // Waits until the port holds at least count bytes.
    bool WaitHeld(unsigned comNumber, ULONG count)
    {
        PortExtension* port = Port(comNumber);
        return port != nullptr &&
               zel::test::Eventually([&] { return Observe(port->RxCount) >= count; });
    }
    // Waits until no receive of the port's data connection is in flight.
    bool WaitReceiveIdle(unsigned comNumber)
    {
        PortExtension* port = Port(comNumber);
        return port != nullptr && zel::test::Eventually([&] {
                   return Observe(port->DataConnection.Receive.InFlight) == 0;
               });
    }

    static std::string Text(const host::IoResult& result)
    {
        return std::string(result.Data.begin(), result.Data.end());
    }
};

}  // namespace zeltest
