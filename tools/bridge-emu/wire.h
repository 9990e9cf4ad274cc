// The bridge frame as the emulator sees it: the 19-byte header, the frame
// types, the size rules and little-endian field access. Every other file of
// the emulator reads and writes frames only through this header.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace bridge_emu::wire {

inline constexpr std::size_t kHeaderSize = 19;
inline constexpr std::size_t kMaxPayload = 1495;
inline constexpr std::size_t kMaxFrameSize = kHeaderSize + kMaxPayload;  // 1514
inline constexpr std::size_t kMinDataFrameSize = 60;
inline constexpr std::size_t kMinCodeFrameSize = 62;
inline constexpr std::size_t kMaxCodes = 255;
inline constexpr std::uint16_t kEtherType = 0x06AB;

inline constexpr std::size_t kDestOffset = 0;
inline constexpr std::size_t kSourceOffset = 6;
inline constexpr std::size_t kEtherTypeOffset = 12;  // big-endian
inline constexpr std::size_t kTypeOffset = 14;
inline constexpr std::size_t kNumberOffset = 15;
inline constexpr std::size_t kLengthOffset = 16;  // little-endian
inline constexpr std::size_t kCreditsOffset = 18;

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
    configuration = 255,
};

constexpr bool is_data(FrameType type) { return static_cast<std::uint8_t>(type) <= 5; }

// Short names for the event log.
constexpr const char *type_name(FrameType type) {
    switch (type) {
        case FrameType::mof:
            return "MOF";
        case FrameType::feof:
            return "FEOF";
        case FrameType::feef:
            return "FEEF";
        case FrameType::sof:
            return "SOF";
        case FrameType::eof:
            return "EOF";
        case FrameType::eef:
            return "EEF";
        case FrameType::control_codes:
            return "CCODES";
        case FrameType::errors:
            return "ERROR";
        case FrameType::status:
            return "STATUS";
        case FrameType::configuration:
            return "CONFIG";
    }
    return "?";
}

// Data frames are padded to 60 bytes, control-code frames to 62.
constexpr std::size_t data_frame_size(std::size_t payload) {
    return payload + kHeaderSize < kMinDataFrameSize ? kMinDataFrameSize : payload + kHeaderSize;
}
constexpr std::size_t code_frame_size(std::size_t codes) {
    return codes + kHeaderSize < kMinCodeFrameSize ? kMinCodeFrameSize : codes + kHeaderSize;
}

// An Ethernet address in transmission order.
struct Mac {
    std::array<std::uint8_t, 6> bytes{};

    bool operator==(const Mac &) const = default;
    bool is_broadcast() const { return *this == broadcast(); }
    static constexpr Mac broadcast() { return Mac{{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}; }
    static Mac from(const std::uint8_t *six) {
        Mac mac;
        std::memcpy(mac.bytes.data(), six, 6);
        return mac;
    }
    // "aa:bb:cc:dd:ee:ff" (also with '-'); nothing on a malformed text.
    static std::optional<Mac> parse(std::string_view text);
    std::string text() const;
};

inline void put_le16(std::uint8_t *at, std::uint16_t v) {
    at[0] = static_cast<std::uint8_t>(v);
    at[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put_le32(std::uint8_t *at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void put_le64(std::uint8_t *at, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The header fields of one frame, written in place by write().
struct Header {
    Mac dest;
    Mac source;
    std::uint8_t type_byte = 0;
    std::uint8_t number = 0;
    std::uint16_t payload_length = 0;
    std::uint8_t credits = 0;
    std::uint16_t ether_type = kEtherType;

    void write(std::uint8_t *frame) const {
        std::memcpy(frame + kDestOffset, dest.bytes.data(), 6);
        std::memcpy(frame + kSourceOffset, source.bytes.data(), 6);
        frame[kEtherTypeOffset] = static_cast<std::uint8_t>(ether_type >> 8);
        frame[kEtherTypeOffset + 1] = static_cast<std::uint8_t>(ether_type);
        frame[kTypeOffset] = type_byte;
        frame[kNumberOffset] = number;
        put_le16(frame + kLengthOffset, payload_length);
        frame[kCreditsOffset] = credits;
    }
};

// A read-only view over a received frame. Accessors need has_header().
class FrameView {
public:
    FrameView(const std::uint8_t *bytes, std::size_t length) : bytes_(bytes), length_(length) {}

    bool has_header() const { return length_ >= kHeaderSize; }
    bool has_bridge_ether_type() const {
        return bytes_[kEtherTypeOffset] == (kEtherType >> 8) &&
               bytes_[kEtherTypeOffset + 1] == (kEtherType & 0xFF);
    }
    Mac dest() const { return Mac::from(bytes_ + kDestOffset); }
    Mac source() const { return Mac::from(bytes_ + kSourceOffset); }
    std::uint8_t type_byte() const { return bytes_[kTypeOffset]; }
    std::uint8_t number() const { return bytes_[kNumberOffset]; }
    std::uint16_t payload_length() const {
        return static_cast<std::uint16_t>(bytes_[kLengthOffset] | (bytes_[kLengthOffset + 1] << 8));
    }
    // Payload bytes actually present after the header.
    std::size_t available_payload() const { return length_ - kHeaderSize; }
    const std::uint8_t *payload() const { return bytes_ + kHeaderSize; }
    std::size_t length() const { return length_; }

private:
    const std::uint8_t *bytes_;
    std::size_t length_;
};

}  // namespace bridge_emu::wire
