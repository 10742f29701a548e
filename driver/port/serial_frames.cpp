#include "port/serial_frames.h"

#include "core/module_extension.h"
#include "core/module_lock.h"
#include "net/control_protocol.h"
#include "port/port_extension.h"

namespace {

ModuleExtension* ModuleOf(const PortExtension* Port)
{
    return Port->ModuleDevice == nullptr ? nullptr : ModuleExtensionOf(Port->ModuleDevice);
}

bool BuildFrame(ConnectionRecord* Control, const PortExtension* Port, LineFrame Frame)
{
    switch (Frame) {
    case LineFrame::BaudRate:
        return BuildBaudFrame(Control, Port->ChannelIndex, Port->BaudRate);
    case LineFrame::Framing:
        return BuildFramingFrame(Control, Port->ChannelIndex, Port->LineControl);
    case LineFrame::RtsOn:
        return BuildRtsFrame(Control, Port->ChannelIndex, true);
    case LineFrame::RtsOff:
        return BuildRtsFrame(Control, Port->ChannelIndex, false);
    }
    return false;
}

}  // namespace

bool SendsLineSettings(const PortExtension* Port)
{
    const ModuleExtension* module = ModuleOf(Port);
    return module != nullptr && module->SerialParaFlag[Port->ChannelIndex] == 0;
}

NTSTATUS SendPortFrame(PortExtension* Port, LineFrame Frame)
{
    ModuleExtension* module = ModuleOf(Port);
    if (module == nullptr) {
        return STATUS_SUCCESS;
    }
    AcquireModuleLock(module);
    KIRQL irql;
    KeAcquireSpinLock(&Port->PortLock, &irql);
    const bool built = BuildFrame(&module->ControlConnection, Port, Frame);
    KeReleaseSpinLock(&Port->PortLock, irql);
    // PortLock is never held across the send: it waits.
    const NTSTATUS status = built ? SendControlFrame(module) : STATUS_SUCCESS;
    ReleaseModuleLock(module);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}
