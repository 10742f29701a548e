// zelmodsim run for one test: started with the given arguments, its READY
// line read for the ports, commands sent on its stdin.
#pragma once

#include "support/deadline.h"
#include "support/process.h"

#include <cstdint>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zel::test {

class ModuleSim {
public:
    explicit ModuleSim(const std::vector<std::string>& args) : process_(ZELMODSIM_PATH, args)
    {
        const auto ready = process_.Stdout().WaitForPrefix("READY ");
        if (!ready) {
            throw std::runtime_error("zelmodsim did not get ready: " + process_.Stderr().Text());
        }
        ParseReady(*ready);
    }

    std::uint16_t ControlPort() const { return control_; }
    // number is 1-based, as in the commands.
    std::uint16_t ChannelPort(int number) const { return channels_.at(static_cast<std::size_t>(number - 1)); }

    // Sends a command line and returns its result line ("ok ..." or "error: ...").
    std::string Command(std::string_view line)
    {
        if (!process_.WriteLine(line)) {
            return "(stdin closed)";
        }
        const auto result = process_.Stdout().WaitFor(
            [](const std::string& text) { return text.rfind("ok", 0) == 0 || text.rfind("error: ", 0) == 0; });
        return result.value_or("(no result)");
    }

    // Waits for an output line that begins with prefix.
    bool Saw(std::string_view prefix) { return process_.Stdout().WaitForPrefix(prefix).has_value(); }
    // Waits for an output line that is exactly line.
    bool SawLine(const std::string& line)
    {
        return process_.Stdout().WaitFor([&line](const std::string& text) { return text == line; }).has_value();
    }

    ChildProcess& Process() { return process_; }

private:
    // READY control=P channels=P1,P2,...
    void ParseReady(const std::string& line)
    {
        std::istringstream words(line);
        std::string word;
        while (words >> word) {
            if (word.rfind("control=", 0) == 0) {
                control_ = static_cast<std::uint16_t>(std::stoul(word.substr(word.find('=') + 1)));
            } else if (word.rfind("channels=", 0) == 0) {
                std::istringstream ports(word.substr(word.find('=') + 1));
                for (std::string port; std::getline(ports, port, ',');) {
                    channels_.push_back(static_cast<std::uint16_t>(std::stoul(port)));
                }
            }
        }
    }

    ChildProcess process_;
    std::uint16_t control_ = 0;
    std::vector<std::uint16_t> channels_;
};

}  // namespace zel::test
