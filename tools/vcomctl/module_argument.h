// The arguments of `vcomctl add` checked and turned into a module record.
#pragma once

#include <zelvcom/module_record.h>

#include <string>
#include <vector>

namespace vcomctl {

// ADDRESS CONTROL_PORT NAME CHANNEL...; throws UsageError naming the first
// thing wrong. Entries past the channels are zero.
ModuleRecord ParseModuleArgument(const std::vector<std::string>& Args);

}  // namespace vcomctl
