// Ownership of one file descriptor.
#pragma once

#include "../../../common/unique_fd.h"

namespace zelipc {
using UniqueFd = zel::UniqueFd;
}  // namespace zelipc
