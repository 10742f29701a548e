// `vcomctl ports`: every port of the table (and any other the driver has)
// with its paths, whether it is open and by whom, its connection to the
// module, the bytes each way, the module's drops and reconnects and the
// last error, as zelvcomd has seen them since it started. Linux only: the
// daemon keeps these, not the driver.
#pragma once

#include "commands.h"

namespace vcomctl {

constexpr const char PORTS_HELP[] =
    "Shows every port of the table: its module and channel, its state (stopped: no\n"
    "port; closed; connected; reconnecting: the module went away and the driver\n"
    "connects again), the bytes sent to and received from the module, how often\n"
    "the module's connection dropped and came back, its path and RFC 2217 endpoint,\n"
    "who has it open (program and pid) and the last error, as zelvcomd has seen\n"
    "them since it started.\n"
    "  --json             the same as a JSON document:\n"
    "                     {\"ports\": [{\"com\", \"module\", \"channel\", \"path\", \"rfc2217\",\n"
    "                                \"state\", \"opened_by\": {\"kind\", \"pid\", \"program\",\n"
    "                                \"where\"}, \"to_module\", \"from_module\", \"drops\",\n"
    "                                \"reconnects\", \"last_error\"}]}\n"
    "  --watch [SECONDS]  show it again every SECONDS (2), until interrupted\n";

void RunPorts(const Arguments& Args, std::ostream& Out);

}  // namespace vcomctl
