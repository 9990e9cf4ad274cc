// SSDTP2, the framing of SpaceWire packets and time codes on the gateway's
// TCP stream: a 12-byte header (flag, reserved 0x00, a 10-byte big-endian
// size) and that many bytes of data. Pure code over bytes: the decoder knows
// nothing of sockets, so that it is tested and fuzzed alone.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ssdtp2 {

inline constexpr std::size_t kHeaderSize = 12;
inline constexpr std::size_t kSizeOffset = 2;
inline constexpr std::size_t kSizeBytes = 10;
inline constexpr std::size_t kTimeCodeDataSize = 2;
inline constexpr std::size_t kTimeCodeFrameSize = kHeaderSize + kTimeCodeDataSize;

// The flag byte, byte 0 of every frame.
enum class Flag : std::uint8_t {
    eop = 0x00,                  // a whole packet ended by EOP
    eep = 0x01,                  // a whole packet ended by EEP
    piece = 0x02,                // part of a packet that the next frames continue
    time_code_to_link = 0x30,    // a time code from the client, to be sent on the link
    time_code_from_link = 0x31,  // a time code received from the link, to the client
};

// What the gateway sends: the header of a whole packet (never pieces; bytes 2
// and 3 of the size are always 0), and a time-code frame of 14 bytes.
std::array<std::uint8_t, kHeaderSize> packet_header(std::uint64_t size, bool eep);
std::array<std::uint8_t, kTimeCodeFrameSize> time_code_frame(std::uint8_t code);

// The bytes of a frame, its header then its data, that come after its first
// `written` (a write that took only part of it); `written` is at most the
// frame's size.
std::vector<std::uint8_t> rest_of_frame(std::span<const std::uint8_t> head,
                                        std::span<const std::uint8_t> data, std::size_t written);

// Why the decoder refused a client's stream. `value` is the number the reason
// names (the flag, the reserved byte, the size).
enum class Reason : std::uint8_t {
    unknown_flag,
    reserved_not_zero,
    frame_too_large,
    time_code_size,
    pieces_too_large,
};
struct Refusal {
    Reason reason;
    std::uint64_t value;
};
// One line for the log, e.g. "unknown flag 0x05".
std::string describe(const Refusal &refusal, std::uint64_t max_packet);

// One message from a client.
struct Message {
    enum class Kind : std::uint8_t { packet, time_code } kind;
    bool eep = false;                // packets: ended by EEP
    std::uint8_t code = 0;           // time codes: the code byte with its flags
    std::vector<std::uint8_t> data;  // packets: the bytes without the end marker
};

// Takes a client's stream in pieces of any size. A packet is at most
// max_packet bytes, whether it came in one frame or in pieces.
class Decoder {
public:
    explicit Decoder(std::uint64_t max_packet) : max_packet_(max_packet) {}

    // Appends each message completed by `bytes` to `out`, in order. Returns
    // the refusal when the bytes break the framing; the decoder then stays
    // refused and takes no more.
    std::optional<Refusal> feed(std::span<const std::uint8_t> bytes, std::vector<Message> &out);

    // Bytes of a packet taken so far whose end has not come (pieces and the
    // current frame's data).
    std::size_t pending_bytes() const { return packet_.size(); }
    // True between messages: no header or data of a frame is half taken.
    bool at_frame_boundary() const { return header_fill_ == 0 && remaining_ == 0 && !in_data_; }

private:
    std::optional<Refusal> start_frame();

    std::uint64_t max_packet_;
    std::array<std::uint8_t, kHeaderSize> header_{};
    std::size_t header_fill_ = 0;
    bool in_data_ = false;  // the header is complete, its data is being taken
    Flag flag_ = Flag::eop;
    std::uint64_t remaining_ = 0;       // data bytes of the current frame still to come
    std::vector<std::uint8_t> packet_;  // the packet being joined
    std::array<std::uint8_t, kTimeCodeDataSize> code_{};
    std::size_t code_fill_ = 0;
    std::optional<Refusal> refused_;
};

}  // namespace ssdtp2
