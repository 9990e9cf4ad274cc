// RMAP transactions against the bridge emulator's target over a real veth pair.
#include <vector>

#include "e2e_support.h"
#include "spweth_rmap.h"

namespace {

using e2e::Bytes;
using e2e::Clock;
using namespace std::chrono_literals;

constexpr int kTimeoutMs = 3000;
constexpr unsigned char kLogicalAddress = 0xFE;
constexpr unsigned char kKey = 0x20;
constexpr unsigned kMemory = 150000;

class Rmap : public e2e::NamespaceTest {
protected:
    void start(std::vector<std::string> faults = {}) {
        faults.insert(faults.begin(), {"--rmap-target", "0xFE,0x20,150000"});
        start_emulator(faults);
        open_host_socket();
        target_.target_logical_address = kLogicalAddress;
        target_.key = kKey;
        target_.initiator_logical_address = 0x67;
    }

    int write(unsigned address, const Bytes &data, int flags) {
        return SpW_RMAP_Write(socket_, &target_, 0, address, data.data(),
                              static_cast<int>(data.size()), flags | SPW_RMAP_REPLY, kTimeoutMs);
    }
    int read(unsigned address, Bytes &data, int flags) {
        return SpW_RMAP_Read(socket_, &target_, 0, address, data.data(),
                             static_cast<int>(data.size()), flags, kTimeoutMs);
    }

    // A hand-made command's reply: its status byte, or -1 when none came.
    int status_of_sent(const Bytes &command, int end_marker = 1) {
        EXPECT_EQ(
            static_cast<int>(command.size()),
            SpW_Send_Packet(socket_, command.data(), static_cast<int>(command.size()), end_marker));
        Bytes reply(100);
        unsigned char type = 0;
        const int length = receive(reply, type, 2000ms);
        return length >= 8 && reply[0] == 0x67 && reply[1] == 0x01 ? reply[3] : -1;
    }

    spw_rmap_target target_{};
    std::uint64_t seed_ = 0x12AB;
};

TEST_F(Rmap, WritesReadBackIntactIncrementingAndNot) {
    start();
    for (const int size : {1, 4, 1000, 70000}) {
        for (const bool increment : {true, false}) {
            const int flags = increment ? SPW_RMAP_INCREMENT : 0;
            const unsigned address = increment ? 70000u - static_cast<unsigned>(size) / 2 : 7;
            const Bytes data = e2e::random_bytes(static_cast<std::size_t>(size), seed_);
            // Verified writes hold at most the target's 4-byte verify buffer.
            const int verify = size <= 4 ? SPW_RMAP_VERIFY : 0;
            ASSERT_EQ(0, write(address, data, flags | verify)) << size << " " << increment;
            Bytes back(static_cast<std::size_t>(size), 0xEE);
            ASSERT_EQ(0, read(address, back, flags)) << size << " " << increment;
            // Not incrementing, every byte went to and comes from one address.
            EXPECT_EQ(increment ? data : Bytes(back.size(), data.back()), back)
                << size << " " << increment;
        }
    }
    EXPECT_EQ(0u, SpW_RMAP_Get_Dropped_Count());
}

TEST_F(Rmap, ReadModifyWriteReturnsTheOldData) {
    start();
    ASSERT_EQ(0, write(0x100, {0x12, 0x34, 0x56, 0x78}, SPW_RMAP_INCREMENT));
    const Bytes data = {0xFF, 0xFF, 0xFF, 0xFF}, mask = {0xF0, 0x0F, 0xFF, 0x00};
    Bytes old(4);
    ASSERT_EQ(0, SpW_RMAP_Read_Modify_Write(socket_, &target_, 0, 0x100, data.data(), mask.data(),
                                            4, old.data(), kTimeoutMs));
    EXPECT_EQ(Bytes({0x12, 0x34, 0x56, 0x78}), old);
    Bytes now(4);
    ASSERT_EQ(0, read(0x100, now, SPW_RMAP_INCREMENT));
    EXPECT_EQ(Bytes({0xF2, 0x3F, 0xFF, 0x78}), now);
}

TEST_F(Rmap, EachStatusOfTheTargetReachesTheCaller) {
    start();
    const Bytes four = {1, 2, 3, 4};
    EXPECT_EQ(10, write(kMemory - 2, four, SPW_RMAP_INCREMENT));
    EXPECT_EQ(10,
              SpW_RMAP_Write(socket_, &target_, 1, 0, four.data(), 4, SPW_RMAP_REPLY, kTimeoutMs));
    EXPECT_EQ(9, write(0, {1, 2, 3, 4, 5}, SPW_RMAP_VERIFY));
    spw_rmap_target other = target_;
    other.key = 0x21;
    Bytes data(4);
    EXPECT_EQ(3, SpW_RMAP_Read(socket_, &other, 0, 0, data.data(), 4, 0, kTimeoutMs));
    other = target_;
    other.target_logical_address = 0xFD;
    EXPECT_EQ(12, SpW_RMAP_Read(socket_, &other, 0, 0, data.data(), 4, 0, kTimeoutMs));

    // Commands the library does not make, sent by hand.
    Bytes command(64);
    const auto built_write = [&] {
        const int n = SpW_RMAP_Build_Write(&target_, 0x0100, 0, 0, four.data(), 4,
                                           SPW_RMAP_REPLY | SPW_RMAP_INCREMENT, command.data(), 64);
        return Bytes(command.begin(), command.begin() + n);
    };
    const auto with_header_crc = [](Bytes c) {
        c[15] = SpW_RMAP_CRC(c.data(), 15);
        return c;
    };
    Bytes bad_crc = built_write();
    bad_crc.back() ^= 0xFF;
    EXPECT_EQ(4, status_of_sent(bad_crc));
    const Bytes full = built_write();
    EXPECT_EQ(5, status_of_sent(Bytes(full.begin(), full.end() - 2)));
    Bytes longer = full;
    longer.push_back(0);
    EXPECT_EQ(6, status_of_sent(longer));
    EXPECT_EQ(7, status_of_sent(full, 2));
    Bytes unused_code = built_write();
    unused_code[2] = 0x40 | 0x18;  // command code 0110
    EXPECT_EQ(
        2, status_of_sent(with_header_crc(Bytes(unused_code.begin(), unused_code.begin() + 16))));
    const int n =
        SpW_RMAP_Build_RMW(&target_, 0x0101, 0, 0, four.data(), four.data(), 2, command.data(), 64);
    Bytes rmw(command.begin(), command.begin() + n);
    rmw[14] = 3;  // a data length no read-modify-write has
    EXPECT_EQ(11, status_of_sent(with_header_crc(rmw)));
    // A header with a bad CRC is not answered.
    Bytes bad_header = full;
    bad_header[15] ^= 0xFF;
    EXPECT_EQ(-1, status_of_sent(bad_header));
}

// A packet that is not a transaction's reply waits for the next receive.
TEST_F(Rmap, OtherPacketsAreKeptForReceivesAndALostReplyTimesOutAtTheDeadline) {
    start({"--rmap-drop-every", "2"});
    const unsigned long dropped = SpW_RMAP_Get_Dropped_Count();
    const Bytes loopback = {0x55, 0x01, 0x02, 0x03};  // not RMAP: comes back as it went
    ASSERT_EQ(4, SpW_Send_Packet(socket_, loopback.data(), 4, 1));
    EXPECT_EQ(0, write(0, {9}, 0));
    Bytes buffer(100);
    unsigned char type = 0xEE;
    ASSERT_EQ(4, receive(buffer, type, 100ms));
    EXPECT_EQ(loopback, Bytes(buffer.begin(), buffer.begin() + 4));
    EXPECT_EQ(0, type);

    const auto started = Clock::now();
    EXPECT_EQ(SPWETH_TIMED_OUT,
              SpW_RMAP_Write(socket_, &target_, 0, 0, loopback.data(), 1, SPW_RMAP_REPLY, 300));
    const auto waited = Clock::now() - started;
    EXPECT_GE(waited, 300ms);
    EXPECT_LT(waited, 600ms);
    EXPECT_EQ(dropped, SpW_RMAP_Get_Dropped_Count());
}

// A reply that comes after its transaction gave up is dropped and counted,
// never taken for the next transaction's, nor handed to a receive.
TEST_F(Rmap, ALateReplyIsDroppedAndNeverTakenAsTheNextOne) {
    start({"--rmap-latency-us", "400000"});
    ASSERT_EQ(0, write(0, {1, 1, 1, 1, 2, 2, 2, 2}, SPW_RMAP_INCREMENT));
    const unsigned long dropped = SpW_RMAP_Get_Dropped_Count();
    Bytes first(4), second(4);
    EXPECT_EQ(SPWETH_TIMED_OUT,
              SpW_RMAP_Read(socket_, &target_, 0, 0, first.data(), 4, SPW_RMAP_INCREMENT, 200));
    // The first read's reply arrives while this one waits for its own.
    ASSERT_EQ(0,
              SpW_RMAP_Read(socket_, &target_, 0, 4, second.data(), 4, SPW_RMAP_INCREMENT, 2000));
    EXPECT_EQ(Bytes({2, 2, 2, 2}), second);
    EXPECT_EQ(dropped + 1, SpW_RMAP_Get_Dropped_Count());
    spweth_socket_counters counters{};
    ASSERT_EQ(0, SpW_Socket_Get_Counters(socket_, &counters, sizeof counters));
    EXPECT_EQ(1u, counters.rmap_replies_dropped);
    Bytes buffer(100);
    unsigned char type = 0;
    EXPECT_EQ(SPWETH_TIMED_OUT, receive(buffer, type, 100ms));
}

TEST_F(Rmap, CorruptedDataCrcIsABadReply) {
    start({"--rmap-bad-crc-every", "1"});
    Bytes data(16);
    EXPECT_EQ(SPW_RMAP_BAD_REPLY, read(0, data, SPW_RMAP_INCREMENT));
}

TEST_F(Rmap, AddressesBothWaysWithAFiveByteReplyAddressPaddedToEight) {
    start();
    target_.target_address_length = 2;
    target_.target_address[0] = 0x03;
    target_.target_address[1] = 0x11;
    // The target strips the padding zeros and the path addresses on the way
    // back; zeros padded at the wrong end would lose the reply.
    target_.reply_address_length = 5;
    for (int i = 0; i < 5; ++i) target_.reply_address[i] = static_cast<unsigned char>(i + 1);
    ASSERT_EQ(0, write(0x40, {0xCA, 0xFE}, SPW_RMAP_INCREMENT));
    Bytes back(2);
    ASSERT_EQ(0, read(0x40, back, SPW_RMAP_INCREMENT));
    EXPECT_EQ(Bytes({0xCA, 0xFE}), back);
}

}  // namespace
