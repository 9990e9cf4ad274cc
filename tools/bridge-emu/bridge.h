// The emulated bridge: one Ethernet port and two SpaceWire ports, SpW1 and
// SpW2, joined by a loopback cable. Frames from the host are taken into a
// pool of receive buffers, checked, and sent out on SpW1; what SpW2 receives
// goes back to the host. The bridge knows nothing of pcap: it reads frames
// handed to it and sends through a Link.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "options.h"
#include "rmap_target.h"
#include "wire.h"

namespace bridge_emu {

using Clock = std::chrono::steady_clock;

// Where the bridge's frames go.
class Link {
public:
    virtual ~Link() = default;
    virtual bool send(const std::uint8_t *frame, std::size_t length) = 0;
};

// Counters of one SpaceWire port, as the status record reports them.
struct PortCounters {
    std::uint64_t tx_bytes = 0;
    std::uint64_t rx_bytes = 0;
    std::uint32_t tx_packets = 0;
    std::uint32_t rx_packets = 0;
    std::uint32_t rx_packets_eep = 0;
};

// The receive buffers: each data frame from the host holds one from its
// arrival until its data has gone out on SpW1. A withholding pool never gets
// them back (until a hardware reset).
class CreditPool {
public:
    CreditPool(unsigned size, bool withhold) : size_(size), withhold_(withhold) {}
    bool take() {
        if (free() == 0) return false;
        ++held_;
        return true;
    }
    void give_back() {
        --held_;
        if (withhold_) ++withheld_;
    }
    // For a frame that is ignored: its buffer was never really used.
    void give_back_unused() { --held_; }
    void refill() { withheld_ = 0; }
    unsigned free() const { return size_ - held_ - withheld_; }

private:
    unsigned size_;
    unsigned held_ = 0;  // by frames taken and not yet processed
    unsigned withheld_ = 0;
    bool withhold_;
};

// Sequence check of one frame counter of the host.
enum class Sequence { first, next, repeat, jump, restart };

class FrameNumbering {
public:
    Sequence check(std::uint8_t number, bool zero_restarts);
    std::uint8_t expected() const { return static_cast<std::uint8_t>(last_ + 1); }
    void forget() { seen_ = false; }

private:
    bool seen_ = false;
    std::uint8_t last_ = 0;
};

// The error type reported for a data frame whose number jumped, by its type
// and by whether the previous data frame left a packet open (SOF or MOF).
std::uint8_t jump_error_type(wire::FrameType type, bool previous_left_packet_open);
inline constexpr std::uint8_t kCreditInfoError = 0;
inline constexpr std::uint8_t kCodeFrameJumpError = 5;

// What the emulator has seen and done, for the summary.
struct Statistics {
    std::uint64_t data_frames_in = 0;
    std::uint64_t data_bytes_in = 0;
    std::uint64_t code_frames_in = 0;
    std::uint64_t config_frames_in = 0;
    std::uint64_t dropped_no_buffer = 0;
    std::uint64_t ignored_not_for_us = 0;
    std::uint64_t ignored_own = 0;
    std::uint64_t ignored_malformed = 0;
    std::uint64_t ignored_unknown_type = 0;
    std::array<std::uint64_t, 6> jumps{};  // by error type 1..5; [0] config frames
    std::uint64_t repeats = 0;
    std::uint64_t restarts = 0;
    std::uint64_t data_frames_out = 0;
    std::uint64_t code_frames_out = 0;
    std::uint64_t error_frames_out = 0;
    std::uint64_t credit_info_out = 0;
    std::uint64_t status_frames_out = 0;
    std::uint64_t injected_drops = 0;
    std::uint64_t injected_dups = 0;
    std::uint64_t injected_bad_ether_type = 0;
    std::uint64_t injected_runts = 0;
    std::uint64_t send_failures = 0;
    std::uint64_t rmap_replies_lost = 0;  // a path address 0 sent them to a router's own port
};

class Bridge {
public:
    Bridge(const Options &options, Link &link, Clock::time_point now);

    // How many frames the next read may hand over: one per free buffer.
    unsigned batch_limit() const;
    // Takes one captured frame into a receive buffer, or drops it.
    void take(const std::uint8_t *bytes, std::size_t length);
    // Processes the frames taken since the last call, in order, then makes
    // sure the host has heard the current credit count.
    void process_batch();
    // Sends the RMAP replies and the status frame that are due.
    void tick(Clock::time_point now);
    // When tick has work next; nothing while it has none waiting.
    std::optional<Clock::time_point> next_deadline() const;
    // Tells the host (or everyone, before a host is known) the free buffers.
    void announce_credits();

    const Statistics &statistics() const { return stats_; }
    void print_summary(std::FILE *out) const;

private:
    struct Settings {
        wire::Mac own;
        std::optional<wire::Mac> host;
        bool learn_host = true;
        bool learn_own = false;
        std::uint8_t speed = 0x80;
        std::uint8_t switch_mode = 0x33;
        std::uint8_t filter = 0;
        std::uint8_t data_filter = 0;
        std::uint8_t data_mask = 0;
        std::uint8_t receive_timer = 0;
        Clock::duration status_period{};
    };

    Settings startup_settings() const;
    void process(const wire::FrameView &frame);
    // Checks a host frame's number, counting repeats and restarts.
    bool number_jumped(FrameNumbering &numbering, const wire::FrameView &frame);
    void on_data(const wire::FrameView &frame, wire::FrameType type);
    void on_codes(const wire::FrameView &frame);
    void on_config(const wire::FrameView &frame);
    void hardware_reset();
    void reset_counters();

    // The loop: SpW1 sends, SpW2 receives and packs what it receives into
    // data frames for the host. With an RMAP target, SpW1's packets that are
    // RMAP commands go to the target, whose replies SpW2 receives instead.
    void spw_send(const std::uint8_t *data, std::size_t length);
    void spw_end_packet(bool eep);
    void route_to_target(const std::uint8_t *data, std::size_t length);
    void end_at_target(bool eep);
    // A reply of the target reaches SpW2 as routers deliver it.
    void deliver_reply(std::span<const std::uint8_t> reply);
    void release_replies(Clock::time_point now);
    // SpW2 is receiving a packet that loops back; a reply waits for its end.
    bool spw2_busy() const { return spw1_route_ == Route::loopback; }
    void spw2_receive(const std::uint8_t *data, std::size_t length);
    void spw2_end_packet(bool eep);
    void flush_to_host(wire::FrameType type);

    // Frames to the host.
    wire::Header header_to_host(wire::FrameType type, std::uint8_t number,
                                std::size_t payload_length);
    void send_data_frame(std::size_t frame_length);
    void send_junk_after(std::uint64_t data_frame_index);
    void send_error(std::uint8_t error_type, std::uint8_t expected, std::uint8_t received);
    void send_status(Clock::time_point now);
    bool send(const std::uint8_t *frame, std::size_t length);

    void event(const char *format, ...) const __attribute__((format(printf, 2, 3)));

    const Options &options_;
    Link &link_;
    Settings settings_;
    CreditPool pool_;
    int reported_credits_ = -1;  // credits byte of the last frame to the host; -1 none yet

    // Frames taken and not yet processed, in arrival order.
    std::vector<std::uint8_t> queue_bytes_;
    std::vector<std::uint16_t> queue_lengths_;
    std::size_t queued_ = 0;
    bool batch_accepted_ = false;

    FrameNumbering data_numbering_;
    FrameNumbering code_numbering_;
    bool previous_left_packet_open_ = false;

    // SpaceWire side.
    PortCounters spw1_;
    PortCounters spw2_;
    bool spw1_packet_open_ = false;
    std::array<std::uint8_t, wire::kMaxFrameSize> to_host_{};  // SpW2's packet being packed
    std::size_t to_host_fill_ = 0;
    bool to_host_started_ = false;  // a SOF of this packet has gone to the host

    // The RMAP target, and SpW1's packet while it may be a command for it:
    // held until its first bytes tell, then held whole when it is one.
    std::optional<RmapTarget> rmap_;
    enum class Route { undecided, loopback, target };
    Route spw1_route_ = Route::undecided;
    std::vector<std::uint8_t> spw1_held_;
    std::size_t spw1_path_size_ = 0;  // address bytes in front of the held command
    bool spw1_held_cut_ = false;      // bytes beyond the largest command were not kept
    std::vector<std::uint8_t> rmap_reply_;
    // With a latency, the replies that wait for their time, in the order
    // their commands came (and so of their due times).
    struct PendingReply {
        Clock::time_point due;
        std::vector<std::uint8_t> packet;
    };
    Clock::duration rmap_latency_{};
    std::deque<PendingReply> rmap_pending_;

    // The bridge's own frame counters.
    std::uint8_t data_number_ = 0;
    std::uint8_t code_number_ = 0;
    std::uint8_t service_number_ = 0;  // error and status frames
    std::array<std::uint8_t, wire::kMaxFrameSize> scratch_{};

    Clock::time_point started_;
    std::optional<Clock::time_point> next_status_;
    Clock::time_point rate_since_;
    PortCounters rate_base_spw1_;
    PortCounters rate_base_spw2_;

    Statistics stats_;
};

}  // namespace bridge_emu
