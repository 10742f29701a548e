// NT status to Win32 error, as Windows maps them.
#include "error_mapping.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>

namespace zelwin32 {
namespace {

struct Mapping {
    NtStatus Status;
    DWORD Error;
};

// Names each case in test listings by its status and error.
void PrintTo(const Mapping& mapping, std::ostream* out)
{
    char text[48];
    std::snprintf(text, sizeof(text), "status 0x%08X to error %u", static_cast<unsigned>(mapping.Status),
                  static_cast<unsigned>(mapping.Error));
    *out << text;
}

class ErrorMappingTest : public ::testing::TestWithParam<Mapping> {};

TEST_P(ErrorMappingTest, MapsAsWindowsDoes)
{
    EXPECT_EQ(Win32ErrorFromStatus(GetParam().Status), GetParam().Error);
}

INSTANTIATE_TEST_SUITE_P(
    Documented, ErrorMappingTest,
    ::testing::Values(Mapping{kStatusSuccess, ERROR_SUCCESS}, Mapping{kStatusPending, ERROR_IO_PENDING},
                      Mapping{kStatusUnsuccessful, ERROR_GEN_FAILURE},
                      Mapping{kStatusInvalidParameter, ERROR_INVALID_PARAMETER},
                      Mapping{kStatusBufferTooSmall, ERROR_INSUFFICIENT_BUFFER},
                      Mapping{kStatusBufferOverflow, ERROR_MORE_DATA},
                      Mapping{kStatusAccessDenied, ERROR_ACCESS_DENIED},
                      Mapping{kStatusObjectNameNotFound, ERROR_FILE_NOT_FOUND},
                      Mapping{kStatusNoSuchDevice, ERROR_FILE_NOT_FOUND},
                      Mapping{kStatusObjectPathNotFound, ERROR_PATH_NOT_FOUND},
                      Mapping{kStatusInvalidDeviceRequest, ERROR_INVALID_FUNCTION},
                      Mapping{kStatusNotImplemented, ERROR_INVALID_FUNCTION},
                      Mapping{kStatusCancelled, ERROR_OPERATION_ABORTED},
                      Mapping{kStatusObjectNameCollision, ERROR_ALREADY_EXISTS},
                      Mapping{kStatusInsufficientResources, ERROR_NO_SYSTEM_RESOURCES},
                      Mapping{kStatusInvalidHandle, ERROR_INVALID_HANDLE},
                      Mapping{kStatusIoTimeout, ERROR_SEM_TIMEOUT},
                      Mapping{kStatusDeviceNotConnected, ERROR_NOT_READY},
                      Mapping{kStatusNotFound, ERROR_NOT_FOUND},
                      Mapping{kStatusConnectionRefused, ERROR_CONNECTION_REFUSED},
                      Mapping{kStatusConnectionReset, ERROR_NETNAME_DELETED},
                      Mapping{kStatusConnectionDisconnected, ERROR_NETNAME_DELETED},
                      Mapping{kStatusConnectionAborted, ERROR_CONNECTION_ABORTED},
                      Mapping{kStatusHostUnreachable, ERROR_HOST_UNREACHABLE},
                      Mapping{kStatusNetworkUnreachable, ERROR_NETWORK_UNREACHABLE}));

TEST(ErrorMappingFallbackTest, AStatusWithoutCounterpartGivesTheMessageNotFoundError)
{
    constexpr NtStatus kUnmappedStatus = Status(0xC0FFEE01);
    EXPECT_EQ(Win32ErrorFromStatus(kUnmappedStatus), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
}

}  // namespace
}  // namespace zelwin32
