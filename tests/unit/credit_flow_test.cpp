// Credit flow control of the packet sender: when it waits, what ends a wait,
// and what becomes of the frames that arrive meanwhile.
#include <atomic>
#include <chrono>
#include <thread>

#include "rx/rx.h"
#include "test_support.h"

namespace {

using test::bridge_frame;
using test::Bytes;
using test::kOtherMac;
using test::pattern;

enum : std::uint8_t { kFeof = 1, kSof = 3, kEof = 4, kErrors = 7, kStatus = 8 };

const std::string kWaitStopped =
    "\nError sending packet: credit wait stopped, wait_receive_active is 0\n";

// A credit report: an error frame of error type 0 from the bridge.
Bytes credit_report(std::uint8_t credits) { return bridge_frame(kErrors, {0x00}).credits(credits); }

class CreditFlowTest : public test::LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        socket_ = open_socket();
        set_send_crediting(1);
    }

    int send(std::size_t length) {
        const Bytes data = pattern(length);
        return SpW_Send_Packet(socket_, data.data(), static_cast<int>(length), 1);
    }

    static std::atomic<int> &credits() { return spweth::library_state.bridge_credits; }

    pcap_t *socket_ = nullptr;
};

using CreditPacing = CreditFlowTest;

TEST_F(CreditPacing, StartsWhenCreditsFallToTheLimitAndEndsAtTheWaitLevel) {
    credits() = 20;
    std::vector<std::size_t> frames_out_at_poll;
    fake_pcap::on_empty_poll([&](pcap_t *handle) {
        frames_out_at_poll.push_back(fake_pcap::sent_frames().size());
        if (frames_out_at_poll.size() == 1) fake_pcap::push_inbound(handle, credit_report(14));
        if (frames_out_at_poll.size() == 2) fake_pcap::push_inbound(handle, credit_report(15));
    });

    EXPECT_EQ(11 * 1495, send(11 * 1495));

    ASSERT_GE(frames_out_at_poll.size(), 2u) << "a report of 14 does not end the wait";
    for (std::size_t out : frames_out_at_poll) EXPECT_EQ(10u, out);
    EXPECT_EQ(11u, sent().size());
    EXPECT_EQ(14, credits());
    EXPECT_TRUE(err_.empty());
}

TEST_F(CreditPacing, FramesArrivingMeanwhileAwaitTheNextReceive) {
    // Credits are 8 at load: the first frame already waits.
    static int handled = 0;
    register_err_frame_event_handler([](unsigned char *data, int, unsigned char *) {
        std::free(data);
        ++handled;
    });
    register_status_event_handler([](unsigned char *data, int, unsigned char *) {
        std::free(data);
        ++handled;
    });
    const Bytes a = pattern(30, 1), b1 = pattern(100, 2), b2 = pattern(50, 3);
    bool delivered = false;
    fake_pcap::on_empty_poll([&](pcap_t *handle) {
        if (delivered) return;
        delivered = true;
        fake_pcap::push_inbound(handle, bridge_frame(kFeof, a).from(kOtherMac).credits(40));
        fake_pcap::push_inbound(handle, bridge_frame(kErrors, {0x03}).credits(11));
        fake_pcap::push_inbound(handle, bridge_frame(kStatus, pattern(88)).credits(12));
        fake_pcap::push_inbound(handle, bridge_frame(kSof, b1).credits(13));
        fake_pcap::push_inbound(handle, bridge_frame(kEof, b2).credits(15));
    });

    EXPECT_EQ(5, send(5));
    EXPECT_EQ(1u, sent().size());
    EXPECT_EQ(14, credits()) << "the other address's 40 never counted";

    Bytes buffer(500);
    unsigned char mac[6] = {};
    unsigned char type = 0xFF;
    EXPECT_EQ(30, SpW_Recv_Packet(socket_, buffer.data(), 500, mac, &type));
    EXPECT_EQ(a, Bytes(buffer.begin(), buffer.begin() + 30));
    EXPECT_EQ(Bytes(kOtherMac.begin(), kOtherMac.end()), Bytes(mac, mac + 6));
    EXPECT_EQ(150, SpW_Recv_Packet(socket_, buffer.data(), 500, mac, &type));
    Bytes b = b1;
    b.insert(b.end(), b2.begin(), b2.end());
    EXPECT_EQ(b, Bytes(buffer.begin(), buffer.begin() + 150));
    EXPECT_EQ(0, type);

    EXPECT_EQ(0, handled) << "error and status frames are dropped during the wait";
    EXPECT_EQ(0u, spweth::read_buffer_find(socket_)->fill);
}

TEST_F(CreditPacing, CreditingOffNeitherWaitsNorCounts) {
    set_send_crediting(0);
    EXPECT_EQ(3000, send(3000));
    EXPECT_EQ(3000, send(3000));
    EXPECT_EQ(6u, sent().size());
    EXPECT_EQ(0, fake_pcap::counters().empty_polls);
    EXPECT_EQ(8, credits());
}

TEST_F(CreditPacing, RefusedFrameIsNotCounted) {
    credits() = 20;
    fake_pcap::fail_next(fake_pcap::Call::sendpacket, 1);
    EXPECT_EQ(-2, send(3000));
    EXPECT_EQ(2u, sent().size());
    EXPECT_EQ(19, credits());
    EXPECT_EQ(0u, err_.rfind("\nError sending packet: send: ", 0)) << err_;
}

using StoppedCreditWait = CreditFlowTest;

TEST_F(StoppedCreditWait, ClearingTheWaitFlagFromAnotherThreadEndsTheSend) {
    std::atomic<bool> cleared{false};
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        set_wait_receive_active(0);
        cleared = true;
    });
    const auto start = std::chrono::steady_clock::now();
    const int result = send(3000);
    const auto waited = std::chrono::steady_clock::now() - start;
    stopper.join();

    EXPECT_EQ(-2, result);
    EXPECT_TRUE(cleared);
    EXPECT_LT(waited, std::chrono::seconds(2));
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(0, spweth::library_state.data_frame_counter) << "no number for a frame not built";
    EXPECT_EQ(8, credits());
    EXPECT_EQ(kWaitStopped, err_);
}

TEST_F(StoppedCreditWait, MidPacketKeepsTheFramesAlreadySent) {
    credits() = 11;
    fake_pcap::on_empty_poll([](pcap_t *) { set_wait_receive_active(0); });
    EXPECT_EQ(-2, send(3000));
    ASSERT_EQ(1u, sent().size());
    EXPECT_EQ(kSof, sent()[0][14]);
    EXPECT_EQ(1, spweth::library_state.data_frame_counter);
    EXPECT_EQ(10, credits());
    EXPECT_EQ(kWaitStopped, err_);
}

TEST_F(StoppedCreditWait, FlagAlreadyClearedSendsNothing) {
    set_wait_receive_active(0);
    EXPECT_EQ(-2, send(10));
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(0, fake_pcap::counters().empty_polls);
    EXPECT_EQ(kWaitStopped, err_);
    set_send_crediting(0);
    EXPECT_EQ(10, send(10)) << "without crediting the flag does not matter";
}

TEST_F(StoppedCreditWait, SocketWithoutReadBufferCannotReadCredits) {
    set_recv_buffering(0);
    pcap_t *unbuffered = open_socket();
    set_recv_buffering(1);
    const Bytes data = pattern(10);
    EXPECT_EQ(-2, SpW_Send_Packet(unbuffered, data.data(), 10, 1));
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(0, spweth::library_state.data_frame_counter);
    EXPECT_EQ("\nError sending packet: no read buffer for the socket, credits cannot be read\n",
              err_);
}

}  // namespace
