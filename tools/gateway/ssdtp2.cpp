#include "ssdtp2.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace ssdtp2 {
namespace {

// A size whose bytes 2 and 3 are not 0 is 2^64 or more: it is reported as this.
inline constexpr std::uint64_t kSizeBeyond64Bits = std::numeric_limits<std::uint64_t>::max();

void write_size(std::uint8_t *header, std::uint64_t size) {
    for (std::size_t i = 0; i < kSizeBytes; ++i) {
        const std::size_t shift = 8 * (kSizeBytes - 1 - i);
        header[kSizeOffset + i] = shift < 64 ? static_cast<std::uint8_t>(size >> shift) : 0;
    }
}

// The size field, or kSizeBeyond64Bits when its two most significant bytes are not 0.
std::uint64_t read_size(const std::uint8_t *header) {
    if (header[kSizeOffset] != 0 || header[kSizeOffset + 1] != 0) return kSizeBeyond64Bits;
    std::uint64_t size = 0;
    for (std::size_t i = 2; i < kSizeBytes; ++i) size = (size << 8) | header[kSizeOffset + i];
    return size;
}

constexpr bool is_client_flag(std::uint8_t flag) {
    switch (static_cast<Flag>(flag)) {
        case Flag::eop:
        case Flag::eep:
        case Flag::piece:
        case Flag::time_code_to_link:
            return true;
        case Flag::time_code_from_link:  // goes to clients only
            return false;
    }
    return false;
}

}  // namespace

std::array<std::uint8_t, kHeaderSize> packet_header(std::uint64_t size, bool eep) {
    std::array<std::uint8_t, kHeaderSize> header{};
    header[0] = static_cast<std::uint8_t>(eep ? Flag::eep : Flag::eop);
    write_size(header.data(), size);
    return header;
}

std::array<std::uint8_t, kTimeCodeFrameSize> time_code_frame(std::uint8_t code) {
    std::array<std::uint8_t, kTimeCodeFrameSize> frame{};
    frame[0] = static_cast<std::uint8_t>(Flag::time_code_from_link);
    write_size(frame.data(), kTimeCodeDataSize);
    frame[kHeaderSize] = code;
    return frame;
}

std::vector<std::uint8_t> rest_of_frame(std::span<const std::uint8_t> head,
                                        std::span<const std::uint8_t> data, std::size_t written) {
    std::vector<std::uint8_t> rest;
    rest.reserve(head.size() + data.size() - written);
    if (written < head.size())
        rest.assign(head.begin() + static_cast<std::ptrdiff_t>(written), head.end());
    const std::size_t into_data = written > head.size() ? written - head.size() : 0;
    rest.insert(rest.end(), data.begin() + static_cast<std::ptrdiff_t>(into_data), data.end());
    return rest;
}

std::string describe(const Refusal &refusal, std::uint64_t max_packet) {
    char text[160];
    const auto value = static_cast<unsigned long long>(refusal.value);
    const auto limit = static_cast<unsigned long long>(max_packet);
    switch (refusal.reason) {
        case Reason::unknown_flag:
            std::snprintf(text, sizeof text, "unknown flag 0x%02llx", value);
            break;
        case Reason::reserved_not_zero:
            std::snprintf(text, sizeof text, "reserved byte 0x%02llx, not 0", value);
            break;
        case Reason::frame_too_large:
            if (refusal.value == kSizeBeyond64Bits)
                std::snprintf(text, sizeof text, "frame size of 2^64 bytes or more");
            else
                std::snprintf(text, sizeof text, "frame of %llu bytes, above --max-packet %llu",
                              value, limit);
            break;
        case Reason::time_code_size:
            std::snprintf(text, sizeof text, "time-code frame of size %llu, not 2", value);
            break;
        case Reason::pieces_too_large:
            std::snprintf(text, sizeof text, "pieces add up to %llu bytes, above --max-packet %llu",
                          value, limit);
            break;
    }
    return text;
}

std::optional<Refusal> Decoder::start_frame() {
    const std::uint8_t flag = header_[0];
    if (!is_client_flag(flag)) return Refusal{Reason::unknown_flag, flag};
    if (header_[1] != 0) return Refusal{Reason::reserved_not_zero, header_[1]};
    flag_ = static_cast<Flag>(flag);
    const std::uint64_t size = read_size(header_.data());
    if (flag_ == Flag::time_code_to_link) {
        if (size != kTimeCodeDataSize) return Refusal{Reason::time_code_size, size};
    } else if (size > max_packet_) {
        return Refusal{Reason::frame_too_large, size};
    } else if (packet_.size() + size > max_packet_) {
        return Refusal{Reason::pieces_too_large, packet_.size() + size};
    }
    // Room for the frame's data before it comes (within max_packet): a packet
    // that arrives over many reads is copied once, not again at each growth.
    const std::uint64_t needed = packet_.size() + size;
    if (flag_ != Flag::time_code_to_link && packet_.capacity() < needed)
        packet_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(
            std::max<std::uint64_t>(needed, 2 * packet_.capacity()), max_packet_)));
    remaining_ = size;
    in_data_ = true;
    return std::nullopt;
}

std::optional<Refusal> Decoder::feed(std::span<const std::uint8_t> bytes,
                                     std::vector<Message> &out) {
    if (refused_) return refused_;
    while (true) {
        if (!in_data_) {
            if (bytes.empty()) break;
            const std::size_t take = std::min(kHeaderSize - header_fill_, bytes.size());
            std::copy_n(bytes.begin(), take, header_.begin() + header_fill_);
            header_fill_ += take;
            bytes = bytes.subspan(take);
            if (header_fill_ < kHeaderSize) break;
            if ((refused_ = start_frame())) return refused_;
        }
        if (remaining_ > 0) {
            if (bytes.empty()) break;
            const auto take =
                static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, bytes.size()));
            if (flag_ == Flag::time_code_to_link) {
                std::copy_n(bytes.begin(), take, code_.begin() + code_fill_);
                code_fill_ += take;
            } else {
                packet_.insert(packet_.end(), bytes.begin(),
                               bytes.begin() + static_cast<std::ptrdiff_t>(take));
            }
            remaining_ -= take;
            bytes = bytes.subspan(take);
            if (remaining_ > 0) break;
        }
        // The frame is complete.
        in_data_ = false;
        header_fill_ = 0;
        switch (flag_) {
            case Flag::eop:
            case Flag::eep: {
                Message message{Message::Kind::packet, flag_ == Flag::eep, 0, std::move(packet_)};
                out.push_back(std::move(message));
                packet_ = {};
                break;
            }
            case Flag::piece:
                break;
            case Flag::time_code_to_link:
                out.push_back(Message{Message::Kind::time_code, false, code_[0], {}});
                code_fill_ = 0;
                break;
            case Flag::time_code_from_link:
                break;  // refused in start_frame
        }
    }
    return std::nullopt;
}

}  // namespace ssdtp2
