// Whole packets or a named reason: packets that lose frames come back cut
// (ended by EEP), fragments without their start are discarded, the read buffer
// grows rather than loses what a credit wait sets aside, and the per-socket
// counters say what happened.
#include <cstring>

#include "receive_support.h"

namespace {

using test::bridge_frame;
using test::Bytes;
using test::concat;
using test::kCodes;
using test::kEof;
using test::kFeof;
using test::kMof;
using test::kSof;
using test::pattern;

class WholePackets : public test::ReceiveTest {
protected:
    spweth_socket_counters counters() const {
        spweth_socket_counters c{};
        EXPECT_EQ(0, SpW_Socket_Get_Counters(socket_, &c, sizeof c));
        return c;
    }
    // Frames as a credit wait sets them aside.
    void set_aside(const Bytes &frame) {
        push(frame);
        credit_wait();
    }
    // Fills the read buffer to its limit so that the next frame set aside is lost.
    void fill_to_the_limit() {
        spweth::ReadBuffer &ring = *spweth::read_buffer_find(socket_);
        const Bytes filler(
            ring.capacity - ring.fill - spweth::kRecordHeaderSize - spweth::kGapMarkSize, 0);
        set_recv_buffer_limit(0);  // the buffer's own size
        spweth::read_buffer_put(ring, filler.data(), static_cast<std::uint32_t>(filler.size()));
    }
};

TEST_F(WholePackets, CutInItsLastFrame) {
    set_aside(bridge_frame(kSof, pattern(1495, 1)));
    set_aside(bridge_frame(kMof, pattern(1495, 2)));
    fill_to_the_limit();
    set_aside(bridge_frame(kEof, pattern(10, 3)));  // lost
    push(bridge_frame(kFeof, pattern(20, 4)));

    // The filler record is a frame without a header: passed over.
    EXPECT_EQ(2990, recv_packet(4000));
    EXPECT_EQ(1, type_);
    EXPECT_EQ(concat({pattern(1495, 1), pattern(1495, 2)}), head(2990));
    EXPECT_EQ(20, recv_packet(4000));
    EXPECT_EQ(0, type_);
    const spweth_socket_counters c = counters();
    EXPECT_EQ(1u, c.packets_cut);
    EXPECT_EQ(2u, c.packets_received);
    EXPECT_EQ(1u, c.read_buffer_overflows);
    EXPECT_EQ(4u, c.frames_received);
}

TEST_F(WholePackets, CutInItsFirstFrameAndTheRestDiscarded) {
    set_aside(bridge_frame(kSof, pattern(100, 1)));
    fill_to_the_limit();
    set_aside(bridge_frame(kMof, pattern(1495, 2)));  // lost
    push(bridge_frame(kMof, pattern(1495, 3)));
    push(bridge_frame(kEof, pattern(5, 4)));
    push(bridge_frame(kFeof, pattern(7, 5)));

    EXPECT_EQ(100, recv_packet(4000));
    EXPECT_EQ(1, type_);
    EXPECT_EQ(7, recv_packet(4000));
    EXPECT_EQ(pattern(7, 5), head(7));
    EXPECT_EQ(2u, counters().fragments_discarded);
}

// A receive that ends with a packet open leaves its rest to be discarded, in
// the read buffer and in pcap alike.
TEST_F(WholePackets, DiscardSpansTheReadBufferAndPcap) {
    push(bridge_frame(kSof, pattern(1495, 1)));
    end_wait_when_dry();
    EXPECT_EQ(0, recv_packet(4000));  // the wait flag ended it mid-packet
    fake_pcap::on_empty_poll(nullptr);
    set_wait_receive_active(1);
    set_aside(bridge_frame(kMof, pattern(1495, 2)));
    push(bridge_frame(kEof, pattern(9, 3)));
    push(bridge_frame(kSof, pattern(3, 4)));
    push(bridge_frame(kEof, pattern(4, 5)));

    EXPECT_EQ(7, recv_packet(4000));
    EXPECT_EQ(0, type_);
    EXPECT_EQ(concat({pattern(3, 4), pattern(4, 5)}), head(7));
    const spweth_socket_counters c = counters();
    EXPECT_EQ(1u, c.packets_cut);
    EXPECT_EQ(2u, c.fragments_discarded);
    EXPECT_EQ(1u, c.packets_received);
}

// An extended receive hands over the control codes it is asked for; one that
// arrives mid-packet comes after the packet, which is then cut.
TEST_F(WholePackets, ExtendedReceiveGivesTheCutPacketThenTheCode) {
    push(bridge_frame(kSof, pattern(50, 1)));
    push(bridge_frame(kCodes, {0x21}).pad_to(62));
    push(bridge_frame(kEof, pattern(5, 2)));
    push(bridge_frame(kFeof, pattern(3, 3)));
    EXPECT_EQ(50, recv_extended(100, SPWETH_MASK_CCODES));
    EXPECT_EQ(1, type_);
    EXPECT_EQ(1, recv_extended(100, SPWETH_MASK_CCODES));
    EXPECT_EQ(kCodes, type_);
    EXPECT_EQ(0x21, buffer_[0]);
    EXPECT_EQ(3, recv_extended(100, SPWETH_MASK_CCODES));
    EXPECT_EQ(1u, counters().fragments_discarded);  // the end of the cut packet
}

// Frames set aside during a long credit wait all stay: the ring doubles.
TEST_F(WholePackets, ReadBufferGrowsDuringACreditWait) {
    set_recv_buffer_size(1500);
    Bytes sent;
    set_aside(bridge_frame(kSof, pattern(1495, 0)));
    sent = pattern(1495, 0);
    for (std::uint8_t i = 1; i < 40; ++i) {
        set_aside(bridge_frame(kMof, pattern(1495, i)));
        sent = concat({sent, pattern(1495, i)});
    }
    set_aside(bridge_frame(kEof, pattern(1, 99)));
    sent = concat({sent, pattern(1, 99)});

    ASSERT_EQ(static_cast<int>(sent.size()), recv_packet(70000));
    EXPECT_EQ(0, type_);
    EXPECT_EQ(sent, head(sent.size()));
    const spweth_socket_counters c = counters();
    EXPECT_EQ(6u, c.read_buffer_growths);  // 1500 to 96000 bytes
    EXPECT_EQ(0u, c.read_buffer_overflows);
}

TEST_F(WholePackets, CountersAreTheSocketsOwnAndGrowableBySize) {
    push(bridge_frame(kFeof, pattern(10)));
    EXPECT_EQ(10, recv_packet(100));
    spweth_socket_counters c{};
    std::memset(&c, 0xAB, sizeof c);
    EXPECT_EQ(0, SpW_Socket_Get_Counters(socket_, &c, 8));  // the first field only
    EXPECT_EQ(1u, c.frames_received);
    EXPECT_EQ(0xABABABABABABABABu, c.packets_received);
    EXPECT_EQ(-1, SpW_Socket_Get_Counters(socket_, nullptr, sizeof c));
    EXPECT_EQ(-1, SpW_Socket_Get_Counters(socket_, &c, -1));
    EXPECT_EQ(-1, SpW_Socket_Get_Counters(nullptr, &c, sizeof c));
}

// Every call that takes a socket refuses one the library has closed, without
// touching it.
// The time of what a receive returned is its last frame's, wherever the frame
// waited: in the read buffer, held by an earlier receive, or in pcap.
TEST_F(WholePackets, LastTimeIsThatOfTheLastFrameReturned) {
    const auto at = [&](const Bytes &frame, long long ns) {
        fake_pcap::push_inbound_at(socket_, frame, ns);
    };
    const auto last_time = [&] {
        long long ns = -1;
        EXPECT_EQ(0, SpW_Socket_Get_Last_Time(socket_, &ns));
        return ns;
    };
    EXPECT_EQ(0, last_time());
    at(bridge_frame(kSof, pattern(10, 1)), 1'700'000'000'000'000'001);
    at(bridge_frame(kEof, pattern(10, 2)), 1'700'000'000'000'000'002);
    credit_wait();  // both set aside
    EXPECT_EQ(0, last_time());
    EXPECT_EQ(20, recv_packet(100));
    EXPECT_EQ(1'700'000'000'000'000'002, last_time());

    at(bridge_frame(kSof, pattern(10, 3)), 1'700'000'000'000'000'003);
    at(bridge_frame(kFeof, pattern(10, 4)), 1'700'000'000'000'000'004);  // held
    EXPECT_EQ(10, recv_packet(100));  // cut: its last frame is the start
    EXPECT_EQ(1'700'000'000'000'000'003, last_time());
    EXPECT_EQ(10, recv_packet(100));
    EXPECT_EQ(1'700'000'000'000'000'004, last_time());

    long long ns = 0;
    EXPECT_EQ(-1, SpW_Socket_Get_Last_Time(socket_, nullptr));
    EXPECT_EQ(-1, SpW_Socket_Get_Last_Time(nullptr, &ns));
}

TEST_F(WholePackets, ClosedSocketIsRefusedEverywhere) {
    EXPECT_EQ(0, SpW_Socket_Close(socket_));
    const std::size_t frames_before = fake_pcap::sent_frames().size();
    spw_eth_state state{};
    mac_address from{};
    const unsigned char data[4] = {1, 2, 3, 4};
    EXPECT_EQ(-1, SpW_Socket_Close(socket_));
    EXPECT_EQ(-1, SpW_Eth_Get_State(socket_, &state, &from));
    EXPECT_EQ(-1, recv_packet(100));
    EXPECT_EQ(-2, SpW_Send_Packet(socket_, data, 4, 0));
    EXPECT_EQ(-1, SpW_Send_Time_Code(socket_, 5));
    EXPECT_EQ(-1, SpW_Eth_Reset(socket_));
    EXPECT_EQ(-1, SpW_Socket_Reset(socket_));
    spweth_socket_counters c{};
    EXPECT_EQ(-1, SpW_Socket_Get_Counters(socket_, &c, sizeof c));
    EXPECT_EQ(frames_before, fake_pcap::sent_frames().size());
    EXPECT_EQ(0, fake_pcap::open_handle_count());
    socket_ = nullptr;
}

}  // namespace

namespace {

// A handler that receives from inside the receive that called it.
pcap_t *nested_socket = nullptr;
int nested_length = 0;
void receiving_handler(unsigned char *data, int, unsigned char *) {
    std::free(data);
    std::array<unsigned char, 100> buffer{};
    std::array<unsigned char, 6> mac{};
    unsigned char type = 0;
    nested_length = SpW_Recv_Packet(nested_socket, buffer.data(), 100, mac.data(), &type);
}

}  // namespace

// A receive takes from pcap only the frames it consumes, one at a time, and a
// handler it calls may receive on the same socket.
TEST_F(WholePackets, ABurstIsTakenFrameByFrameAndAHandlerMayReceive) {
    nested_socket = socket_;
    nested_length = 0;
    ASSERT_EQ(0, register_ccode_event_handler(&receiving_handler));
    push(bridge_frame(kCodes, {0x05}));
    push(bridge_frame(kFeof, pattern(11, 1)));
    push(bridge_frame(kFeof, pattern(12, 2)));
    push(bridge_frame(kFeof, pattern(13, 3)));
    EXPECT_EQ(12, recv_packet(100));  // the handler took the first packet
    EXPECT_EQ(11, nested_length);
    EXPECT_EQ(pattern(12, 2), head(12));
    EXPECT_EQ(1u, queued());
    EXPECT_EQ(13, recv_packet(100));
    EXPECT_EQ(4u, counters().frames_received);
}
