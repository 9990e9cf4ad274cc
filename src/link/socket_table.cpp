// The sockets the library has open, each with its record.
#include <pcap/pcap.h>

#include <algorithm>
#include <cstring>

#include "link/sockets.h"

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
}

}  // namespace

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

}  // extern "C"
