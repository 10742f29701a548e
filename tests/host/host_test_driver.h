// A tiny driver whose dispatch routines each test installs as lambdas,
// loaded into a kernel of the test's own (a fresh state directory).
#pragma once

#include <host/kernel.h>
#include <wdm.h>

#include <gtest/gtest.h>

#include "../support/temp_dir.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace hosttest {

// A UNICODE_STRING over a UTF-16 copy of a UTF-8 name.
class NtString {
public:
    explicit NtString(const std::string& utf8);
    NtString(const NtString&) = delete;
    NtString& operator=(const NtString&) = delete;
    PUNICODE_STRING Get() { return &string_; }

private:
    std::u16string text_;
    UNICODE_STRING string_{};
};

std::string Utf8(const UNICODE_STRING& string);

using DispatchRoutine = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

// What every device of the test driver carries.
struct TestExtension {
    ULONG Index;
    KSPIN_LOCK Lock;
    PIRP PendingIrp;
    KTIMER Timer;
    KDPC Dpc;
};

// What tests open to reach the default device.
constexpr const char* kTestDevice = "\\\\.\\HostTest0";

class TestDriver {
public:
    // Create, cleanup and close succeed unless a test routes them elsewhere.
    TestDriver();

    // Set by the fixture for the duration of a test.
    static TestDriver* Current;
    static NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

    std::string RegistryPath;  // the one the driver entry was given
    // Major functions routed to the test's routines; the others keep the
    // host's default (STATUS_INVALID_DEVICE_REQUEST).
    std::map<UCHAR, DispatchRoutine> Dispatch;
    // Runs in the driver entry; by default creates "\Device\HostTest0"
    // (exclusive) with the link "\DosDevices\HostTest0".
    std::function<NTSTATUS(PDRIVER_OBJECT)> Entry;

    // Creates a buffered device with a TestExtension and a link (none when
    // empty), clears DO_DEVICE_INITIALIZING; the unload routine deletes both.
    PDEVICE_OBJECT CreateDevice(PDRIVER_OBJECT driver, const std::string& name,
                                const std::string& link, bool exclusive);
    static TestExtension* Extension(PDEVICE_OBJECT device)
    {
        return static_cast<TestExtension*>(device->DeviceExtension);
    }
    PDEVICE_OBJECT Device(std::size_t index) const { return devices_.at(index); }

    // The major functions the driver has been called with, in order.
    std::vector<UCHAR> Calls();

private:
    static NTSTATUS NTAPI DispatchToTest(PDEVICE_OBJECT device, PIRP irp);
    static void NTAPI Unload(PDRIVER_OBJECT driver);

    std::vector<PDEVICE_OBJECT> devices_;
    std::vector<std::string> links_;
    std::mutex mutex_;
    std::vector<UCHAR> calls_;
};

// Waits for a dispatcher object at most the tests' safety timeout; the
// result is STATUS_TIMEOUT only when something is broken.
NTSTATUS WaitSafely(PVOID object);

// A relative (negative) or absolute time in 100 ns units.
inline LARGE_INTEGER Due(LONGLONG time)
{
    LARGE_INTEGER due;
    due.QuadPart = time;
    return due;
}

// Raises the IRQL for good: for a death test's statement, which ends there.
inline void RaiseIrql(KIRQL level)
{
    KIRQL previous;
    KeRaiseIrql(level, &previous);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

class HostKernelTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    host::Kernel& Kernel() { return *kernel_; }
    // Stops the kernel and starts another on the same state directory.
    void RestartKernel();
    void LoadDriver();
    std::unique_ptr<host::File> OpenOk(const std::string& name);
    NTSTATUS OpenStatus(const std::string& name);

    TestDriver driver_;

private:
    zel::test::TempDir state_;
    host::KernelOptions options_;
    std::unique_ptr<host::Kernel> kernel_;
};

}  // namespace hosttest
