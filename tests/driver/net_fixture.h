// Driver tests over real loopback TCP: the module is zelmodsim (or a socket
// of the test's own) on 127.0.0.1, reached through the host's \Device\Tcp.
#pragma once

#include "driver_fixture.h"
#include "module_simulator.h"

#include "support/deadline.h"
#include "support/loopback.h"
#include <host/common/unique_fd.h>

#include <cstdint>
#include <initializer_list>
#include <string>

namespace zeltest {

using zel::test::ClosedPort;

class NetTest : public DriverTest {
protected:
    // Adds a module at 127.0.0.1 with the given control port and one channel
    // per data port, COM numbers firstCom, firstCom + 1, ..., and starts it.
    void AddLoopbackModule(std::uint16_t controlPort,
                           std::initializer_list<std::uint16_t> dataPorts,
                           unsigned firstCom = FIRST_COM);

    // Opens \\.\COM<n>; on success *file is the handle, owned by the test.
    NTSTATUS OpenPort(unsigned comNumber, host::File** file);
    void ClosePort(host::File* file);

    // Read timeouts set straight in the port extension.
    void SetReadTimeouts(unsigned comNumber, ULONG intervalMs, ULONG totalConstant);

    // Waits until the port holds at least count bytes.
    bool WaitHeld(unsigned comNumber, ULONG count);
    // Waits until no receive of the port's data connection is in flight.
    bool WaitReceiveIdle(unsigned comNumber);

    static std::string Text(const host::IoResult& result);

    static constexpr unsigned FIRST_COM = 5;
};

}  // namespace zeltest
