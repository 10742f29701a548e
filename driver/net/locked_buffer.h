// MDLs over the driver's own buffers, for transport sends and receives.
#pragma once

#include "core/nt.h"

// An MDL describing the buffer with its pages locked, or null. Only
// nonpaged memory the driver owns (its pool, its device extensions) is
// ever locked.
PMDL LockBuffer(PVOID VirtualAddress, ULONG Length);

// Unlocks the pages and frees the MDL.
void UnlockBuffer(PMDL Mdl);
