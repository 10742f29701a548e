// A program's end of a COM port: the link opened as a serial program opens
// it. Non-blocking underneath, so that every wait has a deadline.
#pragma once

#include "support/deadline.h"
#include "support/loopback.h"
#include <host/common/unique_fd.h>

#include <termios.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace zeltest {

class Terminal {
public:
    // Opens path (following the link). Throws std::system_error when the
    // open fails.
    explicit Terminal(const std::filesystem::path& path);

    int Fd() const { return fd_.Get(); }

    // Raw 8N1 at speed, as a serial program sets up its port. Throws
    // std::system_error on failure.
    void MakeRaw(speed_t speed = B115200);

    // Writes all of bytes; 0 when they went, else the errno of the failed
    // write (ETIMEDOUT when the deadline passed first).
    int Write(std::string_view bytes, const zel::test::Deadline& deadline = zel::test::Deadline());

    // Reads until count bytes have come, the port hangs up or the deadline
    // passes.
    zel::test::Received Read(std::size_t count,
                             const zel::test::Deadline& deadline = zel::test::Deadline());

    // True once bytes wait to be read (or the port hung up).
    bool Readable(const zel::test::Deadline& deadline = zel::test::Deadline()) const;

    // True once a read shows the hangup a program sees when the daemon
    // drops the port: end of file, or EIO.
    bool HungUp(const zel::test::Deadline& deadline = zel::test::Deadline());

    void Close() { fd_.Reset(); }

private:
    zel::UniqueFd fd_;
};

}  // namespace zeltest
