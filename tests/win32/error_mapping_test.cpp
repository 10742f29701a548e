// NT status to Win32 error: a warning that must not read as success, and a
// status Windows has no error for.
#include "error_mapping.h"

#include <gtest/gtest.h>

namespace zelwin32 {
namespace {

// The rest of the mapping shows end to end, in the errors callers get.
TEST(ErrorMappingTest, AWarningIsNoSuccessAndAStatusWithoutCounterpartHasItsError)
{
    EXPECT_EQ(Win32ErrorFromStatus(kStatusBufferOverflow), static_cast<DWORD>(ERROR_MORE_DATA));
    constexpr NtStatus kUnmappedStatus = Status(0xC0FFEE01);
    EXPECT_EQ(Win32ErrorFromStatus(kUnmappedStatus), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
}

}  // namespace
}  // namespace zelwin32
