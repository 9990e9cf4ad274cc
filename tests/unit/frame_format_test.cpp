// The bridge frame header: how it is written, and how received frames are
// decoded (type byte and flags, credit update, length and EtherType checks,
// skip-out filter).
#include <optional>

#include "link/frame.h"
#include "test_support.h"

namespace {

using spweth::library_state;
using spweth::frame::DecodedFrame;
using spweth::frame::FrameType;
using spweth::frame::FrameView;
using test::bridge_frame;
using test::Bytes;
using test::LibraryTest;
using test::pattern;

std::optional<DecodedFrame> decode(const Bytes &bytes) {
    DecodedFrame decoded{};
    if (!spweth::frame::decode_frame(FrameView(bytes.data(), bytes.size()), decoded))
        return std::nullopt;
    return decoded;
}

using HeaderWriting = LibraryTest;

TEST_F(HeaderWriting, TakesAddressesFromStateAndLengthLittleEndian) {
    library_state.source_mac_address = {0x02, 0, 0, 0, 0, 0x01};
    Bytes frame(19, 0xEE);
    spweth::frame::write_header(frame.data(), FrameType::sof, 0x33, 1495);
    EXPECT_EQ((Bytes{0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x06,
                     0xAB, 0x03, 0x33, 0xD7, 0x05, 0x0A}),
              frame);

    library_state.dest_mac_address = test::kOtherMac;
    spweth::frame::write_header(frame.data(), FrameType::feof, 0, 3);
    EXPECT_EQ(Bytes(test::kOtherMac.begin(), test::kOtherMac.end()),
              Bytes(frame.begin(), frame.begin() + 6));
    EXPECT_EQ(0x03, frame[16]);
    EXPECT_EQ(0x00, frame[17]);
}

TEST_F(HeaderWriting, CountersWrapAfter255) {
    library_state.data_frame_counter = 255;
    EXPECT_EQ(255, spweth::frame::take_data_frame_number());
    EXPECT_EQ(0, spweth::frame::take_data_frame_number());
    EXPECT_EQ(0, spweth::frame::take_ccode_frame_number());
    EXPECT_EQ(1, library_state.data_frame_counter);
    EXPECT_EQ(1, library_state.ccode_frame_counter);
}

using TypeByteDecoding = LibraryTest;

TEST_F(TypeByteDecoding, PlainTypesPassUnchangedWithoutFlags) {
    struct Row {
        std::uint8_t type_byte;
        FrameType type;
    };
    for (const Row row :
         {Row{0x00, FrameType::mof}, Row{0x01, FrameType::feof}, Row{0x05, FrameType::eef},
          Row{0x06, FrameType::control_codes}, Row{0x08, FrameType::status},
          Row{0x88, FrameType::type_136}, Row{0xFF, FrameType::configuration}}) {
        const auto decoded = decode(bridge_frame(row.type_byte, {1, 2, 3}));
        ASSERT_TRUE(decoded) << int(row.type_byte);
        EXPECT_EQ(row.type, decoded->type) << int(row.type_byte);
    }
    EXPECT_EQ(0, library_state.packet_has_comm_byte);
    EXPECT_EQ(0, library_state.packet_has_recv_timer);
}

TEST_F(TypeByteDecoding, Bit6MarksCommByte) {
    const auto decoded = decode(bridge_frame(0x41, {1, 2, 3}));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(FrameType::feof, decoded->type);
    EXPECT_EQ(1, library_state.packet_has_comm_byte);
    EXPECT_EQ(0, library_state.packet_has_recv_timer);
}

TEST_F(TypeByteDecoding, BothFlagsOnStatusFrame) {
    const auto decoded = decode(bridge_frame(0xC8, Bytes(88)));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(FrameType::status, decoded->type);
    EXPECT_EQ(1, library_state.packet_has_comm_byte);
    EXPECT_EQ(1, library_state.packet_has_recv_timer);
}

TEST_F(TypeByteDecoding, FlagsAreNeverClearedByDecoding) {
    ASSERT_TRUE(decode(bridge_frame(0xC1, {1})));
    ASSERT_TRUE(decode(bridge_frame(0x01, {1})));
    EXPECT_EQ(1, library_state.packet_has_comm_byte);
    EXPECT_EQ(1, library_state.packet_has_recv_timer);
}

TEST_F(TypeByteDecoding, ValuesNineTo63AreIgnored) {
    EXPECT_FALSE(decode(bridge_frame(0x09, {1}).credits(50)));
    EXPECT_FALSE(decode(bridge_frame(0x3F, {1}).credits(50)));
    EXPECT_EQ(0, library_state.packet_has_comm_byte);
    EXPECT_EQ(8, library_state.bridge_credits);
}

TEST_F(TypeByteDecoding, IgnoredTypeStillSetsItsFlagButNoCredits) {
    EXPECT_FALSE(decode(bridge_frame(0x49, {1}).credits(50)));
    EXPECT_EQ(1, library_state.packet_has_comm_byte);
    EXPECT_EQ(8, library_state.bridge_credits);
}

using CreditUpdate = LibraryTest;

TEST_F(CreditUpdate, TakenFromTheBridgeAddressOnly) {
    ASSERT_TRUE(decode(bridge_frame(0x01, {1}).credits(0).from(test::kOtherMac)));
    EXPECT_EQ(8, library_state.bridge_credits);
    ASSERT_TRUE(decode(bridge_frame(0x07, {1}).credits(200)));
    EXPECT_EQ(200, library_state.bridge_credits);
    ASSERT_TRUE(decode(bridge_frame(0x06, {1}).credits(0)));
    EXPECT_EQ(0, library_state.bridge_credits);
}

TEST_F(CreditUpdate, FollowsTheConfiguredBridgeAddress) {
    library_state.dest_mac_address = test::kOtherMac;
    ASSERT_TRUE(decode(bridge_frame(0x01, {1}).credits(3)));  // old bridge address
    EXPECT_EQ(8, library_state.bridge_credits);
    ASSERT_TRUE(decode(bridge_frame(0x01, {1}).credits(3).from(test::kOtherMac)));
    EXPECT_EQ(3, library_state.bridge_credits);
}

TEST_F(CreditUpdate, HappensBeforeTheLengthCheck) {
    EXPECT_FALSE(decode(bridge_frame(0x01, {1, 2}).length_field(3).credits(17)));
    EXPECT_EQ(17, library_state.bridge_credits);
}

TEST_F(CreditUpdate, NotFromFramesOfOtherEtherType) {
    EXPECT_FALSE(decode(bridge_frame(0x41, {1}).ether_type(0x0800).credits(17)));
    EXPECT_FALSE(decode(bridge_frame(0x41, {1}).ether_type(0xAB06).credits(17)));
    EXPECT_EQ(8, library_state.bridge_credits);
    EXPECT_EQ(0, library_state.packet_has_comm_byte);
}

using FrameLength = LibraryTest;

TEST_F(FrameLength, ShorterThanAnnouncedIsIgnored) {
    EXPECT_FALSE(decode(bridge_frame(0x01, pattern(40)).length_field(41)));
    EXPECT_FALSE(decode(bridge_frame(0x01, {}).length_field(1)));
}

TEST_F(FrameLength, ExactOrPaddedIsAcceptedWithAnnouncedLength) {
    const auto exact = decode(bridge_frame(0x01, pattern(41)));
    ASSERT_TRUE(exact);
    EXPECT_EQ(41, exact->payload_length);

    const auto padded = decode(bridge_frame(0x01, {0x11, 0x22, 0x33}).pad_to(60));
    ASSERT_TRUE(padded);
    EXPECT_EQ(3, padded->payload_length);

    const auto empty = decode(bridge_frame(0x06, {}));
    ASSERT_TRUE(empty);
    EXPECT_EQ(0, empty->payload_length);
}

TEST_F(FrameLength, PayloadLengthIsLittleEndian) {
    const auto decoded = decode(bridge_frame(0x00, pattern(1495)));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(1495, decoded->payload_length);
    EXPECT_FALSE(decode(bridge_frame(0x00, pattern(1495)).length_field(0x05D8)));
}

TEST_F(FrameLength, RuntWithoutWholeHeaderIsIgnored) {
    Bytes runt = bridge_frame(0x01, {}).credits(40);
    runt.pop_back();  // 18 bytes: no credits byte
    EXPECT_FALSE(decode(runt));
    EXPECT_FALSE(decode(Bytes{}));
    EXPECT_EQ(8, library_state.bridge_credits);
}

using SkipOutFilter = LibraryTest;

TEST_F(SkipOutFilter, DropsAllZeroSourceWithoutEffectWhenOn) {
    set_recv_skip_out_frames(1);
    library_state.dest_mac_address = test::kZeroMac;  // even credits "from the bridge" are lost
    EXPECT_FALSE(decode(bridge_frame(0xC1, {1}).from(test::kZeroMac).credits(40)));
    EXPECT_EQ(8, library_state.bridge_credits);
    EXPECT_EQ(0, library_state.packet_has_comm_byte);
    EXPECT_EQ(0, library_state.packet_has_recv_timer);
}

TEST_F(SkipOutFilter, ComparesWithZeroAddressNotTheHostAddress) {
    set_recv_skip_out_frames(1);
    library_state.source_mac_address = {0x02, 0, 0, 0, 0, 0x01};
    EXPECT_FALSE(decode(bridge_frame(0x01, {1}).from(test::kZeroMac)));
    EXPECT_TRUE(decode(bridge_frame(0x01, {1}).from({0x02, 0, 0, 0, 0, 0x01})));
    EXPECT_TRUE(decode(bridge_frame(0x01, {1})));
}

TEST_F(SkipOutFilter, LetsZeroSourceThroughWhenOff) {
    EXPECT_TRUE(decode(bridge_frame(0x01, {1}).from(test::kZeroMac)));
}

}  // namespace
