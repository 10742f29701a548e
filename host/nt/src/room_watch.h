// Kernel::WatchForRoom: a caller's descriptor served by the reactor.
#pragma once

#include "reactor.h"

#include <host/kernel.h>

#include <functional>
#include <memory>

namespace host {

std::unique_ptr<RoomWatch> MakeRoomWatch(Reactor& reactor, int fd, std::function<void()> onRoom);

}  // namespace host
