#include "config/registry_names.h"

#include "core/device_names.h"

PCWSTR const MODULE_COUNT_VALUE = L"ModuleCount";
PCWSTR const MODULE_IP_VALUE = L"ModuleIP";
PCWSTR const CONTROL_PORT_VALUE = L"ControlPort";
PCWSTR const SERIAL_COUNT_VALUE = L"SerialCount";
PCWSTR const MODULE_NAME_VALUE = L"ModuleName";
PCWSTR const SERIAL_PORT_VALUE_BASE = L"SerialPort";
PCWSTR const SERIAL_NUM_VALUE_BASE = L"SerialNum";
PCWSTR const SERIAL_PARA_FLAG_VALUE_BASE = L"SerialParaFlag";

namespace {

PCWSTR const SERVICE_KEY = L"ZelVCOM";
PCWSTR const MODULE_INFO_SUBKEY = L"\\ModuleInfo";
PCWSTR const MODULE_SUBKEY_BASE = L"\\ModuleSvr";

// Service key + Suffix; Empty when it cannot be built.
void AppendToServiceKey(CountedString* Path, const CountedString& Suffix)
{
    Path->InitFromLiteral(SERVICE_KEY);
    if (Suffix.IsEmpty()) {
        Path->Release();
        return;
    }
    Path->Append(Suffix);
}

}  // namespace

void FormModuleInfoPath(CountedString* Path)
{
    CountedString suffix;
    suffix.InitFromLiteral(MODULE_INFO_SUBKEY);
    AppendToServiceKey(Path, suffix);
    suffix.Release();
}

void FormModuleKeyPath(CountedString* Path, ULONG ModuleIndex)
{
    CountedString suffix;
    FormNumberedName(&suffix, MODULE_SUBKEY_BASE, ModuleIndex);
    AppendToServiceKey(Path, suffix);
    suffix.Release();
}

void FormChannelValueName(CountedString* Name, PCWSTR BaseName, ULONG Channel)
{
    FormNumberedName(Name, BaseName, Channel);
}
