// The I/O manager as the driver sees it: opens, close, buffering, completion;
// and a caller's descriptor watched for room outside the driver.
#include "host_test_driver.h"

#include "../support/eventually.h"
#include <host/common/unique_fd.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace hosttest {
namespace {

using host::IoResult;

constexpr ULONG kReadLength = 8;

ULONG TestControl(ULONG function, ULONG method = METHOD_BUFFERED)
{
    constexpr ULONG kFirstFunction = 0x800;
    return CTL_CODE(FILE_DEVICE_UNKNOWN, kFirstFunction + function, method, FILE_ANY_ACCESS);
}

// A read that pends until someone completes Extension()->PendingIrp.
NTSTATUS PendRead(PDEVICE_OBJECT device, PIRP irp)
{
    IoMarkIrpPending(irp);
    InterlockedExchangePointer(reinterpret_cast<PVOID*>(&TestDriver::Extension(device)->PendingIrp),
                               irp);
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
};

TEST_F(IoManagerTest, OpensOfInitializingExclusiveAndSharedDevices)
{
    std::atomic<bool> refuse{true};
    driver_.Dispatch[IRP_MJ_CREATE] = [&refuse](PDEVICE_OBJECT, PIRP irp) {
        return Complete(irp, refuse ? STATUS_ACCESS_DENIED : STATUS_SUCCESS);
    };
    driver_.Entry = [this](PDRIVER_OBJECT driver) {
        driver_.CreateDevice(driver, "\\Device\\HostTest0", "\\DosDevices\\HostTest0", true);
        driver_.CreateDevice(driver, "\\Device\\Shared", "", false);
        PDEVICE_OBJECT busy = nullptr;
        return IoCreateDevice(driver, 0, NtString("\\Device\\Busy").Get(), FILE_DEVICE_UNKNOWN, 0,
                              FALSE, &busy);
    };
    LoadDriver();
    EXPECT_EQ(OpenStatus("\\Device\\Busy"), STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(driver_.Calls().empty());
    // A failed create leaves no file object behind.
    EXPECT_EQ(OpenStatus(kTestDevice), STATUS_ACCESS_DENIED);
    EXPECT_EQ(driver_.Device(0)->ReferenceCount, 0);
    refuse = false;

    auto first = OpenOk(kTestDevice);
    EXPECT_EQ(OpenStatus("\\Device\\HostTest0"), STATUS_ACCESS_DENIED);
    first->Close();
    EXPECT_NE(OpenOk(kTestDevice), nullptr);

    auto one = OpenOk("\\Device\\Shared");
    auto two = OpenOk("\\Device\\Shared");
    EXPECT_EQ(driver_.Device(1)->ReferenceCount, 2);
}

// Requests no routine takes fail; the cleanup routine leaves its IRP
// uncompleted, and the I/O manager finishes it.
TEST_F(IoManagerTest, CreateThenCloseSendsCleanupThenCloseAtPassiveLevel)
{
    PFILE_OBJECT created = nullptr;
    driver_.Dispatch[IRP_MJ_CREATE] = [&created](PDEVICE_OBJECT device, PIRP irp) {
        created = IoGetCurrentIrpStackLocation(irp)->FileObject;
        EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, device);
        return Complete(irp, STATUS_SUCCESS);
    };
    std::atomic<int> cleanupIrql{-1};
    driver_.Dispatch[IRP_MJ_CLEANUP] = [&cleanupIrql](PDEVICE_OBJECT, PIRP irp) {
        cleanupIrql = KeGetCurrentIrql();
        irp->IoStatus.Status = STATUS_SUCCESS;
        return STATUS_SUCCESS;
    };
    LoadDriver();
    auto file = OpenOk(kTestDevice);
    EXPECT_EQ(created, file->FileObject());
    EXPECT_EQ(file->Read(kReadLength).Status, STATUS_INVALID_DEVICE_REQUEST);
    file->Close();
    const std::vector<UCHAR> closed{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE};
    EXPECT_EQ(driver_.Calls(), closed);
    EXPECT_EQ(cleanupIrql, PASSIVE_LEVEL);
    file->Close();  // a second close is a no-op
    EXPECT_EQ(driver_.Calls(), closed);
    EXPECT_EQ(file->Read(kReadLength).Status, STATUS_INVALID_HANDLE);
}

TEST_F(IoManagerTest, DeletedDeviceLivesOnUntilItsLastFileObjectCloses)
{
    driver_.Dispatch[IRP_MJ_READ] = [](PDEVICE_OBJECT device, PIRP irp) {
        TestDriver::Extension(device)->Index = 7;  // the device memory must still be there
        return Complete(irp, STATUS_SUCCESS);
    };
    RouteCloseToEvent();
    LoadDriver();
    PDEVICE_OBJECT device = driver_.Device(0);
    auto file = OpenOk(kTestDevice);
    IoDeleteDevice(device);
    EXPECT_EQ(Kernel().FindDevice("\\Device\\HostTest0"), nullptr);
    EXPECT_EQ(OpenStatus(kTestDevice), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(file->Read(kReadLength).Status, STATUS_SUCCESS);
    EXPECT_EQ(TestDriver::Extension(device)->Index, 7u);
    file->Close();
    EXPECT_EQ(WaitSafely(&closed_), STATUS_SUCCESS);
}

// The close waits for the pending request; when that completes in a
// timer's DPC at DISPATCH_LEVEL, the close is still sent at PASSIVE_LEVEL.
TEST_F(IoManagerTest, CloseWaitsForThePendingRequestAndIsSentAtPassiveLevel)
{
    driver_.Dispatch[IRP_MJ_READ] = PendRead;
    RouteCloseToEvent();
    LoadDriver();
    PDEVICE_OBJECT device = driver_.Device(0);
    TestExtension* extension = TestDriver::Extension(device);
    KeInitializeDpc(
        &extension->Dpc,
        [](PKDPC, PVOID, PVOID, PVOID) {
            EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
            Complete(TakePending(TestDriver::Current->Device(0)), STATUS_SUCCESS);
        },
        nullptr);
    auto file = OpenOk(kTestDevice);
    auto read = file->StartRead(kReadLength);
    file->Close();
    EXPECT_EQ(driver_.Calls(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP}));
    EXPECT_FALSE(read->Done());
    // The handle is gone but the file object still references the device.
    EXPECT_EQ(device->ReferenceCount, 1);

    KeSetTimer(&extension->Timer, Due(-1), &extension->Dpc);
    EXPECT_EQ(read->Wait().Status, STATUS_SUCCESS);
    ASSERT_EQ(WaitSafely(&closed_), STATUS_SUCCESS);
    EXPECT_EQ(closeIrql_, PASSIVE_LEVEL);
    EXPECT_EQ(device->ReferenceCount, 0);
    // The DPC may still be on its way out; its device goes at unload.
    KeFlushQueuedDpcs();
}

// One system buffer of max(input, output) bytes; success, warnings and
// STATUS_TIMEOUT copy Information bytes back, errors nothing.
TEST_F(IoManagerTest, BufferedControlCopiesBackUnlessAnError)
{
    static constexpr ULONG kInputLength = 4;
    static constexpr ULONG kOutputLength = 12;
    static constexpr ULONG kReturned = 6;
    static constexpr NTSTATUS kStatuses[] = {STATUS_SUCCESS,   STATUS_BUFFER_OVERFLOW,
                                             STATUS_TIMEOUT,   STATUS_INVALID_PARAMETER,
                                             STATUS_CANCELLED, STATUS_SUCCESS};
    static constexpr ULONG kNoBuffers = 5;
    driver_.Dispatch[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        const ULONG function = (stack->Parameters.DeviceIoControl.IoControlCode >> 2) & 0xF;
        auto* buffer = static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
        if (function == kNoBuffers) {
            EXPECT_EQ(buffer, nullptr);
            return Complete(irp, STATUS_SUCCESS);
        }
        EXPECT_EQ(stack->Parameters.DeviceIoControl.InputBufferLength, kInputLength);
        EXPECT_EQ(stack->Parameters.DeviceIoControl.OutputBufferLength, kOutputLength);
        EXPECT_EQ(std::memcmp(buffer, "in!!", kInputLength), 0);
        std::memset(buffer, 0xAB, kOutputLength);
        return Complete(irp, kStatuses[function], kReturned);
    };
    LoadDriver();
    auto file = OpenOk(kTestDevice);
    for (ULONG function = 0; function < kNoBuffers; ++function) {
        const IoResult result =
            file->DeviceControl(TestControl(function), "in!!", kInputLength, kOutputLength);
        EXPECT_EQ(result.Status, kStatuses[function]);
        EXPECT_EQ(result.Data, NT_ERROR(kStatuses[function])
                                   ? std::vector<std::uint8_t>()
                                   : std::vector<std::uint8_t>(kReturned, 0xAB));
    }
    EXPECT_EQ(file->DeviceControl(TestControl(kNoBuffers), nullptr, 0, 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(file->DeviceControl(TestControl(0, METHOD_NEITHER), nullptr, 0, 0).Status,
              STATUS_NOT_IMPLEMENTED);
}

// A completion callback runs once, at PASSIVE_LEVEL in the completing thread
// once that is out of the driver (so it may call in again) and before its
// request returns; registered late, at once.
TEST_F(IoManagerTest, ACompletionCallbackRunsOnceOutsideTheDriver)
{
    std::atomic<bool> returned{false};
    driver_.Dispatch[IRP_MJ_READ] = PendRead;
    driver_.Dispatch[IRP_MJ_WRITE] = [&returned](PDEVICE_OBJECT device, PIRP irp) {
        KIRQL irql;
        KeAcquireSpinLock(&TestDriver::Extension(device)->Lock, &irql);
        Complete(TakePending(device), STATUS_SUCCESS);
        KeReleaseSpinLock(&TestDriver::Extension(device)->Lock, irql);
        returned = true;
        return Complete(irp, STATUS_SUCCESS);
    };
    LoadDriver();
    auto file = OpenOk(kTestDevice);
    auto read = file->StartRead(kReadLength);
    int calls = 0;
    std::shared_ptr<host::PendingIo> next;
    read->OnComplete([&, self = std::this_thread::get_id()](const IoResult&) {
        ++calls;
        EXPECT_TRUE(returned);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        EXPECT_EQ(std::this_thread::get_id(), self);
        next = file->StartRead(kReadLength);  // pends again: the driver is callable
    });
    EXPECT_EQ(calls, 0);
    const std::uint8_t byte = 0;
    EXPECT_EQ(file->Write(&byte, 1).Status, STATUS_SUCCESS);
    EXPECT_EQ(calls, 1);
    ASSERT_NE(next, nullptr);
    EXPECT_FALSE(next->Done());

    NTSTATUS seen = STATUS_PENDING;
    next->OnComplete([&](const IoResult& result) { seen = result.Status; });
    Complete(TakePending(driver_.Device(0)), STATUS_CANCELLED);
    EXPECT_EQ(seen, STATUS_CANCELLED);  // completed outside the driver: at once
    next->OnComplete([&](const IoResult&) { ++calls; });
    EXPECT_EQ(calls, 2);
}

// Like a DPC queued on the current processor: the timer thread is not
// needed, and the DPC has run when the request returns.
TEST_F(IoManagerTest, ATimerTheDriverSetsAlreadyDueRunsItsDpcInThatThreadOnItsWayOut)
{
    static std::thread::id ranIn;  // by the DPC, at DISPATCH_LEVEL
    ranIn = {};
    driver_.Dispatch[IRP_MJ_WRITE] = [](PDEVICE_OBJECT device, PIRP irp) {
        TestExtension* extension = TestDriver::Extension(device);
        KeInitializeDpc(
            &extension->Dpc,
            [](PKDPC, PVOID, PVOID, PVOID) {
                EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
                ranIn = std::this_thread::get_id();
            },
            nullptr);
        KeSetTimer(&extension->Timer, Due(0), &extension->Dpc);  // absolute: long past
        EXPECT_EQ(ranIn, std::thread::id()) << "a DPC never runs inside the routine that queued it";
        return Complete(irp, STATUS_SUCCESS);
    };
    LoadDriver();
    const std::uint8_t byte = 0;
    EXPECT_EQ(OpenOk(kTestDevice)->Write(&byte, 1).Status, STATUS_SUCCESS);
    EXPECT_EQ(ranIn, std::this_thread::get_id());
}

using RoomWatchTest = HostKernelTest;

// A watch ended before room comes reports nothing, and the caller's
// descriptor is its own still: the watch had a duplicate. Armed again while
// there is room, a watch reports at once.
TEST_F(RoomWatchTest, ReportsRoomOncePerArmAndNothingOnceEnded)
{
    int ends[2] = {-1, -1};
    ASSERT_EQ(pipe2(ends, O_NONBLOCK | O_CLOEXEC), 0);
    const zel::UniqueFd reader(ends[0]);
    const zel::UniqueFd writer(ends[1]);
    std::vector<char> block(65536, 'x');
    while (write(writer.Get(), block.data(), block.size()) > 0) {
    }
    ASSERT_EQ(errno, EAGAIN);  // full
    // Counts the watch's reports, each on another thread at PASSIVE_LEVEL.
    const auto watch = [&, self = std::this_thread::get_id()](std::atomic<int>& runs) {
        return Kernel().WatchForRoom(writer.Get(), [&runs, self] {
            EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
            EXPECT_NE(std::this_thread::get_id(), self);
            ++runs;
        });
    };
    std::atomic<int> ended{0};
    watch(ended)->Arm();
    std::atomic<int> runs{0};
    auto watching = watch(runs);
    watching->Arm();
    while (read(reader.Get(), block.data(), block.size()) > 0) {
    }
    EXPECT_EQ(write(writer.Get(), "y", 1), 1);
    ASSERT_TRUE(zel::test::Eventually([&] { return runs == 1; }));
    watching->Arm();
    EXPECT_TRUE(zel::test::Eventually([&] { return runs == 2; }));
    EXPECT_EQ(ended, 0);
}

}  // namespace
}  // namespace hosttest
