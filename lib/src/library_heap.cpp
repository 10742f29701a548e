// The process heap on Windows, as a Windows DLL is expected to use; the C
// heap elsewhere, where the kernel32 subset offers no heap.
#include "library_heap.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <cstdlib>
#endif

namespace vzelserial {

#if defined(_WIN32)

void* HeapAllocate(std::size_t Size)
{
    return HeapAlloc(GetProcessHeap(), 0, Size);
}

void HeapRelease(void* Block)
{
    HeapFree(GetProcessHeap(), 0, Block);
}

#else

void* HeapAllocate(std::size_t Size)
{
    return std::malloc(Size);
}

void HeapRelease(void* Block)
{
    std::free(Block);
}

#endif

}  // namespace vzelserial
