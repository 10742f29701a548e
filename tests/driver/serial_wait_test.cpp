// The wait-on-mask mechanism: each completer (data arrival, a new wait
// mask, cleanup, cancel), and a cancel racing a data arrival, complete the
// wait exactly once (the host kernel stops on a second completion or one
// with the cancel routine still set) and leave the port without it.
#include "serial_fixture.h"

namespace zeltest {
namespace {

constexpr ULONG ARRIVAL_EVENT_WORD = SERIAL_EV_RXCHAR | SERIAL_EV_RLSD;  // 0x21

class SerialWaitTest : public SerialTest {
protected:
    void SetUp() override
    {
        SerialTest::SetUp();
        StartModule({"echo"});
    }

    void SetMask(ULONG mask)
    {
        ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, mask).Status, STATUS_SUCCESS);
    }

    bool Forgotten()
    {
        PortExtension* port = Port(5);
        return Observe(port->WaitPending) == 0 && Observe(port->PendingWait) == nullptr;
    }

    // The wait is pending in the port (it may still be on its way there).
    bool Kept()
    {
        PortExtension* port = Port(5);
        return Eventually([&] { return Observe(port->WaitPending) == 1; });
    }
};

TEST_F(SerialWaitTest, ASecondWaitIsRefusedAndTheFirstStays)
{
    auto wait = StartWait();
    ASSERT_TRUE(Kept());
    host::IoResult second = Control(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    EXPECT_EQ(second.Status, STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(wait->Done());
    SetMask(0);
    EXPECT_EQ(Await(wait).Status, STATUS_SUCCESS);
}

TEST_F(SerialWaitTest, ANewMaskCompletesThePendingWaitWithNoEvent)
{
    auto wait = StartWait();
    ASSERT_TRUE(Kept());
    SetMask(SERIAL_EV_RXFLAG);
    const host::IoResult& result = Await(wait);
    EXPECT_EQ(OutcomeOf(result), Outcome(STATUS_SUCCESS, 4u));
    EXPECT_EQ(ValueOf<ULONG>(result), 0u);
    EXPECT_TRUE(Forgotten());
    EXPECT_EQ(Port(5)->WaitMask, SERIAL_EV_RXFLAG);
    // What GetCommMask reads back is the mask itself, not the last events.
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK), static_cast<ULONG>(SERIAL_EV_RXFLAG));
}

TEST_F(SerialWaitTest, ArrivingDataCompletesAWaitForRxFlagOrRxChar)
{
    for (ULONG mask : {ULONG(SERIAL_EV_RXFLAG), ULONG(SERIAL_EV_RXCHAR)}) {
        SetMask(mask);
        auto wait = StartWait();
        ASSERT_TRUE(Kept());
        ModuleCommand("send 1 x");
        const host::IoResult& result = Await(wait);
        EXPECT_EQ(OutcomeOf(result), Outcome(STATUS_SUCCESS, 4u));
        EXPECT_EQ(ValueOf<ULONG>(result), ARRIVAL_EVENT_WORD);
        EXPECT_TRUE(Forgotten());
        EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK), mask);
    }
}

TEST_F(SerialWaitTest, ArrivingDataLeavesAWaitForOtherEvents)
{
    SetMask(SERIAL_EV_CTS | SERIAL_EV_TXEMPTY);
    auto wait = StartWait();
    ASSERT_TRUE(Kept());
    ModuleCommand("send 1 abc");
    ASSERT_TRUE(WaitHeld(5, 3));  // the arrival has been handled
    EXPECT_FALSE(wait->Done());
    SetMask(0);
    EXPECT_EQ(ValueOf<ULONG>(Await(wait)), 0u);
}

TEST_F(SerialWaitTest, ArrivingDataGoesToAPendingReadBeforeAWait)
{
    SetMask(SERIAL_EV_RXCHAR);
    SetReadTimeouts(5, 5000, 1);
    auto read = Com().StartRead(10);
    auto wait = StartWait();
    ASSERT_TRUE(Kept());
    ModuleCommand("send 1 abc");
    EXPECT_EQ(Text(Await(read)), "abc");
    EXPECT_FALSE(wait->Done());
    SetMask(0);
    EXPECT_EQ(ValueOf<ULONG>(Await(wait)), 0u);
}

NTSTATUS NTAPI KeepRequest(PDEVICE_OBJECT, PIRP, PVOID)
{
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A cancel, a cancel that came before the driver saw the wait, and the
// port's cleanup each complete the wait cancelled, and the port forgets it.
TEST_F(SerialWaitTest, ACancelledWaitIsCompletedOnceAndForgotten)
{
    auto wait = StartWait();
    ASSERT_TRUE(Kept());
    wait->Cancel();
    const host::IoResult& cancelled = Await(wait);
    EXPECT_EQ(OutcomeOf(cancelled), Outcome(STATUS_CANCELLED, 0u));
    EXPECT_TRUE(Forgotten());

    // As from a driver above: cancelled on its way down, before any cancel
    // routine was set.
    PDEVICE_OBJECT device = Device("\\Device\\VSer5");
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    ULONG events = 0;
    irp->AssociatedIrp.SystemBuffer = &events;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
    stack->Parameters.DeviceIoControl.OutputBufferLength = sizeof(events);
    IoSetCompletionRoutine(irp, KeepRequest, nullptr, TRUE, TRUE, TRUE);
    EXPECT_FALSE(IoCancelIrp(irp));
    IoCallDriver(device, irp);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    EXPECT_TRUE(Forgotten());
    IoFreeIrp(irp);

    auto next = StartWait();
    ASSERT_TRUE(Kept());
    ClosePort(&Com());
    EXPECT_EQ(Await(next).Status, STATUS_CANCELLED);
    EXPECT_TRUE(Forgotten());
}

TEST_F(SerialWaitTest, ACancelRacingADataArrivalCompletesTheWaitOnce)
{
    constexpr int ROUNDS = 40;
    SetMask(SERIAL_EV_RXCHAR);
    int byData = 0;
    int byCancel = 0;
    for (int round = 0; round < ROUNDS; ++round) {
        auto wait = StartWait();
        ASSERT_TRUE(Kept());
        // The module's send and the cancel run at the same time.
        ASSERT_TRUE(module_->Command("send 1 z").rfind("ok", 0) == 0);
        wait->Cancel();
        const host::IoResult& result = Await(wait);
        if (result.Status == STATUS_SUCCESS) {
            EXPECT_EQ(ValueOf<ULONG>(result), ARRIVAL_EVENT_WORD);
            EXPECT_EQ(result.Information, 4u);
            ++byData;
        } else {
            EXPECT_EQ(OutcomeOf(result), Outcome(STATUS_CANCELLED, 0u));
            ++byCancel;
        }
        EXPECT_TRUE(Forgotten());
        // A byte that lost the race must not complete the next round's wait.
        ASSERT_TRUE(WaitHeld(5, static_cast<ULONG>(round + 1)));
    }
    EXPECT_EQ(byData + byCancel, ROUNDS);
}

TEST_F(SerialWaitTest, AWaitForAnEmptyMaskIsKept)
{
    SetMask(0);
    auto wait = StartWait();
    ASSERT_TRUE(Kept());
    ModuleCommand("send 1 q");
    ASSERT_TRUE(WaitHeld(5, 1));
    EXPECT_FALSE(wait->Done());
    wait->Cancel();
    EXPECT_EQ(Await(wait).Status, STATUS_CANCELLED);
}

}  // namespace
}  // namespace zeltest
