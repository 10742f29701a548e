// Reading a command line: option by option, strict decimal numbers (the
// one parser of host/common), port names.
#pragma once

#include <host/common/numbers.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zeltools {

// Decimal digits only within [least, most]; nothing otherwise.
inline std::optional<std::uint32_t> ParseDecimal(std::string_view text, std::uint32_t least,
                                                 std::uint32_t most)
{
    const std::optional<std::uint64_t> value = zel::ReadDecimal(text, least, most);
    return value ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(*value)) : std::nullopt;
}

// Port names: "COM" in any case, as Windows takes device names.
constexpr std::string_view kComPrefix = "COM";

inline bool StartsWithComPrefix(std::string_view text)
{
    if (text.size() < kComPrefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < kComPrefix.size(); ++i) {
        const char upper =
            text[i] >= 'a' && text[i] <= 'z' ? static_cast<char>(text[i] - 'a' + 'A') : text[i];
        if (upper != kComPrefix[i]) {
            return false;
        }
    }
    return true;
}

// Walks a command line option by option. A missing option value throws
// Error (the tool's own usage error) naming the option.
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
