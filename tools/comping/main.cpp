// comping: round trips through one ZelVCOM port, to show that it works and
// how long the way through the driver and the module takes. See --help.
#include "com_port.h"
#include "failure.h"
#include "options.h"
#include "report.h"
#include "round_trip.h"

#include <exception>
#include <iostream>
#include <optional>

namespace {

using comping::ExitCode;
using comping::Failure;
using comping::ToStatus;

// A round trip that fails, by its result or by a call, ends the run.
std::optional<Failure> RunOne(comping::ComPort& port, const comping::Options& options, unsigned sequence,
                              comping::Summary& summary)
{
    summary.Attempted();
    try {
        const comping::RoundTrip trip =
            comping::Ping(port, options.Message, std::chrono::milliseconds(options.TimeoutMs));
        if (trip.Result != comping::Outcome::Matched) {
            return Failure(ExitCode::Failed, comping::TripFailure(port.Name(), sequence, trip, options));
        }
        summary.Matched(trip.Elapsed);
        std::cout << comping::TripLine(port.Name(), sequence, trip) << std::endl;
    } catch (const Failure& failure) {
        return failure;
    }
    return std::nullopt;
}

int Run(const comping::Options& options)
{
    comping::ComPort port(options.ComNumber);
    port.SetLine(options.BaudRate);
    port.DiscardReceived();
    std::cout << comping::HeaderLine(port.Name(), options) << std::endl;

    comping::Summary summary(port.Name(), options.Count);
    std::optional<Failure> failure;
    for (unsigned sequence = 1; sequence <= options.Count && !failure; ++sequence) {
        failure = RunOne(port, options, sequence, summary);
    }
    std::cout << summary.Line() << std::endl;
    if (failure) {
        throw *failure;
    }
    return ToStatus(ExitCode::Ok);
}

}  // namespace

int main(int argc, char** argv)
{
    comping::Options options;
    try {
        options = comping::ParseOptions(argc, argv);
    } catch (const comping::UsageError& error) {
        std::cerr << "comping: " << error.what() << "\n\n" << comping::HelpText();
        return ToStatus(ExitCode::Usage);
    }
    if (options.Help) {
        std::cout << comping::HelpText();
        return ToStatus(ExitCode::Ok);
    }
    try {
        return Run(options);
    } catch (const Failure& failure) {
        std::cerr << "comping: " << failure.what() << "\n";
        return ToStatus(failure.Code());
    } catch (const std::exception& error) {
        std::cerr << "comping: " << error.what() << "\n";
        return ToStatus(ExitCode::Failed);
    }
}
