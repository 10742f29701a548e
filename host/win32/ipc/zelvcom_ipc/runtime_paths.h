// Where zelvcomd keeps its state and where clients find its socket.
#pragma once

#include <filesystem>

namespace zelipc {

constexpr const char kSocketFileName[] = "zelvcomd.sock";
// Beside the socket while zelvcomd serves RFC 2217 clients: one line,
// "ADDRESS BASE"; port COM<n> listens on TCP port BASE + n.
constexpr const char kRfc2217FileName[] = "zelvcomd.rfc2217";
// Environment variables a client consults, in this order.
constexpr const char kSocketEnvironment[] = "ZELVCOM_SOCKET";
constexpr const char kStateEnvironment[] = "ZELVCOM_STATE";

// /var/lib/zelvcom for root; otherwise $XDG_STATE_HOME/zelvcom, or
// ~/.local/state/zelvcom.
std::filesystem::path DefaultStateDirectory();

// The socket a client connects to: $ZELVCOM_SOCKET, else
// $ZELVCOM_STATE/zelvcomd.sock, else <default state directory>/zelvcomd.sock.
std::filesystem::path ClientSocketPath();

}  // namespace zelipc
