// MDLs from IoAllocateMdl: which are allocated, which have their pages
// locked, and which a pending request still reads or writes through. The
// host has no physical pages: an MDL describes its buffer by address only,
// and "locking" is the state the verifier checks.
#pragma once

#include <host/common/non_copyable.h>
#include <wdm.h>

#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace host {

class MdlTable : zel::NonCopyable {
public:
    ~MdlTable();

    // Null when memory is exhausted.
    PMDL Allocate(PVOID virtualAddress, ULONG length);
    void Free(PMDL mdl);
    void Lock(PMDL mdl);
    void Unlock(PMDL mdl);

    // A request that transfers through the MDL while it is pending pins it:
    // the pages must be locked (or be nonpaged pool), and stay so until the
    // request unpins it. `user` names the request in a stop message.
    void Pin(PMDL mdl, const char* user);
    void Unpin(PMDL mdl);

    // "MDL 0x... for 2048 bytes at 0x..." for each allocated MDL.
    std::vector<std::string> Allocated() const;

private:
    struct Record {
        int Pins = 0;
    };

    Record& RequireLocked(PMDL mdl, const char* routine);

    mutable std::mutex mutex_;
    std::unordered_map<PMDL, Record> records_;
};

}  // namespace host
