// The I/O manager as the driver sees it: opens (initializing and exclusive
// devices), the default dispatch entry, cleanup and close and their order
// with pending requests, and METHOD_BUFFERED copying.
#include "host_test_driver.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

namespace hosttest {
namespace {

using host::IoResult;

constexpr const char* kDevice = "\\\\.\\HostTest0";
constexpr ULONG kReadLength = 8;

ULONG TestControl(ULONG function)
{
    constexpr ULONG kFirstFunction = 0x800;
    return CTL_CODE(FILE_DEVICE_UNKNOWN, kFirstFunction + function, METHOD_BUFFERED,
                    FILE_ANY_ACCESS);
}

// A read that pends until someone completes Extension()->PendingIrp.
NTSTATUS PendRead(PDEVICE_OBJECT device, PIRP irp)
{
    TestExtension* extension = TestDriver::Extension(device);
    IoMarkIrpPending(irp);
    InterlockedExchangePointer(reinterpret_cast<PVOID*>(&extension->PendingIrp), irp);
    KeSetEvent(&extension->Event, IO_NO_INCREMENT, FALSE);
    return STATUS_PENDING;
}

PIRP TakePending(PDEVICE_OBJECT device)
{
    return static_cast<PIRP>(InterlockedExchangePointer(
        reinterpret_cast<PVOID*>(&TestDriver::Extension(device)->PendingIrp), nullptr));
}

class IoManagerTest : public HostKernelTest {
protected:
    // Signalled by the close routine after it completed the close.
    KEVENT closed_;
    std::atomic<KIRQL> closeIrql_{HIGH_LEVEL};

    void RouteCloseToEvent()
    {
        KeInitializeEvent(&closed_, NotificationEvent, FALSE);
        driver_.Dispatch[IRP_MJ_CLOSE] = [this](PDEVICE_OBJECT, PIRP irp) {
            closeIrql_ = KeGetCurrentIrql();
            Complete(irp, STATUS_SUCCESS);
            KeSetEvent(&closed_, IO_NO_INCREMENT, FALSE);
            return STATUS_SUCCESS;
        };
    }

    std::vector<UCHAR> CallsAfterCreate()
    {
        std::vector<UCHAR> calls = driver_.Calls();
        EXPECT_FALSE(calls.empty());
        EXPECT_EQ(calls.front(), IRP_MJ_CREATE);
        return std::vector<UCHAR>(calls.begin() + 1, calls.end());
    }
};

TEST_F(IoManagerTest, UnroutedRequestsFailWithInvalidDeviceRequest)
{
    LoadDriver();
    auto file = OpenOk(kDevice);
    EXPECT_EQ(file->Read(kReadLength).Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(file->StartFlush()->Wait().Status, STATUS_INVALID_DEVICE_REQUEST);
    const IoResult result = file->DeviceControl(TestControl(0), nullptr, 0, kReadLength);
    EXPECT_EQ(result.Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(result.Data.empty());
}

TEST_F(IoManagerTest, DeviceStillInitializingRefusesOpens)
{
    driver_.Entry = [](PDRIVER_OBJECT driver) {
        NtString name("\\Device\\Busy");
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(IoCreateDevice(driver, 0, name.Get(), FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                  STATUS_SUCCESS);
        return STATUS_SUCCESS;
    };
    LoadDriver();
    EXPECT_EQ(OpenStatus("\\Device\\Busy"), STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(driver_.Calls().empty());
    EXPECT_EQ(Kernel().FindDevice("\\Device\\Busy")->ReferenceCount, 0);
}

TEST_F(IoManagerTest, ExclusiveDeviceRefusesSecondOpenUntilClosed)
{
    LoadDriver();
    PDEVICE_OBJECT device = driver_.Device(0);
    auto first = OpenOk(kDevice);
    EXPECT_EQ(device->ReferenceCount, 1);
    EXPECT_EQ(OpenStatus(kDevice), STATUS_ACCESS_DENIED);
    EXPECT_EQ(OpenStatus("\\Device\\HostTest0"), STATUS_ACCESS_DENIED);
    first->Close();
    EXPECT_EQ(device->ReferenceCount, 0);
    auto again = OpenOk(kDevice);
    EXPECT_NE(again, nullptr);
}

TEST_F(IoManagerTest, SharedDeviceCountsEveryOpen)
{
    driver_.Entry = [this](PDRIVER_OBJECT driver) {
        driver_.CreateDevice(driver, "\\Device\\Shared", "\\DosDevices\\Shared", false);
        return STATUS_SUCCESS;
    };
    LoadDriver();
    auto first = OpenOk("\\\\.\\Shared");
    auto second = OpenOk("\\\\.\\Shared");
    EXPECT_EQ(driver_.Device(0)->ReferenceCount, 2);
    EXPECT_NE(first->FileObject(), second->FileObject());
    EXPECT_EQ(first->FileObject()->DeviceObject, driver_.Device(0));
}

TEST_F(IoManagerTest, CloseSendsCleanupThenClose)
{
    std::atomic<int> cleanupIrql{-1};
    driver_.Dispatch[IRP_MJ_CLEANUP] = [&cleanupIrql](PDEVICE_OBJECT, PIRP irp) {
        cleanupIrql = KeGetCurrentIrql();
        return Complete(irp, STATUS_SUCCESS);
    };
    LoadDriver();
    auto file = OpenOk(kDevice);
    PFILE_OBJECT fileObject = file->FileObject();
    EXPECT_EQ(fileObject->Type, IO_TYPE_FILE);
    file->Close();
    EXPECT_EQ(CallsAfterCreate(), (std::vector<UCHAR>{IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(cleanupIrql, PASSIVE_LEVEL);
    file->Close();  // a second close is a no-op
    EXPECT_EQ(CallsAfterCreate().size(), 2u);
    EXPECT_EQ(file->Read(kReadLength).Status, STATUS_INVALID_HANDLE);
}

TEST_F(IoManagerTest, CleanupLeftUncompletedIsFinishedByTheIoManager)
{
    driver_.Dispatch[IRP_MJ_CLEANUP] = [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        return STATUS_SUCCESS;
    };
    LoadDriver();
    OpenOk(kDevice)->Close();
    EXPECT_EQ(CallsAfterCreate(), (std::vector<UCHAR>{IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(driver_.Device(0)->ReferenceCount, 0);
}

TEST_F(IoManagerTest, DeletedDeviceLivesOnUntilItsLastFileObjectCloses)
{
    driver_.Dispatch[IRP_MJ_READ] = [](PDEVICE_OBJECT device, PIRP irp) {
        // Touches the extension: the device memory must still be there.
        TestDriver::Extension(device)->Index = 7;
        return Complete(irp, STATUS_SUCCESS);
    };
    RouteCloseToEvent();
    LoadDriver();
    PDEVICE_OBJECT device = driver_.Device(0);
    auto file = OpenOk(kDevice);
    IoDeleteDevice(device);
    EXPECT_EQ(Kernel().FindDevice("\\Device\\HostTest0"), nullptr);
    EXPECT_EQ(Kernel().DriverObject()->DeviceObject, nullptr);
    EXPECT_EQ(OpenStatus(kDevice), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(file->Read(kReadLength).Status, STATUS_SUCCESS);
    EXPECT_EQ(TestDriver::Extension(device)->Index, 7u);
    file->Close();
    EXPECT_EQ(WaitSafely(&closed_), STATUS_SUCCESS);
}

TEST_F(IoManagerTest, FailedCreateLeavesNoFileObject)
{
    std::atomic<bool> refuse{true};
    driver_.Dispatch[IRP_MJ_CREATE] = [&refuse](PDEVICE_OBJECT, PIRP irp) {
        return Complete(irp, refuse ? STATUS_ACCESS_DENIED : STATUS_SUCCESS);
    };
    LoadDriver();
    EXPECT_EQ(OpenStatus(kDevice), STATUS_ACCESS_DENIED);
    EXPECT_EQ(driver_.Calls(), std::vector<UCHAR>{IRP_MJ_CREATE});
    EXPECT_EQ(driver_.Device(0)->ReferenceCount, 0);
    refuse = false;
    EXPECT_EQ(OpenStatus(kDevice), STATUS_SUCCESS);
}

TEST_F(IoManagerTest, CreateSeesItsFileObjectAndParameters)
{
    PFILE_OBJECT seen = nullptr;
    driver_.Dispatch[IRP_MJ_CREATE] = [&seen](PDEVICE_OBJECT device, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        seen = stack->FileObject;
        EXPECT_EQ(stack->DeviceObject, device);
        EXPECT_EQ(irp->Tail.Overlay.OriginalFileObject, stack->FileObject);
        EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
        EXPECT_EQ(stack->Parameters.Create.EaLength, 0u);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        return Complete(irp, STATUS_SUCCESS);
    };
    LoadDriver();
    auto file = OpenOk(kDevice);
    EXPECT_EQ(seen, file->FileObject());
}

TEST_F(IoManagerTest, CloseWaitsForThePendingRequestToComplete)
{
    driver_.Dispatch[IRP_MJ_READ] = PendRead;
    driver_.Dispatch[IRP_MJ_CLEANUP] = [](PDEVICE_OBJECT, PIRP irp) {
        return Complete(irp, STATUS_SUCCESS);
    };
    RouteCloseToEvent();
    LoadDriver();
    PDEVICE_OBJECT device = driver_.Device(0);
    auto file = OpenOk(kDevice);
    auto read = file->StartRead(kReadLength);
    file->Close();
    EXPECT_EQ(CallsAfterCreate(), (std::vector<UCHAR>{IRP_MJ_READ, IRP_MJ_CLEANUP}));
    EXPECT_FALSE(read->Done());
    // The handle is gone but the file object still references the device.
    EXPECT_EQ(device->ReferenceCount, 1);
    EXPECT_EQ(OpenStatus(kDevice), STATUS_ACCESS_DENIED);

    Complete(TakePending(device), STATUS_SUCCESS);
    EXPECT_EQ(read->Wait().Status, STATUS_SUCCESS);
    ASSERT_EQ(WaitSafely(&closed_), STATUS_SUCCESS);
    EXPECT_EQ(CallsAfterCreate(), (std::vector<UCHAR>{IRP_MJ_READ, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(closeIrql_, PASSIVE_LEVEL);
    EXPECT_EQ(device->ReferenceCount, 0);
    EXPECT_EQ(OpenStatus(kDevice), STATUS_SUCCESS);
}

// The last request completes in a timer's DPC at DISPATCH_LEVEL: the close
// must still be sent at PASSIVE_LEVEL.
TEST_F(IoManagerTest, CloseAfterCompletionAtDispatchLevelIsSentAtPassiveLevel)
{
    std::atomic<KIRQL> completionIrql{PASSIVE_LEVEL};
    driver_.Dispatch[IRP_MJ_READ] = PendRead;
    RouteCloseToEvent();
    driver_.Entry = [this, &completionIrql](PDRIVER_OBJECT driver) {
        PDEVICE_OBJECT device =
            driver_.CreateDevice(driver, "\\Device\\HostTest0", "\\DosDevices\\HostTest0", true);
        KeInitializeDpc(
            &TestDriver::Extension(device)->Dpc,
            [](PKDPC, PVOID context, PVOID, PVOID) {
                auto* irql = static_cast<std::atomic<KIRQL>*>(context);
                *irql = KeGetCurrentIrql();
                PDEVICE_OBJECT owner = TestDriver::Current->Device(0);
                KIRQL old;
                KeAcquireSpinLock(&TestDriver::Extension(owner)->Lock, &old);
                Complete(TakePending(owner), STATUS_SUCCESS, 0);
                KeReleaseSpinLock(&TestDriver::Extension(owner)->Lock, old);
            },
            &completionIrql);
        return STATUS_SUCCESS;
    };
    LoadDriver();
    TestExtension* extension = TestDriver::Extension(driver_.Device(0));
    auto file = OpenOk(kDevice);
    auto read = file->StartRead(kReadLength);
    file->Close();
    LARGE_INTEGER soon;
    soon.QuadPart = -1;
    EXPECT_FALSE(KeSetTimer(&extension->Timer, soon, &extension->Dpc));
    EXPECT_EQ(read->Wait().Status, STATUS_SUCCESS);
    ASSERT_EQ(WaitSafely(&closed_), STATUS_SUCCESS);
    EXPECT_EQ(completionIrql, DISPATCH_LEVEL);
    EXPECT_EQ(closeIrql_, PASSIVE_LEVEL);
    EXPECT_EQ(driver_.Calls().back(), IRP_MJ_CLOSE);
}

TEST_F(IoManagerTest, CompletionOnAnotherThreadBeforeTheDispatchRoutineReturns)
{
    driver_.Dispatch[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        std::thread completer([irp] {
            std::memset(irp->AssociatedIrp.SystemBuffer, 'x', kReadLength);
            Complete(irp, STATUS_SUCCESS, kReadLength);
        });
        completer.join();
        return STATUS_PENDING;
    };
    LoadDriver();
    auto file = OpenOk(kDevice);
    const IoResult result = file->Read(kReadLength);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, kReadLength);
    EXPECT_EQ(result.Data, std::vector<std::uint8_t>(kReadLength, 'x'));
}

TEST_F(IoManagerTest, BufferedReadAndWrite)
{
    std::vector<std::uint8_t> written;
    driver_.Dispatch[IRP_MJ_WRITE] = [&written](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        const auto* data = static_cast<const std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
        written.assign(data, data + stack->Parameters.Write.Length);
        return Complete(irp, STATUS_SUCCESS, stack->Parameters.Write.Length);
    };
    driver_.Dispatch[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(stack->Parameters.Read.Length, kReadLength);
        constexpr char kReply[] = "abc";
        std::memcpy(irp->AssociatedIrp.SystemBuffer, kReply, 3);
        return Complete(irp, STATUS_SUCCESS, 3);
    };
    LoadDriver();
    auto file = OpenOk(kDevice);
    const std::uint8_t payload[] = {1, 2, 3, 4, 5};
    const IoResult write = file->Write(payload, sizeof(payload));
    EXPECT_EQ(write.Status, STATUS_SUCCESS);
    EXPECT_EQ(write.Information, sizeof(payload));
    EXPECT_EQ(written, std::vector<std::uint8_t>(payload, payload + sizeof(payload)));
    const IoResult read = file->Read(kReadLength);
    EXPECT_EQ(read.Data, (std::vector<std::uint8_t>{'a', 'b', 'c'}));
}

class BufferedControlTest : public IoManagerTest {
protected:
    static constexpr ULONG kInputLength = 4;
    static constexpr ULONG kOutputLength = 12;
    static constexpr ULONG kReturned = 6;

    // Function i of the test device completes with kStatuses[i] and
    // kReturned bytes of 0xAB after checking the buffer it was given.
    static constexpr NTSTATUS kStatuses[] = {STATUS_SUCCESS, STATUS_BUFFER_OVERFLOW, STATUS_TIMEOUT,
                                             STATUS_INVALID_PARAMETER, STATUS_CANCELLED};

    void SetUp() override
    {
        IoManagerTest::SetUp();
        driver_.Dispatch[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            const ULONG function = (stack->Parameters.DeviceIoControl.IoControlCode >> 2) & 0xF;
            EXPECT_EQ(stack->Parameters.DeviceIoControl.InputBufferLength, kInputLength);
            EXPECT_EQ(stack->Parameters.DeviceIoControl.OutputBufferLength, kOutputLength);
            auto* buffer = static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
            EXPECT_EQ(std::memcmp(buffer, "in!!", kInputLength), 0);
            // The one buffer holds max(input, output) bytes.
            std::memset(buffer, 0xAB, kOutputLength);
            return Complete(irp, kStatuses[function], kReturned);
        };
        LoadDriver();
        file_ = OpenOk(kDevice);
    }

    void TearDown() override
    {
        file_.reset();
        IoManagerTest::TearDown();
    }

    IoResult Call(ULONG function)
    {
        return file_->DeviceControl(TestControl(function), "in!!", kInputLength, kOutputLength);
    }

    std::unique_ptr<host::File> file_;
};

// Success, warnings and STATUS_TIMEOUT copy Information bytes back; errors
// copy nothing.
TEST_F(BufferedControlTest, OnlyErrorsCopyNothing)
{
    const IoResult success = Call(0);
    EXPECT_EQ(success.Status, STATUS_SUCCESS);
    EXPECT_EQ(success.Information, kReturned);
    EXPECT_EQ(success.Data, std::vector<std::uint8_t>(kReturned, 0xAB));
    EXPECT_EQ(Call(1).Data.size(), kReturned);
    EXPECT_EQ(Call(2).Data.size(), kReturned);
    const IoResult invalid = Call(3);
    EXPECT_EQ(invalid.Status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(invalid.Data.empty());
    EXPECT_TRUE(Call(4).Data.empty());
}

TEST_F(IoManagerTest, ControlWithoutBuffersGetsNoSystemBuffer)
{
    driver_.Dispatch[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
        EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
        return Complete(irp, STATUS_SUCCESS);
    };
    LoadDriver();
    auto file = OpenOk(kDevice);
    EXPECT_EQ(file->DeviceControl(TestControl(0), nullptr, 0, 0).Status, STATUS_SUCCESS);
    const ULONG neither = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_NEITHER, FILE_ANY_ACCESS);
    EXPECT_EQ(file->DeviceControl(neither, nullptr, 0, 0).Status, STATUS_NOT_IMPLEMENTED);
}

TEST_F(IoManagerTest, DebugOutputIsRecordedAndLogged)
{
    driver_.Entry = [this](PDRIVER_OBJECT driver) {
        driver_.CreateDevice(driver, "\\Device\\HostTest0", "", true);
        DbgPrint("MAIN %s Error %d\n", "Create", 7);
        return STATUS_SUCCESS;
    };
    LoadDriver();
    EXPECT_EQ(Kernel().DebugOutput(), std::vector<std::string>{"MAIN Create Error 7\n"});
    const auto lines = LogLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "DbgPrint: MAIN Create Error 7"), lines.end());
}

}  // namespace
}  // namespace hosttest

namespace hosttest {
namespace {

// The callback runs once, in the completing thread when registered first,
// and at once when the request had already completed.
TEST_F(IoManagerTest, CompletionCallbackRunsOnceInEitherOrder)
{
    driver_.Dispatch[IRP_MJ_READ] = PendRead;
    LoadDriver();
    PDEVICE_OBJECT device = driver_.Device(0);
    auto file = OpenOk(kDevice);

    auto pending = file->StartRead(kReadLength);
    std::atomic<int> calls{0};
    std::atomic<NTSTATUS> seen{STATUS_PENDING};
    pending->OnComplete([&](const IoResult& result) {
        seen = result.Status;
        ++calls;
    });
    EXPECT_EQ(calls, 0);
    Complete(TakePending(device), STATUS_CANCELLED);
    pending->Wait();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(seen, STATUS_CANCELLED);

    auto late = file->StartRead(kReadLength);
    Complete(TakePending(device), STATUS_SUCCESS);
    late->Wait();
    int lateCalls = 0;
    late->OnComplete([&](const IoResult& result) {
        EXPECT_EQ(result.Status, STATUS_SUCCESS);
        ++lateCalls;
    });
    EXPECT_EQ(lateCalls, 1);
    file->Close();
}

// What the driver's code does from the dispatch routine of a write: complete
// the pending read under its spin lock, or set its timer already due.
struct DriverWork {
    std::atomic<bool> Returned{false};  // the dispatch routine has returned
    std::atomic<int> DpcRuns{0};
    std::atomic<KIRQL> DpcIrql{PASSIVE_LEVEL};
    std::thread::id DpcThread;
};

NTSTATUS CompletePendingUnderLock(PDEVICE_OBJECT device, PIRP irp, DriverWork* work)
{
    TestExtension* extension = TestDriver::Extension(device);
    KIRQL irql;
    KeAcquireSpinLock(&extension->Lock, &irql);
    Complete(TakePending(device), STATUS_SUCCESS);
    KeReleaseSpinLock(&extension->Lock, irql);
    work->Returned = true;
    return Complete(irp, STATUS_SUCCESS);
}

void NTAPI RecordDpcThread(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* work = static_cast<DriverWork*>(context);
    work->DpcIrql = KeGetCurrentIrql();
    work->DpcThread = std::this_thread::get_id();
    ++work->DpcRuns;
}

// A callback may call into the driver: it runs once the completing thread
// is out of it, at PASSIVE_LEVEL, before that thread's request returns.
TEST_F(IoManagerTest, ACallbackHearsOfACompletionOnceTheCompletingThreadHasLeftTheDriver)
{
    DriverWork work;
    driver_.Dispatch[IRP_MJ_READ] = PendRead;
    driver_.Dispatch[IRP_MJ_WRITE] = [&work](PDEVICE_OBJECT device, PIRP irp) {
        return CompletePendingUnderLock(device, irp, &work);
    };
    LoadDriver();
    PDEVICE_OBJECT device = driver_.Device(0);
    auto file = OpenOk(kDevice);

    auto read = file->StartRead(kReadLength);
    std::atomic<bool> sawReturned{false};
    std::atomic<KIRQL> irql{HIGH_LEVEL};
    std::thread::id thread;
    std::shared_ptr<host::PendingIo> next;
    read->OnComplete([&](const IoResult&) {
        sawReturned = work.Returned.load();
        irql = KeGetCurrentIrql();
        thread = std::this_thread::get_id();
        next = file->StartRead(kReadLength);  // pends again: the driver is callable
    });
    const std::uint8_t byte = 0;
    EXPECT_EQ(file->Write(&byte, 1).Status, STATUS_SUCCESS);
    EXPECT_TRUE(sawReturned);
    EXPECT_EQ(irql, PASSIVE_LEVEL);
    EXPECT_EQ(thread, std::this_thread::get_id());
    ASSERT_NE(next, nullptr);
    EXPECT_FALSE(next->Done());
    Complete(TakePending(device), STATUS_SUCCESS);
    file->Close();
}

// Like a DPC queued on the current processor: the timer thread is not
// needed, and the DPC has run when the request returns.
TEST_F(IoManagerTest, ATimerTheDriverSetsAlreadyDueRunsItsDpcInThatThreadOnItsWayOut)
{
    DriverWork work;
    driver_.Dispatch[IRP_MJ_WRITE] = [&work](PDEVICE_OBJECT device, PIRP irp) {
        TestExtension* extension = TestDriver::Extension(device);
        KeInitializeTimer(&extension->Timer);
        KeInitializeDpc(&extension->Dpc, RecordDpcThread, &work);
        LARGE_INTEGER due;
        due.QuadPart = 0;  // absolute: long past
        KeSetTimer(&extension->Timer, due, &extension->Dpc);
        EXPECT_EQ(work.DpcRuns, 0) << "a DPC never runs inside the routine that queued it";
        return Complete(irp, STATUS_SUCCESS);
    };
    LoadDriver();
    auto file = OpenOk(kDevice);

    const std::uint8_t byte = 0;
    EXPECT_EQ(file->Write(&byte, 1).Status, STATUS_SUCCESS);
    EXPECT_EQ(work.DpcRuns, 1);
    EXPECT_EQ(work.DpcIrql, DISPATCH_LEVEL);
    EXPECT_EQ(work.DpcThread, std::this_thread::get_id());
    EXPECT_NE(TestDriver::Extension(driver_.Device(0))->Timer.Header.SignalState, 0);
    file->Close();
}

}  // namespace
}  // namespace hosttest
