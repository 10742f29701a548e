#include "net_fixture.h"

#include "core/module_extension.h"
#include "port/port_extension.h"

#include "support/eventually.h"

namespace zeltest {
namespace {

ULONG LoadULong(const ULONG& field)
{
    return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}

}  // namespace

void NetTest::AddLoopbackModule(std::uint16_t controlPort,
                                std::initializer_list<std::uint16_t> dataPorts, unsigned firstCom)
{
    ModuleRecord record = MakeRecord(Ip(127, 0, 0, 1), controlPort, "loopback", {});
    unsigned c = 0;
    for (std::uint16_t port : dataPorts) {
        record.SerialPort[c] = port;
        record.SerialNum[c] = firstCom + c;
        ++c;
    }
    record.SerialCount = c;
    ASSERT_EQ(Add(record).Status, STATUS_SUCCESS);
    ASSERT_EQ(StartAll().Status, STATUS_SUCCESS);
}

NTSTATUS NetTest::OpenPort(unsigned comNumber, host::File** file)
{
    std::unique_ptr<host::File> opened;
    NTSTATUS status = Kernel().Open("\\\\.\\COM" + std::to_string(comNumber), &opened);
    *file = opened.get();
    if (opened) {
        files_.push_back(std::move(opened));
    }
    return status;
}

void NetTest::ClosePort(host::File* file)
{
    file->Close();
}

void NetTest::SetReadTimeouts(unsigned comNumber, ULONG intervalMs, ULONG totalConstant)
{
    PortExtension* port = Port(comNumber);
    ASSERT_NE(port, nullptr);
    port->Timeouts.ReadIntervalTimeout = intervalMs;
    port->Timeouts.ReadTotalTimeoutConstant = totalConstant;
}

bool NetTest::WaitHeld(unsigned comNumber, ULONG count)
{
    PortExtension* port = Port(comNumber);
    return port != nullptr &&
           zel::test::Eventually([&] { return LoadULong(port->RxCount) >= count; });
}

bool NetTest::WaitReceiveIdle(unsigned comNumber)
{
    PortExtension* port = Port(comNumber);
    return port != nullptr && zel::test::Eventually([&] {
               return LoadULong(port->DataConnection.Receive.InFlight) == 0;
           });
}

std::string NetTest::Text(const host::IoResult& result)
{
    return std::string(result.Data.begin(), result.Data.end());
}

}  // namespace zeltest
