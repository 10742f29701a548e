// Whole-buffer reads and writes on descriptors.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zelmodsim {

// Writes all of data, waiting for room on a non-blocking descriptor.
// False when the descriptor fails (e.g. a reader that went away).
bool WriteAll(int fd, std::string_view data);

// The contents of a file of at most maxBytes; throws naming the path.
std::string ReadWholeFile(const std::string& path, std::size_t maxBytes);

}  // namespace zelmodsim
