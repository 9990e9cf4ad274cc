// The SSDTP2 framing alone: what the gateway sends, byte for byte, and what
// it takes from a client, cut at every place a TCP stream may cut it.
#include "ssdtp2.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using ssdtp2::Message;
using ssdtp2::Reason;

Bytes frame(std::uint8_t flag, const Bytes &data, std::uint8_t reserved = 0) {
    Bytes out{flag, reserved, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    std::uint64_t size = data.size();
    for (int i = 11; i >= 2; --i, size >>= 8) out[static_cast<std::size_t>(i)] = size & 0xFF;
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

Bytes operator+(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes counting(std::size_t n, std::uint8_t from = 0) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(from + i);
    return b;
}

// What the gateway sends.
TEST(Ssdtp2Encoder, WholePacketsAndTimeCodesByteForByte) {
    const auto eop = ssdtp2::packet_header(1, false);
    EXPECT_EQ(Bytes(eop.begin(), eop.end()), (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
    const auto eep = ssdtp2::packet_header(1'000'000, true);  // 0x0F4240
    EXPECT_EQ(Bytes(eep.begin(), eep.end()), (Bytes{1, 0, 0, 0, 0, 0, 0, 0, 0, 0x0F, 0x42, 0x40}));
    const auto big = ssdtp2::packet_header(0x0102030405060708ull, false);  // bytes 2, 3 stay 0
    EXPECT_EQ(Bytes(big.begin(), big.end()), (Bytes{0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}));
    const auto code = ssdtp2::time_code_frame(0xC5);
    EXPECT_EQ(Bytes(code.begin(), code.end()),
              (Bytes{0x31, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0xC5, 0}));
}

// A stream with every kind of client frame: a time code, a packet in pieces
// (one of size 0) ended by EEP, a whole packet, a packet of no bytes, and
// pieces ended by a frame of size 0.
const Bytes kStream = frame(0x30, {0x85, 0x00}) + frame(0x02, counting(700)) + frame(0x02, {}) +
                      frame(0x02, counting(300, 7)) + frame(0x01, counting(24, 99)) +
                      frame(0x00, counting(1495)) + frame(0x00, {}) + frame(0x02, {9, 8}) +
                      frame(0x00, {});

void expect_stream_messages(const std::vector<Message> &m) {
    ASSERT_EQ(m.size(), 5u);
    EXPECT_EQ(m[0].kind, Message::Kind::time_code);
    EXPECT_EQ(m[0].code, 0x85);
    EXPECT_EQ(m[1].kind, Message::Kind::packet);
    EXPECT_TRUE(m[1].eep);
    EXPECT_EQ(m[1].data, counting(700) + counting(300, 7) + counting(24, 99));
    EXPECT_FALSE(m[2].eep);
    EXPECT_EQ(m[2].data, counting(1495));
    EXPECT_TRUE(m[3].data.empty());
    EXPECT_EQ(m[4].data, (Bytes{9, 8}));
}

// What is left of a frame after a write that took part of it, the cut in
// its header or in its data.
TEST(Ssdtp2Encoder, TheRestOfAFrameAfterAPartialWrite) {
    const Bytes data = counting(5, 100);
    const auto head = ssdtp2::packet_header(data.size(), false);
    const Bytes whole = Bytes(head.begin(), head.end()) + data;
    for (std::size_t written = 0; written <= whole.size(); ++written)
        EXPECT_EQ(ssdtp2::rest_of_frame(head, data, written),
                  Bytes(whole.begin() + written, whole.end()))
            << "written " << written;
    const auto code = ssdtp2::time_code_frame(0x07);  // a time code: all of it is "head"
    EXPECT_EQ(ssdtp2::rest_of_frame(code, {}, 13), Bytes{0x00});
}

TEST(Ssdtp2Reassembly, TheSameMessagesWhereverTheStreamIsCut) {
    for (std::size_t chunk :
         {std::size_t{1}, std::size_t{2}, std::size_t{5}, std::size_t{11}, std::size_t{12},
          std::size_t{13}, std::size_t{4096}, kStream.size()}) {
        ssdtp2::Decoder decoder(1 << 20);
        std::vector<Message> out;
        for (std::size_t at = 0; at < kStream.size(); at += chunk) {
            const std::size_t n = std::min(chunk, kStream.size() - at);
            ASSERT_FALSE(decoder.feed({kStream.data() + at, n}, out)) << "chunk " << chunk;
        }
        SCOPED_TRACE("chunk " + std::to_string(chunk));
        expect_stream_messages(out);
        EXPECT_TRUE(decoder.at_frame_boundary());
    }
    // Cut once at every place.
    for (std::size_t cut = 0; cut <= kStream.size(); ++cut) {
        ssdtp2::Decoder decoder(1 << 20);
        std::vector<Message> out;
        ASSERT_FALSE(decoder.feed({kStream.data(), cut}, out));
        ASSERT_FALSE(decoder.feed({kStream.data() + cut, kStream.size() - cut}, out));
        SCOPED_TRACE("cut at " + std::to_string(cut));
        expect_stream_messages(out);
    }
}

TEST(Ssdtp2Reassembly, HalfAFrameIsPendingUntilItsEnd) {
    ssdtp2::Decoder decoder(1 << 20);
    std::vector<Message> out;
    const Bytes piece = frame(0x02, counting(10));
    ASSERT_FALSE(decoder.feed(piece, out));
    EXPECT_EQ(decoder.pending_bytes(), 10u);
    EXPECT_TRUE(decoder.at_frame_boundary());
    const Bytes end = frame(0x00, counting(4));
    ASSERT_FALSE(decoder.feed({end.data(), 5}, out));
    EXPECT_FALSE(decoder.at_frame_boundary());
    EXPECT_TRUE(out.empty());
}

// The limit holds for one frame and for pieces added up: max_packet itself
// passes, one byte more is refused.
TEST(Ssdtp2Limits, MaxPacketPassesAndOneByteMoreIsRefused) {
    const std::size_t max = 3000;
    struct Case {
        Bytes stream;
        std::optional<Reason> refusal;
        std::uint64_t value;
    };
    const Case cases[] = {
        {frame(0x00, counting(max)), std::nullopt, 0},
        {frame(0x00, counting(max + 1)), Reason::frame_too_large, max + 1},
        {frame(0x02, counting(2000)) + frame(0x01, counting(1000)), std::nullopt, 0},
        {frame(0x02, counting(2000)) + frame(0x02, counting(1001)), Reason::pieces_too_large,
         max + 1},
        {frame(0x02, counting(2000)) + frame(0x00, counting(1001)), Reason::pieces_too_large,
         max + 1},
    };
    for (const Case &c : cases) {
        ssdtp2::Decoder decoder(max);
        std::vector<Message> out;
        const auto refusal = decoder.feed(c.stream, out);
        ASSERT_EQ(refusal.has_value(), c.refusal.has_value());
        if (refusal) {
            EXPECT_EQ(refusal->reason, *c.refusal);
            EXPECT_EQ(refusal->value, c.value);
            EXPECT_TRUE(out.empty());
        } else {
            ASSERT_EQ(out.size(), 1u);
            EXPECT_EQ(out[0].data.size(), max);
        }
    }
}

// Many small pieces join into one packet, byte for byte, up to the limit.
TEST(Ssdtp2Limits, ManySmallPiecesJoinIntoOnePacket) {
    const std::size_t pieces = 2000, piece = 3, max = pieces * piece + 1;
    Bytes stream, expected;
    for (std::size_t i = 0; i < pieces; ++i) {
        const Bytes bytes = counting(piece, static_cast<std::uint8_t>(i));
        stream = stream + frame(0x02, bytes);
        expected = expected + bytes;
    }
    stream = stream + frame(0x01, {0xEE});
    expected.push_back(0xEE);
    ssdtp2::Decoder decoder(max);
    std::vector<Message> out;
    ASSERT_FALSE(decoder.feed(stream, out));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].eep);
    EXPECT_EQ(out[0].data, expected);
}

// Each refusal: found as soon as its header is complete (its data need not
// come), named in the log line, and final. What came before it is delivered.
TEST(Ssdtp2Refusals, EachBadHeaderIsNamedAndFinal) {
    Bytes beyond_64_bits = frame(0x00, {});
    beyond_64_bits[3] = 1;
    struct Case {
        Bytes header;
        Reason reason;
        const char *text;
    };
    const Case cases[] = {
        {frame(0x03, {}), Reason::unknown_flag, "unknown flag 0x03"},
        {frame(0x2F, {}), Reason::unknown_flag, "unknown flag 0x2f"},
        {frame(0x31, {1, 0}), Reason::unknown_flag, "unknown flag 0x31"},
        {frame(0xFF, {}), Reason::unknown_flag, "unknown flag 0xff"},
        {frame(0x00, {1}, 0x80), Reason::reserved_not_zero, "reserved byte 0x80, not 0"},
        {frame(0x30, {1, 0}, 0x01), Reason::reserved_not_zero, "reserved byte 0x01, not 0"},
        {frame(0x30, {1}), Reason::time_code_size, "time-code frame of size 1, not 2"},
        {frame(0x30, {}), Reason::time_code_size, "time-code frame of size 0, not 2"},
        {frame(0x30, {1, 0, 0}), Reason::time_code_size, "time-code frame of size 3, not 2"},
        {frame(0x00, counting(101)), Reason::frame_too_large,
         "frame of 101 bytes, above --max-packet 100"},
        {beyond_64_bits, Reason::frame_too_large, "frame size of 2^64 bytes or more"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        ssdtp2::Decoder decoder(100);
        std::vector<Message> out;
        const Bytes stream = frame(0x00, {7}) + Bytes(c.header.begin(), c.header.begin() + 12);
        const auto refusal = decoder.feed(stream, out);
        ASSERT_TRUE(refusal);
        EXPECT_EQ(refusal->reason, c.reason);
        EXPECT_EQ(ssdtp2::describe(*refusal, 100), c.text);
        ASSERT_EQ(out.size(), 1u);  // the packet before it
        out.clear();
        EXPECT_TRUE(decoder.feed(frame(0x00, {1}), out));
        EXPECT_TRUE(out.empty());
    }
}

}  // namespace
