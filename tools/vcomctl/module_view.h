// Reading a module record the driver returned, which need not have been
// written by this tool: the name may lack its NUL, the count may exceed 8.
#pragma once

#include <zelvcom/module_record.h>

#include <cstdint>
#include <string>

namespace vcomctl {

// The name up to its NUL, never past the field's 20 bytes.
std::string ModuleName(const ModuleRecord& Record);
// SerialCount limited to the channels the record can hold.
std::uint32_t ChannelCount(const ModuleRecord& Record);
bool LineSettingsWithheld(const ModuleRecord& Record, std::uint32_t Channel);

}  // namespace vcomctl
