// zelmodsim as the far end of a test's connections (ZELMODSIM_PATH, defined by
// the test target): its READY line read for its ports, commands written to
// its stdin, its event lines waited for.
#pragma once

#include "support/deadline.h"
#include "support/process.h"

#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zel::test {

class ModuleSimulator {
public:
    // Marks a constructor argument as zelmodsim's whole command line.
    struct CommandLine {};

    // A module on 127.0.0.1 with one channel per setup as --channel takes
    // it without the port ("echo", "sink", "source=FILE", ...); every port
    // is chosen by the system.
    explicit ModuleSimulator(const std::vector<std::string>& channelModes)
        : ModuleSimulator(CommandLine{}, LoopbackChannels(channelModes))
    {
    }

    ModuleSimulator(CommandLine, const std::vector<std::string>& args)
        : process_(ZELMODSIM_PATH, args)
    {
        const auto ready = process_.Stdout().WaitForPrefix("READY ");
        if (!ready) {
            throw std::runtime_error("zelmodsim did not get ready: " + process_.Stderr().Text());
        }
        ParseReady(*ready);
    }

    std::uint16_t ControlPort() const { return control_; }
    // number counts from 1, as in zelmodsim's commands.
    std::uint16_t ChannelPort(int number) const
    {
        return channels_.at(static_cast<std::size_t>(number - 1));
    }

    // Sends a command and returns its result line ("ok ..." or "error: ...").
    std::string Command(std::string_view line)
    {
        if (!process_.WriteLine(line)) {
            return "(stdin closed)";
        }
        const auto result = process_.Stdout().WaitFor([](const std::string& text) {
            return text.rfind("ok", 0) == 0 || text.rfind("error: ", 0) == 0;
        });
        return result.value_or("(no result)");
    }

    // Waits for the next output line (not yet waited for) that begins with prefix.
    bool SawPrefix(std::string_view prefix, const Deadline& deadline = Deadline())
    {
        return process_.Stdout().WaitForPrefix(prefix, deadline).has_value();
    }

    // Waits for the next output line (not yet waited for) that is exactly line.
    bool Saw(const std::string& line, const Deadline& deadline = Deadline())
    {
        return SawMatching([&line](const std::string& text) { return text == line; }, deadline);
    }

    // Waits for the next output line (not yet waited for) that match accepts.
    bool SawMatching(const LineCollector::Match& match, const Deadline& deadline = Deadline())
    {
        return process_.Stdout().WaitFor(match, deadline).has_value();
    }

    // Everything printed so far, for failure messages.
    std::string Output() { return process_.Stdout().Text(); }

    // How many output lines so far are exactly line; waits for nothing.
    int CountPrinted(const std::string& line)
    {
        std::istringstream lines(process_.Stdout().Text());
        int count = 0;
        for (std::string text; std::getline(lines, text);) {
            count += text == line ? 1 : 0;
        }
        return count;
    }

    ChildProcess& Process() { return process_; }

private:
    static std::vector<std::string> LoopbackChannels(const std::vector<std::string>& channelModes)
    {
        std::vector<std::string> args{"--address", "127.0.0.1", "--control", "0"};
        for (const std::string& mode : channelModes) {
            args.push_back("--channel");
            args.push_back("0:" + mode);
        }
        return args;
    }

    // READY control=P channels=P1,P2,...
    void ParseReady(const std::string& line)
    {
        std::istringstream words(line);
        for (std::string word; words >> word;) {
            const bool control = word.rfind("control=", 0) == 0;
            std::istringstream ports(word.substr(word.find('=') + 1));
            for (std::string port;
                 (control || word.rfind("channels=", 0) == 0) && std::getline(ports, port, ',');) {
                const auto number = static_cast<std::uint16_t>(std::stoul(port));
                control ? void(control_ = number) : channels_.push_back(number);
            }
        }
    }

    ChildProcess process_;
    std::uint16_t control_ = 0;
    std::vector<std::uint16_t> channels_;
};

}  // namespace zel::test
