#include "ob_file_object.h"

#include "rtl_unicode.h"

namespace host {

KernelFile::KernelFile(PDEVICE_OBJECT device, const std::string& openedName,
                       const std::string& remainder)
    : openedName_(openedName), fileName_(rtl::Utf8ToUtf16(remainder).value_or(std::u16string()))
{
    object_.Type = IO_TYPE_FILE;
    object_.Size = sizeof(FILE_OBJECT);
    object_.DeviceObject = device;
    object_.FileName.Buffer = fileName_.empty() ? nullptr : reinterpret_cast<PWSTR>(fileName_.data());
    object_.FileName.Length = static_cast<USHORT>(fileName_.size() * sizeof(WCHAR));
    object_.FileName.MaximumLength = object_.FileName.Length;
    KeInitializeEvent(&object_.Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&object_.Event, NotificationEvent, FALSE);
    InitializeListHead(&object_.IrpList);
}

}  // namespace host
