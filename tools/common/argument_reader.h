// Reading a command line: option by option, strict decimal numbers, port names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zeltools {

// Decimal digits only (no sign, no spaces, no leading zeros), within
// [least, most]; nothing otherwise. A leading zero would read as octal to
// some tools; refuse the ambiguity.
inline std::optional<std::uint32_t> ParseDecimal(std::string_view text, std::uint32_t least, std::uint32_t most)
{
    constexpr std::uint64_t kBase = 10;
    const bool leadingZero = text.size() > 1 && text.front() == '0';
    if (text.empty() || leadingZero) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * kBase + static_cast<std::uint64_t>(c - '0');
        if (value > most) {
            return std::nullopt;
        }
    }
    if (value < least) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

// Port names: "COM" in any case, as Windows takes device names.
constexpr std::string_view kComPrefix = "COM";

inline bool StartsWithComPrefix(std::string_view text)
{
    if (text.size() < kComPrefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < kComPrefix.size(); ++i) {
        const char upper = text[i] >= 'a' && text[i] <= 'z' ? static_cast<char>(text[i] - 'a' + 'A') : text[i];
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
