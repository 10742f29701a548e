// Walks a command line option by option. A missing option value throws
// Error (the tool's own usage error) naming the option.
#pragma once

#include <string>
#include <string_view>

namespace zeltools {

template <typename Error>
class ArgumentReader {
public:
    ArgumentReader(int argc, const char* const* argv) : argc_(argc), argv_(argv) {}
    bool Done() const { return next_ >= argc_; }
    std::string_view Next() { return argv_[next_++]; }
    std::string_view ValueOf(std::string_view option)
    {
        if (Done()) {
            throw Error(std::string(option) + " needs a value");
        }
        return Next();
    }

private:
    int argc_;
    const char* const* argv_;
    int next_ = 1;  // argv[0] is the program
};

}  // namespace zeltools
