// The RMAP codec: the CRC, commands built byte for byte, replies checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "rmap/codec.h"
#include "spweth_rmap.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace rmap = spweth::rmap;

// The target of the published test patterns: logical address 0xFE, key 0,
// initiator 0x67, no SpaceWire addresses.
spw_rmap_target pattern_target() {
    spw_rmap_target t{};
    t.target_logical_address = 0xFE;
    t.initiator_logical_address = 0x67;
    return t;
}

const Bytes kPatternData = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                            0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17};

Bytes concat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes build_write(const spw_rmap_target &t, int id, const Bytes &data, int flags) {
    Bytes packet(200);
    const int n = SpW_RMAP_Build_Write(&t, id, 0, 0xA0000000, data.data(),
                                       static_cast<int>(data.size()), flags, packet.data(), 200);
    packet.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return packet;
}

Bytes build_read(const spw_rmap_target &t, int id, int length) {
    Bytes packet(200);
    const int n =
        SpW_RMAP_Build_Read(&t, id, 0, 0xA0000000, length, SPW_RMAP_INCREMENT, packet.data(), 200);
    packet.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return packet;
}

TEST(RmapCrc, TableAndFieldFollowedByItsCrc) {
    const std::uint8_t first[] = {0x00, 0x91, 0xE3, 0x72, 0x07, 0x96, 0xE4, 0x75};
    for (std::uint8_t b = 0; b < 8; ++b) EXPECT_EQ(first[b], SpW_RMAP_CRC(&b, 1)) << int{b};
    EXPECT_EQ(0, SpW_RMAP_CRC(nullptr, 0));
    EXPECT_EQ(0, SpW_RMAP_CRC(nullptr, 16));
    EXPECT_EQ(0, SpW_RMAP_CRC(kPatternData.data(), -1));
    EXPECT_EQ(0x56, SpW_RMAP_CRC(kPatternData.data(), 16));
}

TEST(RmapPatterns, WriteCommandAndItsReply) {
    const Bytes header = {0xFE, 0x01, 0x6C, 0x00, 0x67, 0x00, 0x00, 0x00,
                          0xA0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x9F};
    const spw_rmap_target t = pattern_target();
    EXPECT_EQ(concat(concat(header, kPatternData), {0x56}),
              build_write(t, 0, kPatternData, SPW_RMAP_INCREMENT | SPW_RMAP_REPLY));

    const auto command = rmap::write_command(&t, 0, 0, 0xA0000000, kPatternData.data(), 16, 0x5);
    ASSERT_TRUE(command);
    const Bytes reply = {0x67, 0x01, 0x2C, 0x00, 0xFE, 0x00, 0x00, 0xED};
    rmap::Reply parsed;
    EXPECT_EQ(rmap::ReplyMatch::accepted,
              rmap::parse_reply(reply, rmap::expected_reply(*command), parsed));
    EXPECT_EQ(0, parsed.status);
}

TEST(RmapPatterns, ReadCommandAndItsReply) {
    const spw_rmap_target t = pattern_target();
    EXPECT_EQ(Bytes({0xFE, 0x01, 0x4C, 0x00, 0x67, 0x00, 0x01, 0x00, 0xA0, 0x00, 0x00, 0x00, 0x00,
                     0x00, 0x10, 0xC9}),
              build_read(t, 1, 16));

    const auto command = rmap::read_command(&t, 1, 0, 0xA0000000, 16, SPW_RMAP_INCREMENT);
    ASSERT_TRUE(command);
    const rmap::ExpectedReply expected = rmap::expected_reply(*command);
    const Bytes reply =
        concat(concat({0x67, 0x01, 0x0C, 0x00, 0xFE, 0x00, 0x01, 0x00, 0x00, 0x00, 0x10, 0x6D},
                      kPatternData),
               {0x56});
    rmap::Reply parsed;
    ASSERT_EQ(rmap::ReplyMatch::accepted, rmap::parse_reply(reply, expected, parsed));
    EXPECT_EQ(kPatternData, Bytes(parsed.data.begin(), parsed.data.end()));

    // Someone else's reply is not this one; this one damaged is a bad reply.
    Bytes other = reply;
    other[6] = 0x02;  // transaction 2
    EXPECT_EQ(rmap::ReplyMatch::other_packet, rmap::parse_reply(other, expected, parsed));
    for (const std::size_t at : {7, 9, 11, 12, 27, 28}) {
        Bytes damaged = reply;
        damaged[at] ^= 0x01;
        EXPECT_EQ(rmap::ReplyMatch::bad_reply, rmap::parse_reply(damaged, expected, parsed)) << at;
    }
    const Bytes cut(reply.begin(), reply.end() - 1);
    EXPECT_EQ(rmap::ReplyMatch::bad_reply, rmap::parse_reply(cut, expected, parsed));
    // A failed read carries its status and a header only.
    Bytes failed = {0x67, 0x01, 0x0C, 0x0A, 0xFE, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00};
    failed.push_back(SpW_RMAP_CRC(failed.data(), 11));
    ASSERT_EQ(rmap::ReplyMatch::accepted, rmap::parse_reply(failed, expected, parsed));
    EXPECT_EQ(10, parsed.status);
}

TEST(RmapBuild, AddressesRmwAndVerifiedWrite) {
    spw_rmap_target t = pattern_target();
    t.target_address_length = 2;
    t.target_address[0] = 0x03;
    t.target_address[1] = 0x07;
    t.reply_address_length = 5;
    std::memcpy(t.reply_address, "\x01\x02\x03\x04\x05", 5);
    t.key = 0x20;
    const Bytes data = {0xAA, 0xBB}, mask = {0x0F, 0xF0};
    Bytes packet(64);
    const int n = SpW_RMAP_Build_RMW(&t, 0x1234, 0x7E, 0x01020304, data.data(), mask.data(), 2,
                                     packet.data(), 64);
    // Addresses, then the header whose reply address is padded in front to 8 bytes.
    const Bytes header = {0xFE, 0x01, 0x5E, 0x20, 0, 0, 0, 1, 2, 3, 4, 5,
                          0x67, 0x12, 0x34, 0x7E, 1, 2, 3, 4, 0, 0, 4};
    ASSERT_EQ(2 + 24 + 5, n);
    EXPECT_EQ(Bytes({0x03, 0x07}), Bytes(packet.begin(), packet.begin() + 2));
    EXPECT_EQ(header, Bytes(packet.begin() + 2, packet.begin() + 25));
    EXPECT_EQ(SpW_RMAP_CRC(header.data(), 23), packet[25]);
    EXPECT_EQ(Bytes({0xAA, 0xBB, 0x0F, 0xF0}), Bytes(packet.begin() + 26, packet.begin() + 30));
    EXPECT_EQ(0, SpW_RMAP_CRC(&packet[26], 5));
    // The old data comes back: one data size.
    EXPECT_EQ(2u, rmap::expected_reply(*rmap::rmw_command(&t, 0, 0, 0, data.data(), mask.data(), 2))
                      .data_length);

    const Bytes verified = build_write(t, 9, {0x42}, SPW_RMAP_VERIFY);
    ASSERT_FALSE(verified.empty());
    EXPECT_EQ(0x72, verified[4]);  // write + verify, no reply, no increment, 2 words
}

TEST(RmapBuild, RefusesBadArgumentsAndNeverPassesCapacity) {
    const spw_rmap_target good = pattern_target();
    const unsigned char byte = 0;
    unsigned char packet[64];
    EXPECT_EQ(-1, SpW_RMAP_Build_Read(nullptr, 0, 0, 0, 4, 0, packet, 64));
    EXPECT_EQ(-1, SpW_RMAP_Build_Read(&good, 0x10000, 0, 0, 4, 0, packet, 64));
    EXPECT_EQ(-1, SpW_RMAP_Build_Read(&good, -1, 0, 0, 4, 0, packet, 64));
    EXPECT_EQ(-1, SpW_RMAP_Build_Read(&good, 0, 0, 0, 0x1000000, 0, packet, 64));
    EXPECT_EQ(-1, SpW_RMAP_Build_Read(&good, 0, 0, 0, 4, SPW_RMAP_VERIFY, packet, 64));
    EXPECT_EQ(-1, SpW_RMAP_Build_Read(&good, 0, 0, 0, 4, SPW_RMAP_REPLY, packet, 64));
    EXPECT_EQ(-1, SpW_RMAP_Build_Write(&good, 0, 0, 0, &byte, 1, 0x8, packet, 64));
    EXPECT_EQ(-1, SpW_RMAP_Build_Write(&good, 0, 0, 0, nullptr, 1, 0, packet, 64));
    EXPECT_EQ(-1, SpW_RMAP_Build_Write(&good, 0, 0, 0, &byte, -1, 0, packet, 64));
    EXPECT_EQ(-1, SpW_RMAP_Build_RMW(&good, 0, 0, 0, packet, packet, 5, packet, 64));
    EXPECT_EQ(-1, SpW_RMAP_Build_RMW(&good, 0, 0, 0, &byte, nullptr, 1, packet, 64));
    EXPECT_EQ(-1, SpW_RMAP_Build_Write(&good, 0, 0, 0, &byte, 1, 0, nullptr, 64));
    EXPECT_EQ(-1, SpW_RMAP_Build_Write(&good, 0, 0, 0, &byte, 1, 0, packet, -1));
    for (const int bad_length : {-1, 13}) {
        spw_rmap_target t = good;
        t.target_address_length = bad_length;
        EXPECT_EQ(-1, SpW_RMAP_Build_Read(&t, 0, 0, 0, 4, 0, packet, 64));
        t = good;
        t.reply_address_length = bad_length;
        EXPECT_EQ(-1, SpW_RMAP_Build_Read(&t, 0, 0, 0, 4, 0, packet, 64));
    }

    // Every capacity short of the packet is refused and leaves what lies beyond it alone.
    spw_rmap_target t = good;
    t.target_address_length = 12;
    t.reply_address_length = 12;
    std::memset(t.reply_address, 0x01, sizeof t.reply_address);
    const Bytes data(20, 0x5A);
    const int size = 12 + 16 + 12 + 20 + 1;
    for (int capacity = 0; capacity <= size; ++capacity) {
        Bytes buffer(size + 1, 0xEE);
        const int n =
            SpW_RMAP_Build_Write(&t, 0, 0, 0, data.data(), 20, 0, buffer.data(), capacity);
        EXPECT_EQ(capacity == size ? size : -1, n) << capacity;
        for (int i = capacity; i <= size; ++i) ASSERT_EQ(0xEE, buffer[i]) << capacity;
    }
}

// A target skips the leading zeros of the reply-address field as padding: a
// reply address whose first byte is 0x00 would come back as a shorter one.
spw_rmap_target with_reply_address(const Bytes &reply_address) {
    spw_rmap_target t = pattern_target();
    std::copy(reply_address.begin(), reply_address.end(), t.reply_address);
    t.reply_address_length = static_cast<int>(reply_address.size());
    return t;
}

TEST(RmapReplyAddress, LeadingZeroIsRefusedByEveryBuild) {
    const unsigned char data[2] = {1, 2};
    for (const Bytes &refused :
         {Bytes{0x00}, Bytes{0x00, 0x05}, Bytes{0x00, 0x00, 0x00, 0x05}, Bytes(12, 0x00)}) {
        const spw_rmap_target t = with_reply_address(refused);
        Bytes packet(64, 0xEE);
        EXPECT_EQ(-1, SpW_RMAP_Build_Write(&t, 0, 0, 0, data, 2, SPW_RMAP_REPLY, packet.data(), 64))
            << refused.size();
        EXPECT_EQ(-1, SpW_RMAP_Build_Read(&t, 0, 0, 0, 4, 0, packet.data(), 64)) << refused.size();
        EXPECT_EQ(-1, SpW_RMAP_Build_RMW(&t, 0, 0, 0, data, data, 2, packet.data(), 64))
            << refused.size();
        EXPECT_EQ(Bytes(64, 0xEE), packet);
    }
    // A zero after the first byte is part of the address; no address at all is no address.
    Bytes packet(64);
    const spw_rmap_target inner_zero = with_reply_address({0x05, 0x00});
    ASSERT_EQ(16 + 4, SpW_RMAP_Build_Read(&inner_zero, 0, 0, 0, 4, 0, packet.data(), 64));
    EXPECT_EQ(Bytes({0x00, 0x00, 0x05, 0x00, 0x67}), Bytes(packet.begin() + 4, packet.begin() + 9));
    spw_rmap_target none = with_reply_address({});
    none.reply_address[0] = 0x00;
    EXPECT_EQ(16, SpW_RMAP_Build_Read(&none, 0, 0, 0, 4, 0, packet.data(), 64));
}

// Transactions refuse what a build refuses, and what they cannot use, before
// anything is sent or read.
using RmapTransactionArguments = test::OpenSocketTest;

TEST_F(RmapTransactionArguments, ReplyAddressWithLeadingZeroIsRefusedBeforeAnythingIsSent) {
    const spw_rmap_target t = with_reply_address({0x00, 0x05});
    unsigned char data[4] = {1, 2, 3, 4}, old[4] = {};
    EXPECT_EQ(-1, SpW_RMAP_Write(socket_, &t, 0, 0x100, data, 4, SPW_RMAP_REPLY, 100));
    EXPECT_EQ(-1, SpW_RMAP_Write(socket_, &t, 0, 0x100, data, 4, 0, 100));
    EXPECT_EQ(-1, SpW_RMAP_Read(socket_, &t, 0, 0x100, data, 4, SPW_RMAP_INCREMENT, 100));
    EXPECT_EQ(-1, SpW_RMAP_Read_Modify_Write(socket_, &t, 0, 0x100, data, data, 4, old, 100));
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(0, fake_pcap::counters().empty_polls);
}

TEST_F(RmapTransactionArguments, MissingSocketTargetOrBuffersAreRefused) {
    const spw_rmap_target t = pattern_target();
    unsigned char data[4] = {1, 2, 3, 4};
    EXPECT_EQ(-1, SpW_RMAP_Write(nullptr, &t, 0, 0, data, 4, SPW_RMAP_REPLY, 100));
    EXPECT_EQ(-1, SpW_RMAP_Read(nullptr, &t, 0, 0, data, 4, 0, 100));
    EXPECT_EQ(-1, SpW_RMAP_Write(socket_, nullptr, 0, 0, data, 4, SPW_RMAP_REPLY, 100));
    EXPECT_EQ(-1, SpW_RMAP_Write(socket_, &t, 0, 0, nullptr, 4, 0, 100));
    EXPECT_EQ(-1, SpW_RMAP_Write(socket_, &t, 0, 0, data, -4, 0, 100));
    EXPECT_EQ(-1, SpW_RMAP_Read(socket_, &t, 0, 0, nullptr, 4, 0, 100));
    EXPECT_EQ(-1, SpW_RMAP_Read(socket_, &t, 0, 0, data, -1, 0, 100));
    EXPECT_EQ(-1, SpW_RMAP_Read_Modify_Write(socket_, &t, 0, 0, data, nullptr, 2, nullptr, 100));
    EXPECT_EQ(-1, SpW_RMAP_Read_Modify_Write(socket_, &t, 0, 0, data, data, 5, nullptr, 100));
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(0, fake_pcap::counters().empty_polls);
}

TEST(RmapStatusText, NamesEveryStatusAndResult) {
    const std::string unknown = SpW_RMAP_Status_Text(-1000);
    const std::string reserved = SpW_RMAP_Status_Text(200);
    for (const int result :
         {0, 1, 2, 3, 4, 5, 6, 7, 9, 10, 11, 12, -1, -2, SPWETH_TIMED_OUT, SPW_RMAP_BAD_REPLY}) {
        EXPECT_NE(unknown, SpW_RMAP_Status_Text(result)) << result;
        EXPECT_NE(reserved, SpW_RMAP_Status_Text(result)) << result;
    }
    EXPECT_NE(unknown, reserved);
}

}  // namespace
