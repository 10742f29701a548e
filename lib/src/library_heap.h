// The library's own heap: records and list nodes come from here.
#pragma once

#include <cstddef>

namespace vzelserial {

// Null when there is no memory.
void* HeapAllocate(std::size_t Size);
void HeapRelease(void* Block);

}  // namespace vzelserial
