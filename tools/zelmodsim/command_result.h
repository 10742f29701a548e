// The one-line outcome of a command: "ok", "ok DETAIL" or "error: REASON".
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace zelmodsim {

struct CommandResult {
    bool Ok = true;
    std::string Detail;

    static CommandResult Success(std::string detail = {}) { return {true, std::move(detail)}; }
    static CommandResult Failure(std::string reason) { return {false, std::move(reason)}; }

    std::string Text() const
    {
        if (!Ok) {
            return "error: " + Detail;
        }
        return Detail.empty() ? std::string("ok") : "ok " + Detail;
    }
};

// Runs one command line.
using CommandExecutor = std::function<CommandResult(std::string_view line)>;

// The longest command line taken; longer ones are refused.
constexpr std::size_t kMaxCommandLine = 64 * 1024;

}  // namespace zelmodsim
