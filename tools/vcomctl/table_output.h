// `vcomctl list`: the module table for people, one row per channel.
#pragma once

#include <zelvcom/module_record.h>

#include <filesystem>
#include <ostream>
#include <vector>

namespace vcomctl {

// PtyDir: where the daemon links each port (a port without a link shows "-").
void WriteModuleTable(const std::vector<ModuleRecord>& Modules, const std::filesystem::path& PtyDir,
                      std::ostream& Out);

}  // namespace vcomctl
