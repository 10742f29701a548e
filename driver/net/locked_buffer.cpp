#include "net/locked_buffer.h"

PMDL LockBuffer(PVOID VirtualAddress, ULONG Length)
{
    PMDL mdl = IoAllocateMdl(VirtualAddress, Length, FALSE, FALSE, nullptr);
    if (mdl == nullptr) {
        return nullptr;
    }
    // MmProbeAndLockPages raises when a page cannot be made resident, and
    // this compiler has no structured exception handling to catch it. The
    // driver only locks nonpaged memory it owns, which cannot fault.
    MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess);
    mdl->Next = nullptr;
    return mdl;
}

void UnlockBuffer(PMDL Mdl)
{
    MmUnlockPages(Mdl);
    IoFreeMdl(Mdl);
}
