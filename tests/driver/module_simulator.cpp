#include "module_simulator.h"

#include <sstream>
#include <stdexcept>

namespace zeltest {
namespace {

std::vector<std::string> ArgumentsFor(const std::vector<std::string>& channelModes)
{
    std::vector<std::string> args{"--address", "127.0.0.1", "--control", "0"};
    for (const std::string& mode : channelModes) {
        args.push_back("--channel");
        args.push_back("0:" + mode);
    }
    return args;
}

std::uint16_t PortNumber(const std::string& text)
{
    return static_cast<std::uint16_t>(std::stoul(text));
}

}  // namespace

ModuleSimulator::ModuleSimulator(const std::vector<std::string>& channelModes)
    : process_(ZELMODSIM_PATH, ArgumentsFor(channelModes))
{
    const auto ready = process_.Stdout().WaitForPrefix("READY ");
    if (!ready) {
        throw std::runtime_error("zelmodsim did not get ready: " + process_.Stderr().Text());
    }
    // READY control=P channels=P1,P2,...
    std::istringstream words(*ready);
    for (std::string word; words >> word;) {
        const std::string value = word.substr(word.find('=') + 1);
        if (word.rfind("control=", 0) == 0) {
            control_ = PortNumber(value);
        } else if (word.rfind("channels=", 0) == 0) {
            std::istringstream ports(value);
            for (std::string port; std::getline(ports, port, ',');) {
                channels_.push_back(PortNumber(port));
            }
        }
    }
}

std::uint16_t ModuleSimulator::ChannelPort(int number) const
{
    return channels_.at(static_cast<std::size_t>(number - 1));
}

std::string ModuleSimulator::Command(const std::string& line)
{
    if (!process_.WriteLine(line)) {
        return "(stdin closed)";
    }
    const auto result = process_.Stdout().WaitFor([](const std::string& text) {
        return text.rfind("ok", 0) == 0 || text.rfind("error: ", 0) == 0;
    });
    return result.value_or("(no result)");
}

bool ModuleSimulator::SawPrefix(const std::string& prefix, const zel::test::Deadline& deadline)
{
    return process_.Stdout().WaitForPrefix(prefix, deadline).has_value();
}

bool ModuleSimulator::Saw(const std::string& line, const zel::test::Deadline& deadline)
{
    return process_.Stdout()
        .WaitFor([&line](const std::string& text) { return text == line; }, deadline)
        .has_value();
}

bool ModuleSimulator::SawMatching(const zel::test::LineCollector::Match& match, const zel::test::Deadline& deadline)
{
    return process_.Stdout().WaitFor(match, deadline).has_value();
}

int ModuleSimulator::CountPrinted(const std::string& line)
{
    std::istringstream lines(process_.Stdout().Text());
    int count = 0;
    for (std::string text; std::getline(lines, text);) {
        count += text == line ? 1 : 0;
    }
    return count;
}

}  // namespace zeltest
