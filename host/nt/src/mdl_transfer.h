// The buffer of a TDI send, receive or query: the first bytes described by
// an IRP's MDL chain. The MDLs stay pinned (their pages locked) while the
// request is pending, so a client that unlocks or frees them early stops.
#pragma once

#include <wdm.h>

#include <sys/uio.h>

#include <vector>

namespace host {

class MdlTransfer {
public:
    MdlTransfer() = default;
    // Bug check when the chain holds fewer than `length` bytes or an MDL in
    // it is not locked; `user` names the request in the message.
    MdlTransfer(PMDL chain, ULONG length, const char* user);
    MdlTransfer(MdlTransfer&& other) noexcept;
    MdlTransfer& operator=(MdlTransfer&& other) noexcept;
    ~MdlTransfer();

    // Sum of the byte counts of the chain's MDLs.
    static ULONG ChainLength(PMDL chain);

    ULONG Length() const { return length_; }
    ULONG Done() const { return done_; }
    bool Finished() const { return done_ == length_; }
    void Advance(ULONG bytes) { done_ += bytes; }
    // The bytes not yet moved.
    std::vector<iovec> Remaining() const;
    // Copies into the buffer from its start; returns the bytes copied.
    ULONG CopyIn(const void* data, ULONG length);
    // Unpins the MDLs: the request is about to complete.
    void Release();

private:
    std::vector<iovec> segments_;
    std::vector<PMDL> pinned_;
    ULONG length_ = 0;
    ULONG done_ = 0;
};

}  // namespace host
