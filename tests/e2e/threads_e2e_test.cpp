// The thread-safe mode through the bridge emulator: a receiving thread and
// sending threads on one socket with credit flow control on. Run under
// ThreadSanitizer by the test command.
#include <atomic>
#include <cstdlib>

#include "e2e_support.h"
#include "spweth_rmap.h"

namespace {

using e2e::Bytes;

// A packet of 1..max bytes whose first bytes say who sent it and its number,
// so that a received packet can be checked whole without a shared list.
Bytes tagged_packet(unsigned char sender, std::uint32_t number, std::uint64_t &state,
                    std::size_t max) {
    const std::size_t size = 6 + (e2e::random_bytes(2, state)[0] * 257u + number) % (max - 6);
    Bytes packet = e2e::random_bytes(size, state);
    packet[0] = sender;
    packet[1] = static_cast<unsigned char>(number >> 16);
    packet[2] = static_cast<unsigned char>(number >> 8);
    packet[3] = static_cast<unsigned char>(number);
    return packet;
}

// Each sender's packets, made again on the receiving side from the same seed.
class PacketSource {
public:
    PacketSource(unsigned char sender, std::size_t max)
        : sender_(sender), max_(max), state_(0x7A5C0000u + sender) {}
    Bytes next() { return tagged_packet(sender_, number_++, state_, max_); }

private:
    unsigned char sender_;
    std::size_t max_;
    std::uint32_t number_ = 0;
    std::uint64_t state_;
};

class ThreadSafeMode : public e2e::NamespaceTest {
protected:
    void open_with_credit_flow(int pool, std::vector<std::string> more = {}) {
        more.insert(more.begin(), {"--credits", std::to_string(pool), "--status-ms", "0"});
        start_emulator_with_summary(more);
        set_recv_buffer_size(16 << 20);
        open_host_socket();
        set_recv_skip_out_frames(1);  // the host's own frames, captured too, stay out
        ASSERT_EQ(1, set_thread_safe_mode(1));
        set_recv_idle_wait(1);
        set_send_crediting(1);
        set_send_credit_limit(1);
        set_send_credit_wait(2);
        set_send_credit_timeout(5000);
    }

    // Sends `count` packets of `sender` from a thread of its own.
    std::thread sender(unsigned char id, int count, std::size_t max) {
        return std::thread([this, id, count, max] {
            PacketSource source(id, max);
            for (int i = 0; i < count; ++i) {
                const Bytes packet = source.next();
                const int size = static_cast<int>(packet.size());
                if (SpW_Send_Packet(socket_, packet.data(), size, 1) != size) {
                    send_failures_.fetch_add(1);
                    return;
                }
            }
        });
    }

    // Receives packets until every sender's count has come back, checking
    // each against what its sender sent, in order.
    void receive_all(std::vector<int> counts, std::size_t max) {
        std::vector<PacketSource> expected;
        for (std::size_t id = 0; id < counts.size(); ++id)
            expected.emplace_back(static_cast<unsigned char>(id), max);
        Bytes buffer(max + 16);
        mac_address from = e2e::kBridgeMac;
        unsigned char type = 0;
        int left = 0;
        for (int count : counts) left += count;
        while (left > 0) {
            const int length = SpW_Recv_Packet_From_MAC_Timeout(
                socket_, buffer.data(), static_cast<int>(buffer.size()), from.bytes, &type, 5000);
            ASSERT_GT(length, 0) << left << " packets did not come back";
            const unsigned char id = buffer[0];
            ASSERT_LT(id, counts.size()) << "a packet with a damaged beginning";
            ASSERT_GT(counts[id], 0) << "more packets of sender " << int(id) << " than it sent";
            const Bytes packet = expected[id].next();
            ASSERT_EQ(packet, Bytes(buffer.begin(), buffer.begin() + length))
                << "sender " << int(id) << ", packet "
                << (buffer[1] << 16 | buffer[2] << 8 | buffer[3]);
            --counts[id];
            --left;
        }
    }

    std::atomic<int> send_failures_{0};
};

TEST_F(ThreadSafeMode, AReceivingThreadAndASendingThreadKeepEveryPacketInOrder) {
    open_with_credit_flow(4);
    std::thread sending = sender(0, 10000, 3000);
    receive_all({10000}, 3000);
    sending.join();
    EXPECT_EQ(0, send_failures_.load());
    EXPECT_EQ(0u, bridge_counter("dropped, no free buffer:"));
}

TEST_F(ThreadSafeMode, TwoSendingThreadsNeitherInterleaveFramesNorShareNumbers) {
    open_with_credit_flow(4);
    std::thread first = sender(0, 1500, 6000);
    std::thread second = sender(1, 1500, 6000);
    receive_all({1500, 1500}, 6000);
    first.join();
    second.join();
    EXPECT_EQ(0, send_failures_.load());
    for (int type = 1; type <= 5; ++type)
        EXPECT_EQ(0u, bridge_counter("number jumps, error type " + std::to_string(type) + ":"));
    EXPECT_EQ(0u, bridge_counter("number repeats:"));
}

// Replies go to the transactions that wait for them, whichever thread reads
// the socket; the stream's packets go to its receiver, in order.
TEST_F(ThreadSafeMode, FourRmapThreadsAndAReceiverShareOneSocket) {
    open_with_credit_flow(4, {"--rmap-target", "0xFE,0x20,150000"});
    spw_rmap_target target{};
    target.target_logical_address = 0xFE;
    target.key = 0x20;
    target.initiator_logical_address = 0x67;
    constexpr int kPairs = 500;  // a write and a read each: 1000 transactions per thread
    std::atomic<int> rmap_failures{0};
    std::vector<std::thread> transactions;
    for (unsigned thread = 0; thread < 4; ++thread)
        transactions.emplace_back([&, thread] {
            std::uint64_t state = 0x5EED0 + thread;
            for (int i = 0; i < kPairs; ++i) {
                const Bytes data = e2e::random_bytes(1 + static_cast<std::size_t>(i) % 200, state);
                const int size = static_cast<int>(data.size());
                const unsigned address = thread * 16384 + static_cast<unsigned>(i % 32) * 256;
                Bytes back(data.size());
                if (SpW_RMAP_Write(socket_, &target, 0, address, data.data(), size,
                                   SPW_RMAP_INCREMENT | SPW_RMAP_REPLY, 5000) != 0 ||
                    SpW_RMAP_Read(socket_, &target, 0, address, back.data(), size,
                                  SPW_RMAP_INCREMENT, 5000) != 0 ||
                    back != data) {
                    rmap_failures.fetch_add(1);
                    return;
                }
            }
        });
    std::thread sending = sender(0, 2000, 3000);
    receive_all({2000}, 3000);
    sending.join();
    for (std::thread &each : transactions) each.join();
    EXPECT_EQ(0, rmap_failures.load());
    EXPECT_EQ(0, send_failures_.load());
    spweth_socket_counters counters{};
    ASSERT_EQ(0, SpW_Socket_Get_Counters(socket_, &counters, sizeof counters));
    EXPECT_EQ(0u, counters.rmap_replies_dropped);
    EXPECT_EQ(0u, counters.packets_cut);
}

}  // namespace
