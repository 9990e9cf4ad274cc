// Packet receives: reassembly, frame checks, credits, flags, the wait flag and
// refused arguments.
#include <chrono>
#include <thread>

#include "receive_support.h"

namespace {

using namespace test;

using Reassembly = ReceiveTest;

TEST_F(Reassembly, FragmentsJoinInOrderAndMacHoldsTheLastSource) {
    push(bridge_frame(kSof, pattern(100, 1)).from(kOtherMac));
    push(bridge_frame(kMof, pattern(200, 2)).from(kOtherMac));
    push(bridge_frame(kEof, pattern(50, 3)));
    EXPECT_EQ(350, recv_packet(1000));
    EXPECT_EQ(0, type_);
    EXPECT_EQ(concat({pattern(100, 1), pattern(200, 2), pattern(50, 3)}), head(350));
    EXPECT_EQ(0xEE, buffer_[350]);
    EXPECT_EQ(kBridgeMac, mac_);
}

TEST_F(Reassembly, ShortBufferKeepsTheFirstBytesAndReturnsTheWholeLength) {
    push(bridge_frame(kSof, pattern(100, 1)));
    push(bridge_frame(kMof, pattern(200, 2)));
    push(bridge_frame(kEof, pattern(50, 3)));
    EXPECT_EQ(350, recv_packet(120));  // a 120-byte vector: any write past it trips ASan
    EXPECT_EQ(concat({pattern(100, 1), pattern(20, 2)}), buffer_);
}

// A start before the open packet's end: the end was lost. The open packet
// comes back cut (EEP), the new start begins the next receive.
TEST_F(Reassembly, FullFrameAfterSofCutsTheOpenPacket) {
    push(bridge_frame(kSof, pattern(100, 1)));
    push(bridge_frame(kFeof, pattern(30, 2)));
    EXPECT_EQ(100, recv_packet(1000));
    EXPECT_EQ(1, type_);
    EXPECT_EQ(pattern(100, 1), head(100));
    EXPECT_EQ(30, recv_packet(1000));
    EXPECT_EQ(0, type_);
    EXPECT_EQ(pattern(30, 2), head(30));
}

TEST_F(Reassembly, SecondSofCutsTheOpenPacket) {
    push(bridge_frame(kSof, pattern(100, 1)));
    push(bridge_frame(kMof, pattern(50, 2)));
    push(bridge_frame(kSof, pattern(40, 3)));
    push(bridge_frame(kEof, pattern(10, 4)));
    EXPECT_EQ(150, recv_packet(1000));
    EXPECT_EQ(1, type_);
    EXPECT_EQ(50, recv_packet(1000));
    EXPECT_EQ(0, type_);
    EXPECT_EQ(concat({pattern(40, 3), pattern(10, 4)}), head(50));
}

TEST_F(Reassembly, ErrorEndsGiveTypeByteOne) {
    push(bridge_frame(kFeef, pattern(10, 1)).pad_to(60));
    EXPECT_EQ(10, recv_packet(100));
    EXPECT_EQ(1, type_);
    EXPECT_EQ(pattern(10, 1), head(10));

    push(bridge_frame(kSof, pattern(20, 2)));
    push(bridge_frame(kEef, pattern(5, 3)));
    EXPECT_EQ(25, recv_packet(100));
    EXPECT_EQ(1, type_);
}

using FrameChecks = ReceiveTest;

TEST_F(FrameChecks, RuntsForeignAndShortFramesAreIgnored) {
    push(Bytes(10, 0x06));
    push(Bytes(18, 0xAB));
    push(bridge_frame(kFeof, pattern(5)).ether_type(0x0800));
    push(bridge_frame(kFeof, pattern(50)).length_field(100));
    // Captured 60 of 119 bytes: only the captured length counts.
    Bytes truncated = bridge_frame(kFeof, pattern(100));
    truncated.resize(60);
    push(truncated, 119);
    push(bridge_frame(kFeof, pattern(7, 9)).pad_to(60));
    EXPECT_EQ(7, recv_packet(200));
    EXPECT_EQ(pattern(7, 9), head(7));
}

TEST_F(FrameChecks, CreditsFollowBridgeFramesEvenWhenIgnored) {
    end_wait_when_dry();
    push(bridge_frame(kFeof, pattern(50)).length_field(100).credits(77));  // too short
    push(bridge_frame(kCodes, {1}).credits(55));                           // no handler
    push(bridge_frame(kCodes, {1}).credits(99).from(kOtherMac));           // not the bridge
    push(bridge_frame(0x49, {1}).credits(11));                             // type 9
    EXPECT_EQ(0, recv_packet(100));
    EXPECT_EQ(55, get_bridge_credits());
}

TEST_F(FrameChecks, FlagBitsAreCollectedAndClearedPerCall) {
    push(bridge_frame(0x49, {1}));  // flag set, type 9 ignored
    push(bridge_frame(0x46, {0xAA, 0xBB}));
    EXPECT_EQ(2, recv_extended(10, SPWETH_MASK_CCODES));
    EXPECT_EQ(6, type_);
    EXPECT_EQ(1, get_packet_has_comm_byte());
    EXPECT_EQ(0, get_packet_has_recv_timer());

    push(bridge_frame(0x88, pattern(4)));  // type 136 itself, no flag
    EXPECT_EQ(4, recv_frame_type(10, SPWETH_MASK_TYPE_136));
    EXPECT_EQ(136, frame_type_);
    EXPECT_EQ(0, get_packet_has_comm_byte());
    EXPECT_EQ(0, get_packet_has_recv_timer());
}

using WaitFlag = ReceiveTest;

TEST_F(WaitFlag, ClearedFlagReturnsZeroWithoutReading) {
    push(bridge_frame(kFeof, pattern(5)));
    set_wait_receive_active(0);
    EXPECT_EQ(0, recv_packet(10));
    EXPECT_EQ(0, type_);
    EXPECT_EQ(0, recv_frame_type(10, -1));
    EXPECT_EQ(0, frame_type_);
    EXPECT_EQ(0, credit_wait());
    EXPECT_EQ(1u, queued());
}

TEST_F(WaitFlag, AnotherThreadEndsAWaitOnAnEmptySocket) {
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        set_wait_receive_active(0);
    });
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(0, recv_packet(10));
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_GT(fake_pcap::counters().empty_polls, 0);
}

using RefusedArguments = ReceiveTest;

TEST_F(RefusedArguments, MissingRecordsReturnMinusOneAndReadNothing) {
    push(bridge_frame(kFeof, pattern(5)));
    unsigned char buffer[10];
    int type = -1;
    EXPECT_EQ(-1, SpW_Recv_Packet(socket_, nullptr, 10, mac_.data(), &type_));
    EXPECT_EQ(-1, SpW_Recv_Packet(socket_, buffer, 10, nullptr, &type_));
    EXPECT_EQ(-1, SpW_Recv_Packet_From_MAC(socket_, buffer, 10, mac_.data(), nullptr));
    EXPECT_EQ(-1, SpW_Recv_Packet_extended(socket_, nullptr, 1, mac_.data(), &type_, 0));
    EXPECT_EQ(-1, SpW_Recv_Frame_Type(socket_, buffer, 10, -1, nullptr, mac_.data()));
    EXPECT_EQ(-1, SpW_Recv_Frame_Type_From_MAC(socket_, buffer, 10, -1, &type, nullptr));
    EXPECT_EQ(-1, SpW_Recv_Packet(nullptr, buffer, 10, mac_.data(), &type_));
    EXPECT_EQ(1u, queued());
    // No buffer is fine when nothing is to be copied.
    EXPECT_EQ(5, SpW_Recv_Packet(socket_, nullptr, 0, mac_.data(), &type_));
}

TEST_F(RefusedArguments, SocketWithoutReadBufferFailsOnceBufferingIsOn) {
    set_recv_buffering(0);
    pcap_t *unbuffered = open_socket();
    set_recv_buffering(1);
    fake_pcap::push_inbound(unbuffered, bridge_frame(kFeof, pattern(5)));
    unsigned char buffer[10];
    int type = 0;
    EXPECT_EQ(-1, SpW_Recv_Packet(unbuffered, buffer, 10, mac_.data(), &type_));
    EXPECT_EQ(-1, SpW_Recv_Frame_Type(unbuffered, buffer, 10, -1, &type, mac_.data()));
    unsigned char own = 0;
    EXPECT_EQ(-1, spweth::SpW_Recv_Packet_uni(spweth::kRecvCreditWait, unbuffered, nullptr, 1495,
                                              nullptr, &own, 0));
    EXPECT_EQ(1u, fake_pcap::handle(unbuffered).inbound.size());
}

}  // namespace
