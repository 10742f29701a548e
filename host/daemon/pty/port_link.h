// The names programs open: <pty dir>/COM<n>, a symbolic link to the
// port's pseudo-terminal slave.
#pragma once

#include <filesystem>
#include <string>

namespace zelvcomd {

// Points link at target, replacing any earlier link in one step so a
// program never finds the name missing. Throws on failure.
void PublishLink(const std::filesystem::path& link, const std::string& target);

// Removes the link; a link already gone is not an error.
void RemoveLink(const std::filesystem::path& link);

}  // namespace zelvcomd
