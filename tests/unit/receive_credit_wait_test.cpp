// The credit wait, and the frames it sets aside for the next receive.
#include "receive_support.h"

namespace {

using namespace test;

using CreditWait = ReceiveTest;

TEST_F(CreditWait, EmptySocketReturnsAtOnce) {
    EXPECT_EQ(0, credit_wait());
    EXPECT_EQ(8, get_bridge_credits());
    EXPECT_EQ(1, fake_pcap::counters().empty_polls);
}

TEST_F(CreditWait, TakesEverythingAndSetsAsideAllButErrorAndStatus) {
    push(bridge_frame(kSof, pattern(30, 1)).credits(1));
    push(bridge_frame(kCodes, {0x05}).credits(2));
    push(bridge_frame(kErrors, {0x03}).credits(3));
    push(bridge_frame(kStatus, pattern(88)).credits(4));
    push(bridge_frame(0x88, pattern(5, 2)).credits(5));
    push(bridge_frame(0xFF, pattern(46, 3)).credits(6));
    push(bridge_frame(kEof, pattern(20, 4)).credits(7));
    push(bridge_frame(kFeof, pattern(9, 5)).from(kOtherMac).credits(99));
    EXPECT_EQ(0, credit_wait());
    EXPECT_EQ(7, get_bridge_credits());
    EXPECT_EQ(0u, queued());

    // Set-aside frames come first, in order, then pcap's.
    push(bridge_frame(kFeef, pattern(3, 6)));
    end_wait_when_dry();
    std::vector<std::pair<int, int>> delivered;  // (type, length)
    for (int length; (length = recv_frame_type(100, -1)) > 0;)
        delivered.emplace_back(frame_type_, length);
    const std::vector<std::pair<int, int>> expected{{kSof, 30}, {kCodes, 1}, {136, 5},  {255, 46},
                                                    {kEof, 20}, {kFeof, 9},  {kFeef, 3}};
    EXPECT_EQ(expected, delivered);
}

TEST_F(CreditWait, SetAsideFragmentsAreReassembledByTheNextReceive) {
    push(bridge_frame(kSof, pattern(100, 1)));
    push(bridge_frame(kEof, pattern(60, 2)));
    EXPECT_EQ(0, credit_wait());
    EXPECT_EQ(160, recv_packet(200));
    EXPECT_EQ(concat({pattern(100, 1), pattern(60, 2)}), head(160));
}

TEST_F(CreditWait, WithBufferingOffFramesAreDropped) {
    set_recv_buffering(0);
    push(bridge_frame(kFeof, pattern(5)).credits(12));
    EXPECT_EQ(0, credit_wait());
    EXPECT_EQ(12, get_bridge_credits());
    set_recv_buffering(1);
    end_wait_when_dry();
    EXPECT_EQ(0, recv_packet(10));
}

TEST_F(CreditWait, RuntRecordInTheRingIsIgnored) {
    const Bytes runt(10, 0x06);
    spweth::read_buffer_put(*spweth::read_buffer_find(socket_), runt.data(), 10);
    push(bridge_frame(kFeof, pattern(5, 1)));
    EXPECT_EQ(5, recv_packet(10));
    EXPECT_EQ(pattern(5, 1), head(5));
}

}  // namespace
