// Bad input at the library's edges: what it is given that it should not be,
// and what it does then. docs/robustness.md lists every case with its test.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "receive_support.h"
#include "rx/rx.h"

namespace {

using test::bridge_frame;
using test::Bytes;
using test::LibraryTest;

void *no_memory(std::size_t) { return nullptr; }

// A ring whose storage could not be allocated (at the claim, or for a huge
// size) holds nothing, whatever it is given.
using ReadBufferWithoutStorage = LibraryTest;

TEST_F(ReadBufferWithoutStorage, TakesFramesAndStaysEmpty) {
    spweth::heap_allocate = &no_memory;
    pcap_t *socket = open_socket();
    spweth::ReadBuffer *slot = spweth::read_buffer_find(socket);
    ASSERT_NE(nullptr, slot);
    ASSERT_EQ(0u, slot->capacity);

    const Bytes frame = bridge_frame(1, test::pattern(41));
    spweth::read_buffer_put(*slot, frame.data(), static_cast<std::uint32_t>(frame.size()));
    spweth::read_buffer_put(*slot, nullptr, 0);
    EXPECT_EQ(0u, slot->fill);
    EXPECT_EQ(0u, slot->write_pos);
    EXPECT_EQ(nullptr, slot->storage);

    set_recv_buffer_size(INT_MAX);
    EXPECT_EQ(0u, slot->capacity);
    spweth::read_buffer_put(*slot, frame.data(), static_cast<std::uint32_t>(frame.size()));
    EXPECT_EQ(0u, slot->fill);
}

// A length prefix of -1 in the ring counts as far too long: error 3, flushed.
using DamagedRing = LibraryTest;

TEST_F(DamagedRing, NegativeLengthPrefixCountsAsTooLong) {
    set_recv_buffer_size(1500);
    spweth::ReadBuffer *slot = spweth::read_buffer_find(open_socket());
    ASSERT_NE(nullptr, slot);
    const Bytes frame = test::pattern(60);
    spweth::read_buffer_put(*slot, frame.data(), 60);
    std::memset(slot->storage + slot->read_pos, 0xFF, 4);
    spweth::RecordCopy copy;
    EXPECT_EQ(-1, spweth::read_buffer_take(*slot, copy));
    EXPECT_EQ("Read buffer error 3: read_buffer wrong data size (60 / -1). Flushing...\n", out_);
    EXPECT_EQ(0u, slot->fill);
    EXPECT_EQ(0u, slot->read_pos);
}

// Adapter numbers far outside the list.
using BadAdapterNumber = LibraryTest;

TEST_F(BadAdapterNumber, IsRefusedWithoutOpeningAnything) {
    fake_pcap::set_adapters({{"fake0", "Fake adapter 0"}, {"fake1", std::nullopt}});
    for (int number : {INT_MIN, -1, 2, INT_MAX}) {
        out_.clear();
        EXPECT_EQ(-3, SpW_Socket_Init(number)) << number;
        EXPECT_NE(std::string::npos, out_.find("\nInterface number (" + std::to_string(number) +
                                               ") out of range (2).\n"));
    }
    EXPECT_EQ(0, fake_pcap::counters().open_live);
    EXPECT_EQ(-1, Get_Number_Chosen_Network_Device());
}

// No socket: null, or a negative result of SpW_Socket_Init passed on unchecked.
class NoSocket : public LibraryTest {
protected:
    static std::vector<pcap_t *> non_sockets() {
        return {nullptr, reinterpret_cast<pcap_t *>(std::intptr_t{-3}),
                reinterpret_cast<pcap_t *>(std::intptr_t{-8})};
    }
};

TEST_F(NoSocket, SendersRefuseWithoutUsingAFrameNumber) {
    const unsigned char codes[3] = {1, 2, 3};
    const mac_address address{{2, 0, 0, 0, 0, 1}};
    for (pcap_t *socket : non_sockets()) {
        EXPECT_EQ(-1, SpW_Send_CCodes(socket, codes, 3));
        EXPECT_EQ(-1, SpW_Send_Time_Code(socket, 5));
        EXPECT_EQ(-1, SpW_Eth_Reset(socket));
        EXPECT_EQ(-1, SpW_Eth_Set_MAC_Dest(socket, &address));
        EXPECT_EQ(-1, SpW_Eth_Send_Conf_Packet(socket, spw_eth_conf_header_2{}));
        EXPECT_EQ(-2, SpW_Send_Packet(socket, codes, 3, 1));
        EXPECT_EQ(-2, SpW_Send_Packet_From_Channel(socket, codes, 3, 1, 7));
    }
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(0, spweth::library_state.ccode_frame_counter);
    EXPECT_EQ(0, spweth::library_state.data_frame_counter);
}

TEST_F(NoSocket, ReceivesAndStateQueriesReturnMinusOneWithoutPolling) {
    unsigned char buffer[100];
    unsigned char mac[6] = {};
    unsigned char type = 0;
    int frame_type = 0;
    spw_eth_state state{};
    mac_address source{};
    for (int buffering : {1, 0}) {
        set_recv_buffering(buffering);
        for (pcap_t *socket : non_sockets()) {
            EXPECT_EQ(-1, SpW_Recv_Packet(socket, buffer, 100, mac, &type));
            EXPECT_EQ(-1, SpW_Recv_Frame_Type(socket, buffer, 100, -1, &frame_type, mac));
            EXPECT_EQ(-1, SpW_Eth_Get_State(socket, &state, &source));
            EXPECT_EQ(-1, SpW_Eth_Get_State_From_MAC(socket, &state, &source));
        }
    }
    EXPECT_EQ(0, fake_pcap::counters().empty_polls);
}

void ignore_frame(unsigned char *data, int, unsigned char *) { std::free(data); }

TEST_F(NoSocket, CloseClosesNothingAndChangesNothing) {
    register_status_event_handler(&ignore_frame);
    spweth::library_state.data_frame_counter = 7;
    for (pcap_t *socket : non_sockets()) EXPECT_EQ(0, SpW_Socket_Close(socket));
    EXPECT_EQ(0, fake_pcap::counters().close);
    EXPECT_EQ(&ignore_frame, get_handler_status_state());
    EXPECT_EQ(7, spweth::library_state.data_frame_counter);
}

// The one-query capture of a state query hands frames over as they arrive,
// like a socket: not only when its read time-out retires a block of them.
using StateCapture = LibraryTest;

TEST_F(StateCapture, IsInImmediateMode) {
    open_socket();
    set_wait_receive_active(0);  // the query returns at once
    spw_eth_state state{};
    mac_address source{};
    EXPECT_EQ(0, SpW_Eth_Get_State_By_Dev(&state, &source));
    const fake_pcap::Handle &h = fake_pcap::handle(fake_pcap::last_opened());
    EXPECT_EQ(1, h.immediate);
    EXPECT_GE(h.snaplen, 1514);
    EXPECT_TRUE(h.closed);
}

// Frames that break the rules reach the caller only within its buffer.
using BadFrames = test::ReceiveTest;

TEST_F(BadFrames, OversizedFrameIsDeliveredUpToTheBufferLength) {
    const Bytes payload = test::pattern(4000);  // far beyond 1495 payload bytes
    push(bridge_frame(test::kFeof, payload));
    EXPECT_EQ(4000, recv_packet(1500));
    EXPECT_EQ(Bytes(payload.begin(), payload.begin() + 1500), buffer_);
}

TEST_F(BadFrames, FragmentsWithoutTheirStartAreDiscarded) {
    push(bridge_frame(test::kMof, test::pattern(30, 1)));
    push(bridge_frame(test::kEof, test::pattern(20, 2)));
    push(bridge_frame(test::kFeof, test::pattern(10, 3)));
    EXPECT_EQ(10, recv_packet(100));
    EXPECT_EQ(test::pattern(10, 3), head(10));
    spweth_socket_counters counters{};
    ASSERT_EQ(0, SpW_Socket_Get_Counters(socket_, &counters, sizeof counters));
    EXPECT_EQ(2u, counters.fragments_discarded);
}

TEST_F(BadFrames, NegativeBufferLengthCountsAsZero) {
    push(bridge_frame(test::kFeof, test::pattern(10)));
    buffer_.assign(16, 0xEE);
    EXPECT_EQ(10, SpW_Recv_Packet(socket_, buffer_.data(), -5, mac_.data(), &type_));
    EXPECT_EQ(Bytes(16, 0xEE), buffer_);
}

// A credit wait level the bridge never reports (its credits are one byte)
// holds a send until the credit time-out; a negative one never holds it.
using CreditWaitLevel = test::ReceiveTest;

TEST_F(CreditWaitLevel, OutOfReachIsEndedByTheCreditTimeOutAndNegativeNeverWaits) {
    set_send_crediting(1);
    set_send_credit_limit(32);
    const unsigned char byte = 7;
    spweth::library_state.bridge_credits = 20;
    EXPECT_EQ(-1, set_send_credit_wait(-1));
    EXPECT_EQ(1, SpW_Send_Packet(socket_, &byte, 1, 1));
    EXPECT_EQ(0, fake_pcap::counters().empty_polls);

    EXPECT_EQ(1000, set_send_credit_wait(1000));
    set_send_credit_timeout(20);
    push(bridge_frame(7, {0}).credits(255));  // every credit the byte can report
    EXPECT_EQ(-2, SpW_Send_Packet(socket_, &byte, 1, 1));
    EXPECT_EQ(255, get_bridge_credits());
    EXPECT_EQ("\nError sending packet: no credits from the bridge within 20 ms\n", err_);
}

// An adapter that fails or has been closed.
using LostAdapter = test::ReceiveTest;

TEST_F(LostAdapter, CaptureErrorCountsAsAnEmptyPoll) {
    fake_pcap::fail_next(fake_pcap::Call::next_ex);
    push(bridge_frame(test::kFeof, test::pattern(5)));
    EXPECT_EQ(5, recv_packet(10));  // polled again after the error

    fake_pcap::fail_next(fake_pcap::Call::next_ex);
    push(bridge_frame(test::kFeof, test::pattern(5)));
    EXPECT_EQ(0, credit_wait());  // the error ends the credit wait like an empty poll
    EXPECT_EQ(1u, queued());
}

TEST_F(LostAdapter, ReceiveOnAClosedSocketReturnsMinusOneWithoutPolling) {
    SpW_Socket_Close(socket_);
    EXPECT_EQ(-1, recv_packet(10));
    EXPECT_EQ(-1, credit_wait());
    EXPECT_EQ(0, fake_pcap::counters().empty_polls);
}

}  // namespace
