// The verifier's rules around dispatch routines and unload, and its
// low-resources simulation.
#include "host_test_driver.h"

#include <cstdio>

namespace hosttest {
namespace {

constexpr ULONG kReadLength = 4;

class VerifierDeathTest : public HostKernelTest {
protected:
    // Loads the driver with `read` as its read routine and reads once.
    void ReadWith(DispatchRoutine read)
    {
        driver_.Dispatch[IRP_MJ_READ] = std::move(read);
        LoadDriver();
        OpenOk(kTestDevice)->Read(kReadLength);
    }
};

TEST_F(VerifierDeathTest, DispatchRoutinesThatBreakTheIrpOrIrqlRules)
{
    EXPECT_DEATH(ReadWith([](PDEVICE_OBJECT, PIRP irp) {
                     Complete(irp, STATUS_SUCCESS);
                     return Complete(irp, STATUS_SUCCESS);
                 }),
                 "MULTIPLE_IRP_COMPLETE_REQUESTS");
    EXPECT_DEATH(ReadWith([](PDEVICE_OBJECT, PIRP) { return STATUS_PENDING; }),
                 "DRIVER_VERIFIER_IOMANAGER_VIOLATION: dispatch routine for IRP_MJ_READ returned "
                 "STATUS_PENDING without IoMarkIrpPending");
    EXPECT_DEATH(ReadWith([](PDEVICE_OBJECT, PIRP irp) {
                     IoMarkIrpPending(irp);
                     Complete(irp, STATUS_SUCCESS);
                     return STATUS_SUCCESS;
                 }),
                 "DRIVER_VERIFIER_IOMANAGER_VIOLATION.*marked pending");
    EXPECT_DEATH(ReadWith([](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; }),
                 "IRP not completed: dispatch routine for IRP_MJ_READ");
    EXPECT_DEATH(ReadWith([](PDEVICE_OBJECT, PIRP irp) {
                     IoMarkIrpPending(irp);
                     Complete(irp, STATUS_PENDING);
                     return STATUS_PENDING;
                 }),
                 "DRIVER_VERIFIER_IOMANAGER_VIOLATION: IRP completed with status STATUS_PENDING");
    EXPECT_DEATH(ReadWith([](PDEVICE_OBJECT, PIRP irp) {
                     return Complete(irp, STATUS_SUCCESS, kReadLength + 1);
                 }),
                 "DRIVER_VERIFIER_IOMANAGER_VIOLATION: IRP_MJ_READ completed with Information 5 "
                 "for a buffer of 4 bytes");
    EXPECT_DEATH(ReadWith([](PDEVICE_OBJECT device, PIRP irp) {
                     KIRQL irql;
                     KeAcquireSpinLock(&TestDriver::Extension(device)->Lock, &irql);
                     return Complete(irp, STATUS_SUCCESS);
                 }),
                 "DRIVER_VERIFIER_DETECTED_VIOLATION: dispatch routine for IRP_MJ_READ returned "
                 "holding 1 spin lock");
    EXPECT_DEATH(ReadWith([](PDEVICE_OBJECT, PIRP irp) {
                     RaiseIrql(APC_LEVEL);
                     return Complete(irp, STATUS_SUCCESS);
                 }),
                 "IRQL_UNEXPECTED_VALUE: dispatch routine for IRP_MJ_READ was called at IRQL 0 and "
                 "returned at IRQL 1");
    driver_.Dispatch[IRP_MJ_CLOSE] = [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; };
    EXPECT_DEATH((LoadDriver(), OpenOk(kTestDevice)->Close()),
                 "IRP not completed: dispatch routine for IRP_MJ_CLOSE");
}

// Devices left at unload or after a failed entry, a handle left open, a
// request left pending.
TEST_F(VerifierDeathTest, UnloadWithSomethingLeft)
{
    driver_.Entry = [this](PDRIVER_OBJECT driver) {
        driver_.CreateDevice(driver, "\\Device\\Forgotten", "", false);
        driver->DriverUnload = [](PDRIVER_OBJECT) {};
        return STATUS_SUCCESS;
    };
    EXPECT_DEATH((LoadDriver(), Kernel().UnloadDriver()),
                 "DRIVER_VERIFIER_DETECTED_VIOLATION: driver unloaded without deleting its device "
                 "objects: \\\\Device\\\\Forgotten");
    driver_.Entry = [this](PDRIVER_OBJECT driver) {
        driver_.CreateDevice(driver, "\\Device\\Orphan", "", false);
        return STATUS_UNSUCCESSFUL;
    };
    EXPECT_DEATH(
        Kernel().LoadDriver("HostTest", TestDriver::DriverEntry),
        "driver failed its DriverEntry without deleting its device objects: \\\\Device\\\\Orphan");
    driver_.Entry = nullptr;
    driver_.Dispatch[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    };
    LoadDriver();
    auto file = OpenOk(kTestDevice);
    EXPECT_DEATH(Kernel().UnloadDriver(),
                 "DRIVER_VERIFIER_DETECTED_VIOLATION: driver unloaded while 1 handle");
    EXPECT_DEATH((file->StartRead(kReadLength), file->Close(), Kernel().UnloadDriver()),
                 "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS");
}

TEST_F(VerifierDeathTest, NoKernelRunning)
{
    TearDown();
    KEVENT event;
    EXPECT_DEATH(KeInitializeEvent(&event, NotificationEvent, FALSE), "HOST_KERNEL_NOT_RUNNING");
}

using LowResourcesTest = HostKernelTest;

// Each allocating routine fails, as an exhausted system makes it, at the
// call the simulation picks, and at that call only.
TEST_F(LowResourcesTest, EachAllocatingRoutineFailsAtThePickedCall)
{
    constexpr ULONG kTag = 0x74736554;  // "Test"
    constexpr ULONG kBytes = 16;
    LoadDriver();
    PDEVICE_OBJECT device = driver_.Device(0);
    static char buffer[kBytes];
    NtString deviceName("\\Device\\Extra");
    NtString linkName("\\DosDevices\\Extra");
    NtString tcpName("\\Device\\Tcp");
    // True when the routine got what it allocates; then frees it again.
    const auto got = [](auto allocated, auto free) {
        return allocated != nullptr && (free(allocated), true);
    };
    const auto succeeded = [](NTSTATUS status, auto undo) {
        return NT_SUCCESS(status) && (undo(), true);
    };
    PDEVICE_OBJECT extra = nullptr;
    HANDLE handle = nullptr;
    ANSI_STRING copy;
    // Each allocates once and undoes what it got.
    const std::pair<const char*, std::function<bool()>> routines[] = {
        {"ExAllocatePoolWithTag",
         [&] { return got(ExAllocatePoolWithTag(NonPagedPool, kBytes, kTag), ExFreePool); }},
        {"ExAllocatePool", [&] { return got(ExAllocatePool(PagedPool, kBytes), ExFreePool); }},
        {"IoAllocateIrp", [&] { return got(IoAllocateIrp(1, FALSE), IoFreeIrp); }},
        {"IoAllocateMdl",
         [&] { return got(IoAllocateMdl(buffer, kBytes, FALSE, FALSE, nullptr), IoFreeMdl); }},
        {"IoAllocateWorkItem", [&] { return got(IoAllocateWorkItem(device), IoFreeWorkItem); }},
        {"IoCreateDevice",
         [&] {
             return succeeded(IoCreateDevice(Kernel().DriverObject(), 0, deviceName.Get(),
                                             FILE_DEVICE_UNKNOWN, 0, FALSE, &extra),
                              [&] { IoDeleteDevice(extra); });
         }},
        {"IoCreateSymbolicLink",
         [&] {
             return succeeded(IoCreateSymbolicLink(linkName.Get(), deviceName.Get()), [&] {
                 EXPECT_EQ(IoDeleteSymbolicLink(linkName.Get()), STATUS_SUCCESS);
             });
         }},
        {"ZwCreateFile",
         [&] {
             OBJECT_ATTRIBUTES attributes;
             InitializeObjectAttributes(&attributes, tcpName.Get(), OBJ_KERNEL_HANDLE, nullptr,
                                        nullptr);
             IO_STATUS_BLOCK ioStatus;
             const NTSTATUS status =
                 ZwCreateFile(&handle, GENERIC_READ, &attributes, &ioStatus, nullptr,
                              FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN, 0, nullptr, 0);
             EXPECT_EQ(ioStatus.Status, status);
             return succeeded(status, [&] { EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS); });
         }},
        {"RtlUnicodeStringToAnsiString",
         [&] {
             return succeeded(RtlUnicodeStringToAnsiString(&copy, linkName.Get(), TRUE),
                              [&] { RtlFreeAnsiString(&copy); });
         }},
    };
    for (const auto& [name, allocate] : routines) {
        SCOPED_TRACE(name);
        host::LowResources second;
        second.FailCall = 2;
        Kernel().ArmLowResources(second);
        EXPECT_TRUE(allocate());
        EXPECT_FALSE(allocate());
        EXPECT_TRUE(allocate());
        EXPECT_EQ(Kernel().DisarmLowResources(), 1u);
        EXPECT_TRUE(allocate());
    }
}

// Failing at random, the same seed picks the same calls.
TEST_F(LowResourcesTest, ASeedRepeatsItsFailures)
{
    constexpr int kCalls = 64;
    constexpr std::uint32_t kSeed = 16;
    std::printf("seed %u\n", kSeed);
    LoadDriver();
    auto failures = [&] {
        host::LowResources random;
        random.FailProbability = 0.5;
        random.Seed = kSeed;
        Kernel().ArmLowResources(random);
        std::string picked;
        for (int call = 0; call < kCalls; ++call) {
            PVOID p = ExAllocatePool(NonPagedPool, 1);
            picked += p == nullptr ? 'x' : '.';
            if (p != nullptr) {
                ExFreePool(p);
            }
        }
        EXPECT_EQ(Kernel().DisarmLowResources(),
                  static_cast<std::uint64_t>(std::count(picked.begin(), picked.end(), 'x')));
        return picked;
    };
    const std::string first = failures();
    EXPECT_NE(first.find('x'), std::string::npos);
    EXPECT_NE(first.find('.'), std::string::npos);
    EXPECT_EQ(failures(), first);
}

}  // namespace
}  // namespace hosttest
