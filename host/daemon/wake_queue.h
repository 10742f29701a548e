// Items handed from any thread to an event loop; an eventfd wakes the loop.
#pragma once

#include <host/common/errors.h>
#include <host/common/unique_fd.h>

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

namespace zelvcomd {

template <typename Item>
class WakeQueue {
public:
    WakeQueue() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
    {
        if (!fd_.Valid()) {
            throw zel::ErrnoError("eventfd");
        }
    }

    int Fd() const { return fd_.Get(); }

    // Any thread.
    void Push(Item item)
    {
        bool first = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            first = items_.empty();
            items_.push_back(std::move(item));
        }
        // One wake-up per batch: the loop takes everything at once.
        if (first) {
            const std::uint64_t one = 1;
            // A full counter still wakes the loop, so a failed write loses nothing.
            [[maybe_unused]] const ssize_t ignored = write(fd_.Get(), &one, sizeof one);
        }
    }

    // The event loop: everything pushed so far, in order. The counter is
    // read first, so a Push that finds the queue empty afterwards wakes the
    // loop again.
    std::vector<Item> Take()
    {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t ignored = read(fd_.Get(), &count, sizeof count);
        std::vector<Item> items;
        std::lock_guard<std::mutex> lock(mutex_);
        items.swap(items_);
        return items;
    }

private:
    zel::UniqueFd fd_;
    std::mutex mutex_;
    std::vector<Item> items_;
};

}  // namespace zelvcomd
