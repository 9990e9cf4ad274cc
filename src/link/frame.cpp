#include "link/frame.h"

#include <algorithm>
#include <cstring>

#include "state/waiting.h"

namespace spweth::frame {

void write_header(std::uint8_t *frame, FrameType type, std::uint8_t frame_number,
                  std::uint16_t payload_length, const Route &route) {
    std::memcpy(frame + kDestOffset, route.bridge, 6);
    std::memcpy(frame + kSourceOffset, route.source, 6);
    frame[kEtherTypeOffset] = kEtherTypeHigh;
    frame[kEtherTypeOffset + 1] = kEtherTypeLow;
    frame[kTypeOffset] = static_cast<std::uint8_t>(type);
    frame[kNumberOffset] = frame_number;
    frame[kLengthOffset] = static_cast<std::uint8_t>(payload_length & 0xFF);
    frame[kLengthOffset + 1] = static_cast<std::uint8_t>(payload_length >> 8);
    frame[kCreditsOffset] = kCreditsSent;
}

namespace {

constexpr bool is_accepted_type(unsigned type) { return type <= 8 || type == 136 || type == 255; }

}  // namespace

bool decode_frame(const FrameView &frame, DecodedFrame &decoded, const Route &route) {
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
