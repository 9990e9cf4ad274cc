// Adapters and sockets.
#pragma once

#include <cstdint>

#include <pcap/pcap.h>

#include "state/state.h"

namespace spweth {

// Socket-call result codes.
enum SocketResult : std::intptr_t {
    kFindAllDevsFailed = -1,
    kNotASocket = -1,  // a handle the library does not hold
    kNoAdapters = -2,
    kAdapterOutOfRange = -3,
    kOpenFailed = -4,
    kCompileFailed = -5,
    kSetFilterFailed = -6,
    kNonBlockFailed = -7,
    kNoReadBuffer = -8,
};

// Sockets are opened in immediate mode (see open_adapter). The kernel's ring
// then gives every frame a slot of the snapshot length, so the snapshot is
// sized to the largest bridge frame (1514 bytes) rather than 64 KiB: the 16 MiB
// ring then holds about 8000 frames that arrive while nobody reads, where a
// 64 KiB snapshot would leave room for only 256.
inline constexpr int kSnapshotLength = 2048;
inline constexpr int kReadTimeoutMs = 100;
inline constexpr int kCaptureBufferSize = 16 * 1024 * 1024;
inline constexpr const char *kBridgeFilter = "ether proto 0x06AB";
inline constexpr unsigned kFilterNetmask = 0xFFFFFF;

// The socket table. find_socket gives the record of a socket the library has
// open, and null for anything else: null, a negative result of
// SpW_Socket_Init passed on unchecked, a closed or a foreign handle. Calls
// given no socket leave pcap alone.
// Inline: every call and every credit check asks it.
inline SocketRecord *find_socket(Socket socket) {
    if (reinterpret_cast<std::intptr_t>(socket) <= 0) return nullptr;
    SocketTable &table = library_state.sockets;
    const int in_use = table.keys_in_use.load(std::memory_order_acquire);
    for (int i = 0; i < in_use; ++i)
        if (table.keys[i].load(std::memory_order_acquire) == socket) return &table.records[i];
    return nullptr;
}
inline bool is_socket(Socket socket) { return find_socket(socket) != nullptr; }
// Enters an opened handle with a fresh record (its read buffer, if any, is
// attached by the caller); null when the table is full.
SocketRecord *register_socket(Socket socket);
void unregister_socket(Socket socket);
// The RMAP layer counts a reply that matched no transaction.
void count_rmap_reply_dropped(Socket socket);

// The read buffer a socket claimed at its opening (with read buffers on);
// false when all ten keys hold other sockets (the handle is then closed).
ReadBuffer *read_buffer_find(Socket socket);
bool read_buffer_claim(Socket socket);
void read_buffer_release(Socket socket);

// Releases device_list (it becomes none, with chosen_device).
void release_device_list();

// Opens an adapter as a capture (promiscuous, 100 ms read time-out, immediate
// delivery); prints
// the "Unable to open" message and returns null on failure.
pcap_t *open_adapter(const pcap_if_t *device);
// Prints "Listening on" with the adapter's description (its name when it has none).
void announce_listening(const pcap_if_t *device);
// Compiles and installs "ether proto 0x06AB", releasing the program once
// installed. On failure closes the handle, prints, and returns -5 or -6.
std::intptr_t install_bridge_filter(pcap_t *handle);

}  // namespace spweth
