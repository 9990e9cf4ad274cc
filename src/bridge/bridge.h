// Bridge configuration frames and the status record queries.
#pragma once

#include "spweth.h"
#include "state/state.h"

namespace spweth {

// Builds and sends the 62-byte configuration frame for a body (marker and
// edit0 bit 0x80 forced); returns pcap_sendpacket's result.
int send_conf_frame(Socket socket, const spw_eth_conf_header_2 &body);

}  // namespace spweth
