// Pool memory. Every block has a header recording its type, tag and size,
// and a guard after it; the pool keeps a table of live blocks so a double
// free or a foreign pointer is caught without touching freed memory.
#pragma once

#include "sharded_table.h"

#include <host/common/non_copyable.h>
#include <wdm.h>

#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace host {

class Pool : zel::NonCopyable {
public:
    ~Pool();

    static bool IsPaged(POOL_TYPE type);

    // Null when memory is exhausted.
    void* Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag);
    // tag 0 frees a block of any tag.
    void Free(void* block, ULONG tag);

    // False when the block is not allocated.
    bool Lookup(void* block, POOL_TYPE* type, SIZE_T* size) const;

    // "tag 'Abcd', 16 bytes, NonPagedPool" for each live block.
    std::vector<std::string> LiveBlocks() const;

private:
    struct Block {
        POOL_TYPE Type;
        ULONG Tag;
        SIZE_T Size;
    };

    static std::string Describe(const Block& block);

    ShardedTable<Block> blocks_;
};

}  // namespace host
