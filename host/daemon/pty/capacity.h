// How many ports this process can serve as pseudo-terminals: each open port
// holds descriptors (its master, its module connection), and the system
// caps the number of pseudo-terminals.
#pragma once

#include "../logger.h"

namespace zelvcomd {

// Raises the soft open-file limit to the hard one and logs what both
// limits allow, with a warning and the remedy when it is less than a full
// table of modules.
void PrepareCapacity(Logger& log);

}  // namespace zelvcomd
