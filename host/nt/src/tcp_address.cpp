#include "tcp_address.h"

namespace host {

NTSTATUS TcpAddress::SetHandler(LONG eventType, PVOID routine, PVOID context)
{
    if (eventType < 0 || static_cast<std::size_t>(eventType) >= kEventTypes) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    handlers_[static_cast<std::size_t>(eventType)] = routine != nullptr ? Handler{routine, context} : Handler{};
    return STATUS_SUCCESS;
}

TcpAddress::Handler TcpAddress::Get(LONG eventType) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return handlers_.at(static_cast<std::size_t>(eventType));
}

void TcpAddress::Close()
{
    std::lock_guard<std::mutex> lock(mutex_);
    handlers_.fill(Handler{});
    closed_ = true;
}

bool TcpAddress::Closed() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

}  // namespace host
