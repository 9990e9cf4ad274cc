// The bridge state queries: the next status frame's 88-byte record, on an open
// socket or on a capture of chosen_device opened for the one query.
#include <pcap/pcap.h>

#include "bridge/bridge.h"
#include "link/sockets.h"
#include "rx/rx.h"
#include "state/console.h"

namespace spweth {
namespace {

static_assert(sizeof(spw_eth_state) == kStateRecordSize);

// Mode 7 writes the frame's source into *source; mode 8 only reads it.
int query_state(RecvMode mode, Socket socket, spw_eth_state *state, const mac_address *source,
                const Deadline &deadline = kNoDeadline) {
    unsigned char type_byte = 0;
    auto *record = reinterpret_cast<unsigned char *>(state);
    auto *address = source != nullptr ? const_cast<unsigned char *>(source->bytes) : nullptr;
    return SpW_Recv_Packet_uni(mode, socket, record, kStateRecordSize, address, &type_byte, 0,
                               deadline);
}

// Opens chosen_device in blocking mode, without a read buffer, runs the query
// and closes the capture again. The query's own result is not passed on.
int query_state_by_device(RecvMode mode, spw_eth_state *state, const mac_address *source) {
    if (state == nullptr || source == nullptr) return kRecvBadArgument;
    const pcap_if_t *device = library_state.chosen_device;
    if (device == nullptr) {
        console_print("\nNo adapter chosen: open a socket with SpW_Socket_Init first.\n");
        return static_cast<int>(kOpenFailed);
    }
    pcap_t *capture = open_adapter(device);
    if (capture == nullptr) {
        // The adapters are enumerated anew by the next SpW_Socket_Init.
        if (mode == kRecvStateFromMac) release_device_list();
        return static_cast<int>(kOpenFailed);
    }
    announce_listening(device);
    if (const std::intptr_t failed = install_bridge_filter(capture); failed < 0)
        return static_cast<int>(failed);
    // The capture is one of the library's sockets for the query's length.
    if (register_socket(capture) != nullptr) {
        query_state(mode, capture, state, source);
        unregister_socket(capture);
    }
    pcap_close(capture);
    return 0;
}

}  // namespace
}  // namespace spweth

extern "C" {

SPWETH_API int SpW_Eth_Get_State(struct pcap *socket, spw_eth_state *state, mac_address *source) {
    return spweth::query_state(spweth::kRecvState, socket, state, source);
}

SPWETH_API int SpW_Eth_Get_State_From_MAC(struct pcap *socket, spw_eth_state *state,
                                          const mac_address *source) {
    return spweth::query_state(spweth::kRecvStateFromMac, socket, state, source);
}

SPWETH_API int SpW_Eth_Get_State_Timeout(struct pcap *socket, spw_eth_state *state,
                                         mac_address *source, int timeout_ms) {
    return spweth::query_state(spweth::kRecvState, socket, state, source,
                               spweth::Deadline::after_ms(timeout_ms));
}

SPWETH_API int SpW_Eth_Get_State_From_MAC_Timeout(struct pcap *socket, spw_eth_state *state,
                                                  const mac_address *source, int timeout_ms) {
    return spweth::query_state(spweth::kRecvStateFromMac, socket, state, source,
                               spweth::Deadline::after_ms(timeout_ms));
}

SPWETH_API int SpW_Eth_Get_State_By_Dev(spw_eth_state *state, mac_address *source) {
    return spweth::query_state_by_device(spweth::kRecvState, state, source);
}

SPWETH_API int SpW_Eth_Get_State_By_Dev_From_MAC(spw_eth_state *state, const mac_address *source) {
    return spweth::query_state_by_device(spweth::kRecvStateFromMac, state, source);
}

}  // extern "C"
