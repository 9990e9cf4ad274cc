// Control-code frames: the code encodings, frame sizes by count, frame
// numbering, refused frames and missing code arrays.
#include <climits>
#include <functional>
#include <string>

#include "link/frame.h"
#include "test_support.h"

namespace {

using spweth::library_state;
using spweth::frame::FrameView;
using test::Bytes;
using test::pattern;

class ControlCodes : public test::OpenSocketTest {
protected:
    // The code bytes of the frame sent since the last call.
    Bytes codes_sent() {
        const Bytes frame = only_frame();
        const FrameView view(frame.data(), frame.size());
        return Bytes(view.payload(), view.payload() + view.payload_length());
    }
};

TEST_F(ControlCodes, SingleTimeCodeFrameByteForByte) {
    library_state.source_mac_address = {0x02, 0, 0, 0, 0, 0x01};
    library_state.ccode_frame_counter = 4;
    EXPECT_EQ(0, SpW_Send_Time_Code(socket_, 0x45));

    Bytes expected{0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x02, 0x00, 0x00, 0x00,
                   0x00, 0x01, 0x06, 0xAB, 0x06, 0x04, 0x01, 0x00, 0x0A, 0x05};
    expected.resize(62, 0x00);
    EXPECT_EQ(expected, only_frame());
    EXPECT_EQ(5, library_state.ccode_frame_counter);
}

TEST_F(ControlCodes, TimeCodesKeepTheLowSixBits) {
    const unsigned char codes[] = {0x00, 0x3F, 0xFF};
    EXPECT_EQ(0, SpW_Send_Time_Codes(socket_, codes, 3));
    const Bytes frame = only_frame();
    EXPECT_EQ(62u, frame.size());
    const FrameView view(frame.data(), frame.size());
    EXPECT_EQ(3, view.payload_length());
    EXPECT_EQ((Bytes{0x00, 0x3F, 0x3F}), Bytes(view.payload(), view.payload() + 3));
}

TEST_F(ControlCodes, EncodingOfEachKind) {
    struct Row {
        std::string call;
        std::function<int(pcap_t *)> send;
        std::uint8_t expected;
    };
    const unsigned char ff = 0xFF, x05 = 0x05, x25 = 0x25;
    const Row rows[] = {
        {"INT 05 id 0", [](pcap_t *s) { return SpW_Send_INT_Code(s, 0x05, 0); }, 0x45},
        {"INT 05 id 1", [](pcap_t *s) { return SpW_Send_INT_Code(s, 0x05, 1); }, 0x85},
        {"INT 05 id -1", [](pcap_t *s) { return SpW_Send_INT_Code(s, 0x05, -1); }, 0x85},
        {"INT 25 id 0", [](pcap_t *s) { return SpW_Send_INT_Code(s, 0x25, 0); }, 0x65},
        {"INT 25 id 1", [](pcap_t *s) { return SpW_Send_INT_Code(s, 0x25, 1); }, 0x85},
        {"ACK 05 id 0", [](pcap_t *s) { return SpW_Send_ACK_Code(s, 0x05, 0); }, 0x85},
        {"ACK 05 id 1", [](pcap_t *s) { return SpW_Send_ACK_Code(s, 0x05, 1); }, 0xA5},
        {"ACK 05 id -1", [](pcap_t *s) { return SpW_Send_ACK_Code(s, 0x05, -1); }, 0xA5},
        {"ACK 25 id 0", [](pcap_t *s) { return SpW_Send_ACK_Code(s, 0x25, 0); }, 0xA5},
        {"ACK 25 id 1", [](pcap_t *s) { return SpW_Send_ACK_Code(s, 0x25, 1); }, 0xA5},
        {"CC01 FF", [](pcap_t *s) { return SpW_Send_CC01_Code(s, 0xFF); }, 0x5F},
        {"CC11 FF", [](pcap_t *s) { return SpW_Send_CC11_Code(s, 0xFF); }, 0xDF},
        {"time FF", [](pcap_t *s) { return SpW_Send_Time_Code(s, 0xFF); }, 0x3F},
        {"time 145", [](pcap_t *s) { return SpW_Send_Time_Code(s, 0x145); }, 0x05},
        {"INT codes 05 id -1", [&](pcap_t *s) { return SpW_Send_INT_Codes(s, &x05, 1, -1); }, 0x85},
        {"INT codes 25 id 0", [&](pcap_t *s) { return SpW_Send_INT_Codes(s, &x25, 1, 0); }, 0x65},
        {"ACK codes 05 id 0", [&](pcap_t *s) { return SpW_Send_ACK_Codes(s, &x05, 1, 0); }, 0x85},
        {"ACK codes 05 id 7", [&](pcap_t *s) { return SpW_Send_ACK_Codes(s, &x05, 1, 7); }, 0xA5},
        {"CC01 codes FF", [&](pcap_t *s) { return SpW_Send_CC01_Codes(s, &ff, 1); }, 0x5F},
        {"CC11 codes FF", [&](pcap_t *s) { return SpW_Send_CC11_Codes(s, &ff, 1); }, 0xDF},
        {"raw FF", [&](pcap_t *s) { return SpW_Send_CCodes(s, &ff, 1); }, 0xFF},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(0, row.send(socket_)) << row.call;
        EXPECT_EQ(Bytes{row.expected}, codes_sent()) << row.call;
    }
}

TEST_F(ControlCodes, ManyCodesKeepTheirOrder) {
    const unsigned char codes[] = {0x01, 0x22, 0x3F, 0x40};
    SpW_Send_CC11_Codes(socket_, codes, 4);
    EXPECT_EQ((Bytes{0xC1, 0xC2, 0xDF, 0xC0}), codes_sent());
}

using CodeFrameSize = ControlCodes;

TEST_F(CodeFrameSize, FollowsTheCountModulo256) {
    const Bytes codes = pattern(300);
    struct Row {
        int count;
        std::size_t frame_length;
        std::uint16_t codes;
    };
    for (const Row row : {Row{0, 62, 0}, Row{1, 62, 1}, Row{43, 62, 43}, Row{44, 63, 44},
                          Row{255, 274, 255}, Row{256, 62, 0}, Row{300, 63, 44}}) {
        EXPECT_EQ(0, SpW_Send_CCodes(socket_, codes.data(), row.count)) << row.count;
        const Bytes frame = only_frame();
        EXPECT_EQ(row.frame_length, frame.size()) << row.count;
        const FrameView view(frame.data(), frame.size());
        EXPECT_EQ(row.codes, view.payload_length()) << row.count;
        EXPECT_EQ(Bytes(codes.begin(), codes.begin() + row.codes),
                  Bytes(frame.begin() + 19, frame.begin() + 19 + row.codes))
            << row.count;
        EXPECT_EQ(Bytes(frame.size() - 19 - row.codes, 0x00),
                  Bytes(frame.begin() + 19 + row.codes, frame.end()))
            << row.count;
    }
}

// A negative count is refused by every many-codes sender, even one whose low
// eight bits would make a count (-1 would read 255 codes).
TEST_F(CodeFrameSize, NegativeCountSendsNothing) {
    const Bytes codes = pattern(255);
    library_state.ccode_frame_counter = 9;
    for (const int count : {-1, -256, -255, INT_MIN}) {
        EXPECT_EQ(-1, SpW_Send_CCodes(socket_, codes.data(), count)) << count;
        EXPECT_EQ(-1, SpW_Send_Time_Codes(socket_, codes.data(), count)) << count;
        EXPECT_EQ(-1, SpW_Send_INT_Codes(socket_, codes.data(), count, 0)) << count;
        EXPECT_EQ(-1, SpW_Send_ACK_Codes(socket_, codes.data(), count, 1)) << count;
        EXPECT_EQ(-1, SpW_Send_CC01_Codes(socket_, codes.data(), count)) << count;
        EXPECT_EQ(-1, SpW_Send_CC11_Codes(socket_, codes.data(), count)) << count;
    }
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(9, library_state.ccode_frame_counter);
    EXPECT_EQ(0, SpW_Send_CCodes(socket_, codes.data(), 257));  // 256 and more: low eight bits
    const Bytes frame = only_frame();
    EXPECT_EQ(1, FrameView(frame.data(), frame.size()).payload_length());
}

using CodeFrameNumbering = ControlCodes;

TEST_F(CodeFrameNumbering, ConsecutiveAndWrapping) {
    library_state.ccode_frame_counter = 254;
    for (int i = 0; i < 3; ++i) SpW_Send_Time_Code(socket_, i);
    const auto frames = sent();
    ASSERT_EQ(3u, frames.size());
    EXPECT_EQ(254, frames[0][15]);
    EXPECT_EQ(255, frames[1][15]);
    EXPECT_EQ(0, frames[2][15]);
    EXPECT_EQ(1, library_state.ccode_frame_counter);
}

TEST_F(CodeFrameNumbering, LeavesDataCounterAndCreditsAlone) {
    library_state.data_frame_counter = 9;
    set_send_crediting(1);
    SpW_Send_Time_Code(socket_, 1);
    SpW_Send_INT_Code(socket_, 1, 0);
    EXPECT_EQ(9, library_state.data_frame_counter);
    EXPECT_EQ(8, library_state.bridge_credits);
    EXPECT_EQ(2, library_state.ccode_frame_counter);
}

TEST_F(CodeFrameNumbering, ConfigurationFrameInBetweenKeepsTheSequence) {
    SpW_Send_Time_Code(socket_, 1);
    SpW_Eth_Reset(socket_);
    SpW_Send_Time_Code(socket_, 2);
    const auto frames = sent();
    ASSERT_EQ(3u, frames.size());
    EXPECT_EQ(0, frames[0][15]);
    EXPECT_EQ(1, frames[2][15]);
}

TEST_F(CodeFrameNumbering, RestartAtZeroAfterSocketReset) {
    library_state.ccode_frame_counter = 77;
    const auto socket = SpW_Socket_Reset(socket_);
    ASSERT_GT(socket, 0);
    SpW_Send_Time_Code(reinterpret_cast<pcap_t *>(socket), 1);
    EXPECT_EQ(0, sent().back()[15]);
}

TEST_F(CodeFrameNumbering, RefusedFrameStillUsesItsNumber) {
    fake_pcap::fail_next(fake_pcap::Call::sendpacket);
    EXPECT_EQ(-1, SpW_Send_ACK_Code(socket_, 3, 0));
    EXPECT_EQ(0, SpW_Send_ACK_Code(socket_, 3, 0));
    const auto &frames = fake_pcap::sent_frames();
    ASSERT_EQ(2u, frames.size());
    EXPECT_FALSE(frames[0].accepted);
    EXPECT_EQ(0, frames[0].bytes[15]);
    EXPECT_EQ(1, frames[1].bytes[15]);
    EXPECT_TRUE(out_.empty());
    EXPECT_TRUE(err_.empty());
}

TEST_F(ControlCodes, AddressesAreReadForEachFrame) {
    SpW_Send_Time_Code(socket_, 1);
    library_state.source_mac_address = test::kOtherMac;
    library_state.dest_mac_address = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
    SpW_Send_Time_Code(socket_, 1);
    const auto frames = sent();
    ASSERT_EQ(2u, frames.size());
    EXPECT_EQ((Bytes{0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}),
              Bytes(frames[0].begin(), frames[0].begin() + 12));
    EXPECT_EQ((Bytes{0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x02, 0x00, 0x00, 0x00, 0x00, 0x99}),
              Bytes(frames[1].begin(), frames[1].begin() + 12));
}

using MissingCodes = ControlCodes;

TEST_F(MissingCodes, NullArrayWithCodesToTakeSendsNothing) {
    library_state.ccode_frame_counter = 5;
    EXPECT_EQ(-1, SpW_Send_CCodes(socket_, nullptr, 3));
    EXPECT_EQ(-1, SpW_Send_Time_Codes(socket_, nullptr, 1));
    EXPECT_EQ(-1, SpW_Send_INT_Codes(socket_, nullptr, 255, 0));
    EXPECT_EQ(-1, SpW_Send_ACK_Codes(socket_, nullptr, 300, 1));
    EXPECT_EQ(-1, SpW_Send_CC01_Codes(socket_, nullptr, -1));
    EXPECT_EQ(-1, SpW_Send_CC11_Codes(socket_, nullptr, 2));
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(5, library_state.ccode_frame_counter);
}

TEST_F(MissingCodes, NullArrayWithNoCodesToTakeSendsAnEmptyFrame) {
    EXPECT_EQ(0, SpW_Send_CCodes(socket_, nullptr, 0));
    EXPECT_EQ(0, SpW_Send_Time_Codes(socket_, nullptr, 256));
    const auto frames = sent();
    ASSERT_EQ(2u, frames.size());
    for (const Bytes &frame : frames) {
        EXPECT_EQ(62u, frame.size());
        EXPECT_EQ(0, FrameView(frame.data(), frame.size()).payload_length());
    }
}

}  // namespace
