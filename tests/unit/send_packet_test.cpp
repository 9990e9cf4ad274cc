// Sending SpaceWire packets: fragmentation, frame layout, end markers, the
// channel byte, frame numbers, refused frames and rejected arguments.
#include <climits>
#include <cstdint>

#include "test_support.h"

namespace {

using test::Bytes;
using test::kBridgeMac;
using test::kZeroMac;
using test::Mac;
using test::pattern;

enum : std::uint8_t { kMof = 0, kFeof = 1, kFeef = 2, kSof = 3, kEof = 4, kEef = 5 };

// A data frame as the host sends it with the default addresses.
Bytes data_frame(std::uint8_t type, std::uint8_t number, const Bytes &payload) {
    return test::bridge_frame(type, payload)
        .credits(10)
        .from(kZeroMac)
        .to(kBridgeMac)
        .number(number)
        .pad_to(60);
}

Bytes slice(const Bytes &bytes, std::size_t from, std::size_t count) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

class SendPacketTest : public test::LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        socket_ = open_socket();
    }

    int send(const Bytes &data, int end_marker = 1) {
        return SpW_Send_Packet(socket_, data.data(), static_cast<int>(data.size()), end_marker);
    }
    int send_from_channel(const Bytes &data, int channel, int end_marker = 1) {
        return SpW_Send_Packet_From_Channel(socket_, data.data(), static_cast<int>(data.size()),
                                            end_marker, channel);
    }

    pcap_t *socket_ = nullptr;
};

using Fragmentation = SendPacketTest;

TEST_F(Fragmentation, EmptyPacketSendsNothing) {
    EXPECT_EQ(0, send({}));
    EXPECT_EQ(0, SpW_Send_Packet(socket_, nullptr, 0, 1));
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(0, spweth::library_state.data_frame_counter);
}

TEST_F(Fragmentation, ShortPacketsArePaddedToSixtyBytes) {
    const Bytes one = pattern(1, 1), forty = pattern(40, 2), forty_one = pattern(41, 3);
    EXPECT_EQ(1, send(one));
    EXPECT_EQ(40, send(forty));
    EXPECT_EQ(41, send(forty_one));
    const std::vector<Bytes> expected{data_frame(kFeof, 0, one), data_frame(kFeof, 1, forty),
                                      data_frame(kFeof, 2, forty_one)};
    EXPECT_EQ(expected, sent());
    EXPECT_EQ(60u, sent()[1].size());
    EXPECT_EQ(0, sent()[1][59]) << "forty bytes leave one zero byte";
    EXPECT_EQ(forty_one.back(), sent()[2][59]) << "forty-one bytes fill the frame";
}

TEST_F(Fragmentation, FullPayloadFitsOneFrame) {
    const Bytes data = pattern(1495, 4);
    EXPECT_EQ(1495, send(data));
    ASSERT_EQ(1u, sent().size());
    EXPECT_EQ(data_frame(kFeof, 0, data), sent()[0]);
    EXPECT_EQ(1514u, sent()[0].size());
    EXPECT_EQ(0xD7, sent()[0][16]);
    EXPECT_EQ(0x05, sent()[0][17]);
}

TEST_F(Fragmentation, OneByteOverAFrameEndsInAPaddedFrame) {
    const Bytes data = pattern(1496, 5);
    EXPECT_EQ(1496, send(data));
    const std::vector<Bytes> expected{data_frame(kSof, 0, slice(data, 0, 1495)),
                                      data_frame(kEof, 1, slice(data, 1495, 1))};
    EXPECT_EQ(expected, sent());
    EXPECT_EQ(60u, sent()[1].size());
}

TEST_F(Fragmentation, TwoFullFramesNeedNoFill) {
    const Bytes data = pattern(2990, 6);
    EXPECT_EQ(2990, send(data));
    const std::vector<Bytes> expected{data_frame(kSof, 0, slice(data, 0, 1495)),
                                      data_frame(kEof, 1, slice(data, 1495, 1495))};
    EXPECT_EQ(expected, sent());
    EXPECT_EQ(1514u, sent()[1].size());
}

TEST_F(Fragmentation, ThreeFramesWithEepRunMiddleAndErrorEnd) {
    const Bytes data = pattern(3000, 7);
    EXPECT_EQ(3000, send(data, 5));
    const std::vector<Bytes> expected{data_frame(kSof, 0, slice(data, 0, 1495)),
                                      data_frame(kMof, 1, slice(data, 1495, 1495)),
                                      data_frame(kEef, 2, slice(data, 2990, 10))};
    EXPECT_EQ(expected, sent());
    EXPECT_EQ(60u, sent()[2].size());
}

TEST_F(Fragmentation, FrameMatchesTheWireLayoutByteForByte) {
    const unsigned char source[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    ASSERT_EQ(0, set_source_mac_address(source, 6));
    EXPECT_EQ(3, send({0x11, 0x22, 0x33}, 1));
    Bytes expected{0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x02, 0x00, 0x00, 0x00, 0x00,
                   0x01, 0x06, 0xAB, 0x01, 0x00, 0x03, 0x00, 0x0A, 0x11, 0x22, 0x33};
    expected.resize(60, 0x00);
    ASSERT_EQ(1u, sent().size());
    EXPECT_EQ(expected, sent()[0]);
}

using EndMarkers = SendPacketTest;

// Sends a two-frame and a one-frame packet with the marker; the frames they made.
std::vector<Bytes> frames_with_marker(pcap_t *socket, int end_marker) {
    const std::size_t before = fake_pcap::sent_frames().size();
    const Bytes data = pattern(1500, 8);
    EXPECT_EQ(1500, SpW_Send_Packet(socket, data.data(), 1500, end_marker));
    EXPECT_EQ(10, SpW_Send_Packet(socket, data.data(), 10, end_marker));
    std::vector<Bytes> frames;
    for (std::size_t i = before; i < fake_pcap::sent_frames().size(); ++i)
        frames.push_back(fake_pcap::sent_frames()[i].bytes);
    return frames;
}

Bytes type_bytes(const std::vector<Bytes> &frames) {
    Bytes types;
    for (const Bytes &frame : frames) types.push_back(frame[14]);
    return types;
}

TEST_F(EndMarkers, OnlyTwoAndFiveRequestEep) {
    for (int marker : {0, 1, 3, 4, 6, -1, -5, 0x102})
        EXPECT_EQ(Bytes({kSof, kEof, kFeof}), type_bytes(frames_with_marker(socket_, marker)))
            << marker;
    for (int marker : {2, 5})
        EXPECT_EQ(Bytes({kSof, kEef, kFeef}), type_bytes(frames_with_marker(socket_, marker)))
            << marker;
}

TEST_F(EndMarkers, ZeroOneAndFourGiveTheSameFrames) {
    std::vector<std::vector<Bytes>> runs;
    for (int marker : {0, 1, 4}) {
        spweth::library_state.data_frame_counter = 0;
        runs.push_back(frames_with_marker(socket_, marker));
    }
    EXPECT_EQ(runs[0], runs[1]);
    EXPECT_EQ(runs[0], runs[2]);
}

using ChannelByte = SendPacketTest;

TEST_F(ChannelByte, AloneMakesAOneBytePacket) {
    EXPECT_EQ(1, send_from_channel({}, 0x1A5));
    EXPECT_EQ(1, SpW_Send_Packet_From_Channel(socket_, nullptr, 0, 1, 0x07));
    const std::vector<Bytes> expected{data_frame(kFeof, 0, {0xA5}), data_frame(kFeof, 1, {0x07})};
    EXPECT_EQ(expected, sent());
}

TEST_F(ChannelByte, LeadsAFullFrame) {
    const Bytes data = pattern(1494, 10);
    EXPECT_EQ(1495, send_from_channel(data, 0x42));
    Bytes payload{0x42};
    payload.insert(payload.end(), data.begin(), data.end());
    const std::vector<Bytes> expected{data_frame(kFeof, 0, payload)};
    EXPECT_EQ(expected, sent());
    EXPECT_EQ(1514u, sent()[0].size());
}

TEST_F(ChannelByte, ShiftsTheDataOnePositionAcrossFrames) {
    const Bytes data = pattern(1495, 11);
    EXPECT_EQ(1496, send_from_channel(data, 0x1A5, 2));
    Bytes first{0xA5};
    first.insert(first.end(), data.begin(), data.begin() + 1494);
    const std::vector<Bytes> expected{data_frame(kSof, 0, first),
                                      data_frame(kEef, 1, {data[1494]})};
    EXPECT_EQ(expected, sent());
}

using FrameNumbers = SendPacketTest;

TEST_F(FrameNumbers, EachFrameTakesTheNextNumberAndWraps) {
    spweth::library_state.data_frame_counter = 254;
    EXPECT_EQ(3000, send(pattern(3000)));
    EXPECT_EQ(5, send(pattern(5)));
    ASSERT_EQ(4u, sent().size());
    EXPECT_EQ(254, sent()[0][15]);
    EXPECT_EQ(255, sent()[1][15]);
    EXPECT_EQ(0, sent()[2][15]);
    EXPECT_EQ(1, sent()[3][15]);
    EXPECT_EQ(2, spweth::library_state.data_frame_counter);
}

using RefusedFrame = SendPacketTest;

TEST_F(RefusedFrame, StopsThePacketAndUsesItsNumber) {
    fake_pcap::fail_next(fake_pcap::Call::sendpacket, 1);
    EXPECT_EQ(-2, send(pattern(3000)));
    const auto &frames = fake_pcap::sent_frames();
    ASSERT_EQ(2u, frames.size()) << "nothing after the refused frame";
    EXPECT_TRUE(frames[0].accepted);
    EXPECT_FALSE(frames[1].accepted);
    EXPECT_EQ(0u, err_.rfind("\nError sending packet: send: ", 0)) << err_;
    EXPECT_TRUE(out_.empty());

    EXPECT_EQ(4, send(pattern(4)));
    ASSERT_EQ(3u, sent().size());
    EXPECT_EQ(sent()[0][15] + 2, sent()[2][15]);
}

using RejectedArguments = SendPacketTest;

TEST_F(RejectedArguments, SendNothingAndMoveNoCounter) {
    const Bytes data = pattern(10);
    spweth::library_state.data_frame_counter = 7;
    EXPECT_EQ(-2, SpW_Send_Packet(socket_, data.data(), -1, 1));
    EXPECT_EQ(-2, SpW_Send_Packet(socket_, data.data(), INT_MIN, 1));
    EXPECT_EQ(-2, SpW_Send_Packet(socket_, nullptr, 10, 1));
    EXPECT_EQ(-2, SpW_Send_Packet_From_Channel(socket_, data.data(), -1, 1, 0));
    EXPECT_EQ(-2, SpW_Send_Packet_From_Channel(socket_, data.data(), INT_MAX, 1, 0));
    EXPECT_EQ(-2, SpW_Send_Packet_From_Channel(socket_, nullptr, 3, 1, 0));
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(7, spweth::library_state.data_frame_counter);
    EXPECT_EQ(8, get_bridge_credits());
}

}  // namespace

// Frames go to the kernel in batches of up to 64 (as many as the credits
// allow with crediting on); a system without sendmmsg gets them one by one
// for good. Either way the same frames leave in the same order.
class Batches : public SendPacketTest {
protected:
    std::vector<Bytes> frames_of(const Bytes &packet) {
        fake_pcap::reset();
        test::LibraryTest::SetUp();
        socket_ = open_socket();
        EXPECT_EQ(static_cast<int>(packet.size()), send(packet));
        return sent();
    }
};

TEST_F(Batches, OneByOneAfterARefusedBatchAndTheSameFramesEitherWay) {
    const Bytes packet = pattern(100 * 1495 + 7);  // 101 frames: batches of 64 and 37
    const std::vector<Bytes> batched = frames_of(packet);
    EXPECT_EQ(2, fake_pcap::counters().batches);

    fake_pcap::refuse_batches(true);
    EXPECT_EQ(static_cast<int>(packet.size()), send(packet));
    EXPECT_EQ(static_cast<int>(packet.size()), send(packet));
    EXPECT_EQ(2, fake_pcap::counters().batches);  // refused once, then never asked again
    ASSERT_EQ(3 * batched.size(), sent().size());
    for (std::size_t i = 0; i < batched.size(); ++i) {
        Bytes again = sent()[batched.size() + i];
        again[15] = batched[i][15];  // the frame numbers go on
        EXPECT_EQ(batched[i], again) << "frame " << i;
    }
    EXPECT_EQ(static_cast<std::uint8_t>(batched[0][15] + 101), sent()[101][15]);
}

TEST_F(Batches, WithoutMemoryForABatchTheFramesGoOneByOne) {
    const Bytes packet = pattern(2 * 1495 + 1);
    const std::vector<Bytes> batched = frames_of(packet);
    fake_pcap::reset();
    test::LibraryTest::SetUp();
    socket_ = open_socket();
    spweth::heap_allocate = [](std::size_t) -> void * { return nullptr; };
    EXPECT_EQ(static_cast<int>(packet.size()), send(packet));
    EXPECT_EQ(0, fake_pcap::counters().batches);
    EXPECT_EQ(batched, sent());
}

TEST_F(Batches, ARefusedFrameCutsItsBatchAndGivesTheRestTheirNumbersBack) {
    fake_pcap::fail_next(fake_pcap::Call::sendpacket, 10);  // the eleventh frame of the first batch
    EXPECT_EQ(-2, send(pattern(30 * 1495)));
    ASSERT_EQ(11u, sent().size());
    EXPECT_FALSE(fake_pcap::sent_frames().back().accepted);
    EXPECT_EQ(4, send(pattern(4)));  // numbered after the refused frame, as frame by frame
    EXPECT_EQ(sent()[10][15] + 1, sent()[11][15]);
}

TEST_F(Batches, CreditsBoundEachBatch) {
    set_send_crediting(1);
    set_send_credit_limit(2);
    set_send_credit_wait(5);
    spweth::library_state.bridge_credits = 9;  // 7 frames before the limit is reached
    // The bridge reports 9 credits again when the sender waits for them.
    fake_pcap::on_empty_poll([](pcap_t *socket) {
        if (spweth::library_state.bridge_credits < 5)
            fake_pcap::push_inbound(socket, test::bridge_frame(7, {0}).credits(9));
    });
    EXPECT_EQ(20 * 1495, send(pattern(20 * 1495)));
    EXPECT_EQ(20u, sent().size());
    EXPECT_EQ(3, fake_pcap::counters().batches);  // 7 + 7 + 6
    fake_pcap::on_empty_poll(nullptr);
}

// A socket's batch keeps the addresses of its last packet in its headers:
// each packet still carries the addresses of its own time, however they
// changed (a setter, the socket's own, a write through the address getter).
TEST_F(Batches, EachPacketCarriesTheAddressesOfItsTime) {
    const Bytes packet = pattern(1495 + 1);
    const auto expect = [&](const Mac &bridge, const Mac &source) {
        EXPECT_EQ(static_cast<int>(packet.size()), send(packet));
        for (std::size_t i = sent().size() - 2; i < sent().size(); ++i) {
            EXPECT_EQ(Bytes(bridge.begin(), bridge.end()), slice(sent()[i], 0, 6)) << i;
            EXPECT_EQ(Bytes(source.begin(), source.end()), slice(sent()[i], 6, 6)) << i;
        }
    };
    expect(kBridgeMac, kZeroMac);
    const Mac bridge{0x02, 0, 0, 0, 0, 0x0B};
    ASSERT_EQ(0, set_dest_mac_address(bridge.data(), 6));
    expect(bridge, kZeroMac);
    get_current_source_mac_address()[5] = 0x5C;
    expect(bridge, {0, 0, 0, 0, 0, 0x5C});
    const Mac own_bridge{0x02, 0, 0, 0, 0, 0x0C}, own_source{0x02, 0, 0, 0, 0, 0x5D};
    ASSERT_EQ(0, SpW_Socket_Set_Bridge_Address(socket_, own_bridge.data()));
    ASSERT_EQ(0, SpW_Socket_Set_Source_Address(socket_, own_source.data()));
    expect(own_bridge, own_source);
    const Bytes last = test::bridge_frame(kEof, {packet.back()})
                           .credits(10)
                           .from(own_source)
                           .to(own_bridge)
                           .number(sent().back()[15])
                           .pad_to(60);
    EXPECT_EQ(last, sent().back());
}

// A lone frame (a packet of one frame, or one frame that the credits allow)
// is assembled whole: after a long frame, a short one carries only zeros past
// its data; refused, it keeps its number and gives its credit back.
TEST_F(Batches, LoneFramesAreWholeAndARefusedOneGivesItsCreditBack) {
    const Bytes full(1495, 0xEE);
    EXPECT_EQ(1495, send(full));
    EXPECT_EQ(3, send_from_channel(pattern(2), 9));
    ASSERT_EQ(2u, sent().size());
    EXPECT_EQ(data_frame(kFeof, 1, {9, pattern(2)[0], pattern(2)[1]}), sent()[1]);
    EXPECT_EQ(0, fake_pcap::counters().batches);

    set_send_crediting(1);
    set_send_credit_limit(2);
    set_send_credit_wait(5);
    spweth::library_state.bridge_credits = 6;
    fake_pcap::fail_next(fake_pcap::Call::sendpacket);
    EXPECT_EQ(-2, send(pattern(10)));
    EXPECT_EQ(6, spweth::library_state.bridge_credits);
    EXPECT_EQ(0u, err_.rfind("\nError sending packet: ", 0)) << err_;
    EXPECT_EQ(10, send(pattern(10)));
    EXPECT_EQ(5, spweth::library_state.bridge_credits);
    ASSERT_EQ(4u, sent().size());
    EXPECT_EQ(sent()[2][15] + 1, sent()[3][15]);
}
