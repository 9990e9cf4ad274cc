#include "rmap_target.h"

#include <algorithm>

#include "rmap/codec.h"

namespace bridge_emu {

namespace ins = spweth::rmap::instruction;
using spweth::rmap::crc;
using spweth::rmap::kProtocolId;
using spweth::rmap::read_be;

namespace {

constexpr std::size_t kFixedHeaderSize = 16;  // without the reply address

void put_be(std::vector<std::uint8_t> &out, std::uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// Command codes (instruction bits 5-2) that no command uses.
constexpr bool is_unused_code(std::uint8_t instruction) {
    switch ((instruction & ins::kCommandCodeMask) >> 2) {
        case 0b0000:
        case 0b0001:
        case 0b0100:
        case 0b0101:
        case 0b0110:
            return true;
        default:
            return false;
    }
}

}  // namespace

struct RmapTarget::Header {
    std::uint8_t logical_address;
    std::uint8_t instruction;
    std::uint8_t key;
    std::span<const std::uint8_t> reply_address;
    std::uint8_t initiator;
    std::uint16_t transaction_id;
    std::uint8_t extended_address;
    std::uint32_t address;
    std::uint32_t data_length;

    bool write() const { return (instruction & ins::kWrite) != 0; }
    bool verify() const { return (instruction & ins::kVerify) != 0; }
    bool increment() const { return (instruction & ins::kIncrement) != 0; }
    bool wants_reply() const { return (instruction & ins::kReply) != 0; }
    bool read_modify_write() const {
        return (instruction & ins::kCommandCodeMask) == ins::kReadModifyWrite;
    }
    bool carries_data() const { return write() || read_modify_write(); }
    // The memory bytes the command touches: a read-modify-write's data field
    // holds data and mask.
    std::uint32_t access_size() const {
        return read_modify_write() ? data_length / 2 : data_length;
    }
};

RmapTarget::RmapTarget(const RmapTargetSettings &settings)
    : settings_(settings), memory_(settings.memory_size, 0) {}

bool RmapTarget::is_command(std::span<const std::uint8_t> packet) {
    return packet.size() >= kBytesThatTell && packet[1] == kProtocolId &&
           (packet[2] & ins::kPacketTypeMask) == ins::kCommand;
}

std::size_t RmapTarget::largest_command() const {
    return kFixedHeaderSize + spweth::rmap::kMaxAddressBytes + memory_.size() + 1;
}

bool RmapTarget::in_memory(const Header &h, std::uint32_t size) const {
    if (h.extended_address != 0) return false;
    // A non-incrementing access reads or writes one byte over and over, as a
    // byte-wide register would.
    const std::uint64_t end = h.increment() ? std::uint64_t{h.address} + size
                                            : std::uint64_t{h.address} + (size > 0 ? 1 : 0);
    return end <= memory_.size();
}

std::uint8_t RmapTarget::check(const Header &h, std::span<const std::uint8_t> data_field, bool eep,
                               bool cut) const {
    if (is_unused_code(h.instruction)) return kStatusUnusedCode;
    if (h.logical_address != settings_.logical_address) return kStatusLogicalAddress;
    if (h.key != settings_.key) return kStatusInvalidKey;
    if (h.read_modify_write() &&
        (h.data_length % 2 != 0 || h.data_length > 2 * spweth::rmap::kMaxRmwDataSize))
        return kStatusRmwLength;
    if (h.write() && h.verify() && h.data_length > kVerifyBufferSize) return kStatusVerifyOverrun;
    if (!in_memory(h, h.access_size())) return kStatusNotAuthorised;
    if (eep) return kStatusEep;
    if (!h.carries_data()) return data_field.empty() && !cut ? kStatusSuccess : kStatusTooMuchData;
    const std::size_t expected = std::size_t{h.data_length} + 1;  // data and its CRC
    if (data_field.size() < expected) return kStatusEarlyEop;
    if (data_field.size() > expected || cut) return kStatusTooMuchData;
    if (crc(data_field) != 0) return kStatusDataCrc;
    return kStatusSuccess;
}

bool RmapTarget::execute(std::span<const std::uint8_t> command, bool eep, bool cut,
                         std::vector<std::uint8_t> &reply) {
    ++counters_.commands;
    if (command.size() < kBytesThatTell) {
        ++counters_.header_errors;
        return false;
    }
    const std::size_t reply_address_size = (command[2] & ins::kReplyAddressWords) * 4u;
    const std::size_t header_size = kFixedHeaderSize + reply_address_size;
    // An incomplete header or one with a bad CRC cannot be answered.
    if (command.size() < header_size || crc(command.first(header_size)) != 0) {
        ++counters_.header_errors;
        return false;
    }
    const std::uint8_t *after_reply_address = command.data() + 4 + reply_address_size;
    const Header h{
        .logical_address = command[0],
        .instruction = command[2],
        .key = command[3],
        .reply_address = command.subspan(4, reply_address_size),
        .initiator = after_reply_address[0],
        .transaction_id = static_cast<std::uint16_t>(read_be(after_reply_address + 1, 2)),
        .extended_address = after_reply_address[3],
        .address = read_be(after_reply_address + 4, 4),
        .data_length = read_be(after_reply_address + 8, 3),
    };
    const auto data_field = command.subspan(header_size);
    const std::uint8_t status = check(h, data_field, eep, cut);
    if (status != kStatusSuccess) ++counters_.failed;

    // Memory first: an unverified write writes its data as it arrives, before
    // the checks at its end; a verified one only once they have passed.
    std::vector<std::uint8_t> returned;
    const bool addressable = status == kStatusSuccess || status == kStatusEep ||
                             status == kStatusEarlyEop || status == kStatusTooMuchData ||
                             status == kStatusDataCrc;
    if (h.write() && (status == kStatusSuccess || (!h.verify() && addressable))) {
        const std::size_t count = std::min<std::size_t>(data_field.size(), h.data_length);
        std::uint8_t *const at = memory_.data() + h.address;
        if (h.increment())
            std::copy_n(data_field.begin(), count, at);
        else if (count > 0)
            *at = data_field[count - 1];
    } else if (!h.write() && status == kStatusSuccess && h.access_size() > 0) {
        const std::uint32_t size = h.access_size();
        std::uint8_t *const at = memory_.data() + h.address;
        if (h.increment())
            returned.assign(at, at + size);
        else
            returned.assign(size, *at);
        if (h.read_modify_write()) {
            const auto data = data_field.first(size);
            const auto mask = data_field.subspan(size, size);
            for (std::uint32_t i = 0; i < size; ++i)
                at[i] = static_cast<std::uint8_t>((data[i] & mask[i]) | (at[i] & ~mask[i]));
        }
    }
    if (!h.wants_reply()) return false;

    // The reply's SpaceWire address: the reply address without its leading zeros.
    reply.clear();
    const auto first_byte = std::find_if(h.reply_address.begin(), h.reply_address.end(),
                                         [](std::uint8_t b) { return b != 0; });
    reply.insert(reply.end(), first_byte, h.reply_address.end());
    const std::size_t header_start = reply.size();
    reply.insert(reply.end(), {h.initiator, kProtocolId, ins::reply_form(h.instruction), status,
                               h.logical_address});
    put_be(reply, h.transaction_id, 2);
    if (!h.write()) {
        reply.push_back(0);  // reserved
        put_be(reply, static_cast<std::uint32_t>(returned.size()), 3);
    }
    reply.push_back(crc({reply.data() + header_start, reply.size() - header_start}));
    if (!h.write()) {
        reply.insert(reply.end(), returned.begin(), returned.end());
        std::uint8_t data_crc = crc(returned);
        const std::uint64_t index = ++replies_with_data_;
        if (settings_.bad_crc_every != 0 && index % settings_.bad_crc_every == 0) {
            data_crc = static_cast<std::uint8_t>(~data_crc);
            ++counters_.injected_bad_crcs;
        }
        reply.push_back(data_crc);
    }
    const std::uint64_t index = ++counters_.replies;
    if (settings_.drop_reply_every != 0 && index % settings_.drop_reply_every == 0) {
        ++counters_.injected_drops;
        return false;
    }
    return true;
}

}  // namespace bridge_emu
