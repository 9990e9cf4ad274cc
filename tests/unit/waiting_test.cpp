// Waiting with deadlines: the timed receives and the credit time-out, over the
// pcap double with a clock that the tests move (no test sleeps).
#include "receive_support.h"

namespace {

using test::bridge_frame;
using test::Bytes;
using test::concat;
using test::kCodes;
using test::kEof;
using test::kErrors;
using test::kOtherMac;
using test::kSof;
using test::pattern;

constexpr std::int64_t kMs = 1'000'000;

// The library's clock: moved by the tests, and by `tick` on every reading.
std::int64_t fake_now = 0;
std::int64_t tick = 0;
std::int64_t read_fake_clock() { return fake_now += tick; }

class WaitingTest : public test::ReceiveTest {
protected:
    void SetUp() override {
        ReceiveTest::SetUp();
        fake_now = 0;
        tick = 0;
        spweth::monotonic_now_ns = &read_fake_clock;
    }

    // Every empty poll moves the clock on by `step`, and calls `then` with the poll's number.
    void on_empty_poll(std::int64_t step, std::function<void(int)> then = nullptr) {
        fake_pcap::on_empty_poll([this, step, then, polls = 0](pcap_t *) mutable {
            fake_now += step;
            if (then) then(++polls);
        });
    }

    int recv_timeout(int timeout_ms) {
        buffer_.assign(4000, 0xEE);
        return SpW_Recv_Packet_Timeout(socket_, buffer_.data(), 4000, mac_.data(), &type_,
                                       timeout_ms);
    }
};

using TimedReceive = WaitingTest;

TEST_F(TimedReceive, ReturnsTimedOutOnceTheDeadlinePassesAndDropsAPartialPacket) {
    push(bridge_frame(kSof, pattern(1495)));
    on_empty_poll(10 * kMs);

    EXPECT_EQ(SPWETH_TIMED_OUT, recv_timeout(50));
    EXPECT_EQ(5, fake_pcap::counters().empty_polls) << "polls at 0, 10, .. 40 ms";
    EXPECT_EQ(0, queued());
}

TEST_F(TimedReceive, APacketCompletedBeforeTheDeadlineComesWholeAndHandlersRunMeanwhile) {
    register_ccode_event_handler(test::ccode_recorder);
    const Bytes first = pattern(1495, 1), last = pattern(300, 2);
    push(bridge_frame(kSof, first));
    on_empty_poll(10 * kMs, [this, last](int poll) {
        if (poll == 2) push(bridge_frame(kCodes, {0x45}));
        if (poll == 4) push(bridge_frame(kEof, last));
    });

    ASSERT_EQ(1795, recv_timeout(50));
    EXPECT_EQ(concat({first, last}), head(1795));
    ASSERT_EQ(1u, test::handler_calls().size());
    EXPECT_EQ(Bytes{0x45}, test::handler_calls()[0].data);
}

TEST_F(TimedReceive, NoDeadlineForZeroOrLessAsWithoutOne) {
    for (int timeout : {0, -5}) {
        on_empty_poll(1000 * kMs, [this](int poll) {
            if (poll == 100) push(bridge_frame(test::kFeof, pattern(9)));
        });
        EXPECT_EQ(9, recv_timeout(timeout)) << timeout;
    }
}

// Neither frames from other senders nor a packet that never ends.
TEST_F(TimedReceive, AStreamOfFramesDoesNotHoldTheCallPastItsDeadline) {
    for (const bool from_others : {true, false}) {
        fake_pcap::Handle &queue = fake_pcap::handle(socket_);
        queue.inbound.clear();
        queue.inbound_wire_lengths.clear();
        queue.inbound_times_ns.clear();
        if (!from_others) push(bridge_frame(kSof, pattern(20)));
        for (int i = 0; i < 1000; ++i)
            push(from_others ? bridge_frame(kSof, pattern(20)).from(kOtherMac)
                             : bridge_frame(test::kMof, pattern(20)));
        // Every reading of the clock takes a millisecond; the call reads it at
        // least once per 16 frames.
        fake_now = 0;
        tick = kMs;
        buffer_.assign(100, 0);
        test::Mac bridge = test::kBridgeMac;
        EXPECT_EQ(SPWETH_TIMED_OUT, SpW_Recv_Packet_From_MAC_Timeout(socket_, buffer_.data(), 100,
                                                                     bridge.data(), &type_, 20))
            << from_others;
        EXPECT_GE(queued(), 1000u - 20 * 16) << from_others;
        tick = 0;
    }
}

TEST_F(TimedReceive, ClearingTheWaitFlagEndsItWithZeroAndBadArgumentsAreRefused) {
    on_empty_poll(kMs, [](int) { set_wait_receive_active(0); });
    EXPECT_EQ(0, recv_timeout(1000));
    set_wait_receive_active(1);
    EXPECT_EQ(-1, SpW_Recv_Packet_Timeout(socket_, nullptr, 10, mac_.data(), &type_, 100));
    EXPECT_EQ(-1, SpW_Recv_Packet_From_MAC_Timeout(nullptr, buffer_.data(), 10, mac_.data(), &type_,
                                                   100));
}

TEST_F(TimedReceive, StateQueriesTooReturnTheRecordOrTimeOut) {
    spw_eth_state state{};
    const mac_address bridge{{0x00, 0x01, 0x02, 0x03, 0x04, 0x05}};
    on_empty_poll(10 * kMs, [this](int poll) {
        if (poll == 3) push(bridge_frame(test::kStatus, pattern(88, 4)));
    });
    EXPECT_EQ(88, SpW_Eth_Get_State_From_MAC_Timeout(socket_, &state, &bridge, 50));
    EXPECT_EQ(pattern(88, 4), Bytes(reinterpret_cast<std::uint8_t *>(&state),
                                    reinterpret_cast<std::uint8_t *>(&state) + 88));

    on_empty_poll(10 * kMs);
    mac_address source{};
    EXPECT_EQ(SPWETH_TIMED_OUT, SpW_Eth_Get_State_Timeout(socket_, &state, &source, 50));
}

using CreditTimeOut = WaitingTest;

TEST_F(CreditTimeOut, StopsBeforeTheNextFrameWithTheMessageAndUsesNoNumber) {
    set_send_crediting(1);
    EXPECT_EQ(30, set_send_credit_timeout(30));
    spweth::library_state.bridge_credits = 11;  // one frame goes before the wait
    on_empty_poll(10 * kMs);
    const Bytes data = pattern(3000);

    EXPECT_EQ(-2, SpW_Send_Packet(socket_, data.data(), 3000, 1));
    EXPECT_EQ(1u, sent().size());
    EXPECT_EQ(1, spweth::library_state.data_frame_counter);
    EXPECT_EQ("\nError sending packet: no credits from the bridge within 30 ms\n", err_);
    EXPECT_EQ(10, get_bridge_credits());
}

TEST_F(CreditTimeOut, CreditsThatComeInTimeLetTheSendFinish) {
    set_send_crediting(1);
    set_send_credit_timeout(30);
    spweth::library_state.bridge_credits = 10;
    on_empty_poll(10 * kMs, [this](int poll) {
        if (poll == 2) push(bridge_frame(kErrors, {0x00}).credits(20));
    });
    const Bytes data = pattern(100);
    EXPECT_EQ(100, SpW_Send_Packet(socket_, data.data(), 100, 1));
    EXPECT_TRUE(err_.empty()) << err_;
}

// A send's own deadline bounds its credit waits: the sooner of it and the
// credit time-out ends the wait, each with its own result.
TEST_F(CreditTimeOut, SendDeadlineEndsTheWaitQuietlyWithTimedOut) {
    set_send_crediting(1);
    set_send_credit_timeout(500);
    spweth::library_state.bridge_credits = 11;
    on_empty_poll(10 * kMs);
    const Bytes data = pattern(3000);

    EXPECT_EQ(SPWETH_TIMED_OUT, SpW_Send_Packet_Timeout(socket_, data.data(), 3000, 1, 40));
    EXPECT_EQ(1u, sent().size());  // the frame before the wait stays sent
    EXPECT_EQ(1, spweth::library_state.data_frame_counter);
    EXPECT_EQ("", err_);

    set_send_credit_timeout(20);
    EXPECT_EQ(-2, SpW_Send_Packet_Timeout(socket_, data.data(), 3000, 1, 40));
    EXPECT_EQ("\nError sending packet: no credits from the bridge within 20 ms\n", err_);
    EXPECT_EQ(1u, sent().size());
}

TEST(WaitSettings, StoreWhatTheyReturn) {
    spweth::reset_library_state();
    EXPECT_EQ(0, get_send_credit_timeout());
    EXPECT_EQ(0, set_send_credit_timeout(-5));
    EXPECT_EQ(250, set_send_credit_timeout(250));
    EXPECT_EQ(250, get_send_credit_timeout());
    EXPECT_EQ(0, get_recv_idle_wait());
    EXPECT_EQ(1, set_recv_idle_wait(7));
    EXPECT_EQ(0, set_recv_idle_wait(-1));
    EXPECT_EQ(0, get_recv_idle_wait());
}

}  // namespace
