// Console printers that decode no bridge record: banner, deprecation notice,
// frame and error types, hex dump, menu keys. Expected texts are whole outputs.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using test::LibraryTest;

using Banner = LibraryTest;

TEST_F(Banner, NamesTheSdkAndTheDemoVersions) {
    Display_SDK_and_demo_information();
    EXPECT_EQ(
        "SDK: Ethernet SpaceWire SDK version 3.1.0\n"
        "Demo: Ethernet SpaceWire Demo program version 1.7.0\n",
        out_);
    EXPECT_EQ("", err_);
}

TEST_F(Banner, ReceiveTimeoutIsOnlyANoticeWithoutLineEnd) {
    set_receive_timeout(500);
    EXPECT_EQ(
        "set_receive_timeout finction is deprecated. Receive timeouts are removed, no timeouts any "
        "more.",
        out_);
    EXPECT_EQ("", err_);
}

using FrameTypeNames = LibraryTest;

TEST_F(FrameTypeNames, EveryNamedTypeThenLineEnd) {
    for (int type : {0, 1, 2, 3, 4, 5, 6, 7, 8, 255}) print_frame_type(type);
    EXPECT_EQ(
        "Part of SpW packet\n"
        "Full SpW packet  with EOP\n"
        "Full SpW packet  with EEP\n"
        "First part of SpW packet\n"
        "Last part of SpW packet  with EOP\n"
        "Last part of SpW packet  with EEP\n"
        "Frame of CCodes \n"
        "Frame with errors\n"
        "Status \n"
        "Configure packet\n",
        out_);
}

TEST_F(FrameTypeNames, UnnamedValuesPrintAsError) {
    for (int type : {136, -1, 9, 256}) print_frame_type(type);
    EXPECT_EQ("ERROR 136\nERROR -1\nERROR 9\nERROR 256\n", out_);
}

using ErrorTypeTexts = LibraryTest;

TEST_F(ErrorTypeTexts, EveryCodeOfTheBridge) {
    for (int code = 0; code <= 5; ++code) print_error_type(code);
    EXPECT_EQ(
        " Credit info \n"
        "SOF, FEEF, FEOF data frame number bigger at 2 or more.\n"
        " Previous data frame was SOF or MOF\n"
        "SOF, FEEF, FEOF data frame number bigger at 2 or more.\n"
        " Previous data frame was EOF, EEF, FEOF or FEEF\n"
        "MOF, EEF, EOF data frame number bigger at 2 or more.\n"
        " Previous data frame was SOF or MOF\n"
        "MOF, EEF, EOF data frame number bigger at 2 or more.\n"
        " Previous data frame was EOF, EEF,FEOF or FEEF\n"
        "Number of Ccode frame bigger at 2 or more\n",
        out_);
}

TEST_F(ErrorTypeTexts, OtherCodesPrintOther) {
    for (int code : {6, 7, 255, -3}) print_error_type(code);
    EXPECT_EQ("OTHER \nOTHER \nOTHER \nOTHER \n", out_);
}

using HexDump = LibraryTest;

std::vector<unsigned char> text_bytes(const std::string &text) {
    return {text.begin(), text.end()};
}

TEST_F(HexDump, ShortLastRowKeepsTheCharacterColumnInLine) {
    const auto bytes = text_bytes("0123456789ABCDEFWXYZ");
    debug_dump("rx", bytes.data(), 20);
    EXPECT_EQ(
        "rx: 20 bytes \n"
        "[+0000]: 30 31 32 33 34 35 36 37  38 39 41 42 43 44 45 46  0123456789ABCDEF\n"
        "[+0010]: 57 58 59 5A                                       WXYZ\n",
        out_);
}

TEST_F(HexDump, RowOfEightHasTheMiddleBlankThenPadding) {
    const auto bytes = text_bytes("SpaceWir");
    debug_dump("eight", bytes.data(), 8);
    EXPECT_EQ(
        "eight: 8 bytes \n"
        "[+0000]: 53 70 61 63 65 57 69 72                           SpaceWir\n",
        out_);
}

TEST_F(HexDump, ControlAndHighBytesShowAsDots) {
    const unsigned char bytes[] = {0x0A, 0x1F, 0x7F, 0x80, 0xFF, 0x20, 0x41};
    debug_dump("odd", bytes, sizeof bytes);
    EXPECT_EQ(
        "odd: 7 bytes \n"
        "[+0000]: 0A 1F 7F 80 FF 20 41                              ..\x7f.. A\n",
        out_);
}

TEST_F(HexDump, OffsetsPastFFFFGrowAFifthDigit) {
    std::vector<unsigned char> bytes(0x10010);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i);
    debug_dump("big", bytes.data(), static_cast<unsigned int>(bytes.size()));

    const std::string tail =
        "[+FFF0]: F0 F1 F2 F3 F4 F5 F6 F7  F8 F9 FA FB FC FD FE FF  ................\n"
        "[+10000]: 00 01 02 03 04 05 06 07  08 09 0A 0B 0C 0D 0E 0F  ................\n";
    ASSERT_GE(out_.size(), tail.size());
    EXPECT_EQ(tail, out_.substr(out_.size() - tail.size()));
    EXPECT_EQ(0u, out_.find("big: 65552 bytes \n[+0000]: 00 01"));
    EXPECT_EQ(1 + 0x1001, std::count(out_.begin(), out_.end(), '\n'));
}

TEST_F(HexDump, ZeroBytesPrintTheTitleLineOnly) {
    const unsigned char bytes[] = {1, 2, 3};
    debug_dump("none", bytes, 0);
    EXPECT_EQ("none: 0 bytes \n", out_);
}

TEST_F(HexDump, NullTitlePrintsAsEmpty) {
    const unsigned char bytes[] = {0x41, 0x42, 0x43};
    debug_dump(nullptr, bytes, 3);
    EXPECT_EQ(
        ": 3 bytes \n"
        "[+0000]: 41 42 43                                          ABC\n",
        out_);
}

TEST_F(HexDump, NullBytesPrintTheTitleLineOnly) {
    debug_dump("lost", nullptr, 5);
    EXPECT_EQ("lost: 5 bytes \n", out_);
}

using MenuKeys = LibraryTest;

TEST_F(MenuKeys, ExactlyTheTwentyEightKeysAreValid) {
    const std::string valid = "0123456789abcdefghiklmnoprst";
    int count = 0;
    for (int key = 0; key < 256; ++key) {
        const int expected = key != 0 && valid.find(static_cast<char>(key)) != std::string::npos;
        EXPECT_EQ(expected, menu_select_valid(key)) << "key " << key;
        count += menu_select_valid(key);
    }
    EXPECT_EQ(28, count);
    for (int key : {int{'j'}, int{'q'}, int{'u'}, int{'z'}, int{'A'}, int{'T'}, 0, int{' '}})
        EXPECT_EQ(0, menu_select_valid(key));
}

TEST_F(MenuKeys, OnlyTheLowByteCounts) {
    EXPECT_EQ(1, menu_select_valid(0x130));
    EXPECT_EQ(0, menu_select_valid(0x100 + 'j'));
    EXPECT_EQ(1, menu_select_valid(-256 + 'a'));
    EXPECT_EQ(0, menu_select_valid(0x100));
    EXPECT_EQ("", out_);
}

}  // namespace
