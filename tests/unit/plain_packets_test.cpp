// A packet receive takes the frames of a plain packet straight from pcap and
// hands any other frame, with the packet so far, to the full engine: whatever
// mixes of frames a call meets, and wherever in a packet they come, each call
// returns what the engine defines, in both threading modes.
#include <gtest/gtest.h>

#include <utility>

#include "receive_support.h"

namespace test {
namespace {

class PlainPackets : public ReceiveTest, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override {
        ReceiveTest::SetUp();
        set_thread_safe_mode(GetParam());
    }
    void at(const Bytes &frame, long long ns) { fake_pcap::push_inbound_at(socket_, frame, ns); }
    long long last_time() const {
        long long ns = -1;
        EXPECT_EQ(0, SpW_Socket_Get_Last_Time(socket_, &ns));
        return ns;
    }
    spweth_socket_counters counters() const {
        spweth_socket_counters c{};
        EXPECT_EQ(0, SpW_Socket_Get_Counters(socket_, &c, sizeof c));
        return c;
    }
};

TEST_P(PlainPackets, EachCallGetsWhatTheEngineDefinesWhateverComesFirst) {
    register_ccode_event_handler(ccode_recorder);
    at(bridge_frame(kFeof, pattern(5, 1)), 1'700'000'000'000'000'001);
    at(bridge_frame(kFeef, pattern(3, 2)).from(kOtherMac), 1'700'000'000'000'000'002);
    at(bridge_frame(kSof, pattern(10, 3)), 1'700'000'000'000'000'003);
    at(bridge_frame(kEof, pattern(10, 4)), 1'700'000'000'000'000'004);
    push(bridge_frame(kCodes, {0x01, 0x02}));  // to the handler, then the packet after it
    at(bridge_frame(kFeof, pattern(4, 5)), 1'700'000'000'000'000'005);
    push(bridge_frame(0x41, pattern(6, 6)));                     // FEOF with the comm-byte flag
    push(bridge_frame(kFeof, pattern(50, 7)).length_field(60));  // short: ignored
    push(bridge_frame(kFeof, pattern(50, 8)));                   // more than the buffer holds
    push(bridge_frame(kFeof, pattern(2, 9)));

    EXPECT_EQ(5, recv_packet(20));
    EXPECT_EQ(0, type_);
    EXPECT_EQ(kBridgeMac, mac_);
    EXPECT_EQ(pattern(5, 1), head(5));
    EXPECT_EQ(0xEE, buffer_[5]);
    EXPECT_EQ(1'700'000'000'000'000'001, last_time());

    EXPECT_EQ(3, recv_packet(20));
    EXPECT_EQ(1, type_);
    EXPECT_EQ(kOtherMac, mac_);
    EXPECT_EQ(pattern(3, 2), head(3));

    EXPECT_EQ(20, recv_packet(20));
    EXPECT_EQ(0, type_);
    EXPECT_EQ(concat({pattern(10, 3), pattern(10, 4)}), head(20));
    EXPECT_EQ(1'700'000'000'000'000'004, last_time());

    EXPECT_EQ(4, recv_packet(20));
    EXPECT_EQ(pattern(4, 5), head(4));
    ASSERT_EQ(1u, handler_calls().size());
    EXPECT_EQ((Bytes{0x01, 0x02}), handler_calls()[0].data);
    EXPECT_EQ(1'700'000'000'000'000'005, last_time());
    EXPECT_EQ(0, get_packet_has_comm_byte());

    EXPECT_EQ(6, recv_packet(20));
    EXPECT_EQ(pattern(6, 6), head(6));
    EXPECT_EQ(1, get_packet_has_comm_byte());

    EXPECT_EQ(50, recv_packet(20));  // the short frame passed over, this one cut to the buffer
    EXPECT_EQ(0, get_packet_has_comm_byte());
    const Bytes long_one = pattern(50, 8);
    EXPECT_EQ(Bytes(long_one.begin(), long_one.begin() + 20), head(20));

    EXPECT_EQ(2, recv_packet(20));
    EXPECT_EQ(0u, queued());

    const spweth_socket_counters c = counters();
    EXPECT_EQ(10u, c.frames_received);
    EXPECT_EQ(7u, c.packets_received);
    EXPECT_EQ(0u, c.packets_cut);
}

// A receive from one address passes over packets from others, whether or not
// they are of one frame, and then waits.
TEST_P(PlainPackets, FromOneAddressPassesOverOthersThenWaits) {
    end_wait_when_dry();
    push(bridge_frame(kFeof, pattern(4, 1)).from(kOtherMac));
    push(bridge_frame(kSof, pattern(4, 2)).from(kOtherMac));
    push(bridge_frame(kEof, pattern(4, 3)).from(kOtherMac));
    push(bridge_frame(kFeef, pattern(9, 4)));
    mac_ = kBridgeMac;
    buffer_.assign(20, 0xEE);
    EXPECT_EQ(9, SpW_Recv_Packet_From_MAC(socket_, buffer_.data(), 20, mac_.data(), &type_));
    EXPECT_EQ(1, type_);
    EXPECT_EQ(pattern(9, 4), head(9));

    push(bridge_frame(kFeof, pattern(4, 5)).from(kOtherMac));
    EXPECT_EQ(0, SpW_Recv_Packet_From_MAC(socket_, buffer_.data(), 20, mac_.data(), &type_));
    EXPECT_EQ(0, type_);
    EXPECT_EQ(0u, queued());
    EXPECT_EQ(1u, counters().packets_received);
}

// Frames that break into a packet of several frames, and packets longer than
// the engine's clock cadence and the caller's buffer.
TEST_P(PlainPackets, WhatComesBetweenTheFramesOfAPacket) {
    register_ccode_event_handler(ccode_recorder);
    // A control code between the fragments: to the handler, the packet whole.
    push(bridge_frame(kSof, pattern(10, 1)));
    push(bridge_frame(kMof, pattern(10, 2)));
    push(bridge_frame(kCodes, {0x05}));
    at(bridge_frame(kEof, pattern(10, 3)), 1'700'000'000'000'000'003);
    // Another packet's start: the open one is cut, the new one follows.
    push(bridge_frame(kSof, pattern(10, 4)));
    push(bridge_frame(kMof, pattern(10, 5)));
    push(bridge_frame(kSof, pattern(8, 6)));
    push(bridge_frame(kEef, pattern(8, 7)));
    // Stray fragments are discarded; a frame from another source joins in.
    push(bridge_frame(kMof, pattern(5, 8)));
    push(bridge_frame(kEof, pattern(5, 9)));
    push(bridge_frame(kSof, pattern(6, 10)));
    push(bridge_frame(kMof, pattern(6, 11)).from(kOtherMac));
    push(bridge_frame(kEof, pattern(6, 12)));

    EXPECT_EQ(30, recv_packet(40));
    EXPECT_EQ(0, type_);
    EXPECT_EQ(concat({pattern(10, 1), pattern(10, 2), pattern(10, 3)}), head(30));
    EXPECT_EQ(0xEE, buffer_[30]);
    ASSERT_EQ(1u, handler_calls().size());
    EXPECT_EQ(1'700'000'000'000'000'003, last_time());

    EXPECT_EQ(20, recv_packet(40));
    EXPECT_EQ(1, type_);
    EXPECT_EQ(concat({pattern(10, 4), pattern(10, 5)}), head(20));
    EXPECT_EQ(16, recv_packet(40));
    EXPECT_EQ(1, type_);
    EXPECT_EQ(concat({pattern(8, 6), pattern(8, 7)}), head(16));

    EXPECT_EQ(18, recv_packet(40));
    EXPECT_EQ(0, type_);
    EXPECT_EQ(concat({pattern(6, 10), pattern(6, 11), pattern(6, 12)}), head(18));

    // From one address, the other source's fragment is passed over.
    push(bridge_frame(kSof, pattern(6, 13)));
    push(bridge_frame(kMof, pattern(6, 14)).from(kOtherMac));
    push(bridge_frame(kEof, pattern(6, 15)));
    mac_ = kBridgeMac;
    buffer_.assign(40, 0xEE);
    EXPECT_EQ(12, SpW_Recv_Packet_From_MAC(socket_, buffer_.data(), 40, mac_.data(), &type_));
    EXPECT_EQ(concat({pattern(6, 13), pattern(6, 15)}), head(12));

    // 40 frames, more than the engine takes between clock readings, into a
    // buffer of 100 bytes: the length is the packet's, the bytes its first.
    push(bridge_frame(kSof, pattern(1495, 16)));
    for (int i = 0; i < 38; ++i) push(bridge_frame(kMof, pattern(1495, 17)));
    push(bridge_frame(kEof, pattern(7, 18)));
    buffer_.assign(100, 0xEE);
    EXPECT_EQ(39 * 1495 + 7,
              SpW_Recv_Packet_Timeout(socket_, buffer_.data(), 100, mac_.data(), &type_, 60'000));
    const Bytes first = pattern(1495, 16);
    EXPECT_EQ(Bytes(first.begin(), first.begin() + 100), head(100));
    EXPECT_EQ(0u, queued());

    const spweth_socket_counters c = counters();
    EXPECT_EQ(56u, c.frames_received);
    EXPECT_EQ(6u, c.packets_received);  // the cut one among them
    EXPECT_EQ(1u, c.packets_cut);
    EXPECT_EQ(2u, c.fragments_discarded);
}

// The end of a packet comes after pcap has run dry: the call waits for it,
// and the packet is whole; a call stopped with its packet open counts it cut,
// and the next discards its rest.
TEST_P(PlainPackets, APacketWhoseEndComesLater) {
    push(bridge_frame(kSof, pattern(10, 1)));
    fake_pcap::on_empty_poll([pushed = false](pcap_t *socket) mutable {
        if (!std::exchange(pushed, true))
            fake_pcap::push_inbound(socket, bridge_frame(kEof, pattern(3, 2)));
    });
    EXPECT_EQ(13, recv_packet(20));
    EXPECT_EQ(concat({pattern(10, 1), pattern(3, 2)}), head(13));

    end_wait_when_dry();
    push(bridge_frame(kSof, pattern(10, 3)));
    EXPECT_EQ(0, recv_packet(20));
    set_wait_receive_active(1);
    push(bridge_frame(kEof, pattern(3, 4)));
    push(bridge_frame(kFeof, pattern(2, 5)));
    EXPECT_EQ(2, recv_packet(20));
    EXPECT_EQ(pattern(2, 5), head(2));
    const spweth_socket_counters c = counters();
    EXPECT_EQ(1u, c.packets_cut);
    EXPECT_EQ(1u, c.fragments_discarded);
}

INSTANTIATE_TEST_SUITE_P(ThreadSafeModeOffAndOn, PlainPackets, ::testing::Values(0, 1));

}  // namespace
}  // namespace test
