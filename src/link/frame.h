// The bridge frame: the 19-byte header, frame types, size rules and counters.
// Senders build headers only through write_header; the receive engine reads
// frames only through FrameView and decode_frame.
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "state/state.h"
#include "state/waiting.h"

namespace spweth::frame {

inline constexpr std::size_t kHeaderSize = 19;
inline constexpr std::size_t kMacSize = 6;
inline constexpr std::size_t kMaxPayload = 1495;
inline constexpr std::size_t kMaxFrameSize = kHeaderSize + kMaxPayload;  // 1514
inline constexpr std::size_t kShortPayloadBound = 40;  // data payloads up to this are padded
inline constexpr std::size_t kMinDataFrameSize = 60;
inline constexpr std::size_t kMinCodeFrameSize = 62;  // control-code and configuration frames
inline constexpr std::size_t kMaxCodes = 255;
inline constexpr std::size_t kMaxCodeFrameSize = kHeaderSize + kMaxCodes;  // 274
// A configuration frame is always 62 bytes and announces 46 payload bytes,
// although only 43 follow the header.
inline constexpr std::size_t kConfigurationFrameSize = kMinCodeFrameSize;
inline constexpr std::uint16_t kConfigurationPayloadLength = 46;
inline constexpr std::uint8_t kEtherTypeHigh = 0x06;
inline constexpr std::uint8_t kEtherTypeLow = 0xAB;
inline constexpr std::uint8_t kCreditsSent = 10;

// Header offsets.
inline constexpr std::size_t kDestOffset = 0;
inline constexpr std::size_t kSourceOffset = 6;
inline constexpr std::size_t kEtherTypeOffset = 12;
inline constexpr std::size_t kTypeOffset = 14;
inline constexpr std::size_t kNumberOffset = 15;
inline constexpr std::size_t kLengthOffset = 16;  // little-endian
inline constexpr std::size_t kCreditsOffset = 18;

// Decoded frame types.
enum class FrameType : std::uint8_t {
    mof = 0,
    feof = 1,
    feef = 2,
    sof = 3,
    eof = 4,
    eef = 5,
    control_codes = 6,
    errors = 7,
    status = 8,
    type_136 = 136,
    configuration = 255,
};

// Type-byte flag bits of received frames (only on type bytes above 8 other than 136, 255).
inline constexpr std::uint8_t kCommByteFlag = 0x40;
inline constexpr std::uint8_t kRecvTimerFlag = 0x80;

// What pcap_sendpacket returns for a refused frame; senders that refuse a
// frame themselves return it too.
inline constexpr int kFrameRefused = -1;

using spweth::Route;

inline Route classic_route() {
    LibraryState &s = library_state;
    return {s.dest_mac_address.data(), s.source_mac_address.data(), &s.data_frame_counter,
            &s.ccode_frame_counter, &s.bridge_credits};
}

// The route a socket's record keeps: the classic one until the socket is
// given addresses of its own (see renew_route).
inline const Route &route_of(const SocketRecord &record) { return record.route; }

// The record's route from its own addresses and link, where it has them.
inline void renew_route(SocketRecord &record) {
    Route route = classic_route();
    if (record.own_link != nullptr) {
        route.bridge = record.own_bridge.data();
        route.data_frame_counter = &record.own_link->data_frame_counter;
        route.ccode_frame_counter = &record.own_link->ccode_frame_counter;
        route.bridge_credits = &record.own_link->bridge_credits;
    }
    if (record.has_own_source) route.source = record.own_source.data();
    record.route = route;
}

// Writes offsets 0..13: the route's addresses and 06 AB, the same in every
// frame the route carries.
inline void write_address_prefix(std::uint8_t *frame, const Route &route) {
    std::memcpy(frame + kDestOffset, route.bridge, kMacSize);
    std::memcpy(frame + kSourceOffset, route.source, kMacSize);
    frame[kEtherTypeOffset] = kEtherTypeHigh;
    frame[kEtherTypeOffset + 1] = kEtherTypeLow;
}

// Writes offsets 14..17: type, number and payload length (little-endian).
inline void write_frame_fields(std::uint8_t *frame, FrameType type, std::uint8_t frame_number,
                               std::uint16_t payload_length) {
    frame[kTypeOffset] = static_cast<std::uint8_t>(type);
    frame[kNumberOffset] = frame_number;
    frame[kLengthOffset] = static_cast<std::uint8_t>(payload_length & 0xFF);
    frame[kLengthOffset + 1] = static_cast<std::uint8_t>(payload_length >> 8);
}

// Writes offsets 0..18. Inline: senders write one for every frame.
inline void write_header(std::uint8_t *frame, FrameType type, std::uint8_t frame_number,
                         std::uint16_t payload_length, const Route &route = classic_route()) {
    write_address_prefix(frame, route);
    write_frame_fields(frame, type, frame_number, payload_length);
    frame[kCreditsOffset] = kCreditsSent;
}

// Return the counter's current value and advance it modulo 256.
inline std::uint8_t take_data_frame_number(const Route &route = classic_route()) {
    return advance_shared(*route.data_frame_counter, std::uint8_t{1});
}
inline std::uint8_t take_ccode_frame_number(const Route &route = classic_route()) {
    return advance_shared(*route.ccode_frame_counter, std::uint8_t{1});
}

// Data frames are padded to 60 bytes; control-code frames to 62.
constexpr std::size_t data_frame_size(std::size_t payload) {
    return payload <= kShortPayloadBound ? kMinDataFrameSize : kHeaderSize + payload;
}
constexpr std::size_t code_frame_size(std::size_t codes) {
    return codes <= kMinCodeFrameSize - kHeaderSize ? kMinCodeFrameSize : kHeaderSize + codes;
}

// A read-only view over received bytes. Accessors need has_header().
class FrameView {
public:
    FrameView(const std::uint8_t *bytes, std::size_t length) : bytes_(bytes), length_(length) {}

    bool has_header() const { return bytes_ != nullptr && length_ >= kHeaderSize; }
    // Both bytes at once: one comparison.
    bool has_bridge_ether_type() const {
        static constexpr std::array<std::uint8_t, 2> kBridgeEtherType{kEtherTypeHigh,
                                                                      kEtherTypeLow};
        std::uint16_t ether_type;
        std::memcpy(&ether_type, bytes_ + kEtherTypeOffset, sizeof ether_type);
        return ether_type == std::bit_cast<std::uint16_t>(kBridgeEtherType);
    }
    const std::uint8_t *source() const { return bytes_ + kSourceOffset; }
    std::uint8_t type_byte() const { return bytes_[kTypeOffset]; }
    std::uint16_t payload_length() const {
        return static_cast<std::uint16_t>(bytes_[kLengthOffset] | (bytes_[kLengthOffset + 1] << 8));
    }
    std::uint8_t credits() const { return bytes_[kCreditsOffset]; }
    const std::uint8_t *payload() const { return bytes_ + kHeaderSize; }
    const std::uint8_t *bytes() const { return bytes_; }
    std::size_t length() const { return length_; }

private:
    const std::uint8_t *bytes_;
    std::size_t length_;
};

constexpr bool is_accepted_type(unsigned type) { return type <= 8 || type == 136 || type == 255; }

struct DecodedFrame {
    FrameType type;
    std::uint16_t payload_length;  // P: meaningful payload bytes
};

// The decoding steps for one received frame: runt guard, EtherType, skip-out
// filter, type byte and its flags (into library_state), accepted types,
// credit update from the route's bridge address, then the length check.
// Returns false when the frame is to be ignored.
// Inline: the receive engine decodes every frame.
inline bool decode_frame(const FrameView &frame, DecodedFrame &decoded,
                         const Route &route = classic_route()) {
    LibraryState &s = library_state;
    if (!frame.has_header() || !frame.has_bridge_ether_type()) return false;
    if (skip_out_frame(frame.source())) return false;

    unsigned type = frame.type_byte();
    if (!is_accepted_type(type)) {
        if (type & kCommByteFlag) s.packet_has_comm_byte.store(1, std::memory_order_relaxed);
        if (type & kRecvTimerFlag) s.packet_has_recv_timer.store(1, std::memory_order_relaxed);
        type &= 0x3F;
        if (!is_accepted_type(type)) return false;
    }

    if (std::memcmp(frame.source(), route.bridge, 6) == 0) {
        if (s.thread_safe_mode == 0) {
            route.bridge_credits->store(frame.credits(), std::memory_order_relaxed);
        } else {
            route.bridge_credits->store(frame.credits());
            credit_news::announce();  // a sender may be waiting for these credits
        }
    }

    const std::uint16_t payload_length = frame.payload_length();
    if (frame.length() < kHeaderSize + payload_length) return false;

    decoded.type = static_cast<FrameType>(type);
    decoded.payload_length = payload_length;
    return true;
}

}  // namespace spweth::frame
