// The one process-wide record of settings and run-time state.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "link/frame_batch.h"
#include "spweth.h"
#include "state/waiting.h"

struct pcap_if;
struct pcap;

namespace spweth {

using Mac = std::array<std::uint8_t, 6>;
using Socket = struct pcap *;

inline constexpr int kReadBufferSlots = 10;
inline constexpr int kDefaultRecvBufferSize = 1000000;
inline constexpr int kDefaultRecvBufferLimit = 64 * 1024 * 1024;

// One socket's ring of set-aside frames (records: 4-byte host-order length,
// 8-byte capture time in nanoseconds, then the frame; a gap mark is a length alone).
struct ReadBuffer {
    std::uint8_t *storage = nullptr;
    std::uint32_t write_pos = 0;
    std::uint32_t read_pos = 0;
    std::uint32_t capacity = 0;
    std::uint32_t fill = 0;
    int thread_safe = 0;
    bool gap_marked = false;  // the last record is the mark of frames lost
};

// A lock that serves its waiters in turn, waits no longer than a deadline,
// and may be taken again by the thread that holds it (an event handler that
// receives or sends from inside a receive).
class FairLock {
public:
    bool held_by_this_thread() const {
        return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
    }
    // False when the deadline passes or the wait flag is cleared first.
    bool lock(const Deadline &deadline);
    // Takes the lock only when it is free and nobody waits for it.
    bool try_lock();
    void unlock();

private:
    void take();  // under mutex_

    std::mutex mutex_;
    std::condition_variable turn_;
    std::deque<std::uint64_t> waiting_;  // tickets in order of arrival, under mutex_
    std::uint64_t next_ticket_ = 0;      // under mutex_
    bool held_ = false;                  // under mutex_
    std::atomic<std::thread::id> owner_{};
    int depth_ = 0;  // written by the owner only
};

// What a socket owns for the thread-safe mode: one reader at a time (receives,
// state queries, credit waits), one packet or configuration frame at a time,
// and one control-code frame at a time.
struct SocketLocks {
    FairLock reader;
    FairLock sender;
    FairLock code_sender;
};

// A counter that one thread writes (the socket's reader, or its sender) and
// any thread may read: a plain load and store, no locked instruction.
struct Counter {
    std::atomic<std::uint64_t> value{0};
    void add(std::uint64_t n = 1) {
        value.store(value.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
    }
    // For a counter that several threads may advance at once.
    void add_shared() { value.fetch_add(1, std::memory_order_relaxed); }
    std::uint64_t get() const { return value.load(std::memory_order_relaxed); }
};

struct SocketCounters {
    Counter frames_received;
    Counter packets_received;
    Counter packets_cut;
    Counter fragments_discarded;
    Counter read_buffer_growths;
    Counter read_buffer_overflows;
    Counter rmap_replies_dropped;
};

// The largest frame a capture hands over (the snapshot length of every socket).
inline constexpr std::size_t kMaxCapturedFrame = 2048;

// A frame that a receive took but did not consume: the next receive on the
// socket takes it first (see the receive engine).
struct HeldFrame {
    std::array<std::uint8_t, kMaxCapturedFrame> bytes;
    std::size_t length = 0;  // 0: none
    std::int64_t time_ns = 0;
};

// One link's frame numbering and the credits its bridge reported: a link is
// an adapter and a bridge address. Sockets that follow the process-wide
// bridge address share the classic link, whose fields are library_state's.
struct Link {
    std::atomic<std::uint8_t> data_frame_counter{0};
    std::atomic<std::uint8_t> ccode_frame_counter{0};
    std::atomic<int> bridge_credits{8};
};

// A handler of a socket's own, with its context.
struct SocketHandler {
    spweth_socket_handler function = nullptr;
    void *context = nullptr;
};
inline constexpr int kSocketHandlerKinds = 3;  // SPWETH_HANDLER_CCODE .. _STATUS

// Takes certain whole packets off a socket before its ordinary receives see
// them: the RMAP initiator registers one for the replies it waits for. The
// receive engine asks it about packets, under the socket's reader lock.
class PacketClaimer {
public:
    enum class Claim { taken, dropped, not_mine };
    // Whether a packet whose first frame carries these bytes may be one to
    // claim: the engine then gathers the packet for claim().
    virtual bool wants(std::span<const std::uint8_t> start, const std::uint8_t *source) = 0;
    virtual Claim claim(std::span<const std::uint8_t> packet, bool ended_by_eep,
                        const std::uint8_t *source) = 0;
    // The socket's reader lock was released (thread-safe mode).
    virtual void reader_released() = 0;
    virtual void socket_closed() = 0;

protected:
    ~PacketClaimer() = default;
};

// A whole packet taken off the socket for its ordinary receives by a receive
// that was looking for claimed packets.
struct KeptPacket {
    std::vector<std::uint8_t> bytes;
    bool ended_by_eep = false;
    Mac source{};
    std::int64_t time_ns = 0;
};

// Where a socket's frames go and how they are numbered: the addresses in use
// and its link's counters and credits (the classic link's are library_state's).
struct Route {
    const std::uint8_t *bridge = nullptr;
    const std::uint8_t *source = nullptr;
    std::atomic<std::uint8_t> *data_frame_counter = nullptr;
    std::atomic<std::uint8_t> *ccode_frame_counter = nullptr;
    std::atomic<int> *bridge_credits = nullptr;
};

// Gives a block of heap_allocate's back (what it holds needs no destructor).
struct FreeBlock {
    void operator()(void *block) const { std::free(block); }
};

// Everything a socket owns besides its pcap handle, found by the handle.
struct SocketRecord {
    ReadBuffer *read_buffer = nullptr;  // its slot in the read-buffer table, if it claimed one
    SocketLocks locks;
    SocketCounters counters;
    HeldFrame held;
    std::string adapter_name;  // the pcap name it was opened on
    // Nanoseconds per unit of its pcap time stamps' fraction: 1 (nanoseconds) or 1000.
    std::int64_t ns_per_subsecond = 1000;
    int batch_descriptor = -1;  // takes sendmmsg; -1: pcap_sendpacket frame by frame
    // The frames of a packet being sent, made at its first packet of several.
    std::unique_ptr<FrameBatch, FreeBlock> send_batch;
    // The capture time of the last frame of what its last receive returned.
    std::atomic<std::int64_t> last_time_ns{0};
    // Its own addresses, once given; until then the process-wide ones.
    bool has_own_bridge = false;
    bool has_own_source = false;
    Mac own_bridge{};
    Mac own_source{};
    Link *own_link = nullptr;  // with its own bridge address: that link's record
    // What those make of the route, kept so that each send and receive need
    // not work it out; renewed whenever one of them changes.
    Route route{};
    std::array<SocketHandler, kSocketHandlerKinds> handlers{};
    // Claimed packets. Under the reader lock: a packet being gathered for the
    // claimer (open across receives until it ends), and packets kept in order.
    std::atomic<PacketClaimer *> claimer{nullptr};
    std::vector<std::uint8_t> gathered;
    bool gathering = false;
    Mac gathered_source{};
    std::deque<KeptPacket> kept;
    std::size_t kept_bytes = 0;
};

// The links of sockets with their own bridge address; entries live until the
// library is reset (a link is a few bytes), so that pointers to them stay.
struct LinkEntry {
    std::string adapter_name;
    Mac bridge{};
    Link link;
};

// The sockets the library has open; record i belongs to key i, an empty key
// is null. Keys are atomic so that a lookup never races an open or close of
// another socket.
inline constexpr int kMaxSockets = 64;
struct SocketTable {
    std::array<std::atomic<Socket>, kMaxSockets> keys{};
    std::array<SocketRecord, kMaxSockets> records{};
    std::atomic<int> keys_in_use{0};  // keys at and past it have never held a socket
    std::mutex changes;               // serialises opens, closes and link changes
    std::deque<LinkEntry> links;      // under changes
};

// The ten read buffers: buffer i belongs to key i; an empty key is null.
struct ReadBufferTable {
    std::array<Socket, kReadBufferSlots> keys{};
    std::array<ReadBuffer, kReadBufferSlots> buffers{};
};

// Each field is written by the subsystem named beside it.
struct LibraryState {
    // state: addresses on the wire
    Mac dest_mac_address{0x00, 0x01, 0x02, 0x03, 0x04, 0x05};
    Mac source_mac_address{};
    const Mac skip_source_address{};

    // state: credit settings; bridge_credits by rx (reports) and tx (frames sent)
    int send_crediting = 0;
    int send_credit_limit = 10;
    int send_credit_wait = 15;
    int send_credit_timeout_ms = 0;  // 0: the credit wait has no deadline
    std::atomic<int> bridge_credits{8};

    // state: reception settings; the two packet flags by rx
    std::atomic<int> wait_receive_active{1};
    int recv_skip_out_frames = 0;
    int recv_idle_wait = 0;  // 1: empty polls sleep in the kernel instead of spinning
    std::atomic<int> packet_has_comm_byte{0};
    std::atomic<int> packet_has_recv_timer{0};

    // rx: read buffers and event handlers
    int recv_buffering = 1;
    int recv_buffer_size = kDefaultRecvBufferSize;
    int thread_safe_mode = 0;
    int recv_buffer_limit = kDefaultRecvBufferLimit;
    ReadBufferTable read_buffer_table;
    event_handler ccode_handler = nullptr;
    event_handler err_frame_handler = nullptr;
    event_handler status_handler = nullptr;

    // link: frame counters (0..255, wrapping) and adapters
    std::atomic<std::uint8_t> data_frame_counter{0};
    std::atomic<std::uint8_t> ccode_frame_counter{0};
    struct pcap_if *device_list = nullptr;
    int device_count = 0;
    struct pcap_if *chosen_device = nullptr;
    int chosen_device_number = -1;
    SocketTable sockets;
};

extern LibraryState library_state;

// Adds `step` to a counter that threads share only in thread-safe mode, and
// returns its value before. In the default mode a plain load and store spare
// every frame a locked instruction.
template <typename T>
T advance_shared(std::atomic<T> &counter, T step) {
    if (library_state.thread_safe_mode != 0)
        return counter.fetch_add(step, std::memory_order_relaxed);
    const T before = counter.load(std::memory_order_relaxed);
    counter.store(static_cast<T>(before + step), std::memory_order_relaxed);
    return before;
}

// On/off settings store 1 for an argument above 0, else 0.
constexpr int normalise_flag(int on) { return on > 0 ? 1 : 0; }

// The skip-out filter: true when the frame's source address must be dropped.
// Inline: every frame received asks it, and the filter is usually off.
bool skipped_source(const std::uint8_t *source_address);
inline bool skip_out_frame(const std::uint8_t *source_address) {
    return library_state.recv_skip_out_frames != 0 && skipped_source(source_address);
}

// Heap used for read-buffer storage, record copies and handler blocks. Tests may
// replace it to make allocations fail; handler blocks must stay free()-able.
extern void *(*heap_allocate)(std::size_t size);

// Gives a read buffer fresh, empty storage of `size` bytes (none when that fails).
void renew_read_buffer(ReadBuffer &slot, int size);

// The three classic event handlers become none (closing a socket does it).
void clear_classic_handlers();

// Returns the library to its load defaults, releasing what it holds. Tests only.
void reset_library_state();

}  // namespace spweth
