// The emulator's own RMAP codec against the published RMAP test patterns: its
// CRC, the pattern commands taken apart and the pattern replies rebuilt byte
// for byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "rmap_codec.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace rmap = bridge_emu::rmap;

// The patterns' data: 16 bytes whose CRC is 0x56.
const Bytes kPatternData = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                            0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17};

// Incrementing write with reply of the pattern data to 0xA0000000, target
// 0xFE, initiator 0x67, transaction 0; and its reply.
const Bytes kWriteHeader = {0xFE, 0x01, 0x6C, 0x00, 0x67, 0x00, 0x00, 0x00,
                            0xA0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x9F};
const Bytes kWriteReply = {0x67, 0x01, 0x2C, 0x00, 0xFE, 0x00, 0x00, 0xED};
// Incrementing read of 16 bytes there, transaction 1; and its reply's header.
const Bytes kReadCommand = {0xFE, 0x01, 0x4C, 0x00, 0x67, 0x00, 0x01, 0x00,
                            0xA0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0xC9};
const Bytes kReadReplyHeader = {0x67, 0x01, 0x0C, 0x00, 0xFE, 0x00,
                                0x01, 0x00, 0x00, 0x00, 0x10, 0x6D};

Bytes concat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes with_crc(Bytes bytes) {
    bytes.push_back(rmap::crc(bytes));
    return bytes;
}

TEST(EmulatorRmapCrc, MatchesTheTableAndThePatterns) {
    const std::uint8_t first_entries[] = {0x00, 0x91, 0xE3, 0x72, 0x07, 0x96, 0xE4, 0x75};
    for (std::uint8_t b = 0; b < 8; ++b) {
        EXPECT_EQ(first_entries[b], rmap::kCrcTable[b]) << int{b};
        EXPECT_EQ(first_entries[b], rmap::crc(Bytes{b})) << int{b};
    }
    EXPECT_EQ(0xCF, rmap::kCrcTable[0xFF]);
    EXPECT_EQ(0, rmap::crc({}));
    EXPECT_EQ(0x56, rmap::crc(kPatternData));

    // Each pattern field ends with its CRC, so that the whole has the CRC 0.
    for (const Bytes *field : {&kWriteHeader, &kWriteReply, &kReadCommand, &kReadReplyHeader}) {
        EXPECT_EQ(field->back(), rmap::crc(Bytes(field->begin(), field->end() - 1)));
        EXPECT_EQ(0, rmap::crc(*field));
    }
    EXPECT_EQ(0, rmap::crc(concat(kPatternData, {0x56})));
}

TEST(EmulatorRmapCodec, PatternCommandsParseAndTheirRepliesAreThePatterns) {
    const Bytes write = concat(concat(kWriteHeader, kPatternData), {0x56});
    const auto w = rmap::parse_command_header(write);
    ASSERT_TRUE(w);
    EXPECT_EQ(0xFE, w->logical_address);
    EXPECT_EQ(0x00, w->key);
    EXPECT_TRUE(w->reply_address.empty());
    EXPECT_EQ(0x67, w->initiator);
    EXPECT_EQ(0, w->transaction_id);
    EXPECT_EQ(0, w->extended_address);
    EXPECT_EQ(0xA0000000u, w->address);
    EXPECT_EQ(16u, w->data_length);
    EXPECT_EQ(16u, w->size);
    EXPECT_TRUE(w->write() && w->increment() && w->wants_reply() && w->carries_data());
    EXPECT_FALSE(w->verify() || w->read_modify_write());
    Bytes reply{0xEE};  // replaced, not appended to
    rmap::build_reply(*w, 0, {}, reply);
    EXPECT_EQ(kWriteReply, reply);

    const auto r = rmap::parse_command_header(kReadCommand);
    ASSERT_TRUE(r);
    EXPECT_EQ(1, r->transaction_id);
    EXPECT_EQ(16u, r->data_length);
    EXPECT_FALSE(r->write() || r->carries_data());
    rmap::build_reply(*r, 0, kPatternData, reply);
    EXPECT_EQ(concat(concat(kReadReplyHeader, kPatternData), {0x56}), reply);

    // A failed read answers with its status and no data.
    rmap::build_reply(*r, 10, {}, reply);
    EXPECT_EQ(concat(with_crc({0x67, 0x01, 0x0C, 0x0A, 0xFE, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}),
                     {0x00}),  // the CRC of no data
              reply);
}

TEST(EmulatorRmapCodec, ReplyAddressFieldsAndDamagedHeaders) {
    // Read-modify-write, key 0x20, two words of reply address 00 00 00 01 02
    // 03 04 05, transaction 0x1234, extended address 0x7E, address 0x01020304.
    const Bytes header = with_crc({0xFE, 0x01, 0x5E, 0x20, 0, 0, 0, 1, 2, 3, 4, 5,
                                   0x67, 0x12, 0x34, 0x7E, 1, 2, 3, 4, 0, 0, 4});
    const Bytes command = concat(header, with_crc({0xAA, 0xBB, 0x0F, 0xF0}));
    const auto h = rmap::parse_command_header(command);  // its fields point into the packet
    ASSERT_TRUE(h);
    EXPECT_EQ(24u, h->size);
    EXPECT_EQ(0x20, h->key);
    EXPECT_EQ(Bytes({0, 0, 0, 1, 2, 3, 4, 5}),
              Bytes(h->reply_address.begin(), h->reply_address.end()));
    EXPECT_EQ(0x1234, h->transaction_id);
    EXPECT_EQ(0x7E, h->extended_address);
    EXPECT_EQ(0x01020304u, h->address);
    EXPECT_TRUE(h->read_modify_write() && h->carries_data());
    EXPECT_EQ(2u, h->access_size());

    // The reply address leaves its padding behind; the old data follows.
    Bytes reply;
    rmap::build_reply(*h, 0, Bytes{0x11, 0x22}, reply);
    const Bytes reply_header =
        with_crc({0x67, 0x01, 0x1E, 0x00, 0xFE, 0x12, 0x34, 0x00, 0x00, 0x00, 0x02});
    EXPECT_EQ(concat(concat({1, 2, 3, 4, 5}, reply_header), with_crc({0x11, 0x22})), reply);

    // Any damaged header byte, or a header cut short, is no command at all.
    for (std::size_t at = 0; at < header.size(); ++at) {
        Bytes damaged = header;
        damaged[at] ^= 0x10;
        EXPECT_FALSE(rmap::parse_command_header(damaged)) << at;
    }
    EXPECT_FALSE(rmap::parse_command_header(Bytes(header.begin(), header.end() - 1)));
    EXPECT_FALSE(rmap::parse_command_header(Bytes(kReadCommand.begin(), kReadCommand.begin() + 2)));
    Bytes longer_address = kReadCommand;
    longer_address[2] |= 0x01;  // announces a word of reply address that is not there
    EXPECT_FALSE(rmap::parse_command_header(longer_address));
}

}  // namespace
