#include "tdi_provider_info.h"

#include "tcp_endpoint.h"

namespace host {
namespace {

// TDI 2.0: the major version in the high byte, as the structure carries it.
constexpr ULONG kTdiVersionTwo = 0x0200;
// A send is bounded only by its 32-bit length.
constexpr ULONG kMaxSendSize = MAXULONG;
// The least a receive handler is shown: one byte.
constexpr ULONG kMinimumLookahead = 1;

}  // namespace

TDI_PROVIDER_INFO TcpProviderInfo(LONGLONG startTime)
{
    TDI_PROVIDER_INFO info{};
    info.Version = kTdiVersionTwo;
    info.MaxSendSize = kMaxSendSize;
    info.MaxConnectionUserData = 0;
    info.MaxDatagramSize = 0;
    info.ServiceFlags = TDI_SERVICE_CONNECTION_MODE | TDI_SERVICE_ORDERLY_RELEASE |
                        TDI_SERVICE_ERROR_FREE_DELIVERY | TDI_SERVICE_INTERNAL_BUFFERING;
    info.MinimumLookaheadData = kMinimumLookahead;
    info.MaximumLookaheadData = TcpEndpoint::kLookaheadBytes;
    info.NumberOfResources = 0;
    info.StartTime.QuadPart = startTime;
    return info;
}

}  // namespace host
