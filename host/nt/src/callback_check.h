// Checks around calls into the driver (dispatch and completion routines,
// DPCs, work items, the driver entry and unload): the callee must return at
// the IRQL it was called at, holding no spin lock it did not hold before.
#pragma once

#include "thread_state.h"

namespace host::verifier {

// `what` names the routine in the stop message, e.g. "dispatch routine".
void RequireUnchanged(const thread_state::Snapshot& before, const char* what);

}  // namespace host::verifier
