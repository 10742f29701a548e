// The driver's whole module table, read record by record.
#pragma once

#include "control_session.h"

#include <vector>

namespace vcomctl {

// In table order; throws CommandError when the driver refuses a read.
std::vector<ModuleRecord> ReadModuleTable(ControlSession& Session);

}  // namespace vcomctl
