#include "rmap_codec.h"

#include <algorithm>

namespace bridge_emu::rmap {

namespace {

// Command header offsets after the reply address.
enum AfterReplyAddress : std::size_t {
    kInitiator = 0,
    kTransactionId = 1,  // 2 bytes
    kExtendedAddress = 3,
    kAddress = 4,     // 4 bytes
    kDataLength = 8,  // 3 bytes
};
constexpr std::size_t kReplyAddressOffset = 4;

std::uint32_t big_endian(std::span<const std::uint8_t> bytes) {
    std::uint32_t value = 0;
    for (const std::uint8_t b : bytes) value = value << 8 | b;
    return value;
}

void append_big_endian(std::vector<std::uint8_t> &out, std::uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace

std::optional<CommandHeader> parse_command_header(std::span<const std::uint8_t> packet) {
    if (packet.size() < 3) return std::nullopt;
    const std::size_t reply_address_size = (packet[2] & instruction::kReplyAddressWords) * 4u;
    const std::size_t size = kCommandHeaderSize + reply_address_size;
    if (packet.size() < size || crc(packet.first(size)) != 0) return std::nullopt;
    const auto rest = packet.subspan(kReplyAddressOffset + reply_address_size);
    return CommandHeader{
        .logical_address = packet[0],
        .instruction = packet[2],
        .key = packet[3],
        .reply_address = packet.subspan(kReplyAddressOffset, reply_address_size),
        .initiator = rest[kInitiator],
        .transaction_id = static_cast<std::uint16_t>(big_endian(rest.subspan(kTransactionId, 2))),
        .extended_address = rest[kExtendedAddress],
        .address = big_endian(rest.subspan(kAddress, 4)),
        .data_length = big_endian(rest.subspan(kDataLength, 3)),
        .size = size,
    };
}

void build_reply(const CommandHeader &command, std::uint8_t status,
                 std::span<const std::uint8_t> data, std::vector<std::uint8_t> &reply) {
    reply.clear();
    const auto address = std::find_if(command.reply_address.begin(), command.reply_address.end(),
                                      [](std::uint8_t b) { return b != 0; });
    reply.insert(reply.end(), address, command.reply_address.end());

    const std::size_t header_start = reply.size();
    // The command's instruction, packet type 00.
    const auto instruction =
        static_cast<std::uint8_t>(command.instruction & ~instruction::kPacketTypeMask);
    reply.insert(reply.end(),
                 {command.initiator, kProtocolId, instruction, status, command.logical_address});
    append_big_endian(reply, command.transaction_id, 2);
    if (!command.write()) {
        reply.push_back(0);  // reserved
        append_big_endian(reply, static_cast<std::uint32_t>(data.size()), 3);
    }
    reply.push_back(crc(std::span(reply).subspan(header_start)));
    if (!command.write()) {
        reply.insert(reply.end(), data.begin(), data.end());
        reply.push_back(crc(data));
    }
}

}  // namespace bridge_emu::rmap
