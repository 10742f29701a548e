// zelmodsim: a stand-in module for tests and demos. See --help.
#include "options.h"
#include "simulator.h"

#include <host/common/errors.h>

#include <csignal>
#include <cstdio>
#include <exception>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

int Serve(zelmodsim::Options options)
{
    // Peers and readers that go away show up as write errors, not a signal.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        zelmodsim::Simulator simulator(std::move(options));
        simulator.Run();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "zelmodsim: %s\n", error.what());
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv)
{
    zelmodsim::Options options;
    try {
        options = zelmodsim::ParseOptions(argc, argv);
    } catch (const zel::ParseError& error) {
        std::fprintf(stderr, "zelmodsim: %s\nTry 'zelmodsim --help'.\n", error.what());
        return kExitUsage;
    }
    if (options.Help) {
        std::fputs(zelmodsim::HelpText(), stdout);
        return kExitOk;
    }
    return Serve(std::move(options));
}
