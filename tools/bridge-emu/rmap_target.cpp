#include "rmap_target.h"

#include <algorithm>

namespace bridge_emu {

namespace ins = rmap::instruction;
using rmap::CommandHeader;

namespace {

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

RmapTarget::RmapTarget(const RmapTargetSettings &settings)
    : settings_(settings), memory_(settings.memory_size, 0) {}

bool RmapTarget::is_command(std::span<const std::uint8_t> packet) {
    return packet.size() >= kBytesThatTell && packet[1] == rmap::kProtocolId &&
           (packet[2] & ins::kPacketTypeMask) == ins::kCommand;
}

std::size_t RmapTarget::largest_command() const {
    return rmap::kCommandHeaderSize + rmap::kMaxReplyAddressBytes + memory_.size() + 1;
}

bool RmapTarget::in_memory(const CommandHeader &h, std::uint32_t size) const {
    if (h.extended_address != 0) return false;
    // A non-incrementing access reads or writes one byte over and over, as a
    // byte-wide register would.
    const std::uint64_t end = h.increment() ? std::uint64_t{h.address} + size
                                            : std::uint64_t{h.address} + (size > 0 ? 1 : 0);
    return end <= memory_.size();
}

std::uint8_t RmapTarget::check(const CommandHeader &h, std::span<const std::uint8_t> data_field,
                               bool eep, bool cut) const {
    if (is_unused_code(h.instruction)) return kStatusUnusedCode;
    if (h.logical_address != settings_.logical_address) return kStatusLogicalAddress;
    if (h.key != settings_.key) return kStatusInvalidKey;
    if (h.read_modify_write() &&
        (h.data_length % 2 != 0 || h.data_length > 2 * rmap::kMaxRmwDataSize))
        return kStatusRmwLength;
    if (h.write() && h.verify() && h.data_length > kVerifyBufferSize) return kStatusVerifyOverrun;
    if (!in_memory(h, h.access_size())) return kStatusNotAuthorised;
    if (eep) return kStatusEep;
    if (!h.carries_data()) return data_field.empty() && !cut ? kStatusSuccess : kStatusTooMuchData;
    const std::size_t expected = std::size_t{h.data_length} + 1;  // data and its CRC
    if (data_field.size() < expected) return kStatusEarlyEop;
    if (data_field.size() > expected || cut) return kStatusTooMuchData;
    if (rmap::crc(data_field) != 0) return kStatusDataCrc;
    return kStatusSuccess;
}

bool RmapTarget::execute(std::span<const std::uint8_t> command, bool eep, bool cut,
                         std::vector<std::uint8_t> &reply) {
    ++counters_.commands;
    // An incomplete header or one with a bad CRC cannot be answered.
    const std::optional<CommandHeader> header = rmap::parse_command_header(command);
    if (!header) {
        ++counters_.header_errors;
        return false;
    }
    const CommandHeader &h = *header;
    const auto data_field = command.subspan(h.size);
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

    rmap::build_reply(h, status, returned, reply);
    if (!h.write()) {
        const std::uint64_t index = ++replies_with_data_;
        if (settings_.bad_crc_every != 0 && index % settings_.bad_crc_every == 0) {
            reply.back() = static_cast<std::uint8_t>(~reply.back());  // the data CRC
            ++counters_.injected_bad_crcs;
        }
    }
    const std::uint64_t index = ++counters_.replies;
    if (settings_.drop_reply_every != 0 && index % settings_.drop_reply_every == 0) {
        ++counters_.injected_drops;
        return false;
    }
    return true;
}

}  // namespace bridge_emu
