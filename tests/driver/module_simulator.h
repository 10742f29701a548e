// The driver's tests (and those built on them) know zelmodsim by this name.
#pragma once

#include "support/module_simulator.h"

namespace zeltest {
using zel::test::ModuleSimulator;
}  // namespace zeltest
