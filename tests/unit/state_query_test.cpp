// The bridge state queries, on an open socket and on a capture of their own.
#include "receive_support.h"

namespace {

using namespace test;

Bytes record_bytes(const spw_eth_state &state) {
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(&state);
    return Bytes(bytes, bytes + sizeof state);
}

mac_address as_address(const Mac &mac) {
    mac_address address{};
    std::copy(mac.begin(), mac.end(), address.bytes);
    return address;
}

Mac as_mac(const mac_address &address) {
    Mac mac{};
    std::copy_n(address.bytes, 6, mac.begin());
    return mac;
}

class StateQuery : public ReceiveTest {
protected:
    spw_eth_state state_{};
    mac_address source_{};
};

TEST_F(StateQuery, CopiesTheRecordAndReportsTheSource) {
    push(bridge_frame(kStatus, pattern(88, 1)).from(kOtherMac));
    EXPECT_EQ(88, SpW_Eth_Get_State(socket_, &state_, &source_));
    EXPECT_EQ(pattern(88, 1), record_bytes(state_));
    EXPECT_EQ(kOtherMac, as_mac(source_));
}

TEST_F(StateQuery, PassesOverFlaggedShortAndForeignStatusFrames) {
    register_status_event_handler(status_recorder);
    Mac near = kBridgeMac;
    near[5] ^= 1;
    push(bridge_frame(0x48, pattern(88, 1)));                      // flag bit over type 8
    push(bridge_frame(kStatus, pattern(50, 2)).pad_to(200));       // payload too short
    push(bridge_frame(kStatus, pattern(88, 3)).length_field(90));  // frame too short
    push(bridge_frame(kStatus, pattern(88, 4)).from(near));
    push(bridge_frame(kStatus, pattern(90, 5)));
    const mac_address bridge = as_address(kBridgeMac);
    EXPECT_EQ(90, SpW_Eth_Get_State_From_MAC(socket_, &state_, &bridge));
    EXPECT_EQ(pattern(88, 5), record_bytes(state_));
    EXPECT_TRUE(handler_calls().empty());
}

TEST_F(StateQuery, ConsumesSetAsideFramesOnTheWay) {
    push(bridge_frame(kSof, pattern(30)));
    push(bridge_frame(kEof, pattern(30)));
    ASSERT_EQ(0, credit_wait());
    push(bridge_frame(kStatus, pattern(88, 1)));
    EXPECT_EQ(88, SpW_Eth_Get_State(socket_, &state_, &source_));
    end_wait_when_dry();
    EXPECT_EQ(0, recv_packet(100));
}

TEST_F(StateQuery, ClearedWaitFlagLeavesTheRecordAlone) {
    push(bridge_frame(kStatus, pattern(88, 1)));
    set_wait_receive_active(0);
    EXPECT_EQ(0, SpW_Eth_Get_State(socket_, &state_, &source_));
    EXPECT_EQ(Bytes(88, 0), record_bytes(state_));
    EXPECT_EQ(1u, queued());
}

TEST_F(StateQuery, SmallBufferOrMissingRecordsAreRefused) {
    push(bridge_frame(kStatus, pattern(88, 1)));
    unsigned char small[87];
    unsigned char type = 0;
    EXPECT_EQ(-1, spweth::SpW_Recv_Packet_uni(spweth::kRecvState, socket_, small, 87, mac_.data(),
                                              &type, 0));
    EXPECT_EQ("\nError: buffer too small for state data. Required: 88 bytes\n", err_);
    EXPECT_EQ(0u, queued());  // the status frame is consumed

    push(bridge_frame(kStatus, pattern(88, 1)));
    EXPECT_EQ(-1, SpW_Eth_Get_State(socket_, nullptr, &source_));
    EXPECT_EQ(-1, SpW_Eth_Get_State(socket_, &state_, nullptr));
    EXPECT_EQ(-1, SpW_Eth_Get_State_From_MAC(socket_, &state_, nullptr));
    EXPECT_EQ(-1, SpW_Eth_Get_State_By_Dev(nullptr, &source_));
    EXPECT_EQ(-1, SpW_Eth_Get_State_By_Dev_From_MAC(&state_, nullptr));
    EXPECT_EQ(1u, queued());
}

TEST_F(StateQuery, SocketWithoutReadBufferIsReadFromPcap) {
    set_recv_buffering(0);
    pcap_t *unbuffered = open_socket();
    set_recv_buffering(1);
    fake_pcap::push_inbound(unbuffered, bridge_frame(kStatus, pattern(88, 1)));
    EXPECT_EQ(88, SpW_Eth_Get_State(unbuffered, &state_, &source_));
}

using StateByDevice = StateQuery;

// A status frame "arrives" on whichever capture polls an empty queue first.
void deliver_status_when_polled() {
    fake_pcap::on_empty_poll([](pcap_t *capture) {
        fake_pcap::push_inbound(capture, bridge_frame(kStatus, pattern(88, 9)));
    });
}

TEST_F(StateByDevice, OpensTheChosenAdapterForOneBlockingQuery) {
    deliver_status_when_polled();
    EXPECT_EQ(0, SpW_Eth_Get_State_By_Dev(&state_, &source_));
    pcap_t *capture = fake_pcap::last_opened();
    ASSERT_NE(socket_, capture);
    const fake_pcap::Handle &h = fake_pcap::handle(capture);
    EXPECT_EQ("fake0", h.device);
    EXPECT_EQ("ether proto 0x06AB", h.filter);
    EXPECT_TRUE(h.filter_installed);
    EXPECT_EQ(0, h.nonblock);
    EXPECT_TRUE(h.closed);
    EXPECT_EQ(nullptr, spweth::read_buffer_find(capture));
    EXPECT_EQ(pattern(88, 9), record_bytes(state_));
    EXPECT_EQ("\nListening on Fake adapter 0...\n", out_);

    const mac_address bridge = as_address(kBridgeMac);
    state_ = {};
    EXPECT_EQ(0, SpW_Eth_Get_State_By_Dev_From_MAC(&state_, &bridge));
    EXPECT_EQ(pattern(88, 9), record_bytes(state_));
    EXPECT_TRUE(fake_pcap::handle(fake_pcap::last_opened()).closed);
}

TEST_F(StateByDevice, ReturnsZeroWhenTheWaitEndsWithoutStatus) {
    set_wait_receive_active(0);
    EXPECT_EQ(0, SpW_Eth_Get_State_By_Dev(&state_, &source_));
    EXPECT_TRUE(fake_pcap::handle(fake_pcap::last_opened()).closed);
}

TEST_F(StateByDevice, FailedOpenIsRetriedByTheNextCall) {
    fake_pcap::fail_next(fake_pcap::Call::open_live);
    EXPECT_EQ(-4, SpW_Eth_Get_State_By_Dev(&state_, &source_));
    EXPECT_EQ("\nUnable to open the adapter. fake0 is not supported by WinPcap\n", err_);
    deliver_status_when_polled();
    EXPECT_EQ(0, SpW_Eth_Get_State_By_Dev(&state_, &source_));
    EXPECT_EQ("fake0", fake_pcap::handle(fake_pcap::last_opened()).device);
}

TEST_F(StateByDevice, FailedOpenFromMacReleasesTheAdapterList) {
    const mac_address bridge = as_address(kBridgeMac);
    fake_pcap::fail_next(fake_pcap::Call::open_live);
    EXPECT_EQ(-4, SpW_Eth_Get_State_By_Dev_From_MAC(&state_, &bridge));
    EXPECT_EQ(nullptr, spweth::library_state.device_list);
    EXPECT_EQ(nullptr, spweth::library_state.chosen_device);
    EXPECT_EQ(0, fake_pcap::live_device_lists());

    const int opens = fake_pcap::counters().open_live;
    EXPECT_EQ(-4, SpW_Eth_Get_State_By_Dev(&state_, &source_));  // no adapter chosen now
    EXPECT_EQ(opens, fake_pcap::counters().open_live);
}

TEST_F(StateByDevice, FilterFailuresCloseTheCapture) {
    fake_pcap::fail_next(fake_pcap::Call::compile);
    EXPECT_EQ(-5, SpW_Eth_Get_State_By_Dev(&state_, &source_));
    EXPECT_TRUE(fake_pcap::handle(fake_pcap::last_opened()).closed);
    fake_pcap::fail_next(fake_pcap::Call::setfilter);
    EXPECT_EQ(-6, SpW_Eth_Get_State_By_Dev(&state_, &source_));
    EXPECT_TRUE(fake_pcap::handle(fake_pcap::last_opened()).closed);
}

}  // namespace
