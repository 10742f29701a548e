// Reading the modules of a file that `vcomctl export` wrote (the document
// of `vcomctl list --json`): each module is checked as add checks its
// arguments; what only describes the running table (index, path, rfc2217)
// is not read.
#pragma once

#include <zelvcom/module_record.h>

#include <istream>
#include <string>
#include <vector>

namespace vcomctl {

// Throws Failure naming the file, the module and what is wrong with it.
std::vector<ModuleRecord> ReadModulesFile(std::istream& In, const std::string& Name);

}  // namespace vcomctl
