#include "room_watch.h"

#include "thread_state.h"

#include <host/common/unique_fd.h>

#include <fcntl.h>
#include <sys/epoll.h>

#include <cerrno>
#include <system_error>

namespace host {
namespace {

// One report per Arm: the watch is one-shot until armed again.
constexpr std::uint32_t kRoomEvents = EPOLLOUT | EPOLLONESHOT;

class RoomClient : public ReactorClient {
public:
    explicit RoomClient(std::function<void()> onRoom) : onRoom_(std::move(onRoom)) {}

    // Runs on the reactor thread inside the transport's driver scope: the
    // caller's work waits until the thread is out of it.
    void Service(std::uint32_t events) override
    {
        if (events != 0) {
            thread_state::RunOutsideDriver(onRoom_);
        }
    }

private:
    const std::function<void()> onRoom_;
};

class ReactorRoomWatch : public RoomWatch {
public:
    ReactorRoomWatch(Reactor& reactor, int fd, std::function<void()> onRoom)
        : reactor_(reactor),
          fd_(fcntl(fd, F_DUPFD_CLOEXEC, 0)),
          client_(std::make_shared<RoomClient>(std::move(onRoom)))
    {
        if (fd_.Get() < 0) {
            throw std::system_error(errno, std::generic_category(),
                                    "duplicating a descriptor to watch");
        }
        id_ = reactor_.Add(client_);
    }

    ~ReactorRoomWatch() override
    {
        reactor_.Unwatch(fd_.Get());
        reactor_.Remove(id_);
    }

    void Arm() override { reactor_.Watch(id_, fd_.Get(), kRoomEvents); }

private:
    Reactor& reactor_;
    zel::UniqueFd fd_;
    std::shared_ptr<RoomClient> client_;
    Reactor::Id id_ = 0;
};

}  // namespace

std::unique_ptr<RoomWatch> MakeRoomWatch(Reactor& reactor, int fd, std::function<void()> onRoom)
{
    return std::make_unique<ReactorRoomWatch>(reactor, fd, std::move(onRoom));
}

}  // namespace host
