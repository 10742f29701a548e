// A client that speaks the wire protocol by hand, to send what zelwin32
// never would: bad versions, oversized lengths, garbage, short payloads.
#pragma once

#include "support/loopback.h"
#include <host/common/unique_fd.h>

#include <zelvcom_ipc/codec.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <string>
#include <vector>

namespace zeltest {

inline zel::UniqueFd ConnectUnix(const std::string& path)
{
    zel::UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return {};
    }
    return fd;
}

inline bool SendBytes(int fd, const std::vector<std::uint8_t>& bytes)
{
    return zel::test::SendAll(fd, std::string(bytes.begin(), bytes.end()));
}

inline std::vector<std::uint8_t> HelloMessage()
{
    return zelipc::EncodeRequest({1, zelipc::HelloRequest{0}});
}

// Reads one reply; nothing when the connection ends first.
inline std::optional<zelipc::Reply> ReceiveReply(int fd)
{
    const auto header = zel::test::ReceiveBytes(fd, zelipc::kHeaderSize);
    if (header.End != zel::test::StreamEnd::Complete)
        return std::nullopt;
    std::string error;
    const auto head =
        zelipc::DecodeHeader(reinterpret_cast<const std::uint8_t*>(header.Data.data()), &error);
    if (!head)
        return std::nullopt;
    const auto payload = zel::test::ReceiveBytes(fd, head->Length);
    if (payload.End != zel::test::StreamEnd::Complete)
        return std::nullopt;
    return zelipc::DecodeReply(
        *head, std::vector<std::uint8_t>(payload.Data.begin(), payload.Data.end()), &error);
}

}  // namespace zeltest
