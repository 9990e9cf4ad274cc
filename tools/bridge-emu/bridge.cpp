#include "bridge.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <span>

#include "spweth.h"

namespace bridge_emu {

using wire::FrameType;
using wire::FrameView;
using wire::Mac;

namespace {

constexpr std::size_t kQueueSlots = 256;  // more than the largest pool
constexpr unsigned kDrainBatch = 64;      // frames read at a time while no buffer is free
constexpr Clock::duration kStatFreqUnit = std::chrono::milliseconds(100);
constexpr std::uint8_t kLinkRun = 5;
constexpr std::uint16_t kJunkEtherType = 0x88B5;  // IEEE local experimental
constexpr std::uint16_t kRuntAnnouncedLength = 200;

// Configuration mask bits and what each selects.
namespace edit0 {
constexpr std::uint8_t host_address = 0x01;
constexpr std::uint8_t own_address = 0x02;
constexpr std::uint8_t speed = 0x04;
constexpr std::uint8_t filter = 0x08;
constexpr std::uint8_t learn_host = 0x10;
constexpr std::uint8_t learn_own = 0x20;
constexpr std::uint8_t reset = 0x40;
}  // namespace edit0
namespace edit1 {
constexpr std::uint8_t switch_mode = 0x01;
constexpr std::uint8_t status_period = 0x02;
constexpr std::uint8_t receive_timer = 0x04;
constexpr std::uint8_t data_filter = 0x08;
constexpr std::uint8_t hardware_reset = 0x10;
}  // namespace edit1

constexpr char kConfigMarker[6] = {'G', 'E', '_', 'S', 'P', 'W'};

// SpaceWire address bytes: path addresses 0..31 in front of the logical
// address. A packet with more of them than this is not held for the target.
constexpr std::uint8_t kFirstLogicalAddress = 0x20;
constexpr std::size_t kMaxPathAddresses = 256;

std::size_t leading_address_bytes(std::span<const std::uint8_t> packet) {
    const auto first = std::find_if(packet.begin(), packet.end(),
                                    [](std::uint8_t b) { return b >= kFirstLogicalAddress; });
    return static_cast<std::size_t>(first - packet.begin());
}

bool is_host_frame_type(std::uint8_t type_byte) {
    return type_byte <= static_cast<std::uint8_t>(FrameType::control_codes) ||
           type_byte == static_cast<std::uint8_t>(FrameType::configuration);
}

constexpr bool starts_packet(FrameType type) {
    return type == FrameType::sof || type == FrameType::feof || type == FrameType::feef;
}
constexpr bool ends_packet(FrameType type) {
    return type == FrameType::feof || type == FrameType::feef || type == FrameType::eof ||
           type == FrameType::eef;
}
constexpr bool ends_with_eep(FrameType type) {
    return type == FrameType::feef || type == FrameType::eef;
}

std::uint32_t rate_per_second(std::uint64_t bytes, Clock::duration elapsed) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
    if (ms <= 0) return 0;
    const std::uint64_t rate = bytes * 1000 / static_cast<std::uint64_t>(ms);
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(rate, UINT32_MAX));
}

void write_channel(std::uint8_t *channel, const PortCounters &now, std::uint32_t tx_rate,
                   std::uint32_t rx_rate) {
    wire::put_le64(channel + offsetof(spw_eth_channel_state, tx_bytes), now.tx_bytes);
    wire::put_le64(channel + offsetof(spw_eth_channel_state, rx_bytes), now.rx_bytes);
    wire::put_le32(channel + offsetof(spw_eth_channel_state, tx_packets), now.tx_packets);
    wire::put_le32(channel + offsetof(spw_eth_channel_state, rx_packets), now.rx_packets);
    wire::put_le32(channel + offsetof(spw_eth_channel_state, rx_packets_eep), now.rx_packets_eep);
    wire::put_le32(channel + offsetof(spw_eth_channel_state, tx_bytes_per_sec), tx_rate);
    wire::put_le32(channel + offsetof(spw_eth_channel_state, rx_bytes_per_sec), rx_rate);
    channel[offsetof(spw_eth_channel_state, link_state)] = kLinkRun;
}

}  // namespace

// ---------------------------------------------------------------------------
// Frame numbering

Sequence FrameNumbering::check(std::uint8_t number, bool zero_restarts) {
    const bool seen = seen_;
    const auto step = static_cast<std::uint8_t>(number - last_);
    seen_ = true;
    last_ = number;
    if (!seen) return Sequence::first;
    if (step == 1) return Sequence::next;
    if (step == 0) return Sequence::repeat;
    if (number == 0 && zero_restarts) return Sequence::restart;
    return Sequence::jump;
}

std::uint8_t jump_error_type(FrameType type, bool previous_left_packet_open) {
    struct Row {
        std::uint8_t after_open_packet;  // previous data frame SOF or MOF
        std::uint8_t after_packet_end;   // previous data frame EOF, EEF, FEOF or FEEF
    };
    constexpr Row kStartsPacket{1, 2};  // SOF, FEEF, FEOF
    constexpr Row kContinues{3, 4};     // MOF, EEF, EOF
    const Row row = starts_packet(type) ? kStartsPacket : kContinues;
    return previous_left_packet_open ? row.after_open_packet : row.after_packet_end;
}

// ---------------------------------------------------------------------------
// Set-up

Bridge::Bridge(const Options &options, Link &link, Clock::time_point now)
    : options_(options),
      link_(link),
      settings_(startup_settings()),
      pool_(options.credits, options.withhold_credits),
      queue_bytes_(kQueueSlots * wire::kMaxFrameSize),
      queue_lengths_(kQueueSlots),
      started_(now),
      rate_since_(now) {
    if (options.rmap.memory_size > 0) rmap_.emplace(options.rmap);
    rmap_latency_ = std::chrono::microseconds(options.rmap.latency_us);
    if (settings_.status_period.count() > 0) next_status_ = now + settings_.status_period;
}

Bridge::Settings Bridge::startup_settings() const {
    Settings s;
    s.own = options_.own_mac;
    s.host = options_.host_mac;
    s.learn_host = !options_.host_mac.has_value();
    s.status_period = std::chrono::milliseconds(options_.status_ms);
    return s;
}

// ---------------------------------------------------------------------------
// Reception

unsigned Bridge::batch_limit() const {
    const unsigned room = static_cast<unsigned>(kQueueSlots - queued_);
    return std::min(pool_.free() > 0 ? pool_.free() : kDrainBatch, room);
}

void Bridge::take(const std::uint8_t *bytes, std::size_t length) {
    const FrameView frame(bytes, length);
    if (!frame.has_header() || !frame.has_bridge_ether_type() || length > wire::kMaxFrameSize) {
        ++stats_.ignored_malformed;
        return;
    }
    if (!is_host_frame_type(frame.type_byte())) {
        ++stats_.ignored_unknown_type;
        event("ignored frame of type byte 0x%02X", frame.type_byte());
        return;
    }
    if (queued_ == kQueueSlots) return;  // batch_limit keeps this from happening
    if (wire::is_data(static_cast<FrameType>(frame.type_byte())) && !pool_.take()) {
        ++stats_.dropped_no_buffer;
        event("dropped %s #%u: no free buffer",
              wire::type_name(static_cast<FrameType>(frame.type_byte())), frame.number());
        return;
    }
    std::memcpy(queue_bytes_.data() + queued_ * wire::kMaxFrameSize, bytes, length);
    queue_lengths_[queued_] = static_cast<std::uint16_t>(length);
    ++queued_;
}

void Bridge::process_batch() {
    for (std::size_t i = 0; i < queued_; ++i)
        process(FrameView(queue_bytes_.data() + i * wire::kMaxFrameSize, queue_lengths_[i]));
    queued_ = 0;
    if (batch_accepted_ &&
        (reported_credits_ < 0 || pool_.free() > static_cast<unsigned>(reported_credits_)))
        announce_credits();
    batch_accepted_ = false;
}

// The address checks wait until here: a configuration frame earlier in the
// same batch may have changed the addresses.
void Bridge::process(const FrameView &frame) {
    const auto type = static_cast<FrameType>(frame.type_byte());
    const auto ignore = [&](std::uint64_t &counter, const char *why) {
        ++counter;
        event("ignored %s #%u: %s", wire::type_name(type), frame.number(), why);
        if (wire::is_data(type)) pool_.give_back_unused();
    };
    const Mac dest = frame.dest();
    if (frame.source() == settings_.own) return ignore(stats_.ignored_own, "sent by this bridge");
    if (dest != settings_.own && !dest.is_broadcast() && !settings_.learn_own)
        return ignore(stats_.ignored_not_for_us, "not addressed to this bridge");
    // A configuration frame announces more payload than it carries; its body
    // is checked on its own.
    if (type != FrameType::configuration && frame.available_payload() < frame.payload_length())
        return ignore(stats_.ignored_malformed, "shorter than its payload length");
    batch_accepted_ = true;

    if (settings_.learn_own && dest != settings_.own && !dest.is_broadcast()) {
        settings_.own = dest;
        event("own address now %s (learnt)", settings_.own.text().c_str());
    }
    if (settings_.learn_host && settings_.host != frame.source()) {
        settings_.host = frame.source();
        reported_credits_ = -1;
        event("host address now %s (learnt)", settings_.host->text().c_str());
    }

    if (wire::is_data(type))
        on_data(frame, type);
    else if (type == FrameType::control_codes)
        on_codes(frame);
    else
        on_config(frame);
}

bool Bridge::number_jumped(FrameNumbering &numbering, const FrameView &frame) {
    switch (numbering.check(frame.number(), !options_.strict_numbers)) {
        case Sequence::first:
        case Sequence::next:
            return false;
        case Sequence::repeat:
            ++stats_.repeats;
            return false;
        case Sequence::restart:
            ++stats_.restarts;
            event("%s #0: the host's numbering starts again",
                  wire::type_name(static_cast<FrameType>(frame.type_byte())));
            return false;
        case Sequence::jump:
            return true;
    }
    return true;
}

void Bridge::on_data(const FrameView &frame, FrameType type) {
    const std::uint8_t number = frame.number();
    const std::size_t length = frame.payload_length();
    ++stats_.data_frames_in;
    stats_.data_bytes_in += length;
    event("rx %s #%u, %zu bytes", wire::type_name(type), number, length);

    const std::uint8_t expected = data_numbering_.expected();
    if (number_jumped(data_numbering_, frame)) {
        const std::uint8_t error = jump_error_type(type, previous_left_packet_open_);
        ++stats_.jumps[error];
        send_error(error, expected, number);
    }
    previous_left_packet_open_ = type == FrameType::sof || type == FrameType::mof;

    // Out on SpW1: a new packet ends an unfinished one with EEP first.
    if (starts_packet(type) && spw1_packet_open_) spw_end_packet(true);
    spw1_packet_open_ = true;
    // The frame's data has left its buffer once SpW1 has sent it.
    pool_.give_back();
    spw_send(frame.payload(), length);
    if (ends_packet(type)) spw_end_packet(ends_with_eep(type));
}

void Bridge::on_codes(const FrameView &frame) {
    const std::size_t count = frame.payload_length();
    const std::uint8_t number = frame.number();
    ++stats_.code_frames_in;
    event("rx CCODES #%u, %zu codes", number, count);
    if (count > wire::kMaxCodes) {
        ++stats_.ignored_malformed;
        event("ignored CCODES #%u: more than %zu codes", number, wire::kMaxCodes);
        return;
    }

    const std::uint8_t expected = code_numbering_.expected();
    if (number_jumped(code_numbering_, frame)) {
        ++stats_.jumps[kCodeFrameJumpError];
        send_error(kCodeFrameJumpError, expected, number);
    }

    // SpW1 sends the codes, SpW2 receives them, and they go back as they came.
    const std::size_t frame_length = wire::code_frame_size(count);
    std::uint8_t *out = scratch_.data();
    std::memset(out, 0, frame_length);
    header_to_host(FrameType::control_codes, code_number_++, count).write(out);
    std::memcpy(out + wire::kHeaderSize, frame.payload(), count);
    ++stats_.code_frames_out;
    event("tx CCODES #%u, %zu codes, credits %u", out[wire::kNumberOffset], count,
          out[wire::kCreditsOffset]);
    send(out, frame_length);
}

// ---------------------------------------------------------------------------
// Configuration

void Bridge::on_config(const FrameView &frame) {
    ++stats_.config_frames_in;
    spw_eth_conf_header_2 body;
    if (frame.available_payload() < sizeof body ||
        std::memcmp(frame.payload(), kConfigMarker, sizeof kConfigMarker) != 0) {
        ++stats_.ignored_malformed;
        event("ignored CONFIG #%u: no GE_SPW body", frame.number());
        return;
    }
    std::memcpy(&body, frame.payload(), sizeof body);
    event("rx CONFIG #%u, edit0 0x%02X, edit1 0x%02X", frame.number(), body.edit0, body.edit1);

    const std::uint8_t expected = data_numbering_.expected();
    if (number_jumped(data_numbering_, frame)) {
        // No error type covers a configuration frame: counted, not reported.
        ++stats_.jumps[0];
        event("CONFIG #%u: frame number jumped, expected #%u", frame.number(), expected);
    }

    // Resets first, so that the fields of the same frame apply afterwards.
    if (body.edit1 & edit1::hardware_reset) hardware_reset();
    if (body.edit0 & edit0::reset) reset_counters();

    Settings &s = settings_;
    if (body.edit0 & edit0::host_address) {
        s.host = Mac::from(body.new_dest_addr);
        s.learn_host = false;
        reported_credits_ = -1;
        event("config: host address %s", s.host->text().c_str());
    }
    if (body.edit0 & edit0::own_address) {
        s.own = Mac::from(body.new_src_addr);
        s.learn_own = false;
        event("config: own address %s", s.own.text().c_str());
    }
    if (body.edit0 & edit0::speed) {
        s.speed = body.Spw_Speed;
        event("config: speed code 0x%02X", s.speed);
    }
    if (body.edit0 & edit0::filter) {
        s.filter = body.filtr;
        event("config: filter 0x%02X", s.filter);
    }
    if (body.edit0 & edit0::learn_host) {
        s.learn_host = true;
        event("config: host address learnt from frames");
    }
    if (body.edit0 & edit0::learn_own) {
        s.learn_own = true;
        event("config: own address learnt from frames");
    }
    if (body.edit1 & edit1::switch_mode) {
        s.switch_mode = body.switch_mode;
        event("config: switch mode 0x%02X", s.switch_mode);
    }
    if (body.edit1 & edit1::status_period) {
        s.status_period = body.stat_freq * kStatFreqUnit;
        if (body.stat_freq == 0)
            next_status_.reset();
        else
            next_status_ = Clock::now() + s.status_period;
        event("config: status period %u ms", body.stat_freq * 100U);
    }
    if (body.edit1 & edit1::receive_timer) {
        s.receive_timer = body.receive_timer;
        event("config: receive timer 0x%02X", s.receive_timer);
    }
    if (body.edit1 & edit1::data_filter) {
        s.data_filter = body.data_filtr;
        s.data_mask = body.data_mask;
        event("config: data filter 0x%02X, mask 0x%02X", s.data_filter, s.data_mask);
    }
}

void Bridge::reset_counters() {
    spw1_ = {};
    spw2_ = {};
    rate_base_spw1_ = {};
    rate_base_spw2_ = {};
    rate_since_ = Clock::now();
    data_numbering_.forget();
    code_numbering_.forget();
    previous_left_packet_open_ = false;
    event("config: counters reset");
}

void Bridge::hardware_reset() {
    const Clock::time_point now = Clock::now();
    settings_ = startup_settings();
    pool_.refill();
    reported_credits_ = -1;
    spw1_packet_open_ = false;
    spw1_route_ = Route::undecided;
    spw1_held_.clear();
    spw1_held_cut_ = false;
    to_host_fill_ = 0;
    to_host_started_ = false;
    data_number_ = code_number_ = service_number_ = 0;
    started_ = now;
    next_status_.reset();
    if (settings_.status_period.count() > 0) next_status_ = now + settings_.status_period;
    reset_counters();
    event("config: hardware reset");
}

// ---------------------------------------------------------------------------
// The SpaceWire loop

void Bridge::spw_send(const std::uint8_t *data, std::size_t length) {
    spw1_.tx_bytes += length;
    if (rmap_)
        route_to_target(data, length);
    else
        spw2_receive(data, length);
}

void Bridge::spw_end_packet(bool eep) {
    ++spw1_.tx_packets;
    spw1_packet_open_ = false;
    if (rmap_)
        end_at_target(eep);
    else
        spw2_end_packet(eep);
}

void Bridge::route_to_target(const std::uint8_t *data, std::size_t length) {
    if (spw1_route_ == Route::loopback) return spw2_receive(data, length);
    const std::size_t limit = spw1_path_size_ + rmap_->largest_command();
    if (spw1_route_ == Route::target) {
        const std::size_t kept = std::min(length, limit - std::min(limit, spw1_held_.size()));
        spw1_held_.insert(spw1_held_.end(), data, data + kept);
        spw1_held_cut_ = spw1_held_cut_ || kept < length;
        return;
    }
    // Undecided: the first three bytes after the path addresses tell.
    spw1_held_.insert(spw1_held_.end(), data, data + length);
    const std::span<const std::uint8_t> held = spw1_held_;
    spw1_path_size_ = leading_address_bytes(held);
    if (held.size() - spw1_path_size_ >= RmapTarget::kBytesThatTell &&
        RmapTarget::is_command(held.subspan(spw1_path_size_))) {
        spw1_route_ = Route::target;
        const std::size_t command_limit = spw1_path_size_ + rmap_->largest_command();
        if (spw1_held_.size() > command_limit) {
            spw1_held_.resize(command_limit);
            spw1_held_cut_ = true;
        }
        return;
    }
    if (held.size() - spw1_path_size_ < RmapTarget::kBytesThatTell &&
        spw1_path_size_ <= kMaxPathAddresses)
        return;
    spw1_route_ = Route::loopback;
    spw2_receive(spw1_held_.data(), spw1_held_.size());
    spw1_held_.clear();
}

void Bridge::end_at_target(bool eep) {
    const Route route = spw1_route_;
    spw1_route_ = Route::undecided;
    if (route != Route::target) {  // loopback, or too short to be a command
        spw2_receive(spw1_held_.data(), spw1_held_.size());
        spw1_held_.clear();
        return spw2_end_packet(eep);
    }
    const std::span<const std::uint8_t> held = spw1_held_;
    const bool answered =
        rmap_->execute(held.subspan(spw1_path_size_), eep, spw1_held_cut_, rmap_reply_);
    event("RMAP command of %zu bytes%s: %s", held.size(), eep ? " with EEP" : "",
          answered ? "answered" : "no reply");
    spw1_held_.clear();
    spw1_held_cut_ = false;
    if (!answered) return;
    // Later replies wait behind an earlier one that has not left yet.
    if (rmap_latency_.count() == 0 && rmap_pending_.empty()) return deliver_reply(rmap_reply_);
    rmap_pending_.push_back({Clock::now() + rmap_latency_, rmap_reply_});
    event("RMAP reply waits %u us, %zu waiting", options_.rmap.latency_us, rmap_pending_.size());
}

void Bridge::deliver_reply(std::span<const std::uint8_t> reply) {
    // Each router on the way strips the path address it routes by; one that
    // is 0 sends the reply to that router's own port, not to the host.
    const auto path = reply.first(leading_address_bytes(reply));
    if (std::find(path.begin(), path.end(), 0) != path.end()) {
        ++stats_.rmap_replies_lost;
        event("RMAP reply lost: path address 0 in its reply address");
        return;
    }
    spw2_receive(reply.data() + path.size(), reply.size() - path.size());
    spw2_end_packet(false);
}

void Bridge::release_replies(Clock::time_point now) {
    while (!rmap_pending_.empty() && rmap_pending_.front().due <= now && !spw2_busy()) {
        const PendingReply reply = std::move(rmap_pending_.front());
        rmap_pending_.pop_front();
        deliver_reply(reply.packet);
    }
}

void Bridge::spw2_receive(const std::uint8_t *data, std::size_t length) {
    spw2_.rx_bytes += length;
    while (length > 0) {
        // A full frame goes out only once more data shows it is not the last.
        if (to_host_fill_ == wire::kMaxPayload) {
            flush_to_host(to_host_started_ ? FrameType::mof : FrameType::sof);
            to_host_started_ = true;
        }
        const std::size_t room = wire::kMaxPayload - to_host_fill_;
        const std::size_t part = std::min(room, length);
        std::memcpy(to_host_.data() + wire::kHeaderSize + to_host_fill_, data, part);
        to_host_fill_ += part;
        data += part;
        length -= part;
    }
}

void Bridge::spw2_end_packet(bool eep) {
    ++spw2_.rx_packets;
    if (eep) ++spw2_.rx_packets_eep;
    if (to_host_started_)
        flush_to_host(eep ? FrameType::eef : FrameType::eof);
    else
        flush_to_host(eep ? FrameType::feef : FrameType::feof);
    to_host_started_ = false;
}

void Bridge::flush_to_host(FrameType type) {
    const std::size_t frame_length = wire::data_frame_size(to_host_fill_);
    std::uint8_t *out = to_host_.data();
    std::memset(out + wire::kHeaderSize + to_host_fill_, 0,
                frame_length - wire::kHeaderSize - to_host_fill_);
    header_to_host(type, data_number_++, to_host_fill_).write(out);
    to_host_fill_ = 0;
    send_data_frame(frame_length);
}

// ---------------------------------------------------------------------------
// Frames to the host

wire::Header Bridge::header_to_host(FrameType type, std::uint8_t number,
                                    std::size_t payload_length) {
    wire::Header h;
    h.dest = settings_.host.value_or(Mac::broadcast());
    h.source = settings_.own;
    h.type_byte = static_cast<std::uint8_t>(type);
    if (wire::is_data(type) || type == FrameType::control_codes) h.type_byte |= options_.flags;
    h.number = number;
    h.payload_length = static_cast<std::uint16_t>(payload_length);
    h.credits = static_cast<std::uint8_t>(pool_.free());
    return h;
}

void Bridge::send_data_frame(std::size_t frame_length) {
    const std::uint8_t *frame = to_host_.data();
    const std::uint64_t index = ++stats_.data_frames_out;
    event("tx %s #%u, %u bytes, credits %u",
          wire::type_name(static_cast<FrameType>(frame[wire::kTypeOffset] & 0x3F)),
          frame[wire::kNumberOffset], FrameView(frame, frame_length).payload_length(),
          frame[wire::kCreditsOffset]);
    if (options_.drop_every != 0 && index % options_.drop_every == 0) {
        ++stats_.injected_drops;
        event("injected: data frame #%u dropped", frame[wire::kNumberOffset]);
    } else {
        send(frame, frame_length);
        if (options_.dup_every != 0 && index % options_.dup_every == 0) {
            ++stats_.injected_dups;
            event("injected: data frame #%u sent twice", frame[wire::kNumberOffset]);
            send(frame, frame_length);
        }
    }
    send_junk_after(index);
}

void Bridge::send_junk_after(std::uint64_t data_frame_index) {
    std::uint8_t *out = scratch_.data();
    if (options_.bad_ether_type_every != 0 &&
        data_frame_index % options_.bad_ether_type_every == 0) {
        std::memset(out, 0, wire::kMinDataFrameSize);
        wire::Header h = header_to_host(FrameType::feof, service_number_++, 1);
        h.ether_type = kJunkEtherType;
        h.write(out);
        ++stats_.injected_bad_ether_type;
        event("injected: frame of EtherType 0x%04X", kJunkEtherType);
        send(out, wire::kMinDataFrameSize);
    }
    if (options_.runt_every != 0 && data_frame_index % options_.runt_every == 0) {
        std::memset(out, 0, wire::kMinDataFrameSize);
        header_to_host(FrameType::feof, service_number_++, kRuntAnnouncedLength).write(out);
        ++stats_.injected_runts;
        event("injected: %zu-byte frame announcing %u payload bytes", wire::kMinDataFrameSize,
              kRuntAnnouncedLength);
        send(out, wire::kMinDataFrameSize);
    }
}

void Bridge::send_error(std::uint8_t error_type, std::uint8_t expected, std::uint8_t received) {
    std::uint8_t *out = scratch_.data();
    std::memset(out, 0, wire::kMinDataFrameSize);
    header_to_host(FrameType::errors, service_number_++, 3).write(out);
    out[wire::kHeaderSize] = error_type;
    out[wire::kHeaderSize + 1] = expected;
    out[wire::kHeaderSize + 2] = received;
    ++stats_.error_frames_out;
    event("tx ERROR type %u: frame #%u, expected #%u", error_type, received, expected);
    send(out, wire::kMinDataFrameSize);
}

void Bridge::announce_credits() {
    // Payload: the error type 0, then the count again, so that a reader of
    // two payload bytes finds the same record as one that reads byte 18.
    std::uint8_t *out = scratch_.data();
    std::memset(out, 0, wire::kMinDataFrameSize);
    header_to_host(FrameType::errors, service_number_++, 2).write(out);
    out[wire::kHeaderSize] = kCreditInfoError;
    out[wire::kHeaderSize + 1] = static_cast<std::uint8_t>(pool_.free());
    ++stats_.error_frames_out;
    ++stats_.credit_info_out;
    event("tx credit info: %u free", pool_.free());
    send(out, wire::kMinDataFrameSize);
}

void Bridge::tick(Clock::time_point now) {
    release_replies(now);
    if (!next_status_ || now < *next_status_) return;
    send_status(now);
    *next_status_ += settings_.status_period;
    if (*next_status_ <= now) next_status_ = now + settings_.status_period;  // fell behind
}

std::optional<Clock::time_point> Bridge::next_deadline() const {
    // A reply held behind a looping packet leaves when that packet's end
    // comes in a frame, which wakes the loop anyway.
    if (rmap_pending_.empty() || spw2_busy()) return next_status_;
    const Clock::time_point reply = rmap_pending_.front().due;
    return next_status_ ? std::min(*next_status_, reply) : reply;
}

void Bridge::send_status(Clock::time_point now) {
    constexpr std::size_t kRecord = sizeof(spw_eth_state);
    std::uint8_t *out = scratch_.data();
    std::memset(out, 0, wire::kHeaderSize + kRecord);
    header_to_host(FrameType::status, service_number_++, kRecord).write(out);

    std::uint8_t *record = out + wire::kHeaderSize;
    const auto uptime = std::chrono::duration_cast<std::chrono::milliseconds>(now - started_);
    wire::put_le32(record + offsetof(spw_eth_state, time),
                   static_cast<std::uint32_t>(uptime.count()));
    const Clock::duration elapsed = now - rate_since_;
    write_channel(record + offsetof(spw_eth_state, spw1), spw1_,
                  rate_per_second(spw1_.tx_bytes - rate_base_spw1_.tx_bytes, elapsed),
                  rate_per_second(spw1_.rx_bytes - rate_base_spw1_.rx_bytes, elapsed));
    write_channel(record + offsetof(spw_eth_state, spw2), spw2_,
                  rate_per_second(spw2_.tx_bytes - rate_base_spw2_.tx_bytes, elapsed),
                  rate_per_second(spw2_.rx_bytes - rate_base_spw2_.rx_bytes, elapsed));
    record[offsetof(spw_eth_state, speed)] = settings_.speed;
    record[offsetof(spw_eth_state, switch_state)] = settings_.switch_mode;
    rate_base_spw1_ = spw1_;
    rate_base_spw2_ = spw2_;
    rate_since_ = now;

    ++stats_.status_frames_out;
    event("tx STATUS: speed 0x%02X, switch 0x%02X, SpW1 tx %" PRIu64 " bytes", settings_.speed,
          settings_.switch_mode, spw1_.tx_bytes);
    send(out, wire::kHeaderSize + kRecord);
}

bool Bridge::send(const std::uint8_t *frame, std::size_t length) {
    if (FrameView(frame, length).has_bridge_ether_type())
        reported_credits_ = frame[wire::kCreditsOffset];
    if (link_.send(frame, length)) return true;
    ++stats_.send_failures;
    event("send of a %zu-byte frame failed", length);
    return false;
}

// ---------------------------------------------------------------------------
// Reporting

void Bridge::event(const char *format, ...) const {
    if (!options_.verbose) return;
    const double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
    std::printf("%10.6f ", seconds);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::putchar('\n');
}

void Bridge::print_summary(std::FILE *out) const {
    const Statistics &s = stats_;
    const auto line = [out](const char *name, std::uint64_t value) {
        std::fprintf(out, "  %-36s %" PRIu64 "\n", name, value);
    };
    std::fprintf(out, "spweth-bridge-emu counters\n");
    line("data frames from host:", s.data_frames_in);
    line("data bytes from host:", s.data_bytes_in);
    line("control-code frames from host:", s.code_frames_in);
    line("configuration frames from host:", s.config_frames_in);
    line("dropped, no free buffer:", s.dropped_no_buffer);
    line("ignored, not for this bridge:", s.ignored_not_for_us);
    line("ignored, own frames:", s.ignored_own);
    line("ignored, malformed:", s.ignored_malformed);
    line("ignored, unknown type:", s.ignored_unknown_type);
    for (std::size_t type = 1; type < s.jumps.size(); ++type) {
        char name[40];
        std::snprintf(name, sizeof name, "number jumps, error type %zu:", type);
        line(name, s.jumps[type]);
    }
    line("number jumps, configuration frames:", s.jumps[0]);
    line("number repeats:", s.repeats);
    line("numbering restarts at 0:", s.restarts);
    line("data frames to host:", s.data_frames_out);
    line("control-code frames to host:", s.code_frames_out);
    line("error frames to host:", s.error_frames_out);
    line("  of which credit info:", s.credit_info_out);
    line("status frames to host:", s.status_frames_out);
    line("injected drops:", s.injected_drops);
    line("injected duplicates:", s.injected_dups);
    line("injected bad EtherType frames:", s.injected_bad_ether_type);
    line("injected runts:", s.injected_runts);
    line("send failures:", s.send_failures);
    line("SpW1 packets sent:", spw1_.tx_packets);
    line("SpW1 bytes sent:", spw1_.tx_bytes);
    line("SpW2 packets received:", spw2_.rx_packets);
    line("SpW2 packets received with EEP:", spw2_.rx_packets_eep);
    line("SpW2 bytes received:", spw2_.rx_bytes);
    line("free buffers:", pool_.free());
    if (!rmap_) return;
    const RmapTargetCounters &r = rmap_->counters();
    line("RMAP commands:", r.commands);
    line("RMAP commands with header errors:", r.header_errors);
    line("RMAP commands failed:", r.failed);
    line("RMAP replies:", r.replies);
    line("RMAP replies lost on their path:", s.rmap_replies_lost);
    line("injected RMAP reply drops:", r.injected_drops);
    line("injected RMAP data CRC errors:", r.injected_bad_crcs);
    if (rmap_latency_.count() > 0) line("RMAP replies still waiting:", rmap_pending_.size());
}

}  // namespace bridge_emu
