// The end of a kernel handle's file object: the cleanup at its last handle's
// close, and at its last reference the close, the device's file-object
// count and the object itself. A last reference dropped above
// PASSIVE_LEVEL has its close run by the system worker, as on Windows.
#pragma once

#include "ob_file_object.h"

namespace host {

void CleanupFile(KernelFile* file);
// The routine name goes into a stop message for a bad object.
LONG_PTR DropFileReference(PVOID object, const char* routine);

}  // namespace host
