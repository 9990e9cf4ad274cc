// Sockets of their own: per-socket addresses, the numbering and credits of
// each link (adapter and bridge address), and handlers per socket.
#include <cstring>

#include "receive_support.h"

namespace {

using test::bridge_frame;
using test::Bytes;
using test::kBridgeMac;
using test::Mac;
using test::pattern;

constexpr Mac kBridgeA{0x02, 0x00, 0x00, 0x00, 0x00, 0x0A};
constexpr Mac kBridgeB{0x02, 0x00, 0x00, 0x00, 0x00, 0x0B};
constexpr Mac kHost{0x02, 0x00, 0x00, 0x00, 0x00, 0x77};

struct Seen {
    pcap_t *socket;
    Bytes data;
    void *context;
};
std::vector<Seen> seen;
void own_handler(pcap_t *socket, const unsigned char *data, int size, void *context) {
    seen.push_back({socket, Bytes(data, data + size), context});
}

class SocketSettings : public test::LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        seen.clear();
        test::handler_calls().clear();
        fake_pcap::set_adapters({{"fake0", "Fake adapter 0"}, {"fake1", "Fake adapter 1"}});
        a_ = open(0);
        b_ = open(1);
    }
    pcap_t *open(int adapter) {
        const std::intptr_t socket = SpW_Socket_Init(adapter);
        EXPECT_GT(socket, 0);
        return reinterpret_cast<pcap_t *>(socket);
    }
    // The destination and frame number of each frame sent on the handle.
    static std::vector<std::pair<Mac, int>> sent_on(pcap_t *socket) {
        std::vector<std::pair<Mac, int>> frames;
        for (const fake_pcap::SentFrame &f : fake_pcap::sent_frames()) {
            if (f.handle != socket) continue;
            Mac dest;
            std::copy_n(f.bytes.begin(), 6, dest.begin());
            frames.emplace_back(dest, f.bytes[15]);
        }
        return frames;
    }
    int send(pcap_t *socket, std::size_t size = 10) {
        const Bytes data = pattern(size);
        return SpW_Send_Packet(socket, data.data(), static_cast<int>(size), 1);
    }
    int receive(pcap_t *socket) {
        Bytes buffer(2000);
        Mac from{};
        unsigned char type = 0;
        return SpW_Recv_Packet(socket, buffer.data(), 2000, from.data(), &type);
    }

    pcap_t *a_ = nullptr;
    pcap_t *b_ = nullptr;
};

TEST_F(SocketSettings, EachLinkHasItsOwnAddressAndUnbrokenNumbering) {
    ASSERT_EQ(0, SpW_Socket_Set_Bridge_Address(a_, kBridgeA.data()));
    ASSERT_EQ(0, SpW_Socket_Set_Bridge_Address(b_, kBridgeB.data()));
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(10, send(a_));
        ASSERT_EQ(3000, send(b_, 3000));  // three frames
    }
    const auto on_a = sent_on(a_), on_b = sent_on(b_);
    ASSERT_EQ(3u, on_a.size());
    ASSERT_EQ(9u, on_b.size());
    for (int i = 0; i < 3; ++i) EXPECT_EQ(std::make_pair(kBridgeA, i), on_a[i]);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(std::make_pair(kBridgeB, i), on_b[i]);
    EXPECT_EQ(0, spweth::library_state.data_frame_counter);  // the classic link's

    // A second socket on adapter 0 for bridge A shares that link's numbering;
    // closing B restarts B's link only.
    pcap_t *a2 = open(0);
    SpW_Socket_Set_Bridge_Address(a2, kBridgeA.data());
    ASSERT_EQ(10, send(a2));
    EXPECT_EQ(3, sent_on(a2).back().second);
    EXPECT_EQ(0, SpW_Socket_Close(b_));
    b_ = open(1);
    SpW_Socket_Set_Bridge_Address(b_, kBridgeB.data());
    ASSERT_EQ(10, send(b_));
    EXPECT_EQ(0, sent_on(b_).back().second);
    ASSERT_EQ(10, send(a_));
    EXPECT_EQ(4, sent_on(a_).back().second);

    Mac address{};
    EXPECT_EQ(0, SpW_Socket_Get_Bridge_Address(a_, address.data()));
    EXPECT_EQ(kBridgeA, address);
}

TEST_F(SocketSettings, SocketsFollowTheProcessWideAddressesUntilGivenTheirOwn) {
    Mac address{};
    ASSERT_EQ(0, SpW_Socket_Get_Bridge_Address(a_, address.data()));
    EXPECT_EQ(kBridgeMac, address);
    ASSERT_EQ(0, SpW_Socket_Set_Source_Address(a_, kHost.data()));
    ASSERT_EQ(0, SpW_Socket_Get_Source_Address(a_, address.data()));
    EXPECT_EQ(kHost, address);
    ASSERT_EQ(10, send(a_));
    ASSERT_EQ(10, send(b_));
    const auto &frames = fake_pcap::sent_frames();
    EXPECT_EQ(Bytes(kHost.begin(), kHost.end()),
              Bytes(frames[0].bytes.begin() + 6, frames[0].bytes.begin() + 12));
    EXPECT_EQ(Bytes(6, 0), Bytes(frames[1].bytes.begin() + 6, frames[1].bytes.begin() + 12));
    EXPECT_EQ(1, frames[1].bytes[15]);  // both on the classic link: one numbering

    EXPECT_EQ(-1, SpW_Socket_Use_Adapter_Address(a_));  // the double's adapters have none
    EXPECT_EQ(-1, SpW_Socket_Set_Bridge_Address(a_, nullptr));
    EXPECT_EQ(-1, SpW_Socket_Get_Source_Address(nullptr, address.data()));
    EXPECT_EQ(-1, SpW_Socket_Get_Bridge_Credits(nullptr));
}

TEST_F(SocketSettings, CreditsBelongToEachBridge) {
    SpW_Socket_Set_Bridge_Address(b_, kBridgeB.data());
    fake_pcap::push_inbound(b_, bridge_frame(1, pattern(5)).from(kBridgeB).credits(20));
    fake_pcap::push_inbound(a_, bridge_frame(1, pattern(5)).credits(3));
    EXPECT_EQ(5, receive(b_));
    EXPECT_EQ(5, receive(a_));
    EXPECT_EQ(20, SpW_Socket_Get_Bridge_Credits(b_));
    EXPECT_EQ(3, SpW_Socket_Get_Bridge_Credits(a_));
    EXPECT_EQ(3, get_bridge_credits());
}

TEST_F(SocketSettings, OwnHandlersTakeTheirSocketsFramesBeforeTheClassicOnes) {
    register_ccode_event_handler(test::ccode_recorder);
    int context = 0;
    ASSERT_EQ(0, SpW_Socket_Set_Handler(a_, SPWETH_HANDLER_CCODE, own_handler, &context));
    ASSERT_EQ(0, SpW_Socket_Set_Handler(a_, SPWETH_HANDLER_ERROR, own_handler, &context));
    EXPECT_EQ(-1, SpW_Socket_Set_Handler(a_, 4, own_handler, nullptr));
    for (pcap_t *socket : {a_, b_}) {
        fake_pcap::push_inbound(socket, bridge_frame(test::kCodes, {0x21}).pad_to(62));
        fake_pcap::push_inbound(socket, bridge_frame(test::kErrors, {0x03, 0x44}));
        fake_pcap::push_inbound(socket, bridge_frame(test::kFeof, pattern(4)));
        EXPECT_EQ(4, receive(socket));
    }
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ(a_, seen[0].socket);
    EXPECT_EQ(Bytes{0x21}, seen[0].data);
    EXPECT_EQ(&context, seen[0].context);
    EXPECT_EQ((Bytes{0x03, 0x44}), seen[1].data);  // the error record
    ASSERT_EQ(1u, test::handler_calls().size());   // b's code went to the classic handler
    EXPECT_EQ(Bytes{0x21}, test::handler_calls()[0].data);

    // Closing a socket removes its own handlers; a reopened socket has none.
    SpW_Socket_Close(a_);
    a_ = open(0);
    register_ccode_event_handler(test::ccode_recorder);
    fake_pcap::push_inbound(a_, bridge_frame(test::kCodes, {0x22}).pad_to(62));
    fake_pcap::push_inbound(a_, bridge_frame(test::kFeof, pattern(4)));
    EXPECT_EQ(4, receive(a_));
    EXPECT_EQ(2u, seen.size());
    EXPECT_EQ(2u, test::handler_calls().size());
}

}  // namespace
