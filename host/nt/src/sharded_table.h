// A table of objects keyed by address, split into shards each under a lock
// of its own, so that threads working on different objects (another port's
// IRPs, another request's buffers) do not wait for one another.
#pragma once

#include <host/common/non_copyable.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace host {

template <typename Record>
class ShardedTable : zel::NonCopyable {
public:
    struct Shard {
        mutable std::mutex Mutex;
        std::unordered_map<void*, Record> Records;
    };

    Shard& Of(const void* address) { return shards_[Index(address)]; }
    const Shard& Of(const void* address) const { return shards_[Index(address)]; }

    // f(shard) for each shard, under its lock.
    template <typename F>
    void ForEach(F&& f) const
    {
        for (const Shard& shard : shards_) {
            std::lock_guard<std::mutex> lock(shard.Mutex);
            f(shard);
        }
    }
    template <typename F>
    void ForEach(F&& f)
    {
        for (Shard& shard : shards_) {
            std::lock_guard<std::mutex> lock(shard.Mutex);
            f(shard);
        }
    }

private:
    static constexpr std::size_t kShards = 64;
    // Heap blocks: the low bits are alignment.
    static constexpr unsigned kAlignmentBits = 4;

    static std::size_t Index(const void* address)
    {
        return (reinterpret_cast<std::uintptr_t>(address) >> kAlignmentBits) % kShards;
    }

    std::array<Shard, kShards> shards_;
};

}  // namespace host
