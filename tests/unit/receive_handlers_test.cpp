// Event handlers called by the plain packet receives.
#include "receive_support.h"

namespace {

using namespace test;

using HandlerCalls = ReceiveTest;

TEST_F(HandlerCalls, ControlCodesWithoutHandlerAreIgnored) {
    push(bridge_frame(kCodes, {0x05}));
    push(bridge_frame(kFeof, pattern(4)));
    EXPECT_EQ(4, recv_packet(10));
    EXPECT_TRUE(handler_calls().empty());
}

TEST_F(HandlerCalls, EachHandlerGetsItsBlockWhileTheReceiveWaits) {
    register_ccode_event_handler(ccode_recorder);
    register_err_frame_event_handler(err_frame_recorder);
    register_status_event_handler(status_recorder);
    push(bridge_frame(kCodes, {0x05, 0x45}).from(kOtherMac).pad_to(62));
    push(bridge_frame(kStatus, pattern(88, 1)));
    push(bridge_frame(kErrors).credits(0x21).pad_to(60));
    push(bridge_frame(kFeof, pattern(4, 2)));

    EXPECT_EQ(4, recv_packet(10));
    ASSERT_EQ(3u, handler_calls().size());
    EXPECT_EQ("ccode", handler_calls()[0].handler);
    EXPECT_EQ((Bytes{0x05, 0x45}), handler_calls()[0].data);
    EXPECT_EQ(kOtherMac, handler_calls()[0].mac);
    EXPECT_EQ("status", handler_calls()[1].handler);
    EXPECT_EQ(pattern(88, 1), handler_calls()[1].data);
    EXPECT_EQ(kBridgeMac, handler_calls()[1].mac);
    EXPECT_EQ("err_frame", handler_calls()[2].handler);
    EXPECT_EQ((Bytes{0x00, 0x21}), handler_calls()[2].data);
}

TEST_F(HandlerCalls, FromMacReceiveCallsHandlersOnlyForItsSource) {
    register_ccode_event_handler(ccode_recorder);
    push(bridge_frame(kCodes, {0x01}).from(kOtherMac));
    push(bridge_frame(kCodes, {0x02}));
    push(bridge_frame(kFeof, pattern(4)));
    mac_ = kBridgeMac;
    buffer_.assign(10, 0);
    EXPECT_EQ(4, SpW_Recv_Packet_From_MAC(socket_, buffer_.data(), 10, mac_.data(), &type_));
    ASSERT_EQ(1u, handler_calls().size());
    EXPECT_EQ(Bytes{0x02}, handler_calls()[0].data);
}

TEST_F(HandlerCalls, HandlerClearingTheWaitFlagEndsTheReceive) {
    register_ccode_event_handler([](unsigned char *data, int size, unsigned char *mac) {
        ccode_recorder(data, size, mac);
        set_wait_receive_active(0);
    });
    push(bridge_frame(kSof, pattern(10)));
    push(bridge_frame(kCodes, {0x05}));
    push(bridge_frame(kEof, pattern(10)));
    EXPECT_EQ(0, recv_packet(100));
    EXPECT_EQ(1u, handler_calls().size());
    EXPECT_EQ(1u, queued());  // the EOF is still waiting
}

TEST_F(HandlerCalls, BlockThatCannotBeAllocatedDropsTheFrame) {
    register_status_event_handler(status_recorder);
    spweth::heap_allocate = [](std::size_t) -> void * { return nullptr; };
    push(bridge_frame(kStatus, pattern(88)));
    push(bridge_frame(kFeof, pattern(4, 7)));
    EXPECT_EQ(4, recv_packet(10));
    EXPECT_EQ(pattern(4, 7), head(4));
    EXPECT_TRUE(handler_calls().empty());
}

// A handler that sends runs the credit wait on the same socket; what that sets
// aside is taken by the receive in progress.
pcap_t *nested_socket = nullptr;

TEST_F(HandlerCalls, FramesSetAsideByAHandlerReachTheReceiveInProgress) {
    nested_socket = socket_;
    register_ccode_event_handler([](unsigned char *data, int size, unsigned char *mac) {
        ccode_recorder(data, size, mac);
        unsigned char type = 0;
        spweth::SpW_Recv_Packet_uni(spweth::kRecvCreditWait, nested_socket, nullptr, 1495, nullptr,
                                    &type, 0);
    });
    push(bridge_frame(kCodes, {0x05}));
    push(bridge_frame(kSof, pattern(40, 1)));
    push(bridge_frame(kEof, pattern(30, 2)));
    EXPECT_EQ(70, recv_packet(100));
    EXPECT_EQ(concat({pattern(40, 1), pattern(30, 2)}), head(70));
    EXPECT_EQ(1u, handler_calls().size());
}

}  // namespace
