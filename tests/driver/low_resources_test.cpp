// The driver short of resources: every allocating call of a scenario is
// failed in turn by the verifier's low-resources simulation (stop-all and
// unload allocate nothing; every walk ends with an unload). Whichever call
// fails, nothing crashes or stops the verifier, the operation succeeds or
// fails with an error status, a retry with resources works, and the unload
// finds nothing left behind.
#include "net_fixture.h"

#include <cstdio>
#include <functional>

namespace zeltest {
namespace {

constexpr unsigned COM = 5;
const std::string ECHOED = "ping";

class LowResourcesTest : public NetTest {
protected:
    // One echoing module, saved in the registry: every load starts it.
    void SetUp() override
    {
        NetTest::SetUp();
        module_ = std::make_unique<ModuleSimulator>(std::vector<std::string>{"echo"});
        AddLoopbackModule(module_->ControlPort(), {module_->ChannelPort(1)});
        ASSERT_EQ(Ioctl(IOCTL_VCOM_SAVE_INFO_REG).Status, STATUS_SUCCESS);
        StopKernel();
    }

    void Load()
    {
        StartKernel();
        ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    }

    // For N = 1, 2, ...: prepare with resources, step with the Nth
    // allocating call failing, recover with resources, then unload; until
    // step runs with no call failed.
    void Walk(const char* scenario, const std::function<void()>& prepare,
              const std::function<void()>& step, const std::function<void()>& recover)
    {
        std::uint64_t failing = 1;
        for (;; ++failing) {
            SCOPED_TRACE(std::string(scenario) + ", failing call " + std::to_string(failing));
            prepare();
            if (HasFatalFailure()) {
                break;
            }
            host::LowResources plan;
            plan.FailCall = failing;
            Kernel().ArmLowResources(plan);
            step();
            const bool failed = Kernel().DisarmLowResources() != 0;
            recover();
            Unload();
            if (HasFailure() || !failed) {
                break;
            }
        }
        std::printf("%s: %llu failure points\n", scenario,
                    static_cast<unsigned long long>(failing - 1));
    }

    // The verifier stops the process on anything the driver left behind;
    // links are checked here.
    void Unload()
    {
        for (auto& file : files_) {
            file->Close();
        }
        files_.clear();
        CloseControl();
        if (Kernel().DriverLoaded()) {
            Kernel().UnloadDriver();
        }
        ExpectNoLinks();
        StopKernel();
    }

    void ExpectNoLinks() { EXPECT_EQ(Kernel().SymbolicLinkNames(), std::vector<std::string>()); }

    static void ExpectClean(NTSTATUS status)
    {
        EXPECT_TRUE(status == STATUS_SUCCESS || NT_ERROR(status)) << std::hex << status;
    }

    // Reads until the port has delivered text; bytes of an earlier write
    // that failed part way may come first.
    void ExpectReceived(host::File* com, const std::string& text)
    {
        // A read waits up to the port's longest wait, unless as many bytes
        // as it asks for come.
        SetReadTimeouts(COM, MAXULONG - 1, 1);
        std::string received;
        const zel::test::Deadline deadline;
        while (received.size() < text.size() ||
               received.compare(received.size() - text.size(), text.size(), text) != 0) {
            ASSERT_FALSE(deadline.Passed()) << "received so far: " << received;
            const host::IoResult read = com->Read(static_cast<ULONG>(text.size()));
            ASSERT_EQ(read.Status, STATUS_SUCCESS);
            received += Text(read);
        }
    }

    // Writes through the port and waits for the module's echo.
    void Echo(host::File* com)
    {
        const host::IoResult written = com->Write(ECHOED.data(), ECHOED.size());
        ASSERT_EQ(written.Status, STATUS_SUCCESS);
        ASSERT_EQ(written.Information, ECHOED.size());
        ExpectReceived(com, ECHOED);
    }

    // The module's reports reach the port once a frame has gone: a control
    // connection left without its receive is connected again by the next
    // frame.
    void ExpectReportsHeard(host::File* com)
    {
        const ULONG baud = 19200;
        ASSERT_EQ(com->DeviceControl(IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud, 0).Status,
                  STATUS_SUCCESS);
        ASSERT_EQ(module_->Command("cts 1 1").rfind("ok", 0), 0u);
        EXPECT_TRUE(Eventually([&] {
            return com->DeviceControl(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, 4).Data ==
                   std::vector<std::uint8_t>{SERIAL_MSR_CTS, 0, 0, 0};
        })) << "the module's CTS report was not heard";
    }

    void OpenAndEcho()
    {
        host::File* com = nullptr;
        ASSERT_EQ(OpenPort(COM, &com), STATUS_SUCCESS);
        Echo(com);
        ClosePort(com);
    }

    // A start that fell short, or a load that could not read the saved
    // module, is made whole by a stop, a reload and a start.
    void StartWhole()
    {
        if (Port(COM) == nullptr) {
            ASSERT_EQ(StopAll().Status, STATUS_SUCCESS);
            ASSERT_EQ(Ioctl(IOCTL_VCOM_RESET_READ_REG).Status, STATUS_SUCCESS);
            ASSERT_EQ(StartAll().Status, STATUS_SUCCESS);
        }
    }

    std::unique_ptr<ModuleSimulator> module_;
    host::File* com_ = nullptr;
    NTSTATUS status_ = STATUS_PENDING;
};

TEST_F(LowResourcesTest, DriverLoadWithASavedModule)
{
    Walk(
        "load", [&] { StartKernel(); }, [&] { status_ = LoadDriver(); },
        [&] {
            ExpectClean(status_);
            if (!NT_SUCCESS(status_)) {
                ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
            }
            StartWhole();
            OpenAndEcho();
        });
}

TEST_F(LowResourcesTest, StartAll)
{
    Walk(
        "start-all",
        [&] {
            Load();
            ASSERT_EQ(StopAll().Status, STATUS_SUCCESS);
        },
        [&] { status_ = StartAll().Status; },
        [&] {
            ExpectClean(status_);
            EXPECT_TRUE(!NT_SUCCESS(status_) || Port(COM) != nullptr) << "a start fell short";
            StartWhole();
            OpenAndEcho();
        });
}

TEST_F(LowResourcesTest, PortOpen)
{
    Walk(
        "port open", [&] { Load(); }, [&] { status_ = OpenPort(COM, &com_); },
        [&] {
            ExpectClean(status_);
            if (NT_SUCCESS(status_)) {
                Echo(com_);
                ExpectReportsHeard(com_);
                ClosePort(com_);
            }
            OpenAndEcho();
        });
}

TEST_F(LowResourcesTest, PortClose)
{
    Walk(
        "port close",
        [&] {
            Load();
            ASSERT_EQ(OpenPort(COM, &com_), STATUS_SUCCESS);
            Echo(com_);
        },
        [&] { ClosePort(com_); }, [&] { OpenAndEcho(); });
}

TEST_F(LowResourcesTest, Read)
{
    Walk(
        "read",
        [&] {
            Load();
            ASSERT_EQ(OpenPort(COM, &com_), STATUS_SUCCESS);
            Echo(com_);
        },
        [&] {
            ASSERT_EQ(module_->Command("send 1 data").rfind("ok", 0), 0u);
            ExpectReceived(com_, "data");
        },
        [&] { Echo(com_); });
}

TEST_F(LowResourcesTest, Write)
{
    Walk(
        "write",
        [&] {
            Load();
            ASSERT_EQ(OpenPort(COM, &com_), STATUS_SUCCESS);
        },
        [&] { status_ = com_->Write(ECHOED.data(), ECHOED.size()).Status; },
        [&] {
            ExpectClean(status_);
            Echo(com_);
        });
}

TEST_F(LowResourcesTest, ReconnectAfterTheModuleDropsTheDataConnection)
{
    Walk(
        "reconnect",
        [&] {
            Load();
            ASSERT_EQ(OpenPort(COM, &com_), STATUS_SUCCESS);
            Echo(com_);
        },
        [&] {
            // The background attempt ends connected or waiting for its next try.
            ASSERT_EQ(module_->Command("close 1").rfind("ok", 0), 0u);
            PortExtension* port = Port(COM);
            ASSERT_TRUE(Eventually([&] {
                return DebugOutputHas("connecting again") &&
                       (DebugOutputHas("the data connection is back") ||
                        Observe(port->ReconnectDelayMs) != 0);
            }));
        },
        [&] { Echo(com_); });
}

}  // namespace
}  // namespace zeltest
