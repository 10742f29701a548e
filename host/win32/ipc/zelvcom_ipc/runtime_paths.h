// Where zelvcomd keeps its state and its socket, and how clients find it.
#pragma once

#include <host/common/unique_fd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace zelipc {

constexpr const char kSocketFileName[] = "zelvcomd.sock";
// Beside the socket while zelvcomd serves RFC 2217 clients: one line,
// "ADDRESS BASE"; port COM<n> listens on TCP port BASE + n.
constexpr const char kRfc2217FileName[] = "zelvcomd.rfc2217";
// Where zelvcomd links the ports to their pseudo-terminals, in its state
// directory unless told otherwise.
constexpr const char kPtyDirectoryName[] = "dev";
// Environment variables a client consults, in this order.
constexpr const char kSocketEnvironment[] = "ZELVCOM_SOCKET";
constexpr const char kStateEnvironment[] = "ZELVCOM_STATE";
// The service's state and its socket, which every user's tools try; the
// socket's group, whose members may use it.
constexpr const char kSystemStateDirectory[] = "/var/lib/zelvcom";
constexpr const char kSystemSocket[] = "/run/zelvcom/zelvcomd.sock";
constexpr const char kSocketGroup[] = "zelvcom";

// /var/lib/zelvcom for root; otherwise $XDG_STATE_HOME/zelvcom, or
// ~/.local/state/zelvcom.
std::filesystem::path DefaultStateDirectory();

// The socket of a daemon on this state directory, unless told otherwise:
// the system socket for the system state directory, else one inside it.
std::filesystem::path SocketFor(const std::filesystem::path& stateDirectory);

// Where the daemon on this socket links its ports, unless told otherwise:
// the "dev" beside the socket, or in the system state directory for the
// system socket.
std::filesystem::path PtyDirectoryFor(const std::filesystem::path& socketPath);

struct SocketCandidate {
    std::filesystem::path Path;
    // Why it is tried, as the messages name it.
    std::string Origin;
};

// The sockets a client tries, in order. A socket named by $ZELVCOM_SOCKET
// (else $ZELVCOM_STATE) is the only one: a client told where its daemon is
// never falls through to another. Otherwise the system socket, then the
// user's own.
std::vector<SocketCandidate> ClientSocketCandidates();

// The first candidate that is a socket this process may write, else the
// first candidate: the daemon a client reaches, for finding the files
// beside its socket.
std::filesystem::path ClientSocketPath();

// A connected socket to the first candidate that accepts, or an invalid
// one; then *whyNot (when given) says what was tried and why each failed.
zel::UniqueFd ConnectClient(std::string* whyNot = nullptr);

}  // namespace zelipc
