// RMAP command packets and reply checks.
#include "rmap/codec.h"

#include <algorithm>

namespace spweth::rmap {
namespace {

using namespace instruction;

constexpr int kWriteFlags = SPW_RMAP_INCREMENT | SPW_RMAP_VERIFY | SPW_RMAP_REPLY;
constexpr int kReadFlags = SPW_RMAP_INCREMENT;

// The reply-address field is padded with zeros in front, and a target skips
// every leading zero of it: a reply address that starts with 0x00 would come
// back as a shorter one, so it cannot be sent.
bool expressible_reply_address(const spw_rmap_target &target) {
    return target.reply_address_length == 0 || target.reply_address[0] != kReplyAddressPadding;
}

bool valid_target(const spw_rmap_target *target) {
    return target != nullptr && target->target_address_length >= 0 &&
           target->target_address_length <= kMaxAddressBytes && target->reply_address_length >= 0 &&
           target->reply_address_length <= kMaxAddressBytes && expressible_reply_address(*target);
}

bool valid_common(const spw_rmap_target *target, int transaction_id, int length) {
    return valid_target(target) && transaction_id >= 0 && transaction_id <= kMaxTransactionId &&
           length >= 0 && static_cast<std::uint32_t>(length) <= kMaxDataLength;
}

std::uint8_t reply_address_words(const spw_rmap_target &target) {
    return static_cast<std::uint8_t>(padded_reply_address_size(target.reply_address_length) / 4);
}

std::span<const std::uint8_t> bytes_of(const std::uint8_t *data, int length) {
    return {data, static_cast<std::size_t>(length)};
}

// Big-endian fields of the header.
std::uint8_t *put_be(std::uint8_t *at, std::uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) *at++ = static_cast<std::uint8_t>(value >> (8 * i));
    return at;
}

// Reply byte offsets.
enum ReplyOffset : std::size_t {
    kInitiator = 0,
    kProtocol = 1,
    kInstruction = 2,
    kStatus = 3,
    kTarget = 4,
    kTransactionId = 5,  // 2 bytes
    kDataLength = 8,     // 3 bytes, read and read-modify-write replies
};

bool is_write(std::uint8_t command_instruction) { return (command_instruction & kWrite) != 0; }

// A command's header fields; the kind's own follow.
Command command_of(const spw_rmap_target *target, int transaction_id, std::uint8_t extended_address,
                   std::uint32_t address, std::uint8_t instruction) {
    return {.target = target,
            .transaction_id = transaction_id,
            .extended_address = extended_address,
            .address = address,
            .instruction = instruction};
}

}  // namespace

std::optional<Command> write_command(const spw_rmap_target *target, int transaction_id,
                                     std::uint8_t extended_address, std::uint32_t address,
                                     const std::uint8_t *data, int length, int flags) {
    if (!valid_common(target, transaction_id, length) || (length > 0 && data == nullptr) ||
        (flags & ~kWriteFlags) != 0)
        return std::nullopt;
    Command c = command_of(target, transaction_id, extended_address, address, kCommand | kWrite);
    if (flags & SPW_RMAP_VERIFY) c.instruction |= kVerify;
    if (flags & SPW_RMAP_REPLY) c.instruction |= kReply;
    if (flags & SPW_RMAP_INCREMENT) c.instruction |= kIncrement;
    c.data_length = static_cast<std::uint32_t>(length);
    c.data = bytes_of(data, length);
    return c;
}

std::optional<Command> read_command(const spw_rmap_target *target, int transaction_id,
                                    std::uint8_t extended_address, std::uint32_t address,
                                    int length, int flags) {
    if (!valid_common(target, transaction_id, length) || (flags & ~kReadFlags) != 0)
        return std::nullopt;
    Command c = command_of(target, transaction_id, extended_address, address, kCommand | kReply);
    if (flags & SPW_RMAP_INCREMENT) c.instruction |= kIncrement;
    c.data_length = static_cast<std::uint32_t>(length);
    return c;
}

std::optional<Command> rmw_command(const spw_rmap_target *target, int transaction_id,
                                   std::uint8_t extended_address, std::uint32_t address,
                                   const std::uint8_t *data, const std::uint8_t *mask, int length) {
    if (!valid_common(target, transaction_id, length) || length > kMaxRmwDataSize ||
        (length > 0 && (data == nullptr || mask == nullptr)))
        return std::nullopt;
    Command c =
        command_of(target, transaction_id, extended_address, address, kCommand | kReadModifyWrite);
    c.data_length = 2 * static_cast<std::uint32_t>(length);  // data, then mask
    c.data = bytes_of(data, length);
    c.mask = bytes_of(mask, length);
    return c;
}

std::size_t command_size(const Command &command) {
    const spw_rmap_target &t = *command.target;
    std::size_t size = static_cast<std::size_t>(t.target_address_length) + kCommandHeaderSize +
                       padded_reply_address_size(t.reply_address_length);
    if (command.has_data_field()) size += command.data.size() + command.mask.size() + 1;
    return size;
}

int build(const Command &command, std::span<std::uint8_t> packet) {
    const std::size_t size = command_size(command);
    if (packet.size() < size) return kBadArgument;
    const spw_rmap_target &t = *command.target;
    std::uint8_t *at = packet.data();
    at = std::copy_n(t.target_address, t.target_address_length, at);

    std::uint8_t *const header = at;
    *at++ = t.target_logical_address;
    *at++ = kProtocolId;
    *at++ = static_cast<std::uint8_t>(command.instruction | reply_address_words(t));
    *at++ = t.key;
    const std::size_t padding =
        padded_reply_address_size(t.reply_address_length) - t.reply_address_length;
    at = std::fill_n(at, padding, kReplyAddressPadding);
    at = std::copy_n(t.reply_address, t.reply_address_length, at);
    *at++ = t.initiator_logical_address;
    at = put_be(at, static_cast<std::uint32_t>(command.transaction_id), 2);
    *at++ = command.extended_address;
    at = put_be(at, command.address, 4);
    at = put_be(at, command.data_length, 3);
    *at = crc({header, at});
    ++at;

    if (command.has_data_field()) {
        std::uint8_t *const data = at;
        at = std::copy(command.data.begin(), command.data.end(), at);
        at = std::copy(command.mask.begin(), command.mask.end(), at);
        *at = crc({data, at});
        ++at;
    }
    return static_cast<int>(at - packet.data());
}

ExpectedReply expected_reply(const Command &command) {
    ExpectedReply e;
    e.instruction =
        static_cast<std::uint8_t>(command.instruction | reply_address_words(*command.target));
    e.initiator_logical_address = command.target->initiator_logical_address;
    e.target_logical_address = command.target->target_logical_address;
    e.transaction_id = static_cast<std::uint16_t>(command.transaction_id);
    // A read-modify-write returns the old data: one data size, not data and mask.
    e.data_length = is_write(command.instruction) ? 0
                    : command.has_data_field()    ? command.data_length / 2
                                                  : command.data_length;
    return e;
}

std::size_t reply_size(const ExpectedReply &expected) {
    if (is_write(expected.instruction)) return kWriteReplySize;
    return kReadReplyHeaderSize + expected.data_length + 1;
}

// The fields that say whose reply this is come first in every reply.
bool answers(std::span<const std::uint8_t> packet, const ExpectedReply &expected) {
    return packet.size() >= kTransactionId + 2 && packet[kProtocol] == kProtocolId &&
           packet[kInstruction] == reply_form(expected.instruction) &&
           packet[kInitiator] == expected.initiator_logical_address &&
           packet[kTarget] == expected.target_logical_address &&
           read_be(&packet[kTransactionId], 2) == expected.transaction_id;
}

ReplyMatch parse_reply(std::span<const std::uint8_t> packet, const ExpectedReply &expected,
                       Reply &reply) {
    if (!answers(packet, expected)) return ReplyMatch::other_packet;

    const bool write = is_write(expected.instruction);
    const std::size_t header_size = write ? kWriteReplySize : kReadReplyHeaderSize;
    if (packet.size() < header_size || crc(packet.first(header_size)) != 0)
        return ReplyMatch::bad_reply;
    reply.status = packet[kStatus];
    reply.data = {};
    // A failed command's reply carries no data worth checking.
    if (reply.status != 0) return ReplyMatch::accepted;
    if (write)
        return packet.size() == kWriteReplySize ? ReplyMatch::accepted : ReplyMatch::bad_reply;

    const std::uint32_t length = read_be(&packet[kDataLength], 3);
    if (length != expected.data_length || packet.size() != reply_size(expected))
        return ReplyMatch::bad_reply;
    const auto data_and_crc = packet.subspan(kReadReplyHeaderSize);
    if (crc(data_and_crc) != 0) return ReplyMatch::bad_reply;
    reply.data = data_and_crc.first(length);
    return ReplyMatch::accepted;
}

namespace {

struct ResultText {
    int result;
    const char *text;
};

// clang-format off
constexpr ResultText kResultTexts[] = {
    {0,                  "success"},
    {1,                  "general error"},
    {2,                  "unused RMAP packet type or command code"},
    {3,                  "invalid key"},
    {4,                  "invalid data CRC"},
    {5,                  "early EOP"},
    {6,                  "too much data"},
    {7,                  "EEP"},
    {9,                  "verify buffer overrun"},
    {10,                 "RMAP command not implemented or not authorised"},
    {11,                 "RMW data length error"},
    {12,                 "invalid target logical address"},
    {-1,                 "bad argument"},
    {-2,                 "the command could not be sent"},
    {SPWETH_TIMED_OUT,   "no reply within the time-out"},
    {SPW_RMAP_BAD_REPLY, "the reply failed its CRC or length checks"},
};
// clang-format on

constexpr int kMaxStatus = 255;

}  // namespace

const char *result_text(int result) {
    for (const ResultText &row : kResultTexts)
        if (row.result == result) return row.text;
    return result > 0 && result <= kMaxStatus ? "reserved status code" : "unknown result";
}

}  // namespace spweth::rmap

namespace rmap = spweth::rmap;

namespace {

// A build function's tail: the packet, or -1.
int build_into(const std::optional<rmap::Command> &command, unsigned char *packet, int capacity) {
    if (!command || capacity < 0 || (packet == nullptr && capacity > 0)) return rmap::kBadArgument;
    return rmap::build(*command, {packet, static_cast<std::size_t>(capacity)});
}

}  // namespace

extern "C" {

SPWETH_API unsigned char SpW_RMAP_CRC(const unsigned char *bytes, int length) {
    if (bytes == nullptr || length <= 0) return 0;
    return rmap::crc({bytes, static_cast<std::size_t>(length)});
}

SPWETH_API int SpW_RMAP_Build_Write(const spw_rmap_target *target, int transaction_id,
                                    unsigned char extended_address, unsigned int address,
                                    const unsigned char *data, int length, int flags,
                                    unsigned char *packet, int capacity) {
    return build_into(
        rmap::write_command(target, transaction_id, extended_address, address, data, length, flags),
        packet, capacity);
}

SPWETH_API int SpW_RMAP_Build_Read(const spw_rmap_target *target, int transaction_id,
                                   unsigned char extended_address, unsigned int address, int length,
                                   int flags, unsigned char *packet, int capacity) {
    return build_into(
        rmap::read_command(target, transaction_id, extended_address, address, length, flags),
        packet, capacity);
}

SPWETH_API int SpW_RMAP_Build_RMW(const spw_rmap_target *target, int transaction_id,
                                  unsigned char extended_address, unsigned int address,
                                  const unsigned char *data, const unsigned char *mask, int length,
                                  unsigned char *packet, int capacity) {
    return build_into(
        rmap::rmw_command(target, transaction_id, extended_address, address, data, mask, length),
        packet, capacity);
}

SPWETH_API const char *SpW_RMAP_Status_Text(int result) { return rmap::result_text(result); }

}  // extern "C"
