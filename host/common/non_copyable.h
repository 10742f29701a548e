// Base of the classes that own something (a descriptor, a table, a thread)
// that a copy would share or release twice.
#pragma once

namespace zel {

class NonCopyable {
public:
    NonCopyable(const NonCopyable&) = delete;
    NonCopyable& operator=(const NonCopyable&) = delete;

protected:
    NonCopyable() = default;
    ~NonCopyable() = default;
};

}  // namespace zel
