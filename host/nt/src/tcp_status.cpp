#include "tcp_status.h"

#include <cerrno>

namespace host {

NTSTATUS StatusFromErrno(int error)
{
    switch (error) {
    case 0:
        return STATUS_SUCCESS;
    case ECONNREFUSED:
        return STATUS_CONNECTION_REFUSED;
    case ETIMEDOUT:
        return STATUS_IO_TIMEOUT;
    case EHOSTUNREACH:
    case EHOSTDOWN:
        return STATUS_HOST_UNREACHABLE;
    case ENETUNREACH:
    case ENETDOWN:
        return STATUS_NETWORK_UNREACHABLE;
    case ECONNRESET:
    case EPIPE:
        return STATUS_CONNECTION_RESET;
    case ECONNABORTED:
        return STATUS_CONNECTION_ABORTED;
    case ENOTCONN:
        return STATUS_CONNECTION_INVALID;
    case EADDRINUSE:
        return STATUS_ADDRESS_ALREADY_EXISTS;
    case EADDRNOTAVAIL:
        return STATUS_INVALID_ADDRESS;
    case EACCES:
    case EPERM:
        return STATUS_ACCESS_DENIED;
    case ENOMEM:
    case ENOBUFS:
    case EMFILE:
    case ENFILE:
        return STATUS_INSUFFICIENT_RESOURCES;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

}  // namespace host
