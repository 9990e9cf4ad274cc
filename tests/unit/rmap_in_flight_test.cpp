// RMAP transactions in flight on one socket, through the pcap double: replies
// reach their own transactions whichever receive takes them, every other
// packet stays for the socket's ordinary receives, in order. Replies are made
// with the bridge emulator's codec, not the library's.
#include <set>

#include "receive_support.h"
#include "rmap_codec.h"
#include "spweth_rmap.h"

namespace {

using test::bridge_frame;
using test::Bytes;
using test::kEof;
using test::kFeof;
using test::kSof;
using test::pattern;
namespace emu = bridge_emu::rmap;

constexpr std::size_t kFrameHeader = 19;

class RmapInFlight : public test::ReceiveTest {
protected:
    void SetUp() override {
        ReceiveTest::SetUp();
        target_.target_logical_address = 0xFE;
        target_.key = 0x20;
        target_.initiator_logical_address = 0x67;
    }

    int begin_read(unsigned address, int length) {
        const spw_rmap_request request{SPW_RMAP_KIND_READ, 0, address, nullptr, nullptr, length,
                                       SPW_RMAP_INCREMENT};
        return SpW_RMAP_Begin(socket_, &target_, &request);
    }
    int begin_write(unsigned address, const Bytes &data, int flags) {
        const spw_rmap_request request{
            SPW_RMAP_KIND_WRITE,           0,    address, data.data(), nullptr,
            static_cast<int>(data.size()), flags};
        return SpW_RMAP_Begin(socket_, &target_, &request);
    }

    // The payload of each frame sent so far (every command fits one frame).
    static std::vector<Bytes> commands() {
        std::vector<Bytes> sent;
        for (const fake_pcap::SentFrame &frame : fake_pcap::sent_frames())
            sent.emplace_back(frame.bytes.begin() + kFrameHeader, frame.bytes.end());
        return sent;
    }
    // The target's successful reply to a command, with `data` for a read.
    static Bytes reply_to(const Bytes &command, const Bytes &data = {}) {
        const std::optional<emu::CommandHeader> header = emu::parse_command_header(command);
        EXPECT_TRUE(header.has_value());
        Bytes reply;
        if (header) emu::build_reply(*header, 0, data, reply);
        return reply;
    }
    Bytes end_read(int ticket, int length, int expected_result = 0) {
        Bytes data(static_cast<std::size_t>(length));
        EXPECT_EQ(expected_result, SpW_RMAP_End(socket_, ticket, data.data(), length, 1000));
        return data;
    }
    spweth_socket_counters counters() const {
        spweth_socket_counters c{};
        EXPECT_EQ(0, SpW_Socket_Get_Counters(socket_, &c, sizeof c));
        return c;
    }

    spw_rmap_target target_{};
};

TEST_F(RmapInFlight, RepliesReachTheirTransactionsInAnyOrderBesideOrdinaryPackets) {
    const unsigned long dropped = SpW_RMAP_Get_Dropped_Count();
    const int tickets[3] = {begin_read(0x100, 4), begin_read(0x200, 4), begin_read(0x300, 4)};
    EXPECT_EQ(3u, std::set<int>(std::begin(tickets), std::end(tickets)).size());
    for (const int ticket : tickets) EXPECT_GE(ticket, 0);
    const std::vector<Bytes> sent = commands();
    ASSERT_EQ(3u, sent.size());

    const Bytes first = pattern(30, 1), second = pattern(3000, 2);
    push(bridge_frame(kFeof, first));
    push(bridge_frame(kFeof, reply_to(sent[2], {3, 3, 3, 3})));
    push(bridge_frame(kSof, Bytes(second.begin(), second.begin() + 1400)));
    push(bridge_frame(kEof, Bytes(second.begin() + 1400, second.end())));
    push(bridge_frame(kFeof, reply_to(sent[0], {1, 1, 1, 1})));
    push(bridge_frame(kFeof, reply_to(sent[1], {2, 2, 2, 2})));

    // The second transaction's wait takes everything up to its reply.
    EXPECT_EQ(Bytes({2, 2, 2, 2}), end_read(tickets[1], 4));
    EXPECT_EQ(0u, queued());
    EXPECT_EQ(30, recv_packet(4000));
    EXPECT_EQ(first, head(30));
    EXPECT_EQ(Bytes({1, 1, 1, 1}), end_read(tickets[0], 4));
    EXPECT_EQ(3000, recv_packet(4000));
    EXPECT_EQ(second, head(3000));
    EXPECT_EQ(Bytes({3, 3, 3, 3}), end_read(tickets[2], 4));
    EXPECT_EQ(dropped, SpW_RMAP_Get_Dropped_Count());
    EXPECT_EQ(0u, counters().rmap_replies_dropped);
}

// An ordinary receive hands a reply (in two frames) to its transaction and
// goes on for a packet of its own; a second copy of the reply is dropped.
TEST_F(RmapInFlight, AnOrdinaryReceiveHandsRepliesOverAndDropsADuplicate) {
    const unsigned long dropped = SpW_RMAP_Get_Dropped_Count();
    const int ticket = begin_read(0x40, 2000);
    const Bytes data = pattern(2000, 5);
    const Bytes reply = reply_to(commands().at(0), data);
    push(bridge_frame(kSof, Bytes(reply.begin(), reply.begin() + 1000)));
    push(bridge_frame(kEof, Bytes(reply.begin() + 1000, reply.end())));
    push(bridge_frame(kFeof, pattern(12, 6)));
    EXPECT_EQ(12, recv_packet(100));  // a buffer too short for the reply does not matter
    EXPECT_EQ(pattern(12, 6), head(12));
    EXPECT_EQ(data, end_read(ticket, 2000));

    push(bridge_frame(kSof, Bytes(reply.begin(), reply.begin() + 1000)));
    push(bridge_frame(kEof, Bytes(reply.begin() + 1000, reply.end())));
    push(bridge_frame(kFeof, pattern(9, 7)));
    EXPECT_EQ(9, recv_packet(100));
    EXPECT_EQ(dropped + 1, SpW_RMAP_Get_Dropped_Count());
    EXPECT_EQ(1u, counters().rmap_replies_dropped);
}

TEST_F(RmapInFlight, TicketsAreUniqueBoundedAndEndedOnce) {
    std::vector<int> tickets;
    for (int i = 0; i < 128; ++i) tickets.push_back(begin_write(0, {1}, SPW_RMAP_REPLY));
    EXPECT_EQ(-1, begin_write(0, {1}, SPW_RMAP_REPLY));  // all 128 slots in flight
    std::set<int> transaction_ids;
    for (const Bytes &command : commands())
        transaction_ids.insert(emu::parse_command_header(command)->transaction_id);
    EXPECT_EQ(128u, transaction_ids.size());
    EXPECT_EQ(128u, std::set<int>(tickets.begin(), tickets.end()).size());

    push(bridge_frame(kFeof, reply_to(commands().at(5))));
    EXPECT_EQ(0, SpW_RMAP_End(socket_, tickets[5], nullptr, 0, 1000));
    EXPECT_EQ(-1, SpW_RMAP_End(socket_, tickets[5], nullptr, 0, 1000));  // ended already
    EXPECT_EQ(-1, SpW_RMAP_End(socket_, -7, nullptr, 0, 1000));
    const int unanswered = begin_write(0, {2}, 0);  // no reply asked: ends at once
    EXPECT_GE(unanswered, 0);
    EXPECT_EQ(0, SpW_RMAP_End(socket_, unanswered, nullptr, 0, 1000));
    const spw_rmap_request bad_kind{9, 0, 0, nullptr, nullptr, 0, 0};
    EXPECT_EQ(-1, SpW_RMAP_Begin(socket_, &target_, &bad_kind));
    EXPECT_EQ(-1, SpW_RMAP_Begin(socket_, &target_, nullptr));

    // Closing the socket releases every ticket; a new socket starts with none.
    ASSERT_EQ(0, SpW_Socket_Close(socket_));
    EXPECT_EQ(-1, SpW_RMAP_End(socket_, tickets[0], nullptr, 0, 1000));
    socket_ = open_socket();
    for (int i = 0; i < 128; ++i) EXPECT_GE(begin_write(0, {1}, SPW_RMAP_REPLY), 0);
}

}  // namespace
