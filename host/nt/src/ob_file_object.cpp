#include "ob_file_object.h"

#include "rtl_unicode.h"

namespace host {

void InitializeFileObject(FILE_OBJECT& object, PDEVICE_OBJECT device, std::u16string& fileName)
{
    object.Type = IO_TYPE_FILE;
    object.Size = sizeof(FILE_OBJECT);
    object.DeviceObject = device;
    object.FileName.Buffer = fileName.empty() ? nullptr : reinterpret_cast<PWSTR>(fileName.data());
    object.FileName.Length = static_cast<USHORT>(fileName.size() * sizeof(WCHAR));
    object.FileName.MaximumLength = object.FileName.Length;
    KeInitializeEvent(&object.Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&object.Event, NotificationEvent, FALSE);
    InitializeListHead(&object.IrpList);
}

KernelFile::KernelFile(PDEVICE_OBJECT device, const std::string& openedName,
                       const std::string& remainder)
    : openedName_(openedName), fileName_(rtl::Utf8ToUtf16(remainder).value_or(std::u16string()))
{
    InitializeFileObject(object_, device, fileName_);
}

}  // namespace host
