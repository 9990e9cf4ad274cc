// RMAP packets as the emulator's target sees them: the CRC-8, a command's
// header taken apart, and a reply put together. The emulator keeps this code
// of its own, apart from the library's, so that a fault in one shows up as a
// disagreement with the other instead of hiding behind shared code.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace bridge_emu::rmap {

inline constexpr std::uint8_t kProtocolId = 0x01;
inline constexpr std::size_t kMaxReplyAddressBytes = 12;  // three words
inline constexpr std::uint32_t kMaxRmwDataSize = 4;       // the data; the mask doubles the field
// A command's header without its reply address, header CRC included.
inline constexpr std::size_t kCommandHeaderSize = 16;

// The instruction byte: packet type (bits 7-6), command code (bits 5-2),
// reply-address length in words (bits 1-0).
namespace instruction {
inline constexpr std::uint8_t kPacketTypeMask = 0xC0;
inline constexpr std::uint8_t kCommand = 0x40;  // a reply has 00
inline constexpr std::uint8_t kWrite = 0x20;
inline constexpr std::uint8_t kVerify = 0x10;
inline constexpr std::uint8_t kReply = 0x08;
inline constexpr std::uint8_t kIncrement = 0x04;
inline constexpr std::uint8_t kReplyAddressWords = 0x03;
inline constexpr std::uint8_t kCommandCodeMask = 0x3C;
inline constexpr std::uint8_t kReadModifyWrite = kVerify | kReply | kIncrement;
}  // namespace instruction

// CRC-8 of polynomial x^8 + x^2 + x + 1 (0x07), bytes in the order they are
// sent, least significant bit first: the reflected form. Each entry is the
// plain most-significant-bit-first remainder of the byte with its bits
// reversed, reversed back.
namespace detail {
constexpr std::uint8_t reverse_bits(std::uint8_t b) {
    std::uint8_t r = 0;
    for (int bit = 0; bit < 8; ++bit) r = static_cast<std::uint8_t>(r << 1 | ((b >> bit) & 1));
    return r;
}
constexpr std::uint8_t remainder_msb_first(std::uint8_t b) {
    constexpr std::uint8_t kPolynomial = 0x07;
    for (int bit = 0; bit < 8; ++bit)
        b = static_cast<std::uint8_t>((b & 0x80) != 0 ? (b << 1) ^ kPolynomial : b << 1);
    return b;
}
}  // namespace detail

inline constexpr std::array<std::uint8_t, 256> kCrcTable = [] {
    std::array<std::uint8_t, 256> table{};
    for (unsigned b = 0; b < table.size(); ++b)
        table[b] = detail::reverse_bits(
            detail::remainder_msb_first(detail::reverse_bits(static_cast<std::uint8_t>(b))));
    return table;
}();

// A field followed by its CRC has the CRC 0.
constexpr std::uint8_t crc(std::span<const std::uint8_t> bytes) {
    std::uint8_t value = 0;
    for (const std::uint8_t b : bytes) value = kCrcTable[value ^ b];
    return value;
}

// The fields of a command's header.
struct CommandHeader {
    std::uint8_t logical_address = 0;
    std::uint8_t instruction = 0;
    std::uint8_t key = 0;
    std::span<const std::uint8_t> reply_address;  // padded, within the packet
    std::uint8_t initiator = 0;
    std::uint16_t transaction_id = 0;
    std::uint8_t extended_address = 0;
    std::uint32_t address = 0;
    std::uint32_t data_length = 0;
    std::size_t size = 0;  // header bytes, reply address and CRC included

    bool write() const { return (instruction & instruction::kWrite) != 0; }
    bool verify() const { return (instruction & instruction::kVerify) != 0; }
    bool increment() const { return (instruction & instruction::kIncrement) != 0; }
    bool wants_reply() const { return (instruction & instruction::kReply) != 0; }
    bool read_modify_write() const {
        return (instruction & instruction::kCommandCodeMask) == instruction::kReadModifyWrite;
    }
    // Writes and read-modify-writes carry a data field.
    bool carries_data() const { return write() || read_modify_write(); }
    // The memory bytes the command touches: a read-modify-write's data field
    // holds data and mask.
    std::uint32_t access_size() const {
        return read_modify_write() ? data_length / 2 : data_length;
    }
};

// The header of a command packet (leading address bytes stripped); nothing
// when the packet is shorter than the header its instruction announces or the
// header CRC is wrong.
std::optional<CommandHeader> parse_command_header(std::span<const std::uint8_t> packet);

// The reply to `command` with `status`, in place of what `reply` held: the
// reply's SpaceWire address (the reply address without its leading zeros),
// the reply header and its CRC, and for a read or read-modify-write `data`
// and the data CRC (as the last byte).
void build_reply(const CommandHeader &command, std::uint8_t status,
                 std::span<const std::uint8_t> data, std::vector<std::uint8_t> &reply);

}  // namespace bridge_emu::rmap
