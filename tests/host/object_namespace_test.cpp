// Device objects, their names and \DosDevices links.
#include "host_test_driver.h"

namespace hosttest {
namespace {

class ObjectNamespaceTest : public HostKernelTest {
protected:
    static NTSTATUS CreateDevice(PDRIVER_OBJECT driver, const char* name, ULONG extensionSize = 0,
                                 PDEVICE_OBJECT* device = nullptr)
    {
        PDEVICE_OBJECT created = nullptr;
        const NTSTATUS status = IoCreateDevice(driver, extensionSize, NtString(name).Get(),
                                               FILE_DEVICE_SERIAL_PORT, 0, TRUE, &created);
        EXPECT_EQ(created != nullptr, NT_SUCCESS(status)) << name;
        if (device != nullptr) {
            *device = created;
        }
        return status;
    }
};

TEST_F(ObjectNamespaceTest, DevicesAndTheirNames)
{
    driver_.Entry = [](PDRIVER_OBJECT driver) {
        constexpr ULONG kExtensionSize = 40;
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(CreateDevice(driver, "\\Device\\Alpha", kExtensionSize, &device), STATUS_SUCCESS);
        EXPECT_EQ(device->Flags, static_cast<ULONG>(DO_DEVICE_INITIALIZING | DO_EXCLUSIVE));
        const auto* extension = static_cast<const UCHAR*>(device->DeviceExtension);
        EXPECT_TRUE(
            std::all_of(extension, extension + kExtensionSize, [](UCHAR b) { return b == 0; }));
        EXPECT_EQ(CreateDevice(driver, "\\device\\ALPHA"), STATUS_OBJECT_NAME_COLLISION);
        // A new device comes first in the driver's list; a deleted one
        // leaves it, and its name is free again.
        PDEVICE_OBJECT beta = nullptr;
        EXPECT_EQ(CreateDevice(driver, "\\Device\\Beta", 0, &beta), STATUS_SUCCESS);
        EXPECT_EQ(driver->DeviceObject, beta);
        EXPECT_EQ(beta->NextDevice, device);
        IoDeleteDevice(beta);
        EXPECT_EQ(driver->DeviceObject, device);
        EXPECT_EQ(CreateDevice(driver, "\\Device\\Beta", 0, &beta), STATUS_SUCCESS);
        IoDeleteDevice(beta);
        EXPECT_EQ(CreateDevice(driver, "\\Elsewhere\\Beta"), STATUS_OBJECT_PATH_NOT_FOUND);
        EXPECT_EQ(CreateDevice(driver, "\\Device\\"), STATUS_OBJECT_NAME_INVALID);
        return STATUS_SUCCESS;
    };
    LoadDriver();
    EXPECT_EQ(Kernel().DeviceNames(), std::vector<std::string>{"\\Device\\Alpha"});
    EXPECT_EQ(Kernel().FindDevice("\\DEVICE\\alpha"), Kernel().DriverObject()->DeviceObject);
    EXPECT_EQ(OpenStatus("\\\\.\\Nothing"), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(ObjectNamespaceTest, LinksAndTheirAliases)
{
    driver_.Entry = [this](PDRIVER_OBJECT driver) {
        driver_.CreateDevice(driver, "\\Device\\Alpha", "\\DosDevices\\AlphaLink", false);
        driver_.CreateDevice(driver, "\\Device\\Beta", "\\DosDevices\\BetaLink", false);
        EXPECT_EQ(IoCreateSymbolicLink(NtString("\\??\\alphalink").Get(),
                                       NtString("\\Device\\Alpha").Get()),
                  STATUS_OBJECT_NAME_COLLISION);
        const auto deleteLink = [](const char* name) {
            return IoDeleteSymbolicLink(NtString(name).Get());
        };
        EXPECT_EQ(deleteLink("\\DosDevices\\Nothing"), STATUS_OBJECT_NAME_NOT_FOUND);
        // A device name is no link.
        EXPECT_EQ(deleteLink("\\Device\\Alpha"), STATUS_OBJECT_PATH_NOT_FOUND);
        EXPECT_EQ(deleteLink("\\DosDevices\\BetaLink"), STATUS_SUCCESS);
        EXPECT_EQ(deleteLink("\\DosDevices\\BetaLink"), STATUS_OBJECT_NAME_NOT_FOUND);
        return STATUS_SUCCESS;
    };
    LoadDriver();
    EXPECT_EQ(Kernel().SymbolicLinkTarget("\\??\\ALPHALINK"),
              std::optional<std::string>("\\Device\\Alpha"));
    EXPECT_EQ(Kernel().SymbolicLinkNames(), std::vector<std::string>{"\\DosDevices\\AlphaLink"});
    EXPECT_EQ(OpenStatus("\\\\.\\alphalink"), STATUS_SUCCESS);
    EXPECT_EQ(OpenStatus("\\Device\\ALPHA"), STATUS_SUCCESS);
    EXPECT_EQ(OpenStatus("\\\\.\\BetaLink"), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(ObjectNamespaceTest, DriverEntryGetsItsObjectAndAFailureLeavesNothingLoaded)
{
    driver_.Entry = [](PDRIVER_OBJECT driver) {
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(CreateDevice(driver, "\\Device\\Short", 0, &device), STATUS_SUCCESS);
        IoDeleteDevice(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    };
    EXPECT_EQ(Kernel().LoadDriver("HostTest", TestDriver::DriverEntry),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(Kernel().DriverLoaded());
    EXPECT_TRUE(Kernel().DeviceNames().empty());

    driver_.Entry = [](PDRIVER_OBJECT) {
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        return STATUS_SUCCESS;
    };
    LoadDriver();
    EXPECT_EQ(driver_.RegistryPath,
              "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\HostTest");
    EXPECT_EQ(Utf8(Kernel().DriverObject()->DriverName), "\\Driver\\HostTest");
}

}  // namespace
}  // namespace hosttest
