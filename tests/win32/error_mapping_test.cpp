// NT status to Win32 error: the errors callers act on (exit statuses, the
// overlapped protocol, cancellation), a warning that must not read as
// success, and a status Windows has no error for.
#include "error_mapping.h"

#include <gtest/gtest.h>

namespace zelwin32 {
namespace {

TEST(ErrorMappingTest, TheErrorsCallersActOn)
{
    EXPECT_EQ(Win32ErrorFromStatus(kStatusSuccess), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(Win32ErrorFromStatus(kStatusPending), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(Win32ErrorFromStatus(kStatusAccessDenied), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Win32ErrorFromStatus(kStatusNoSuchDevice), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Win32ErrorFromStatus(kStatusCancelled), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(Win32ErrorFromStatus(kStatusBufferOverflow), static_cast<DWORD>(ERROR_MORE_DATA));
}

TEST(ErrorMappingTest, AStatusWithoutCounterpartGivesTheMessageNotFoundError)
{
    constexpr NtStatus kUnmappedStatus = Status(0xC0FFEE01);
    EXPECT_EQ(Win32ErrorFromStatus(kUnmappedStatus), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
}

}  // namespace
}  // namespace zelwin32
