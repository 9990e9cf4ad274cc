// Extended and frame-type receives with their masks, the address-filtered
// receives, and the error record.
#include "receive_support.h"

namespace {

using namespace test;

using ExtendedReceive = ReceiveTest;

TEST_F(ExtendedReceive, MaskedControlCodesAreReturned) {
    push(bridge_frame(kCodes, {0x05, 0x45}).pad_to(62));
    EXPECT_EQ(2, recv_extended(10, SPWETH_MASK_CCODES));
    EXPECT_EQ(kCodes, type_);
    EXPECT_EQ((Bytes{0x05, 0x45}), head(2));
}

TEST_F(ExtendedReceive, DataBitsDoNotStopReassembly) {
    register_ccode_event_handler(ccode_recorder);
    push(bridge_frame(kSof, pattern(30, 1)));
    push(bridge_frame(kCodes, {0x05}));
    push(bridge_frame(kEof, pattern(20, 2)));
    EXPECT_EQ(50, recv_extended(100, SPWETH_MASK_MOF));
    EXPECT_EQ(0, type_);
    EXPECT_EQ(concat({pattern(30, 1), pattern(20, 2)}), head(50));
    EXPECT_TRUE(handler_calls().empty());
}

TEST_F(ExtendedReceive, StatusGoesToTheCallerNotTheHandler) {
    register_status_event_handler(status_recorder);
    push(bridge_frame(kStatus, pattern(88, 4)));
    EXPECT_EQ(88, recv_extended(100, SPWETH_MASK_STATUS));
    EXPECT_EQ(kStatus, type_);
    EXPECT_EQ(pattern(88, 4), head(88));
    EXPECT_TRUE(handler_calls().empty());
}

TEST_F(ExtendedReceive, Types136And255AreNeverDelivered) {
    push(bridge_frame(0x88, pattern(4)));
    push(bridge_frame(0xFF, pattern(4)));
    push(bridge_frame(kFeof, pattern(3, 5)));
    EXPECT_EQ(3, recv_extended(10, -1));
    EXPECT_EQ(0, type_);
}

using FrameTypeReceive = ReceiveTest;

TEST_F(FrameTypeReceive, EachFrameLandsAtTheStartWithItsOwnLength) {
    push(bridge_frame(kSof, pattern(30, 1)));
    push(bridge_frame(kEof, pattern(20, 2)));
    EXPECT_EQ(20, recv_frame_type(100, SPWETH_MASK_EOF));  // the SOF is not wanted
    EXPECT_EQ(kEof, frame_type_);
    EXPECT_EQ(pattern(20, 2), head(20));
}

TEST_F(FrameTypeReceive, HighMaskBitsSelectTypes136And255) {
    push(bridge_frame(0xFF, pattern(46, 1)));
    push(bridge_frame(0x88, pattern(9, 2)));
    EXPECT_EQ(9, recv_frame_type(100, SPWETH_MASK_TYPE_136));
    EXPECT_EQ(136, frame_type_);

    push(bridge_frame(0xFF, pattern(46, 3)));
    EXPECT_EQ(46, recv_frame_type(100, SPWETH_MASK_CONFIG));
    EXPECT_EQ(255, frame_type_);
    EXPECT_EQ(pattern(46, 3), head(46));
}

using AddressFilter = ReceiveTest;

TEST_F(AddressFilter, SourceDifferingInTheLastByteIsIgnoredInEveryFilteredMode) {
    Mac near = kOtherMac;
    near[5] ^= 1;
    mac_ = kOtherMac;
    const auto feed = [&](std::uint8_t type) {
        push(bridge_frame(type, pattern(8, 1)).from(near));
        push(bridge_frame(type, pattern(6, 2)).from(kOtherMac));
    };

    feed(kFeof);
    buffer_.assign(10, 0);
    EXPECT_EQ(6, SpW_Recv_Packet_From_MAC(socket_, buffer_.data(), 10, mac_.data(), &type_));
    EXPECT_EQ(pattern(6, 2), head(6));

    feed(kCodes);
    EXPECT_EQ(6, SpW_Recv_Packet_From_MAC_extended(socket_, buffer_.data(), 10, mac_.data(), &type_,
                                                   SPWETH_MASK_CCODES));
    EXPECT_EQ(kCodes, type_);

    feed(kSof);
    EXPECT_EQ(6, SpW_Recv_Frame_Type_From_MAC(socket_, buffer_.data(), 10, SPWETH_MASK_SOF,
                                              &frame_type_, mac_.data()));
    EXPECT_EQ(kSof, frame_type_);
    EXPECT_EQ(kOtherMac, mac_);  // an input: never written
    EXPECT_EQ(0u, queued());
}

using ErrorRecord = ReceiveTest;

TEST_F(ErrorRecord, CreditReportWithEmptyPayloadIsZeroAndCredits) {
    push(bridge_frame(kErrors).credits(0x2A).pad_to(60));
    EXPECT_EQ(2, recv_frame_type(10, SPWETH_MASK_ERRORS));
    EXPECT_EQ(kErrors, frame_type_);
    EXPECT_EQ((Bytes{0x00, 0x2A, 0xEE}), head(3));
}

TEST_F(ErrorRecord, CreditReportStaysWithinTheBuffer) {
    push(bridge_frame(kErrors).credits(0x2A));  // 19 bytes: no payload byte at all
    unsigned char buffer[2] = {0xEE, 0xEE};
    EXPECT_EQ(
        2, SpW_Recv_Packet_extended(socket_, buffer, 1, mac_.data(), &type_, SPWETH_MASK_ERRORS));
    EXPECT_EQ(kErrors, type_);
    EXPECT_EQ(0x00, buffer[0]);
    EXPECT_EQ(0xEE, buffer[1]);
}

TEST_F(ErrorRecord, OtherErrorTypesGiveThePayloadUpToLength) {
    const Bytes report{0x03, 0x10, 0x11, 0x12, 0x13};
    push(bridge_frame(kErrors, report));
    EXPECT_EQ(5, recv_frame_type(10, SPWETH_MASK_ERRORS));
    EXPECT_EQ(report, head(5));

    push(bridge_frame(kErrors, report));
    EXPECT_EQ(5, recv_frame_type(3, SPWETH_MASK_ERRORS));
    EXPECT_EQ((Bytes{0x03, 0x10, 0x11}), buffer_);
}

}  // namespace
