// The commands of vcomctl: their names, help texts and what runs them.
#pragma once

#include <common/exit_status.h>

#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace vcomctl {

using zeltools::ExitCode;
using zeltools::Failure;
using zeltools::ToStatus;
using zeltools::UsageError;

using Arguments = std::vector<std::string>;
// Writes its results to Out; throws Failure when it cannot succeed.
using CommandRunner = std::function<void(const Arguments& Args, std::ostream& Out)>;

struct Command {
    std::string_view Name;
    std::string_view Synopsis;  // the command line, after "vcomctl "
    std::string_view Summary;   // one line for the command list
    std::string_view Details;   // the rest of its help
    CommandRunner Run;
};

const std::vector<Command>& AllCommands();
// Throws UsageError unless Args is empty.
void ExpectNoArguments(const Arguments& Args);
// Null when there is no such command.
const Command* FindCommand(std::string_view Name);

}  // namespace vcomctl
