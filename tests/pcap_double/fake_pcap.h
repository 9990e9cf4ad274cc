// A test double of the libpcap calls that the library makes. Unit tests link
// the library's objects against it instead of libpcap: they script the
// adapter list and failures, queue inbound frames per handle, and read back
// every frame sent and every filter and mode set.
#pragma once

#include <pcap/pcap.h>
#include <sys/socket.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace fake_pcap {

using Bytes = std::vector<std::uint8_t>;

struct Adapter {
    std::string name;
    std::optional<std::string> description;
};

// What the double knows of one handle (pcap_create / pcap_activate, or pcap_open_live).
struct Handle {
    std::string device;
    int snaplen = 0;
    int promisc = 0;
    int timeout_ms = 0;
    int immediate = 0;
    int buffer_size = 0;
    bool activation_failed = false;  // opened, refused by pcap_activate, closed
    std::string filter;              // text given to pcap_compile
    int optimize = 0;
    bpf_u_int32 netmask = 0;
    bool filter_installed = false;
    int nonblock = 0;
    bool closed = false;
    std::deque<Bytes> inbound;  // frames pcap_next_ex will hand out, in order
    std::deque<std::uint32_t> inbound_wire_lengths;
    std::deque<std::int64_t> inbound_times_ns;  // capture times, 0 unless pushed with one
    int tstamp_precision = PCAP_TSTAMP_PRECISION_MICRO;
    std::vector<Bytes> sent;  // frames given to pcap_sendpacket, refused ones too
    Bytes current;            // the frame last handed out (pcap's buffer)
    pcap_pkthdr header{};
};

// next_ex: a failing pcap_next_ex returns PCAP_ERROR (the adapter went away).
enum class Call { findalldevs, open_live, compile, setfilter, setnonblock, sendpacket, next_ex };

// Forgets every handle, adapter, failure and hook; the adapter list becomes
// empty and batching off.
void reset();

// Batched sends: with batching on, pcap_fileno gives each handle a descriptor
// of the double's, which its sendmmsg (put in the library's send_messages)
// takes: frames reach sent_frames as those of pcap_sendpacket do, and
// Call::sendpacket failures refuse frames within a batch. Refused batches
// fail with ENOSYS, as on a system without sendmmsg.
void set_batching(bool on);
void refuse_batches(bool refuse);
int sendmmsg(int descriptor, mmsghdr *messages, unsigned count, int flags);
void set_adapters(std::vector<Adapter> adapters);

// The (skip + 1)-th next call of this kind fails, once.
void fail_next(Call call, int skip = 0);
// Every call of this kind fails until called again with false.
void fail_always(Call call, bool fail = true);

// Inbound frames. A frame's wire length may be given larger than its bytes
// (a truncated capture); the captured length is always the byte count.
void push_inbound(pcap_t *handle, Bytes frame, std::uint32_t wire_length = 0);
// A frame with its capture time (nanoseconds since the epoch).
void push_inbound_at(pcap_t *handle, Bytes frame, std::int64_t time_ns);

// Called with the handle each time pcap_next_ex finds nothing queued (before it
// returns 0). A test uses it to let frames "arrive" during a wait, or to end one.
void on_empty_poll(std::function<void(pcap_t *)> hook);

Handle &handle(pcap_t *p);
pcap_t *last_opened();
std::vector<pcap_t *> opened();  // in order of opening
int open_handle_count();         // opened and not yet closed

struct SentFrame {
    pcap_t *handle;
    Bytes bytes;
    bool accepted;
};
// Every frame handed to pcap_sendpacket on any handle, in order.
const std::vector<SentFrame> &sent_frames();

struct Counters {
    int findalldevs = 0;
    int freealldevs = 0;
    int open_live = 0;
    int compile = 0;
    int freecode = 0;
    int close = 0;
    int empty_polls = 0;
    int batches = 0;  // sendmmsg calls that reached a handle
};
const Counters &counters();
int live_device_lists();  // lists handed out by pcap_findalldevs and not yet freed

inline constexpr const char *kFindAllDevsError = "fake findalldevs failure";
inline constexpr const char *kSendError = "fake send failure";

}  // namespace fake_pcap
