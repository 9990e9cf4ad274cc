// Adapters and sockets.
#pragma once

#include <cstdint>

#include <pcap/pcap.h>

#include "state/state.h"

namespace spweth {

// Socket-call result codes.
enum SocketResult : std::intptr_t {
    kFindAllDevsFailed = -1,
    kNoAdapters = -2,
    kAdapterOutOfRange = -3,
    kOpenFailed = -4,
    kCompileFailed = -5,
    kSetFilterFailed = -6,
    kNonBlockFailed = -7,
    kNoReadBuffer = -8,
};

// Bytes captured of each frame: a bridge frame is at most 1514 bytes. In
// immediate mode the capture ring holds frames in slots of this size, so
// 65536 can leave room for as few as 32 frames between two reads.
inline constexpr int kSnapshotLength = 2048;
inline constexpr int kReadTimeoutMs = 100;
inline constexpr const char *kBridgeFilter = "ether proto 0x06AB";
inline constexpr unsigned kFilterNetmask = 0xFFFFFF;

// False for no socket: null, or a negative result of SpW_Socket_Init that a
// caller passed on unchecked. Calls given no socket leave pcap alone.
inline bool is_socket(Socket socket) { return reinterpret_cast<std::intptr_t>(socket) > 0; }

// Releases device_list (it becomes none, with chosen_device).
void release_device_list();

// Opens an adapter as a capture (snapshot 2048, promiscuous, 100 ms, immediate mode); prints
// the "Unable to open" message and returns null on failure.
pcap_t *open_adapter(const pcap_if_t *device);
// Prints "Listening on" with the adapter's description (its name when it has none).
void announce_listening(const pcap_if_t *device);
// Compiles and installs "ether proto 0x06AB", releasing the program once
// installed. On failure closes the handle, prints, and returns -5 or -6.
std::intptr_t install_bridge_filter(pcap_t *handle);

}  // namespace spweth
