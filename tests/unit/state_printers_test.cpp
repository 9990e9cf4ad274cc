// Printers of the bridge's status record, its codes and a configuration body.
// Records are built from their wire bytes; expected texts are whole outputs.
#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "test_support.h"

namespace {

using test::LibraryTest;

// A status record as its 88 bytes arrive from the bridge (little-endian fields).
class WireRecord {
public:
    WireRecord &put(std::size_t offset, std::uint64_t value, std::size_t width) {
        for (std::size_t i = 0; i < width; ++i) bytes_[offset + i] = (value >> (8 * i)) & 0xFF;
        return *this;
    }
    WireRecord &byte(std::size_t offset, std::uint8_t value) { return put(offset, value, 1); }
    spw_eth_state record() const {
        spw_eth_state state;
        std::memcpy(&state, bytes_.data(), sizeof state);
        return state;
    }

private:
    std::array<std::uint8_t, 88> bytes_{};
};

// Every field set: SpW1 at 4, SpW2 at 41, then speed, six unread bytes, the
// switch-state word (85-86) and the switch-state byte (87).
WireRecord known_record() {
    WireRecord r;
    r.put(0, 123456789, 4);
    r.put(4, 1234567890123, 8).put(12, 0xFFFFFFFFFFFFFFFF, 8);
    r.put(20, 4000000000, 4).put(24, 3, 4).put(28, 5, 4);
    r.put(32, 1000, 4).put(36, 2000, 4).byte(40, 5);
    r.put(41, 0, 8).put(49, 42, 8);
    r.put(57, 7, 4).put(61, 10, 4).put(65, 3, 4);
    r.put(69, 0, 4).put(73, 0xFFFFFFFF, 4).byte(77, 9);
    r.byte(78, 0x04);
    for (std::size_t at = 79; at < 85; ++at) r.byte(at, 0xEE);
    r.byte(85, 0x00).byte(86, 0x35).byte(87, 0x01);
    return r;
}

const std::string kKnownRecordText =
    "\n=== Status Output ===\n"
    "Time: 123456789\n"
    "--- SpW1 channel ---------\n"
    "Tx bytes:        1234567890123 | Tx packets:     4000000000\n"
    "Rx bytes: 18446744073709551615 | Rx packets EOP: 4294967294\n"
    "Rx packets:                  3 | Rx packets EEP:          5\n"
    "Tx bytes/sec:       1000 | Rx bytes/sec:       2000\n"
    "State: (5) \"RUN\"\n"
    "--- SpW2 channel ---------\n"
    "Tx bytes:                    0 | Tx packets:              7\n"
    "Rx bytes:                   42 | Rx packets EOP:          7\n"
    "Rx packets:                 10 | Rx packets EEP:          3\n"
    "Tx bytes/sec:          0 | Rx bytes/sec: 4294967295\n"
    "State: (9) \"UNKNOWN\"\n"
    "--------------------------\n"
    "Speed: (4) 100\n"
    "Switch state: 35 \n"
    "Switch mode data: 5 Spw port to SpW port \n"
    "Switch mode ccode: 3 switch on (two ports work)\n"
    "========================\n";

// The lines after the speed line of a printed record.
std::string switch_lines(const std::string &printed) {
    return printed.substr(printed.find("Switch state:"));
}

using StatusRecordPrint = LibraryTest;

TEST_F(StatusRecordPrint, EveryFieldOfAKnownRecord) {
    spw_eth_state state = known_record().record();
    print_spw_eth_state(&state);
    EXPECT_EQ(kKnownRecordText, out_);
    EXPECT_EQ("", err_);
}

TEST_F(StatusRecordPrint, NonZeroSwitchWordPutsItsHighByteIntoTheRecord) {
    spw_eth_state state = known_record().record();
    spw_eth_state expected_after = known_record().byte(87, 0x35).record();
    print_spw_eth_state(&state);
    EXPECT_EQ(0, std::memcmp(&expected_after, &state, sizeof state));
}

TEST_F(StatusRecordPrint, SwitchWordWithZeroHighByteClearsTheSwitchState) {
    spw_eth_state state = known_record().byte(85, 0x12).byte(86, 0x00).byte(87, 0x94).record();
    print_spw_eth_state(&state);
    EXPECT_EQ(
        "Switch state: 0 \n"
        "Switch mode data: 0 switch off \n"
        "Switch mode ccode: 0 switch off\n"
        "========================\n",
        switch_lines(out_));
    EXPECT_EQ(0, state.switch_state);
}

TEST_F(StatusRecordPrint, ZeroSwitchWordLeavesTheSwitchStateAlone) {
    spw_eth_state state = known_record().byte(85, 0).byte(86, 0).byte(87, 0x94).record();
    const spw_eth_state before = state;
    print_spw_eth_state(&state);
    EXPECT_EQ(
        "Switch state: 94 \n"
        "Switch mode data: 4 auto mode \n"
        "Switch mode ccode: 9 error value!\n"
        "========================\n",
        switch_lines(out_));
    EXPECT_EQ(0, std::memcmp(&before, &state, sizeof state));
}

TEST_F(StatusRecordPrint, SpeedWithoutRateShowsTheNumber) {
    spw_eth_state state = known_record().byte(78, 0x81).record();
    print_spw_eth_state(&state);
    EXPECT_NE(std::string::npos, out_.find("-\nSpeed: (129) 129 (HEX 0x81)\nSwitch state:"));
}

TEST_F(StatusRecordPrint, NullRecordPrintsNothing) {
    print_spw_eth_state(nullptr);
    EXPECT_EQ("", out_);
}

using LinkStates = LibraryTest;

TEST_F(LinkStates, EveryCodeQuoted) {
    for (int code : {0, 1, 2, 3, 4, 5, 6, 255}) print_conn_state(static_cast<unsigned char>(code));
    EXPECT_EQ(
        "\"ERROR_RESET\"\n\"ERROR_WAIT\"\n\"READY\"\n\"STARTED\"\n\"CONNECTING\"\n\"RUN\"\n"
        "\"UNKNOWN\"\n\"UNKNOWN\"\n",
        out_);
}

using SpeedPrinter = LibraryTest;

TEST_F(SpeedPrinter, EveryRateOfTheTable) {
    for (int code : {0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x80})
        print_speed(static_cast<unsigned char>(code));
    EXPECT_EQ("400\n300\n200\n100\n50\n10\n500\n400 (default)\n", out_);
}

TEST_F(SpeedPrinter, OtherCodesShowDecimalAndHex) {
    for (int code : {0x03, 0x81, 0xFF, 0x40}) print_speed(static_cast<unsigned char>(code));
    EXPECT_EQ(
        "3 (HEX 0x3)\n"
        "129 (HEX 0x81)\n"
        "255 (HEX 0xff)\n"
        "64 (HEX 0x40)\n",
        out_);
}

using SwitchModes = LibraryTest;

TEST_F(SwitchModes, DataModeIsTheLowHalf) {
    for (int mode = 0; mode <= 9; ++mode)
        print_switch_mode(static_cast<unsigned char>(0xA0 | mode));
    print_switch_mode(0x8F);
    EXPECT_EQ(
        "switch off \n"
        "receive / send only first port\n"
        "receive / send only second port\n"
        "switch on (two ports work)\n"
        "auto mode \n"
        "Spw port to SpW port \n"
        "Spw port to SpW port,  SpW1 to ETH \n"
        "Spw port to SpW port,  SpW2 to ETH \n"
        "Spw port to SpW port,  SpW1 and SpW2 to ETH \n"
        "error value!\n"
        "error value!\n",
        out_);
}

TEST_F(SwitchModes, ControlCodeModeIsTheHighHalf) {
    for (int mode = 0; mode <= 9; ++mode)
        print_switch_mode_ccode(static_cast<unsigned char>(mode << 4 | 0x0A));
    EXPECT_EQ(
        "switch off\n"
        "receive / send only first port\n"
        "receive / send only second port\n"
        "switch on (two ports work)\n"
        "error value!\n"
        "Spw port to SpW port \n"
        "Spw port to SpW port,  SpW1 to ETH \n"
        "Spw port to SpW port,  SpW2 to ETH \n"
        "Spw port to SpW port,  SpW1 and SpW2 to ETH \n"
        "error value!\n",
        out_);
}

TEST_F(SwitchModes, OneByteReadBothWays) {
    print_switch_mode(0x94);
    print_switch_mode_ccode(0x94);
    print_switch_mode(0x8F);
    print_switch_mode_ccode(0x8F);
    EXPECT_EQ(
        "auto mode \n"
        "error value!\n"
        "error value!\n"
        "Spw port to SpW port,  SpW1 and SpW2 to ETH \n",
        out_);
}

using ConfigurationBody = LibraryTest;

spw_eth_conf_header_2 known_body() {
    spw_eth_conf_header_2 body{};
    std::memcpy(body.GE_SPW, "GE_SPW", 6);
    body.edit0 = 0x81;
    body.edit1 = 0x01;
    const unsigned char bridge[6] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05};
    const unsigned char host[6] = {0x00, 0x1B, 0x21, 0x0A, 0xFF, 0x05};
    std::memcpy(body.new_src_addr, bridge, 6);
    std::memcpy(body.new_dest_addr, host, 6);
    body.Spw_Speed = 0x02;
    body.filtr = 0x0C;
    body.switch_mode = 0x35;
    body.stat_freq = 0xA0;
    body.data_filtr = 0x00;
    body.data_mask = 0xFF;
    body.receive_timer = 0x10;
    return body;
}

TEST_F(ConfigurationBody, EveryFieldInItsLine) {
    Show_Conf_Header(known_body());
    EXPECT_EQ(
        " === spw_eth_conf_header_2 === \n"
        " conf_packet.new_dest_addr 0:1b:21:a:ff:5  \n"
        " conf_packet.new_src_addr 0:1:2:3:4:5  \n"
        " conf_packet.edit0 81  \n"
        " conf_packet.edit1  1  \n"
        " conf_packet.filtr  c  \n"
        " conf_packet.GE_SPW  GE_SPW  \n"
        " conf_packet.Spw_Speed 2  \n"
        " conf_packet.switch_mode 35  \n"
        " conf_packet.data_filtr 0  \n"
        " conf_packet.data_mask ff  \n"
        " conf_packet.stat_freq a0  \n"
        " conf_packet.receive_timer 10  \n",
        out_);
}

TEST_F(ConfigurationBody, MarkerStopsAtAZeroByte) {
    spw_eth_conf_header_2 body = known_body();
    std::memcpy(body.GE_SPW, "GE\0SPW", 6);
    Show_Conf_Header(body);
    EXPECT_NE(std::string::npos, out_.find("\n conf_packet.GE_SPW  GE  \n"));
}

}  // namespace
