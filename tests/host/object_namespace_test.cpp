// Device objects and names: collisions, case-insensitive lookup, the
// \DosDevices aliases, the driver's device list and deletion.
#include "host_test_driver.h"

#include <algorithm>

namespace hosttest {
namespace {

class ObjectNamespaceTest : public HostKernelTest {
protected:
    void LoadWith(std::function<NTSTATUS(PDRIVER_OBJECT)> entry)
    {
        driver_.Entry = std::move(entry);
        LoadDriver();
    }
};

bool Contains(const std::vector<std::string>& names, const std::string& name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

TEST_F(ObjectNamespaceTest, DeviceNameCollisionFailsWhateverTheCase)
{
    LoadWith([this](PDRIVER_OBJECT driver) {
        driver_.CreateDevice(driver, "\\Device\\Alpha", "", false);
        NtString sameName("\\device\\ALPHA");
        PDEVICE_OBJECT second = nullptr;
        EXPECT_EQ(IoCreateDevice(driver, 0, sameName.Get(), FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
                  STATUS_OBJECT_NAME_COLLISION);
        EXPECT_EQ(second, nullptr);
        return STATUS_SUCCESS;
    });
    EXPECT_EQ(Kernel().DeviceNames(), std::vector<std::string>{"\\Device\\Alpha"});
    EXPECT_EQ(Kernel().FindDevice("\\DEVICE\\alpha"), driver_.Device(0));
}

TEST_F(ObjectNamespaceTest, LinkCollisionAndAliases)
{
    LoadWith([this](PDRIVER_OBJECT driver) {
        driver_.CreateDevice(driver, "\\Device\\Alpha", "\\DosDevices\\AlphaLink", false);
        NtString alias("\\??\\alphalink");
        NtString target("\\Device\\Alpha");
        EXPECT_EQ(IoCreateSymbolicLink(alias.Get(), target.Get()), STATUS_OBJECT_NAME_COLLISION);
        return STATUS_SUCCESS;
    });
    EXPECT_EQ(Kernel().SymbolicLinkTarget("\\??\\ALPHALINK"),
              std::optional<std::string>("\\Device\\Alpha"));
    EXPECT_TRUE(Contains(Kernel().SymbolicLinkNames(), "\\DosDevices\\AlphaLink"));
    EXPECT_EQ(OpenStatus("\\\\.\\alphalink"), STATUS_SUCCESS);
    EXPECT_EQ(OpenStatus("\\??\\AlphaLink"), STATUS_SUCCESS);
    EXPECT_EQ(OpenStatus("\\Device\\ALPHA"), STATUS_SUCCESS);
}

TEST_F(ObjectNamespaceTest, DeletingAMissingLinkFails)
{
    LoadWith([this](PDRIVER_OBJECT driver) {
        driver_.CreateDevice(driver, "\\Device\\Alpha", "\\DosDevices\\AlphaLink", false);
        NtString missing("\\DosDevices\\Nothing");
        EXPECT_EQ(IoDeleteSymbolicLink(missing.Get()), STATUS_OBJECT_NAME_NOT_FOUND);
        NtString link("\\DosDevices\\AlphaLink");
        EXPECT_EQ(IoDeleteSymbolicLink(link.Get()), STATUS_SUCCESS);
        EXPECT_EQ(IoDeleteSymbolicLink(link.Get()), STATUS_OBJECT_NAME_NOT_FOUND);
        // A device name is no link.
        NtString deviceName("\\Device\\Alpha");
        EXPECT_EQ(IoDeleteSymbolicLink(deviceName.Get()), STATUS_OBJECT_PATH_NOT_FOUND);
        return STATUS_SUCCESS;
    });
    EXPECT_TRUE(Kernel().SymbolicLinkNames().empty());
    EXPECT_EQ(OpenStatus("\\\\.\\AlphaLink"), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(ObjectNamespaceTest, NamesOutsideTheKnownDirectoriesAreRefused)
{
    LoadWith([](PDRIVER_OBJECT driver) {
        NtString outside("\\Elsewhere\\Alpha");
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(IoCreateDevice(driver, 0, outside.Get(), FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                  STATUS_OBJECT_PATH_NOT_FOUND);
        NtString empty("\\Device\\");
        EXPECT_EQ(IoCreateDevice(driver, 0, empty.Get(), FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                  STATUS_OBJECT_NAME_INVALID);
        return STATUS_SUCCESS;
    });
    EXPECT_TRUE(Kernel().DeviceNames().empty());
    EXPECT_EQ(OpenStatus("\\\\.\\Nothing"), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(ObjectNamespaceTest, NewDevicesComeFirstInTheDriversList)
{
    LoadWith([this](PDRIVER_OBJECT driver) {
        driver_.CreateDevice(driver, "\\Device\\First", "", false);
        driver_.CreateDevice(driver, "\\Device\\Second", "", false);
        driver_.CreateDevice(driver, "\\Device\\Third", "", false);
        return STATUS_SUCCESS;
    });
    PDRIVER_OBJECT driver = Kernel().DriverObject();
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->DeviceObject, driver_.Device(2));
    EXPECT_EQ(driver->DeviceObject->NextDevice, driver_.Device(1));
    EXPECT_EQ(driver->DeviceObject->NextDevice->NextDevice, driver_.Device(0));
    EXPECT_EQ(driver_.Device(0)->NextDevice, nullptr);
}

TEST_F(ObjectNamespaceTest, CreatedDeviceLooksAsOnWindows)
{
    LoadWith([](PDRIVER_OBJECT driver) {
        NtString name("\\Device\\Fresh");
        PDEVICE_OBJECT device = nullptr;
        constexpr ULONG kExtensionSize = 40;
        EXPECT_EQ(IoCreateDevice(driver, kExtensionSize, name.Get(), FILE_DEVICE_SERIAL_PORT,
                                 FILE_DEVICE_SECURE_OPEN, TRUE, &device),
                  STATUS_SUCCESS);
        EXPECT_EQ(device->Flags, static_cast<ULONG>(DO_DEVICE_INITIALIZING | DO_EXCLUSIVE));
        EXPECT_EQ(device->DeviceExtension,
                  reinterpret_cast<PUCHAR>(device) + sizeof(DEVICE_OBJECT));
        const auto* extension = static_cast<const UCHAR*>(device->DeviceExtension);
        EXPECT_TRUE(
            std::all_of(extension, extension + kExtensionSize, [](UCHAR b) { return b == 0; }));
        IoDeleteDevice(device);
        EXPECT_EQ(driver->DeviceObject, nullptr);
        return STATUS_SUCCESS;
    });
    EXPECT_TRUE(Kernel().DeviceNames().empty());
}

TEST_F(ObjectNamespaceTest, DeleteRemovesNameAndListEntry)
{
    LoadWith([this](PDRIVER_OBJECT driver) {
        driver_.CreateDevice(driver, "\\Device\\First", "", false);
        PDEVICE_OBJECT second = driver_.CreateDevice(driver, "\\Device\\Second", "", false);
        driver_.CreateDevice(driver, "\\Device\\Third", "", false);
        IoDeleteDevice(second);
        return STATUS_SUCCESS;
    });
    PDRIVER_OBJECT driver = Kernel().DriverObject();
    EXPECT_EQ(driver->DeviceObject, driver_.Device(2));
    EXPECT_EQ(driver->DeviceObject->NextDevice, driver_.Device(0));
    EXPECT_FALSE(Contains(Kernel().DeviceNames(), "\\Device\\Second"));
    EXPECT_EQ(Kernel().FindDevice("\\Device\\Second"), nullptr);
    // The name is free again.
    NtString name("\\Device\\Second");
    PDEVICE_OBJECT again = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, 0, name.Get(), FILE_DEVICE_UNKNOWN, 0, FALSE, &again),
              STATUS_SUCCESS);
}

TEST_F(ObjectNamespaceTest, FailedDriverEntryLeavesNothingLoaded)
{
    driver_.Entry = [](PDRIVER_OBJECT driver) {
        NtString name("\\Device\\Short");
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(IoCreateDevice(driver, 0, name.Get(), FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                  STATUS_SUCCESS);
        IoDeleteDevice(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    };
    EXPECT_EQ(Kernel().LoadDriver("HostTest", TestDriver::DriverEntry),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(Kernel().DriverLoaded());
    EXPECT_EQ(Kernel().DriverObject(), nullptr);
    EXPECT_TRUE(Kernel().DeviceNames().empty());
}

TEST_F(ObjectNamespaceTest, DriverObjectAndRegistryPath)
{
    driver_.Entry = [](PDRIVER_OBJECT driver) {
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        EXPECT_EQ(driver->Type, IO_TYPE_DRIVER);
        return STATUS_SUCCESS;
    };
    LoadDriver();
    EXPECT_EQ(driver_.RegistryPath,
              "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\HostTest");
    PDRIVER_OBJECT driver = Kernel().DriverObject();
    EXPECT_EQ(Utf8(driver->DriverName), "\\Driver\\HostTest");
    EXPECT_EQ(Utf8(driver->DriverExtension->ServiceKeyName), "HostTest");
    EXPECT_EQ(driver->DriverExtension->DriverObject, driver);
}

}  // namespace
}  // namespace hosttest
