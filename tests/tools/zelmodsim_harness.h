// zelmodsim run for one test with the given command line.
#pragma once

#include "support/module_simulator.h"

#include <string>
#include <vector>

namespace zel::test {

class ModuleSim : public ModuleSimulator {
public:
    explicit ModuleSim(const std::vector<std::string>& args) : ModuleSimulator(CommandLine{}, args)
    {
    }

    bool SawLine(const std::string& line) { return Saw(line); }
};

}  // namespace zel::test
