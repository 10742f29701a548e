#include "pool.h"

#include "verifier.h"
#include "verifier_rules.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace host {
namespace {

constexpr ULONG kLiveMagic = 0x4C4F4F50;    // "POOL"
constexpr unsigned char kFreshFill = 0xCD;  // pool memory is not zeroed on Windows
constexpr unsigned char kGuardFill = 0xFD;
constexpr unsigned char kFreedFill = 0xDD;
constexpr std::size_t kGuardBytes = 16;
constexpr std::size_t kLiveBlocksListed = 8;

struct alignas(16) Header {
    ULONG Magic;
    ULONG Tag;
    POOL_TYPE Type;
    SIZE_T Size;
};

Header* HeaderOf(void* block)
{
    return static_cast<Header*>(block) - 1;
}

unsigned char* GuardOf(void* block, SIZE_T size)
{
    return static_cast<unsigned char*>(block) + size;
}

std::string TagText(ULONG tag)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    char hex[16];
    std::snprintf(hex, sizeof(hex), " (0x%X)", tag);
    return "'" + text + "'" + hex;
}

using host::verifier::PointerText;

bool GuardIntact(void* block, SIZE_T size)
{
    const unsigned char* guard = GuardOf(block, size);
    for (std::size_t i = 0; i < kGuardBytes; ++i) {
        if (guard[i] != kGuardFill) {
            return false;
        }
    }
    return true;
}

}  // namespace

Pool::~Pool()
{
    blocks_.ForEach([](auto& shard) {
        for (auto& [block, info] : shard.Records) {
            std::free(HeaderOf(block));
        }
    });
}

bool Pool::IsPaged(POOL_TYPE type)
{
    // Bit 0 of the type distinguishes paged (odd) from nonpaged types; the
    // Nx, session and cache-aligned variants keep it.
    return (type & 1) != 0;
}

void* Pool::Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag)
{
    auto* header = static_cast<Header*>(std::malloc(sizeof(Header) + bytes + kGuardBytes));
    if (header == nullptr) {
        return nullptr;
    }
    *header = Header{kLiveMagic, tag, type, bytes};
    void* block = header + 1;
    std::memset(block, kFreshFill, bytes);
    std::memset(GuardOf(block, bytes), kGuardFill, kGuardBytes);
    auto& shard = blocks_.Of(block);
    std::lock_guard<std::mutex> lock(shard.Mutex);
    shard.Records.emplace(block, Block{type, tag, bytes});
    return block;
}

void Pool::Free(void* block, ULONG tag)
{
    if (block == nullptr) {
        verifier::BugCheck(rule::kBadPoolCaller, "ExFreePool of a null pointer");
    }
    Block info{};
    {
        auto& shard = blocks_.Of(block);
        std::lock_guard<std::mutex> lock(shard.Mutex);
        auto it = shard.Records.find(block);
        if (it == shard.Records.end()) {
            verifier::BugCheckBadFree("ExFreePool", block, "pool block");
        }
        info = it->second;
        if (tag != 0 && tag != info.Tag) {
            verifier::BugCheck(rule::kBadPoolCaller, "ExFreePoolWithTag with tag " + TagText(tag) +
                                                         " of a block tagged " + TagText(info.Tag));
        }
        shard.Records.erase(it);
    }
    Header* header = HeaderOf(block);
    if (header->Magic != kLiveMagic || !GuardIntact(block, info.Size)) {
        verifier::BugCheck(rule::kPoolCorruption, "pool block " + PointerText(block) + " " +
                                                      Describe(info) +
                                                      " was written outside its bounds");
    }
    std::memset(header, kFreedFill, sizeof(Header) + info.Size + kGuardBytes);
    std::free(header);
}

bool Pool::Lookup(void* block, POOL_TYPE* type, SIZE_T* size) const
{
    const auto& shard = blocks_.Of(block);
    std::lock_guard<std::mutex> lock(shard.Mutex);
    auto it = shard.Records.find(block);
    if (it == shard.Records.end()) {
        return false;
    }
    *type = it->second.Type;
    *size = it->second.Size;
    return true;
}

std::vector<std::string> Pool::LiveBlocks() const
{
    std::vector<std::string> lines;
    std::size_t unlisted = 0;
    blocks_.ForEach([&](const auto& shard) {
        for (const auto& [block, info] : shard.Records) {
            if (lines.size() == kLiveBlocksListed) {
                ++unlisted;
            } else {
                lines.push_back(Describe(info) + " at " + PointerText(block));
            }
        }
    });
    if (unlisted != 0) {
        lines.push_back("... and " + std::to_string(unlisted) + " more");
    }
    return lines;
}

std::string Pool::Describe(const Block& block)
{
    return "tag " + TagText(block.Tag) + ", " + std::to_string(block.Size) + " bytes, " +
           (IsPaged(block.Type) ? "paged" : "nonpaged");
}

}  // namespace host
