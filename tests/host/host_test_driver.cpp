#include "host_test_driver.h"

#include "rtl_unicode.h"

#include "../support/deadline.h"

namespace hosttest {

TestDriver* TestDriver::Current = nullptr;

NtString::NtString(const std::string& utf8) : text_(host::rtl::Utf8ToUtf16(utf8).value())
{
    const auto bytes = static_cast<USHORT>(text_.size() * sizeof(WCHAR));
    string_ = UNICODE_STRING{bytes, bytes, reinterpret_cast<PWSTR>(text_.data())};
}

std::string Utf8(const UNICODE_STRING& string)
{
    return host::rtl::Utf16ToUtf8(host::rtl::ToU16(string.Buffer, string.Length / sizeof(WCHAR)))
        .value_or("<invalid UTF-16>");
}

NTSTATUS WaitSafely(PVOID object)
{
    LARGE_INTEGER timeout = Due(-zel::test::kSafetyTimeout.count() * 10000);
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &timeout);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

TestDriver::TestDriver()
{
    auto succeed = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); };
    Dispatch[IRP_MJ_CREATE] = succeed;
    Dispatch[IRP_MJ_CLEANUP] = succeed;
    Dispatch[IRP_MJ_CLOSE] = succeed;
}

// Notes each routed request, then hands it to the test's routine.
NTSTATUS NTAPI TestDriver::DispatchToTest(PDEVICE_OBJECT device, PIRP irp)
{
    TestDriver& self = *Current;
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    {
        std::lock_guard<std::mutex> lock(self.mutex_);
        self.calls_.push_back(major);
    }
    return self.Dispatch.at(major)(device, irp);
}

NTSTATUS NTAPI TestDriver::DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    TestDriver& self = *Current;
    self.RegistryPath = Utf8(*registryPath);
    for (const auto& routed : self.Dispatch) {
        driver->MajorFunction[routed.first] = DispatchToTest;
    }
    driver->DriverUnload = Unload;
    if (self.Entry) {
        return self.Entry(driver);
    }
    self.CreateDevice(driver, "\\Device\\HostTest0", "\\DosDevices\\HostTest0", true);
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT TestDriver::CreateDevice(PDRIVER_OBJECT driver, const std::string& name,
                                        const std::string& link, bool exclusive)
{
    NtString deviceName(name);
    PDEVICE_OBJECT device = nullptr;
    if (IoCreateDevice(driver, sizeof(TestExtension), deviceName.Get(), FILE_DEVICE_UNKNOWN, 0,
                       exclusive ? TRUE : FALSE, &device) != STATUS_SUCCESS) {
        ADD_FAILURE() << name;
        return nullptr;
    }
    if (!link.empty()) {
        EXPECT_EQ(IoCreateSymbolicLink(NtString(link).Get(), deviceName.Get()), STATUS_SUCCESS)
            << link;
        links_.push_back(link);
    }
    KeInitializeSpinLock(&Extension(device)->Lock);
    KeInitializeTimer(&Extension(device)->Timer);
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    devices_.push_back(device);
    return device;
}

void NTAPI TestDriver::Unload(PDRIVER_OBJECT driver)
{
    for (const std::string& link : Current->links_) {
        IoDeleteSymbolicLink(NtString(link).Get());
    }
    while (driver->DeviceObject != nullptr) {
        IoDeleteDevice(driver->DeviceObject);
    }
}

std::vector<UCHAR> TestDriver::Calls()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

void HostKernelTest::SetUp()
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TestDriver::Current = &driver_;
    options_.StateDirectory = state_.Path() / "state";
    options_.Log = [this](host::LogLevel, const std::string& line) {
        // A verifier stop aborts the process (a death test's child): no
        // destructor will remove the state directory.
        if (line.rfind("*** STOP:", 0) == 0) {
            std::error_code ignored;
            std::filesystem::remove_all(state_.Path(), ignored);
        }
    };
    kernel_ = std::make_unique<host::Kernel>(options_);
}

void HostKernelTest::TearDown()
{
    kernel_.reset();
    TestDriver::Current = nullptr;
    // A death test's child that ends here never runs the destructors.
    std::error_code ignored;
    std::filesystem::remove_all(state_.Path(), ignored);
}

void HostKernelTest::RestartKernel()
{
    kernel_.reset();
    kernel_ = std::make_unique<host::Kernel>(options_);
}

void HostKernelTest::LoadDriver()
{
    ASSERT_EQ(kernel_->LoadDriver("HostTest", TestDriver::DriverEntry), STATUS_SUCCESS);
}

std::unique_ptr<host::File> HostKernelTest::OpenOk(const std::string& name)
{
    std::unique_ptr<host::File> file;
    EXPECT_EQ(kernel_->Open(name, &file), STATUS_SUCCESS) << name;
    return file;
}

NTSTATUS HostKernelTest::OpenStatus(const std::string& name)
{
    std::unique_ptr<host::File> file;
    const NTSTATUS status = kernel_->Open(name, &file);
    EXPECT_EQ(file != nullptr, NT_SUCCESS(status));
    return status;
}

}  // namespace hosttest
