// Ownership of one file descriptor.
#pragma once

#include "../../host/common/unique_fd.h"

namespace zelmodsim {
using UniqueFd = zel::UniqueFd;
}  // namespace zelmodsim
