// Configuration frames: the fixed 62-byte frame, each command's body, speed
// codes, switching modes, caller-built bodies, numbering shared with data
// frames, refused frames and missing addresses.
#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "test_support.h"

namespace {

using spweth::library_state;
using test::Bytes;
using test::pattern;

// Frame offsets of the body's fields.
constexpr std::size_t kMarkerAt = 19, kEdit0At = 25, kEdit1At = 26, kNewSrcAddrAt = 27,
                      kNewDestAddrAt = 33, kSpeedAt = 39, kFiltrAt = 40, kSwitchModeAt = 41,
                      kStatFreqAt = 42, kDataFiltrAt = 43, kDataMaskAt = 44, kReceiveTimerAt = 45;
const Bytes kMarker{'G', 'E', '_', 'S', 'P', 'W'};

using Configuration = test::OpenSocketTest;

// Every configuration frame: 62 bytes, type 255, length 46, credits 10,
// marker, bit 0x80 in edit0, zero after the body.
void expect_configuration_frame(const Bytes &frame, const std::string &call) {
    ASSERT_EQ(62u, frame.size()) << call;
    EXPECT_EQ((Bytes{0x00, 0x01, 0x02, 0x03, 0x04, 0x05}), Bytes(frame.begin(), frame.begin() + 6))
        << call;
    EXPECT_EQ((Bytes{0x06, 0xAB, 0xFF}), Bytes(frame.begin() + 12, frame.begin() + 15)) << call;
    EXPECT_EQ((Bytes{0x2E, 0x00, 0x0A}), Bytes(frame.begin() + 16, frame.begin() + 19)) << call;
    EXPECT_EQ(kMarker, Bytes(frame.begin() + kMarkerAt, frame.begin() + kMarkerAt + 6)) << call;
    EXPECT_EQ(0x80, frame[kEdit0At] & 0x80) << call;
    EXPECT_EQ(Bytes(16, 0x00), Bytes(frame.begin() + 46, frame.end())) << call;
}

TEST_F(Configuration, SpeedFrameByteForByte) {
    library_state.source_mac_address = {0x00, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E};
    library_state.data_frame_counter = 7;
    EXPECT_EQ(0, SpW_Eth_Set_SpW_Speed(socket_, 100));

    Bytes expected{0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x00, 0x0A, 0x0B,
                   0x0C, 0x0D, 0x0E, 0x06, 0xAB, 0xFF, 0x07, 0x2E, 0x00,
                   0x0A, 0x47, 0x45, 0x5F, 0x53, 0x50, 0x57, 0x84, 0x00};
    expected.resize(expected.size() + 12, 0x00);
    expected.push_back(0x04);
    expected.resize(62, 0x00);
    EXPECT_EQ(expected, only_frame());
    EXPECT_EQ(8, library_state.data_frame_counter);
}

TEST_F(Configuration, EachCommandSetsItsMaskBitsAndField) {
    const mac_address address{{0x00, 0x1B, 0x21, 0x0A, 0xFF, 0x05}};
    struct Row {
        std::string call;
        std::function<int(pcap_t *)> send;
        std::uint8_t edit0, edit1;
        std::size_t field_at;  // 0: no field
        Bytes field;
    };
    const Bytes mac(address.bytes, address.bytes + 6);
    const Row rows[] = {
        {"MAC_Source", [&](pcap_t *s) { return SpW_Eth_Set_MAC_Source(s, &address); }, 0x81, 0,
         kNewDestAddrAt, mac},
        {"MAC_Dest", [&](pcap_t *s) { return SpW_Eth_Set_MAC_Dest(s, &address); }, 0x82, 0,
         kNewSrcAddrAt, mac},
        {"SpW_Speed",
         [](pcap_t *s) { return SpW_Eth_Set_SpW_Speed(s, 10); },
         0x84,
         0,
         kSpeedAt,
         {0x10}},
        {"set_SpW_Speed",
         [](pcap_t *s) { return SpW_Eth_set_SpW_Speed(s, 50); },
         0x84,
         0,
         kSpeedAt,
         {0x08}},
        {"Filtr", [](pcap_t *s) { return SpW_Eth_Set_Filtr(s, 0xF3); }, 0x88, 0, kFiltrAt, {0xF3}},
        {"Auto_MAC_Source",
         [](pcap_t *s) { return SpW_Eth_Set_Auto_MAC_Source(s); },
         0x90,
         0,
         0,
         {}},
        {"Auto_MAC_Dest", [](pcap_t *s) { return SpW_Eth_Set_Auto_MAC_Dest(s); }, 0xA0, 0, 0, {}},
        {"Reset", [](pcap_t *s) { return SpW_Eth_Reset(s); }, 0xC0, 0, 0, {}},
        {"Switch_Mode",
         [](pcap_t *s) { return SpW_Eth_Set_Switch_Mode(s, 3, 8); },
         0x80,
         0x01,
         kSwitchModeAt,
         {0x83}},
        {"Status_Freq",
         [](pcap_t *s) { return SpW_Eth_Set_Status_Freq(s, 0xFE); },
         0x80,
         0x02,
         kStatFreqAt,
         {0xFE}},
        {"Status_freq",
         [](pcap_t *s) { return SpW_Eth_Set_Status_freq(s, 0x01); },
         0x80,
         0x02,
         kStatFreqAt,
         {0x01}},
        {"Receive_Timer",
         [](pcap_t *s) { return SpW_Eth_Set_Receive_Timer(s, 0x99); },
         0x80,
         0x04,
         kReceiveTimerAt,
         {0x99}},
        {"Data_Filtr",
         [](pcap_t *s) { return SpW_Eth_Set_Data_Filtr(s, 0xAA, 0x0F); },
         0x80,
         0x08,
         kDataFiltrAt,
         {0xAA, 0x0F}},
        {"Hardware_Reset",
         [](pcap_t *s) { return SpW_Eth_Set_Hardware_Reset(s); },
         0x80,
         0x10,
         0,
         {}},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(0, row.send(socket_)) << row.call;
        const Bytes frame = only_frame();
        expect_configuration_frame(frame, row.call);
        if (frame.size() != 62) continue;
        Bytes expected_body(27, 0x00);
        std::copy(kMarker.begin(), kMarker.end(), expected_body.begin());
        expected_body[6] = row.edit0;
        expected_body[7] = row.edit1;
        if (row.field_at != 0)
            std::copy(row.field.begin(), row.field.end(),
                      expected_body.begin() + (row.field_at - 19));
        EXPECT_EQ(expected_body, Bytes(frame.begin() + 19, frame.begin() + 46)) << row.call;
    }
    EXPECT_TRUE(out_.empty());
}

TEST_F(Configuration, AddressCommandsLeaveTheLibraryAddressesAlone) {
    const mac_address address{{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}};
    SpW_Eth_Set_MAC_Dest(socket_, &address);
    SpW_Eth_Set_MAC_Source(socket_, &address);
    EXPECT_EQ(test::kBridgeMac, library_state.dest_mac_address);
    EXPECT_EQ(test::kZeroMac, library_state.source_mac_address);
}

using SpeedCodes = Configuration;

TEST_F(SpeedCodes, EachRateHasItsCode) {
    struct Row {
        unsigned int rate;
        std::uint8_t code;
    };
    for (const Row row : {Row{10, 0x10}, Row{50, 0x08}, Row{100, 0x04}, Row{200, 0x02},
                          Row{300, 0x01}, Row{400, 0x00}, Row{500, 0x20}}) {
        EXPECT_EQ(0, SpW_Eth_Set_SpW_Speed(socket_, row.rate)) << row.rate;
        const Bytes frame = only_frame();
        ASSERT_EQ(62u, frame.size());
        EXPECT_EQ(row.code, frame[kSpeedAt]) << row.rate;
        EXPECT_EQ(0x84, frame[kEdit0At]) << row.rate;
    }
}

// A rate the bridge does not have sends nothing (it used to set 400 Mbit/s).
TEST_F(SpeedCodes, OtherRatesAreRefusedAndSendNothing) {
    library_state.data_frame_counter = 3;
    for (const unsigned int rate :
         {0u, 1u, 123u, 150u, 399u, 401u, 600u, 100u + (1u << 16), 0x80u, 0xFFFFFFFFu}) {
        EXPECT_EQ(-1, SpW_Eth_Set_SpW_Speed(socket_, rate)) << rate;
        EXPECT_EQ(-1, SpW_Eth_set_SpW_Speed(socket_, rate)) << rate;
    }
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(3, library_state.data_frame_counter);
    EXPECT_TRUE(out_.empty());
    EXPECT_TRUE(err_.empty());
}

using SwitchMode = Configuration;

TEST_F(SwitchMode, KeepsTheLowFourBitsOfEachMode) {
    SpW_Eth_Set_Switch_Mode(socket_, 0x13, 0x25);
    EXPECT_EQ(0x53, only_frame()[kSwitchModeAt]);
    SpW_Eth_Set_Switch_Mode(socket_, 0xFF, 0x00);
    EXPECT_EQ(0x0F, only_frame()[kSwitchModeAt]);
    SpW_Eth_Set_Switch_Mode(socket_, 0x00, 0xF8);
    EXPECT_EQ(0x80, only_frame()[kSwitchModeAt]);
}

using CallerBody = Configuration;

TEST_F(CallerBody, MarkerAndBit80AreForcedTheRestPassesUnchanged) {
    const Bytes rest = pattern(20, 3);
    spw_eth_conf_header_2 body{};
    std::memset(body.GE_SPW, ' ', sizeof body.GE_SPW);
    body.edit0 = 0x00;
    std::memcpy(&body.edit1, rest.data(), rest.size());
    EXPECT_EQ(0, SpW_Eth_Send_Conf_Packet(socket_, body));

    const Bytes frame = only_frame();
    expect_configuration_frame(frame, "Send_Conf_Packet");
    EXPECT_EQ(0x80, frame[kEdit0At]);
    EXPECT_EQ(rest, Bytes(frame.begin() + kEdit1At, frame.begin() + 46));
}

TEST_F(CallerBody, OtherEdit0BitsAreKept) {
    spw_eth_conf_header_2 body{};
    std::memcpy(body.GE_SPW, "XXXXXX", 6);
    body.edit0 = 0x7F;
    body.edit1 = 0xE0;
    SpW_Eth_Send_Conf_Packet(socket_, body);
    const Bytes frame = only_frame();
    EXPECT_EQ(kMarker, Bytes(frame.begin() + kMarkerAt, frame.begin() + kMarkerAt + 6));
    EXPECT_EQ(0xFF, frame[kEdit0At]);
    EXPECT_EQ(0xE0, frame[kEdit1At]);
}

using ConfigurationNumbering = Configuration;

TEST_F(ConfigurationNumbering, SharesTheDataCounterAndWraps) {
    library_state.data_frame_counter = 254;
    SpW_Eth_Reset(socket_);
    SpW_Send_Time_Code(socket_, 1);  // control-code frames have their own counter
    SpW_Eth_Set_Filtr(socket_, 1);
    SpW_Eth_Set_Hardware_Reset(socket_);
    const auto frames = sent();
    ASSERT_EQ(4u, frames.size());
    EXPECT_EQ(254, frames[0][15]);
    EXPECT_EQ(0, frames[1][15]);
    EXPECT_EQ(255, frames[2][15]);
    EXPECT_EQ(0, frames[3][15]);
    EXPECT_EQ(1, library_state.data_frame_counter);
    EXPECT_EQ(1, library_state.ccode_frame_counter);
}

TEST_F(ConfigurationNumbering, RefusedFrameStillUsesItsNumber) {
    fake_pcap::fail_next(fake_pcap::Call::sendpacket);
    EXPECT_EQ(-1, SpW_Eth_Set_Status_Freq(socket_, 4));
    EXPECT_EQ(0, SpW_Eth_Set_Status_Freq(socket_, 4));
    const auto &frames = fake_pcap::sent_frames();
    ASSERT_EQ(2u, frames.size());
    EXPECT_FALSE(frames[0].accepted);
    EXPECT_EQ(0, frames[0].bytes[15]);
    EXPECT_EQ(1, frames[1].bytes[15]);
    EXPECT_EQ(2, library_state.data_frame_counter);
    EXPECT_TRUE(out_.empty());
    EXPECT_TRUE(err_.empty());
}

TEST_F(ConfigurationNumbering, RestartsAtZeroAfterSocketReset) {
    library_state.data_frame_counter = 40;
    const auto socket = SpW_Socket_Reset(socket_);
    ASSERT_GT(socket, 0);
    SpW_Eth_Reset(reinterpret_cast<pcap_t *>(socket));
    EXPECT_EQ(0, sent().back()[15]);
}

using MissingAddress = Configuration;

TEST_F(MissingAddress, NullAddressSendsNothingAndKeepsTheCounter) {
    library_state.data_frame_counter = 12;
    EXPECT_EQ(-1, SpW_Eth_Set_MAC_Source(socket_, nullptr));
    EXPECT_EQ(-1, SpW_Eth_Set_MAC_Dest(socket_, nullptr));
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(12, library_state.data_frame_counter);
    EXPECT_TRUE(out_.empty());
}

}  // namespace
