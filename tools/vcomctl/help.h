// The help texts: the whole tool and one command.
#pragma once

#include "commands.h"

#include <ostream>

namespace vcomctl {

void WriteUsage(std::ostream& Out);
void WriteCommandHelp(const Command& Which, std::ostream& Out);

}  // namespace vcomctl
