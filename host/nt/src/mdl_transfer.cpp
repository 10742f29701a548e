#include "mdl_transfer.h"

#include "kernel_impl.h"
#include "mdl_table.h"
#include "verifier.h"
#include "verifier_rules.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace host {

MdlTransfer::MdlTransfer(PMDL chain, ULONG length, const char* user) : length_(length)
{
    if (ChainLength(chain) < length) {
        verifier::BugCheck(rule::kVerifierViolation,
                           std::string(user) + " of " + std::to_string(length) +
                               " bytes with an MDL chain of " + std::to_string(ChainLength(chain)) +
                               " bytes");
    }
    MdlTable& mdls = Internals().Mdls();
    ULONG left = length;
    for (PMDL mdl = chain; mdl != nullptr && left != 0; mdl = mdl->Next) {
        mdls.Pin(mdl, user);
        pinned_.push_back(mdl);
        const ULONG take = std::min(left, mdl->ByteCount);
        segments_.push_back(iovec{MmGetMdlVirtualAddress(mdl), take});
        left -= take;
    }
}

MdlTransfer::MdlTransfer(MdlTransfer&& other) noexcept
    : segments_(std::move(other.segments_)),
      pinned_(std::exchange(other.pinned_, {})),
      length_(other.length_),
      done_(other.done_)
{
}

MdlTransfer& MdlTransfer::operator=(MdlTransfer&& other) noexcept
{
    if (this != &other) {
        Release();
        segments_ = std::move(other.segments_);
        pinned_ = std::exchange(other.pinned_, {});
        length_ = other.length_;
        done_ = other.done_;
    }
    return *this;
}

MdlTransfer::~MdlTransfer()
{
    Release();
}

ULONG MdlTransfer::ChainLength(PMDL chain)
{
    ULONG length = 0;
    for (PMDL mdl = chain; mdl != nullptr; mdl = mdl->Next) {
        length += mdl->ByteCount;
    }
    return length;
}

std::vector<iovec> MdlTransfer::Remaining() const
{
    std::vector<iovec> remaining;
    std::size_t skip = done_;
    for (const iovec& segment : segments_) {
        if (skip >= segment.iov_len) {
            skip -= segment.iov_len;
            continue;
        }
        remaining.push_back(
            iovec{static_cast<char*>(segment.iov_base) + skip, segment.iov_len - skip});
        skip = 0;
    }
    return remaining;
}

ULONG MdlTransfer::CopyIn(const void* data, ULONG length)
{
    const auto* bytes = static_cast<const char*>(data);
    ULONG copied = 0;
    for (const iovec& segment : segments_) {
        const ULONG take = std::min<ULONG>(length - copied, static_cast<ULONG>(segment.iov_len));
        std::memcpy(segment.iov_base, bytes + copied, take);
        copied += take;
    }
    return copied;
}

void MdlTransfer::Release()
{
    if (pinned_.empty()) {
        return;
    }
    MdlTable& mdls = Internals().Mdls();
    for (PMDL mdl : pinned_) {
        mdls.Unpin(mdl);
    }
    pinned_.clear();
}

}  // namespace host
