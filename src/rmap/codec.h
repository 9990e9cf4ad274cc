// RMAP codec: the CRC-8, command packets built into a caller's buffer, and
// replies checked against the command they answer. It knows nothing of
// sockets; the transactions (transactions.cpp) and the bridge emulator's
// target use it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "spweth_rmap.h"

namespace spweth::rmap {

inline constexpr std::uint8_t kProtocolId = 0x01;
inline constexpr int kMaxAddressBytes = 12;                // target and reply SpaceWire addresses
inline constexpr std::uint32_t kMaxDataLength = 0xFFFFFF;  // the 3-byte data length field
inline constexpr int kMaxRmwDataSize = 4;
inline constexpr int kMaxTransactionId = 0xFFFF;
inline constexpr int kBadArgument = -1;

// The instruction byte: packet type, command code, reply-address length.
namespace instruction {
inline constexpr std::uint8_t kCommand = 0x40;  // packet type 01; a reply has 00
inline constexpr std::uint8_t kPacketTypeMask = 0xC0;
inline constexpr std::uint8_t kWrite = 0x20;
inline constexpr std::uint8_t kVerify = 0x10;
inline constexpr std::uint8_t kReply = 0x08;
inline constexpr std::uint8_t kIncrement = 0x04;
inline constexpr std::uint8_t kReplyAddressWords = 0x03;
inline constexpr std::uint8_t kCommandCodeMask = 0x3C;
inline constexpr std::uint8_t kReadModifyWrite = kVerify | kReply | kIncrement;
// The reply to a command carries the command's instruction with packet type 00.
constexpr std::uint8_t reply_form(std::uint8_t command) {
    return static_cast<std::uint8_t>(command & ~kPacketTypeMask);
}
}  // namespace instruction

// Header sizes without SpaceWire addresses, CRC included.
inline constexpr std::size_t kCommandHeaderSize = 16;  // plus the padded reply address
inline constexpr std::size_t kWriteReplySize = 8;
inline constexpr std::size_t kReadReplyHeaderSize = 12;

// The reply-address field: the caller's bytes with zeros in front up to the
// next multiple of 4. Its first non-zero byte starts the address, so that an
// address whose first byte is 0x00 cannot be sent (the commands refuse it).
inline constexpr std::uint8_t kReplyAddressPadding = 0x00;
constexpr std::size_t padded_reply_address_size(int length) {
    return (static_cast<std::size_t>(length) + 3) / 4 * 4;
}

// A big-endian field of `bytes` bytes (at most 4).
constexpr std::uint32_t read_be(const std::uint8_t *at, int bytes) {
    std::uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) value = value << 8 | at[i];
    return value;
}

// CRC-8, polynomial x^8 + x^2 + x + 1, bytes in transmission order, taken
// reflected: the table is built once, at compile time.
inline constexpr std::array<std::uint8_t, 256> kCrcTable = [] {
    std::array<std::uint8_t, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        unsigned crc = byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xE0 : crc >> 1;
        table[byte] = static_cast<std::uint8_t>(crc);
    }
    return table;
}();

constexpr std::uint8_t crc(std::span<const std::uint8_t> bytes, std::uint8_t crc = 0) {
    for (const std::uint8_t b : bytes) crc = kCrcTable[crc ^ b];
    return crc;
}

// One command as the build functions take it.
struct Command {
    const spw_rmap_target *target = nullptr;
    int transaction_id = 0;
    std::uint8_t extended_address = 0;
    std::uint32_t address = 0;
    std::uint8_t instruction = 0;          // without the reply-address length
    std::uint32_t data_length = 0;         // the header's field
    std::span<const std::uint8_t> data{};  // write and read-modify-write
    std::span<const std::uint8_t> mask{};  // read-modify-write

    // Writes and read-modify-writes carry a data field and its CRC.
    bool has_data_field() const {
        return (instruction & (instruction::kWrite | instruction::kVerify)) != 0;
    }
};

// The command of each kind; nothing when an argument is out of range, a flag
// is not the kind's, or the target's reply address starts with 0x00.
std::optional<Command> write_command(const spw_rmap_target *target, int transaction_id,
                                     std::uint8_t extended_address, std::uint32_t address,
                                     const std::uint8_t *data, int length, int flags);
std::optional<Command> read_command(const spw_rmap_target *target, int transaction_id,
                                    std::uint8_t extended_address, std::uint32_t address,
                                    int length, int flags);
std::optional<Command> rmw_command(const spw_rmap_target *target, int transaction_id,
                                   std::uint8_t extended_address, std::uint32_t address,
                                   const std::uint8_t *data, const std::uint8_t *mask, int length);

// The packet's length, target addresses and data field included.
std::size_t command_size(const Command &command);
// Writes the packet; its length, or kBadArgument when it does not fit.
int build(const Command &command, std::span<std::uint8_t> packet);

// What a reply must carry to answer a command.
struct ExpectedReply {
    std::uint8_t instruction = 0;  // the command's
    std::uint8_t initiator_logical_address = 0;
    std::uint8_t target_logical_address = 0;
    std::uint16_t transaction_id = 0;
    std::uint32_t data_length = 0;  // the data a read or read-modify-write returns
};
ExpectedReply expected_reply(const Command &command);

// The size of the reply that answers with success.
std::size_t reply_size(const ExpectedReply &expected);

enum class ReplyMatch {
    other_packet,  // not this command's reply
    bad_reply,     // this command's reply, failing its CRCs or lengths
    accepted,
};

struct Reply {
    std::uint8_t status = 0;
    std::span<const std::uint8_t> data;  // within the packet; empty unless status 0
};

// Whether the packet says it is the reply expected: the fields before its
// status and data (at most its first 7 bytes are read).
bool answers(std::span<const std::uint8_t> packet, const ExpectedReply &expected);

// Checks a received packet against the reply expected. `packet` holds what
// was received; nothing outside it is read.
ReplyMatch parse_reply(std::span<const std::uint8_t> packet, const ExpectedReply &expected,
                       Reply &reply);

// SpW_RMAP_Status_Text: every status code and every negative result.
const char *result_text(int result);

}  // namespace spweth::rmap
