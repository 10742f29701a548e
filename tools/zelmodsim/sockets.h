// Socket set-up for the listening side.
#pragma once

#include <host/common/unique_fd.h>

#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace zelmodsim {

// A non-blocking TCP socket bound to address:port (0 = any free port), not yet
// listening. Throws naming the address on failure.
zel::UniqueFd BindTcp(const in_addr& address, std::uint16_t port);

void StartListening(int fd, int backlog);

std::uint16_t LocalPort(int fd);

// The next pending connection, non-blocking; invalid when there is none.
zel::UniqueFd AcceptPending(int listener);

// Sends small writes at once; frames and reports are a few bytes each.
void SetNoDelay(int fd);

// Makes close() reset the connection (RST) instead of closing it.
void SetResetOnClose(int fd);

}  // namespace zelmodsim
