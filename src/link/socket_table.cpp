// The sockets the library has open, each with its record.
#include <pcap/pcap.h>

#include <ifaddrs.h>
#include <netpacket/packet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "link/frame.h"

#include "link/sockets.h"
#include "state/console.h"

namespace spweth {
namespace {

SocketTable &table() { return library_state.sockets; }

void renew_record(SocketRecord &record) {
    record.read_buffer = nullptr;
    SocketCounters &c = record.counters;
    for (Counter *counter :
         {&c.frames_received, &c.packets_received, &c.packets_cut, &c.fragments_discarded,
          &c.read_buffer_growths, &c.read_buffer_overflows, &c.rmap_replies_dropped})
        counter->value.store(0, std::memory_order_relaxed);
    record.held.length = 0;
    record.last_time_ns.store(0, std::memory_order_relaxed);
    record.ns_per_subsecond = 1000;
    record.batch_descriptor = -1;
    record.adapter_name.clear();
    record.has_own_bridge = false;
    record.has_own_source = false;
    record.own_link = nullptr;
    spweth::frame::renew_route(record);
    record.handlers.fill({});
    record.claimer.store(nullptr, std::memory_order_relaxed);
    record.gathered = {};
    record.gathering = false;
    record.kept.clear();
    record.kept_bytes = 0;
}

// The link of an adapter and a bridge address, made at its first use. Under
// the table's mutex.
Link &link_of(SocketTable &t, const std::string &adapter, const Mac &bridge) {
    for (LinkEntry &entry : t.links)
        if (entry.adapter_name == adapter && entry.bridge == bridge) return entry.link;
    LinkEntry &entry = t.links.emplace_back();
    entry.adapter_name = adapter;
    entry.bridge = bridge;
    return entry.link;
}

// The adapter's hardware address, from the system's interface list.
bool adapter_address(const std::string &adapter, Mac &address) {
    ifaddrs *all = nullptr;
    if (getifaddrs(&all) != 0) return false;
    bool found = false;
    for (const ifaddrs *entry = all; entry != nullptr && !found; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_PACKET ||
            adapter != entry->ifa_name)
            continue;
        const auto *link = reinterpret_cast<const sockaddr_ll *>(entry->ifa_addr);
        if (link->sll_halen != address.size()) continue;
        std::copy_n(link->sll_addr, address.size(), address.begin());
        found = std::any_of(address.begin(), address.end(), [](std::uint8_t b) { return b != 0; });
    }
    freeifaddrs(all);
    return found;
}

Mac mac_of(const unsigned char *bytes) {
    Mac mac;
    std::copy_n(bytes, mac.size(), mac.begin());
    return mac;
}

}  // namespace

// The ten read buffers: a socket claims one at its opening.
ReadBuffer *read_buffer_find(Socket socket) {
    if (socket == nullptr) return nullptr;  // an empty key is not a socket's slot
    ReadBufferTable &t = library_state.read_buffer_table;
    for (int i = 0; i < kReadBufferSlots; ++i)
        if (t.keys[i] == socket) return &t.buffers[i];
    return nullptr;
}

bool read_buffer_claim(Socket socket) {
    ReadBufferTable &t = library_state.read_buffer_table;
    auto key = std::find(t.keys.begin(), t.keys.end(), socket);
    if (key == t.keys.end()) key = std::find(t.keys.begin(), t.keys.end(), nullptr);
    if (key == t.keys.end()) {
        console_print(
            "Error: too many sockets opened, cannot initialize receive buffer for socket.\n");
        pcap_close(socket);
        console_error("\nError getting read buffer for socket\n");
        return false;
    }
    *key = socket;
    renew_read_buffer(t.buffers[static_cast<std::size_t>(key - t.keys.begin())],
                      library_state.recv_buffer_size);
    return true;
}

void read_buffer_release(Socket socket) {
    for (Socket &key : library_state.read_buffer_table.keys)
        if (key == socket) key = nullptr;
}

SocketRecord *register_socket(Socket socket) {
    SocketTable &t = table();
    std::lock_guard lock(t.changes);
    for (int i = 0; i < kMaxSockets; ++i) {
        if (t.keys[i].load(std::memory_order_relaxed) != nullptr) continue;
        renew_record(t.records[i]);
        t.keys[i].store(socket, std::memory_order_release);
        if (i >= t.keys_in_use.load(std::memory_order_relaxed))
            t.keys_in_use.store(i + 1, std::memory_order_release);
        return &t.records[i];
    }
    return nullptr;
}

void unregister_socket(Socket socket) {
    SocketTable &t = table();
    std::lock_guard lock(t.changes);
    for (std::atomic<Socket> &key : t.keys)
        if (key.load(std::memory_order_relaxed) == socket) key.store(nullptr);
}

void count_rmap_reply_dropped(Socket socket) {
    if (SocketRecord *record = find_socket(socket))
        record->counters.rmap_replies_dropped.add_shared();
}

}  // namespace spweth

extern "C" {

SPWETH_API int SpW_Socket_Set_Bridge_Address(struct pcap *socket, const unsigned char address[6]) {
    spweth::SocketRecord *record = spweth::find_socket(socket);
    if (record == nullptr || address == nullptr) return -1;
    spweth::SocketTable &t = spweth::library_state.sockets;
    const std::lock_guard lock(t.changes);
    record->own_bridge = spweth::mac_of(address);
    record->own_link = &spweth::link_of(t, record->adapter_name, record->own_bridge);
    record->has_own_bridge = true;
    spweth::frame::renew_route(*record);
    return 0;
}

SPWETH_API int SpW_Socket_Set_Source_Address(struct pcap *socket, const unsigned char address[6]) {
    spweth::SocketRecord *record = spweth::find_socket(socket);
    if (record == nullptr || address == nullptr) return -1;
    record->own_source = spweth::mac_of(address);
    record->has_own_source = true;
    spweth::frame::renew_route(*record);
    return 0;
}

SPWETH_API int SpW_Socket_Use_Adapter_Address(struct pcap *socket) {
    spweth::SocketRecord *record = spweth::find_socket(socket);
    spweth::Mac address{};
    if (record == nullptr || !spweth::adapter_address(record->adapter_name, address)) return -1;
    return SpW_Socket_Set_Source_Address(socket, address.data());
}

SPWETH_API int SpW_Socket_Get_Bridge_Address(struct pcap *socket, unsigned char address[6]) {
    const spweth::SocketRecord *record = spweth::find_socket(socket);
    if (record == nullptr || address == nullptr) return -1;
    std::memcpy(address, spweth::frame::route_of(*record).bridge, 6);
    return 0;
}

SPWETH_API int SpW_Socket_Get_Source_Address(struct pcap *socket, unsigned char address[6]) {
    const spweth::SocketRecord *record = spweth::find_socket(socket);
    if (record == nullptr || address == nullptr) return -1;
    std::memcpy(address, spweth::frame::route_of(*record).source, 6);
    return 0;
}

SPWETH_API int SpW_Socket_Get_Bridge_Credits(struct pcap *socket) {
    const spweth::SocketRecord *record = spweth::find_socket(socket);
    if (record == nullptr) return -1;
    return spweth::frame::route_of(*record).bridge_credits->load();
}

SPWETH_API int SpW_Socket_Set_Handler(struct pcap *socket, int kind, spweth_socket_handler handler,
                                      void *context) {
    spweth::SocketRecord *record = spweth::find_socket(socket);
    if (record == nullptr || kind < SPWETH_HANDLER_CCODE || kind > SPWETH_HANDLER_STATUS) return -1;
    record->handlers[static_cast<std::size_t>(kind - 1)] = {handler,
                                                            handler != nullptr ? context : nullptr};
    return 0;
}

SPWETH_API int SpW_Socket_Get_Counters(struct pcap *socket, spweth_socket_counters *out, int size) {
    const spweth::SocketRecord *record = spweth::find_socket(socket);
    if (record == nullptr || out == nullptr || size < 0) return -1;
    const spweth::SocketCounters &c = record->counters;
    spweth_socket_counters all{};
    all.frames_received = c.frames_received.get();
    all.packets_received = c.packets_received.get();
    all.packets_cut = c.packets_cut.get();
    all.fragments_discarded = c.fragments_discarded.get();
    all.read_buffer_growths = c.read_buffer_growths.get();
    all.read_buffer_overflows = c.read_buffer_overflows.get();
    all.rmap_replies_dropped = c.rmap_replies_dropped.get();
    std::memcpy(out, &all, std::min(static_cast<std::size_t>(size), sizeof all));
    return 0;
}

SPWETH_API int SpW_Socket_Get_Last_Time(struct pcap *socket, long long *ns) {
    const spweth::SocketRecord *record = spweth::find_socket(socket);
    if (record == nullptr || ns == nullptr) return -1;
    *ns = record->last_time_ns.load(std::memory_order_relaxed);
    return 0;
}

}  // extern "C"
