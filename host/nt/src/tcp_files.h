// What each file object opened on \Device\Tcp is: an address object, a
// connection endpoint or a control channel (FsContext2 says the same, as
// TDI transports keep it).
#pragma once

#include "tcp_address.h"
#include "tcp_endpoint.h"

#include <wdm.h>

#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace host {

struct TransportFile {
    ULONG Kind = TDI_CONTROL_CHANNEL_FILE;
    std::shared_ptr<TcpAddress> Address;
    std::shared_ptr<TcpEndpoint> Endpoint;
};

class TransportFiles {
public:
    void Add(PFILE_OBJECT file, TransportFile object);
    std::optional<TransportFile> Find(PFILE_OBJECT file) const;
    std::optional<TransportFile> Remove(PFILE_OBJECT file);

private:
    mutable std::mutex mutex_;
    std::unordered_map<PFILE_OBJECT, TransportFile> files_;
};

}  // namespace host
