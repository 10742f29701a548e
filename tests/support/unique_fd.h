// Test support: ownership of one file descriptor.
#pragma once

#include "../../host/common/unique_fd.h"

namespace zel::test {
using UniqueFd = zel::UniqueFd;
}  // namespace zel::test
