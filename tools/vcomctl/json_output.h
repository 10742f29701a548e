// `vcomctl list --json`: the module table for scripts.
//   {"modules": [{"index", "name", "address", "control_port",
//                 "channels": [{"tcp_port", "com", "withhold"}]}]}
// "com" is the n of COM<n>, 0 when the channel has no port.
#pragma once

#include <zelvcom/module_record.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace vcomctl {

void WriteModulesJson(const std::vector<ModuleRecord>& Modules, const std::filesystem::path& PtyDir,
                      std::ostream& Out);
// A JSON string literal. Bytes above 0x7F (the name's code page) are taken
// as Latin-1, so the output is always valid UTF-8.
std::string JsonString(std::string_view Text);

}  // namespace vcomctl
