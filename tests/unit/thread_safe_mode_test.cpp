// The thread-safe mode's locks around event handlers that send: a handler runs
// with its socket's reader lock held, and sending from it must never deadlock.
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "link/sockets.h"

#include "receive_support.h"

namespace {

using namespace test;

pcap_t *handler_socket = nullptr;

// Sends a 5-byte packet from inside the receive.
void send_from_handler(unsigned char *data, int size, unsigned char *mac) {
    ccode_recorder(data, size, mac);
    const Bytes packet = pattern(5, 9);
    EXPECT_EQ(5, SpW_Send_Packet(handler_socket, packet.data(), 5, 1));
}

Bytes credit_report(std::uint8_t credits) { return bridge_frame(kErrors, {0x00}).credits(credits); }

class ThreadSafeHandlers : public ReceiveTest {
protected:
    void SetUp() override {
        ReceiveTest::SetUp();
        handler_socket = socket_;
        set_thread_safe_mode(1);
        set_send_crediting(1);
        register_ccode_event_handler(send_from_handler);
    }
};

TEST_F(ThreadSafeHandlers, AHandlerWaitsForCreditsOnTheSocketItsThreadIsReading) {
    spweth::library_state.bridge_credits = 10;  // the handler's send must wait
    push(bridge_frame(kCodes, {0x05}));
    push(bridge_frame(kSof, pattern(40, 1)));
    push(credit_report(20));
    push(bridge_frame(kEof, pattern(30, 2)));

    EXPECT_EQ(70, recv_packet(100));
    EXPECT_EQ(concat({pattern(40, 1), pattern(30, 2)}), head(70));
    const std::vector<Bytes> frames = sent();
    ASSERT_EQ(1u, frames.size());
    EXPECT_EQ(pattern(5, 9), Bytes(frames[0].begin() + 19, frames[0].begin() + 24));
}

// Another thread's send holds the socket's send lock while it waits for
// credits that only the receiving thread can read, and the receiving thread's
// handler wants to send: it reads the credits for the other send meanwhile.
TEST_F(ThreadSafeHandlers, AHandlerReadsTheCreditsThatAnotherThreadsSendWaitsFor) {
    spweth::library_state.bridge_credits = 10;
    std::atomic<bool> other_sending{false};
    std::thread other;
    fake_pcap::on_empty_poll([&, polls = 0](pcap_t *handle) mutable {
        if (++polls == 1) {
            other = std::thread([&] {
                other_sending = true;
                const Bytes packet = pattern(7, 3);
                EXPECT_EQ(7, SpW_Send_Packet(handler_socket, packet.data(), 7, 1));
            });
        } else if (other_sending && polls < 1'000'000 && polls % 20'000 == 0) {
            // The other send is (almost surely) waiting for credit news by now.
            polls = 1'000'000;
            fake_pcap::push_inbound(handle, bridge_frame(kCodes, {0x05}));
            fake_pcap::push_inbound(handle, credit_report(20));
            fake_pcap::push_inbound(handle, bridge_frame(kFeof, pattern(3)));
        }
    });

    EXPECT_EQ(3, recv_packet(10));
    other.join();
    EXPECT_EQ(2u, sent().size());
    EXPECT_EQ(1u, handler_calls().size());
}

// A socket's lock serves its waiters in the order they came, and a waiter
// whose deadline passes gives up without taking a turn from the others.
using ThreadSafeMode = ReceiveTest;

TEST_F(ThreadSafeMode, LockWaitersAreServedInTurnAndWithinTheirDeadline) {
    using namespace std::chrono;
    set_thread_safe_mode(1);
    spweth::FairLock &lock = spweth::find_socket(socket_)->locks.reader;
    ASSERT_TRUE(lock.lock(spweth::Deadline::none()));

    std::mutex order_mutex;
    std::vector<int> order;
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&, i] {
            ASSERT_TRUE(lock.lock(spweth::Deadline::none()));
            {
                std::lock_guard guard(order_mutex);
                order.push_back(i);
            }
            lock.unlock();
        });
        std::this_thread::sleep_for(milliseconds(20));  // queued before the next comes
    }
    const auto start = steady_clock::now();
    bool late_got_it = true;
    std::thread late([&] { late_got_it = lock.lock(spweth::Deadline::after_ms(50)); });
    late.join();
    const auto waited = duration_cast<milliseconds>(steady_clock::now() - start).count();
    EXPECT_FALSE(late_got_it);
    EXPECT_GE(waited, 45);
    EXPECT_LT(waited, 500);

    lock.unlock();
    for (std::thread &waiter : waiters) waiter.join();
    EXPECT_EQ((std::vector<int>{0, 1, 2}), order);
}

}  // namespace
