// The commands of vcomctl: their names, help texts and what runs them.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace vcomctl {

using Arguments = std::vector<std::string>;
// Writes its results to Out; throws CommandError when it cannot succeed.
using CommandRunner = void (*)(const Arguments& Args, std::ostream& Out);

struct Command {
    std::string_view Name;
    std::string_view Synopsis;  // the command line, after "vcomctl "
    std::string_view Summary;   // one line for the command list
    std::string_view Details;   // the rest of its help
    CommandRunner Run;
};

const std::vector<Command>& AllCommands();
// Null when there is no such command.
const Command* FindCommand(std::string_view Name);

// Throws UsageError unless Args is empty.
void ExpectNoArguments(const Arguments& Args);

void RunAdd(const Arguments& Args, std::ostream& Out);
void RunList(const Arguments& Args, std::ostream& Out);
void RunStatus(const Arguments& Args, std::ostream& Out);
void RunStart(const Arguments& Args, std::ostream& Out);
void RunStop(const Arguments& Args, std::ostream& Out);
void RunSave(const Arguments& Args, std::ostream& Out);
void RunReload(const Arguments& Args, std::ostream& Out);
void RunClear(const Arguments& Args, std::ostream& Out);
void RunDeleteSaved(const Arguments& Args, std::ostream& Out);

}  // namespace vcomctl
