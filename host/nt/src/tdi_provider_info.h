// What TDI_QUERY_PROVIDER_INFO reports for TCP.
#pragma once

#include <tdi.h>

namespace host {

TDI_PROVIDER_INFO TcpProviderInfo(LONGLONG startTime);

}  // namespace host
