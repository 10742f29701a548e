#include "tcp_files.h"

namespace host {

void TransportFiles::Add(PFILE_OBJECT file, TransportFile object)
{
    file->FsContext = object.Endpoint != nullptr ? static_cast<PVOID>(object.Endpoint.get())
                                                 : static_cast<PVOID>(object.Address.get());
    file->FsContext2 = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(object.Kind));
    std::lock_guard<std::mutex> lock(mutex_);
    files_[file] = std::move(object);
}

std::optional<TransportFile> TransportFiles::Find(PFILE_OBJECT file) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(file);
    if (it == files_.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::optional<TransportFile> TransportFiles::Remove(PFILE_OBJECT file)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(file);
    if (it == files_.end()) {
        return std::nullopt;
    }
    TransportFile object = std::move(it->second);
    files_.erase(it);
    return object;
}

}  // namespace host
