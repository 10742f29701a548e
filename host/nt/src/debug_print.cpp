// DbgPrint: to the host's log, and kept for Kernel::DebugOutput().
#include "kernel_impl.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

extern "C" ULONG DbgPrint(PCSTR Format, ...)
{
    va_list arguments;
    va_start(arguments, Format);
    va_list measuring;
    va_copy(measuring, arguments);
    const int length = std::vsnprintf(nullptr, 0, Format, measuring);
    va_end(measuring);
    std::vector<char> text(length > 0 ? static_cast<std::size_t>(length) + 1 : 1, '\0');
    if (length > 0) {
        std::vsnprintf(text.data(), text.size(), Format, arguments);
    }
    va_end(arguments);
    host::Internals().RecordDebugOutput(text.data());
    return STATUS_SUCCESS;
}
