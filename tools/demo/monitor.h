// spweth-demo monitor: a live view of both links of a bridge and the
// socket's counters, refreshed in place until Ctrl-C.
#pragma once

#include <string>

#include "cli.h"

struct pcap;

namespace demo {

// Runs until SIGINT or SIGTERM: 0 then, 1 when the socket fails.
int run_monitor(pcap *socket, const std::string &adapter, const MonitorOptions &options,
                bool as_json);

}  // namespace demo
