#include "module_view.h"

#include <algorithm>
#include <cstring>

namespace vcomctl {

std::string ModuleName(const ModuleRecord& Record)
{
    const char* const begin = Record.ModuleName;
    const char* const end = std::find(begin, begin + MODULE_NAME_SIZE, '\0');
    return std::string(begin, end);
}

std::uint32_t ChannelCount(const ModuleRecord& Record)
{
    return std::min<std::uint32_t>(Record.SerialCount, MODULE_CHANNEL_COUNT);
}

bool LineSettingsWithheld(const ModuleRecord& Record, std::uint32_t Channel)
{
    return Record.SerialParaFlag[Channel] != 0;
}

}  // namespace vcomctl
