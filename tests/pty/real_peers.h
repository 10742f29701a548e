// Real programs as the far end of a port: socat joining two pseudo-
// terminals, and ser2net serving one of them over TCP, as a module's channel
// would be served by a serial device server.
#pragma once

#include "support/process.h"

#include <cstdint>
#include <filesystem>
#include <string>

namespace zeltest {

// What a test needs of these that is not installed here (a sentence for
// the test's skip), or "" when everything is.
std::string MissingSocatOrSer2net();
std::string MissingPyserial();

// Two pseudo-terminals, raw and without echo, whose slaves are linked at
// first and second: what a program writes on one, a program reading the
// other gets. Stopped with SIGTERM when it goes.
class SocatPtyPair {
public:
    // Throws std::runtime_error when socat does not get ready.
    SocatPtyPair(const std::filesystem::path& first, const std::filesystem::path& second);
    ~SocatPtyPair();
    SocatPtyPair(const SocatPtyPair&) = delete;
    SocatPtyPair& operator=(const SocatPtyPair&) = delete;

private:
    zel::test::ChildProcess process_;
};

// ser2net in the foreground, serving device raw on a TCP port of
// 127.0.0.1; its configuration and pid file go in directory. Stopped with
// SIGTERM when it goes.
class Ser2net {
public:
    // Throws std::runtime_error when ser2net does not take connections.
    Ser2net(const std::filesystem::path& directory, const std::filesystem::path& device);
    ~Ser2net();
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    std::uint16_t Port() const { return port_; }

private:
    std::uint16_t port_;
    zel::test::ChildProcess process_;
};

}  // namespace zeltest
