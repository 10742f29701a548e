#include "connection.h"

#include "sockets.h"

#include <sys/epoll.h>
#include <sys/socket.h>

namespace zelmodsim {

Connection::Connection(zel::EventLoop& loop, zel::UniqueFd fd, zel::EventLoop::Handler handler)
    : fd_(std::move(fd)), watch_(loop, fd_.Get(), EPOLLIN, std::move(handler)), interest_(EPOLLIN)
{
}

Connection::ReadResult Connection::Read(char* buffer, std::size_t size)
{
    const ssize_t got = recv(fd_.Get(), buffer, size, 0);
    if (got > 0) {
        return {ReadStatus::Data, static_cast<std::size_t>(got)};
    }
    if (got == 0) {
        return {ReadStatus::End, 0};
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        return {ReadStatus::WouldBlock, 0};
    }
    return {ReadStatus::Failed, 0};
}

bool Connection::Write(std::string_view bytes)
{
    pending_.append(bytes);
    return Flush();
}

bool Connection::Flush()
{
    while (Pending() > 0) {
        const ssize_t sent = send(fd_.Get(), pending_.data() + sentOffset_, Pending(), MSG_NOSIGNAL);
        if (sent > 0) {
            sentOffset_ += static_cast<std::size_t>(sent);
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            return false;
        }
    }
    if (Pending() == 0) {
        pending_.clear();
        sentOffset_ = 0;
    }
    ShutdownIfFlushed();
    UpdateInterest();
    return true;
}

void Connection::CloseGracefully()
{
    closing_ = true;
    readingPaused_ = false;
    ShutdownIfFlushed();
    UpdateInterest();
}

void Connection::ResetOnClose() { SetResetOnClose(fd_.Get()); }

void Connection::PauseReading(bool paused)
{
    if (paused != readingPaused_ && !closing_) {
        readingPaused_ = paused;
        UpdateInterest();
    }
}

void Connection::ShutdownIfFlushed()
{
    if (closing_ && !shutDown_ && Pending() == 0) {
        shutdown(fd_.Get(), SHUT_WR);
        shutDown_ = true;
    }
}

void Connection::UpdateInterest()
{
    std::uint32_t events = readingPaused_ ? 0U : static_cast<std::uint32_t>(EPOLLIN);
    if (Pending() > 0) {
        events |= EPOLLOUT;
    }
    if (events != interest_) {
        watch_.SetEvents(events);
        interest_ = events;
    }
}

}  // namespace zelmodsim
