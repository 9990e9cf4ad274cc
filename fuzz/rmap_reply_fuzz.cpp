// Fuzz target: the RMAP reply parser on every byte string.
//
// Input: a mode byte, then the packet. Mode bit 0 makes the expected reply
// the one that the packet's own fields name (so that the checks past the
// matching fields run); otherwise it comes from the next bytes. Mode bit 1
// expects a write's reply, else a read's. The parser must read nothing
// outside the packet (AddressSanitizer watches a copy of exactly its size),
// and what it accepts must be what it promises.
#include <cstdint>
#include <span>

#include "fuzz_support.h"
#include "rmap/codec.h"

namespace {

namespace rmap = spweth::rmap;
using fuzz::check;

std::uint32_t get_be(std::span<const std::uint8_t> at, std::size_t from, int bytes) {
    std::uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) value = value << 8 | (from + i < at.size() ? at[from + i] : 0);
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzz::Input input(data, size);
    const std::uint8_t mode = input.byte();
    const bool from_packet = (mode & 1) != 0;
    const bool write = (mode & 2) != 0;
    rmap::ExpectedReply expected;
    if (!from_packet) {
        expected.instruction = input.byte();
        expected.initiator_logical_address = input.byte();
        expected.target_logical_address = input.byte();
        expected.transaction_id = input.u16();
        expected.data_length = input.u32() & rmap::kMaxDataLength;
    }
    const auto rest = input.bytes(size);
    const fuzz::Bytes packet(rest.begin(), rest.end());  // exactly its size on the heap
    if (from_packet) {
        const std::uint8_t command_form =
            write ? rmap::instruction::kWrite : rmap::instruction::kReply;
        expected.instruction =
            static_cast<std::uint8_t>(rmap::instruction::kCommand | command_form |
                                      (packet.size() > 2 ? packet[2] & 0x1F : 0));
        expected.initiator_logical_address = packet.empty() ? 0 : packet[0];
        expected.target_logical_address = packet.size() > 4 ? packet[4] : 0;
        expected.transaction_id = static_cast<std::uint16_t>(get_be(packet, 5, 2));
        expected.data_length = write ? 0 : get_be(packet, 8, 3);
    }

    rmap::Reply reply;
    const rmap::ReplyMatch match = rmap::parse_reply(packet, expected, reply);
    if (match != rmap::ReplyMatch::accepted) return 0;
    const bool write_reply = (expected.instruction & rmap::instruction::kWrite) != 0;
    const std::size_t header_size =
        write_reply ? rmap::kWriteReplySize : rmap::kReadReplyHeaderSize;
    check(packet.size() >= header_size, "an accepted reply shorter than its header");
    check(rmap::crc(std::span(packet).first(header_size)) == 0,
          "an accepted reply with a bad header CRC");
    if (reply.status != 0) {
        check(reply.data.empty(), "data with a failed status");
        return 0;
    }
    check(packet.size() == rmap::reply_size(expected), "an accepted reply of the wrong size");
    check(reply.data.size() == expected.data_length, "data of the wrong length");
    if (!reply.data.empty()) {
        check(reply.data.data() >= packet.data() &&
                  reply.data.data() + reply.data.size() < packet.data() + packet.size(),
              "data outside the packet, or over its CRC");
        check(rmap::crc({reply.data.data(), reply.data.size() + 1}) == 0, "a bad data CRC");
    }
    return 0;
}
