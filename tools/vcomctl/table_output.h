// `vcomctl list`: the module table for people, one row per channel.
#pragma once

#include <zelvcom/module_record.h>

#include <ostream>
#include <vector>

namespace vcomctl {

void WriteModuleTable(const std::vector<ModuleRecord>& Modules, std::ostream& Out);

}  // namespace vcomctl
