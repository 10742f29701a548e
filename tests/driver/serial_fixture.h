// Serial I/O controls, writes and module reports over loopback: a module of
// zelmodsim's with its ports open, the controls sent through the host's
// caller I/O.
#pragma once

#include "net_fixture.h"

#include "core/module_extension.h"
#include "port/port_extension.h"

#include "support/eventually.h"

#include <ntddser.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace zeltest {

template <typename T>
T ValueOf(const host::IoResult& result)
{
    T value{};
    std::memcpy(&value, result.Data.data(), std::min(sizeof(T), result.Data.size()));
    return value;
}

class SerialTest : public NetTest {
protected:
    // zelmodsim with the given channels; the ports COM5, COM6, ... are
    // opened when open is set. paraFlags: SerialParaFlag per channel.
    void StartModule(const std::vector<std::string>& modes, bool open = true,
                     const std::vector<std::uint32_t>& paraFlags = {})
    {
        module_ = std::make_unique<ModuleSimulator>(modes);
        ModuleRecord record = MakeRecord(Ip(127, 0, 0, 1), module_->ControlPort(), "sim", {});
        for (std::size_t c = 0; c < modes.size(); ++c) {
            record.SerialPort[c] = module_->ChannelPort(static_cast<int>(c + 1));
            record.SerialNum[c] = static_cast<std::uint32_t>(FIRST_COM + c);
            record.SerialParaFlag[c] = c < paraFlags.size() ? paraFlags[c] : 0;
        }
        record.SerialCount = static_cast<std::uint32_t>(modes.size());
        ASSERT_EQ(Add(record).Status, STATUS_SUCCESS);
        ASSERT_EQ(StartAll().Status, STATUS_SUCCESS);
        if (!open) {
            return;
        }
        for (std::size_t c = 0; c < modes.size(); ++c) {
            host::File* file = nullptr;
            ASSERT_EQ(OpenPort(static_cast<unsigned>(FIRST_COM + c), &file), STATUS_SUCCESS);
            ports_.push_back(file);
            ASSERT_TRUE(module_->Saw("CONNECTED channel=" + std::to_string(c + 1)));
        }
    }

    host::File& Com(unsigned channel = 1) { return *ports_.at(channel - 1); }

    host::IoResult Control(ULONG code, const void* input = nullptr, ULONG inputLength = 0,
                           ULONG outputLength = 0, unsigned channel = 1)
    {
        return Com(channel).DeviceControl(code, input, inputLength, outputLength);
    }

    template <typename T>
    host::IoResult Set(ULONG code, const T& value, unsigned channel = 1)
    {
        return Control(code, &value, sizeof(value), 0, channel);
    }

    template <typename T>
    T Get(ULONG code, unsigned channel = 1)
    {
        host::IoResult result = Control(code, nullptr, 0, sizeof(T), channel);
        EXPECT_EQ(OutcomeOf(result), Outcome(STATUS_SUCCESS, sizeof(T)));
        return ValueOf<T>(result);
    }

    std::shared_ptr<host::PendingIo> StartWait(unsigned channel = 1)
    {
        return Com(channel).StartDeviceControl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0,
                                               sizeof(ULONG));
    }

    // The result of a request expected to complete; one that does not is
    // cancelled at the safety deadline so that a failing run ends.
    static const host::IoResult& Await(const std::shared_ptr<host::PendingIo>& request)
    {
        if (!request->WaitFor(zel::test::kSafetyTimeout)) {
            ADD_FAILURE() << "the request did not complete";
            request->Cancel();
        }
        return request->Wait();
    }

    void ModuleCommand(const std::string& line)
    {
        ASSERT_EQ(module_->Command(line).rfind("ok", 0), 0u) << line;
    }

    // Waits until the control connection's last receive had this length:
    // the receive's report, if any, has been applied by then.
    bool ControlReceived(ULONG length)
    {
        ModuleExtension* module = Module(0);
        return Eventually(
            [&] { return Observe(module->ControlConnection.LastReceived) == length; });
    }

    std::unique_ptr<ModuleSimulator> module_;
    std::vector<host::File*> ports_;
};

}  // namespace zeltest
