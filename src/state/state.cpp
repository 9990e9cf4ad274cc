#include "state/state.h"

#include "state/waiting.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace spweth {

LibraryState library_state;

void *(*heap_allocate)(std::size_t size) = &std::malloc;

bool skipped_source(const std::uint8_t *source_address) {
    return std::memcmp(source_address, library_state.skip_source_address.data(), 6) == 0;
}

// Gives the slot fresh, empty storage of `size` bytes (none when that fails).
void renew_read_buffer(ReadBuffer &slot, int size) {
    std::free(slot.storage);
    slot = ReadBuffer{};
    if (size != 0) {
        auto *storage = static_cast<std::uint8_t *>(heap_allocate(static_cast<std::size_t>(size)));
        if (storage != nullptr) {
            slot.storage = storage;
            slot.capacity = static_cast<std::uint32_t>(size);
        }
    }
    slot.thread_safe = library_state.thread_safe_mode;
}

void clear_classic_handlers() {
    library_state.ccode_handler = nullptr;
    library_state.err_frame_handler = nullptr;
    library_state.status_handler = nullptr;
}

void reset_library_state() {
    LibraryState &s = library_state;
    for (ReadBuffer &buffer : s.read_buffer_table.buffers) std::free(buffer.storage);
    if (s.device_list != nullptr) pcap_freealldevs(s.device_list);
    std::destroy_at(&s);
    std::construct_at(&s);
    heap_allocate = &std::malloc;
    reset_waiting();
}

namespace {

int set_address(Mac &address, const unsigned char *mac, int length) {
    if (length < 1 || length > 6 || mac == nullptr) return -1;
    std::copy_n(mac, length, address.begin());
    return 0;
}

}  // namespace
}  // namespace spweth

using spweth::library_state;

extern "C" {

SPWETH_API int get_wait_receive_status(void) { return library_state.wait_receive_active.load(); }

SPWETH_API int set_wait_receive_active(int active) {
    spweth::store_wait_flag(active);
    return active;
}

SPWETH_API int set_send_crediting(int on) {
    return library_state.send_crediting = spweth::normalise_flag(on);
}

SPWETH_API int set_send_credit_limit(int limit) {
    library_state.send_credit_limit = std::clamp(limit, 1, 32);
    return limit;
}

SPWETH_API int set_send_credit_wait(int level) { return library_state.send_credit_wait = level; }

SPWETH_API int set_send_credit_timeout(int milliseconds) {
    return library_state.send_credit_timeout_ms = std::max(milliseconds, 0);
}

SPWETH_API int get_send_credit_timeout(void) { return library_state.send_credit_timeout_ms; }

SPWETH_API int set_recv_idle_wait(int on) {
    return library_state.recv_idle_wait = spweth::normalise_flag(on);
}

SPWETH_API int get_recv_idle_wait(void) { return library_state.recv_idle_wait; }

SPWETH_API int set_recv_skip_out_frames(int on) {
    return library_state.recv_skip_out_frames = spweth::normalise_flag(on);
}

SPWETH_API int get_packet_has_comm_byte(void) { return library_state.packet_has_comm_byte; }
SPWETH_API int get_packet_has_recv_timer(void) { return library_state.packet_has_recv_timer; }
SPWETH_API int get_bridge_credits(void) { return library_state.bridge_credits; }

SPWETH_API unsigned char *get_current_source_mac_address(void) {
    return library_state.source_mac_address.data();
}
SPWETH_API unsigned char *get_current_source_mac_adress(void) {
    return get_current_source_mac_address();
}

SPWETH_API int set_source_mac_address(const unsigned char *mac, int length) {
    return spweth::set_address(library_state.source_mac_address, mac, length);
}
SPWETH_API int set_source_mac_adress(const unsigned char *mac, int length) {
    return set_source_mac_address(mac, length);
}

SPWETH_API unsigned char *get_current_dest_mac_address(void) {
    return library_state.dest_mac_address.data();
}
SPWETH_API unsigned char *get_current_dest_mac_adress(void) {
    return get_current_dest_mac_address();
}

SPWETH_API int set_dest_mac_address(const unsigned char *mac, int length) {
    return spweth::set_address(library_state.dest_mac_address, mac, length);
}
SPWETH_API int set_dest_mac_adress(const unsigned char *mac, int length) {
    return set_dest_mac_address(mac, length);
}

}  // extern "C"
