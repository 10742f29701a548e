// The one process-wide object of zelwin32: what Win32 keeps per process
// (the handle table, the connection to the driver's host, the OVERLAPPED
// structures in flight).
#pragma once

#include "handle_table.h"
#include "overlapped_registry.h"
#include "server_connection.h"

#include <memory>
#include <mutex>

namespace zelwin32 {

class Win32Process {
public:
    static Win32Process& Instance();

    // The connection to zelvcomd, made on first use and made again once the
    // daemon has gone (handles of the old connection stay dead). Nothing
    // when no daemon answers.
    std::shared_ptr<ServerConnection> Connection();

    HandleTable& Handles() { return handles_; }
    OverlappedRegistry& Overlapped() { return overlapped_; }

private:
    Win32Process() = default;

    // Declared first, destroyed last: completions still running while the
    // process exits write through it.
    OverlappedRegistry overlapped_;
    HandleTable handles_;
    std::mutex connectMutex_;
    std::shared_ptr<ServerConnection> connection_;
};

}  // namespace zelwin32
