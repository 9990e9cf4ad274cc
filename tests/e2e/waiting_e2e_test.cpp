// Idle waits over real libpcap: a wait that sleeps in the kernel costs no
// core, and wakes for a frame from the peer or a cleared wait flag.
#include <sys/resource.h>

#include "e2e_support.h"

namespace {

using e2e::Bytes;
using e2e::Clock;
using namespace std::chrono_literals;

// CPU time (user + system) of the calling thread.
std::chrono::microseconds thread_cpu_time() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

// A one-frame packet as the bridge sends it to the host.
Bytes bridge_frame(const Bytes &payload) {
    Bytes frame = {0, 0, 0, 0, 0, 0};
    frame.insert(frame.end(), e2e::kBridgeMac.bytes, e2e::kBridgeMac.bytes + 6);
    frame.insert(frame.end(),
                 {0x06, 0xAB, 1, 0, static_cast<unsigned char>(payload.size()), 0, 10});
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.resize(std::max<std::size_t>(frame.size(), 60), 0);
    return frame;
}

class IdleWait : public e2e::NamespaceTest {
protected:
    void SetUp() override {
        NamespaceTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        open_host_socket();
        set_recv_idle_wait(1);
    }

    // After `delay`, runs `act` on a thread of its own; returns when it ran.
    std::thread after(std::chrono::milliseconds delay, std::function<void()> act) {
        return std::thread([delay, act] {
            std::this_thread::sleep_for(delay);
            act();
        });
    }

    Bytes buffer_ = Bytes(2000);
    unsigned char type_ = 0xEE;
    mac_address from_ = e2e::kBridgeMac;
};

TEST_F(IdleWait, ATimedReceiveSleepsThroughItsSecondAndTimesOut) {
    const auto cpu_before = thread_cpu_time();
    const auto started = Clock::now();
    EXPECT_EQ(SPWETH_TIMED_OUT, SpW_Recv_Packet_From_MAC_Timeout(socket_, buffer_.data(), 2000,
                                                                 from_.bytes, &type_, 1000));
    const auto waited = Clock::now() - started;
    const auto cpu = thread_cpu_time() - cpu_before;
    EXPECT_GE(waited, 1000ms);
    EXPECT_LT(waited, 1300ms);
    EXPECT_LT(cpu, 50ms) << "a one-second wait must use under 5 % of a core";
    std::printf("idle wait: %lld us of CPU in %lld ms\n", static_cast<long long>(cpu.count()),
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()));
}

TEST_F(IdleWait, AFrameFromThePeerWakesTheWait) {
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t *peer = pcap_open_live(e2e::kBridgeLink, 2048, 0, 100, errbuf);
    ASSERT_NE(nullptr, peer) << errbuf;
    const Bytes payload = {0xDE, 0xAD, 0xBE, 0xEF};
    Clock::time_point sent_at;
    std::thread sender = after(300ms, [&] {
        sent_at = Clock::now();
        const Bytes frame = bridge_frame(payload);
        pcap_sendpacket(peer, frame.data(), static_cast<int>(frame.size()));
    });
    const auto cpu_before = thread_cpu_time();
    const int length =
        SpW_Recv_Packet_From_MAC_Timeout(socket_, buffer_.data(), 2000, from_.bytes, &type_, 5000);
    const auto woke_at = Clock::now();
    const auto cpu = thread_cpu_time() - cpu_before;
    sender.join();
    pcap_close(peer);
    ASSERT_EQ(4, length);
    EXPECT_EQ(payload, Bytes(buffer_.begin(), buffer_.begin() + 4));
    EXPECT_LT(woke_at - sent_at, 20ms);
    EXPECT_LT(cpu, 30ms);
    std::printf(
        "idle wait: woke %lld us after the peer sent\n",
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::microseconds>(woke_at - sent_at).count()));
}

TEST_F(IdleWait, ClearingTheWaitFlagFromAnotherThreadEndsASleepingWaitAtOnce) {
    Clock::time_point cleared_at;
    std::thread stopper = after(300ms, [&] {
        cleared_at = Clock::now();
        set_wait_receive_active(0);
    });
    const int result = SpW_Recv_Packet_From_MAC(socket_, buffer_.data(), 2000, from_.bytes, &type_);
    const auto returned_at = Clock::now();
    stopper.join();
    set_wait_receive_active(1);
    EXPECT_EQ(0, result);
    EXPECT_LT(returned_at - cleared_at, 20ms);
    std::printf("idle wait: ended %lld us after the flag was cleared\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::microseconds>(returned_at - cleared_at)
                        .count()));
}

}  // namespace
