// The commands that act on the whole table: start, stop, clear, reload,
// remove, edit, import. The driver starts and stops all modules at once and
// tells only the last one's outcome, so each module is judged by its
// devices before and after (see survey.h). The table changes only by
// appending or clearing: remove, edit and import --replace stop the table,
// clear it, add the modules back, start it again when it ran, and save it
// when the saved configuration was the table; a step that fails puts the
// old table back.
#pragma once

#include "commands.h"

#include <zelvcom/module_record.h>

#include <cstddef>
#include <string>
#include <vector>

namespace vcomctl {

// "module 1 ('bench')"
std::string Describe(std::size_t index, const ModuleRecord& record);
// add's checks of a module against the table it would join; each throws
// Failure naming what is in the way.
void CheckAddable(const std::vector<ModuleRecord>& table, const ModuleRecord& added);

void RunStart(const Arguments& Args, std::ostream& Out);
void RunStop(const Arguments& Args, std::ostream& Out);
void RunClear(const Arguments& Args, std::ostream& Out);
void RunReload(const Arguments& Args, std::ostream& Out);
void RunRemove(const Arguments& Args, std::ostream& Out);
void RunEdit(const Arguments& Args, std::ostream& Out);
void RunImport(const Arguments& Args, std::ostream& Out);

}  // namespace vcomctl
