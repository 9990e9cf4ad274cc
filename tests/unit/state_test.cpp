// Settings and getters of the library state.
#include <cstring>

#include "test_support.h"

namespace {

using test::LibraryTest;

using StateDefaults = LibraryTest;

TEST_F(StateDefaults, HoldAfterLoad) {
    const unsigned char bridge[6] = {0, 1, 2, 3, 4, 5};
    const unsigned char zero[6] = {};
    EXPECT_EQ(0, std::memcmp(get_current_dest_mac_address(), bridge, 6));
    EXPECT_EQ(0, std::memcmp(get_current_source_mac_address(), zero, 6));
    EXPECT_EQ(8, get_bridge_credits());
    EXPECT_EQ(1, get_wait_receive_status());
    EXPECT_EQ(0, get_packet_has_comm_byte());
    EXPECT_EQ(0, get_packet_has_recv_timer());
    EXPECT_EQ(-1, Get_Number_Chosen_Network_Device());
}

using CreditSettings = LibraryTest;

TEST_F(CreditSettings, LimitIsClampedButReturnedAsPassed) {
    EXPECT_EQ(0, set_send_credit_limit(0));
    EXPECT_EQ(1, spweth::library_state.send_credit_limit);
    EXPECT_EQ(32, set_send_credit_limit(32));
    EXPECT_EQ(32, spweth::library_state.send_credit_limit);
    EXPECT_EQ(100, set_send_credit_limit(100));
    EXPECT_EQ(32, spweth::library_state.send_credit_limit);
    EXPECT_EQ(31, set_send_credit_limit(31));
    EXPECT_EQ(31, spweth::library_state.send_credit_limit);
    EXPECT_EQ(-7, set_send_credit_limit(-7));
    EXPECT_EQ(1, spweth::library_state.send_credit_limit);
    EXPECT_EQ(0, spweth::library_state.send_crediting);
}

TEST_F(CreditSettings, OnOffSettingsAreNormalised) {
    EXPECT_EQ(0, set_send_crediting(-5));
    EXPECT_EQ(1, set_send_crediting(7));
    EXPECT_EQ(1, spweth::library_state.send_crediting);
    EXPECT_EQ(0, set_recv_skip_out_frames(0));
    EXPECT_EQ(1, set_recv_skip_out_frames(2));
    EXPECT_EQ(-3, set_send_credit_wait(-3));
    EXPECT_EQ(-3, spweth::library_state.send_credit_wait);
    EXPECT_EQ(5, set_wait_receive_active(5));
    EXPECT_EQ(5, get_wait_receive_status());
}

using AddressSetters = LibraryTest;

TEST_F(AddressSetters, PartialLengthChangesOnlyLeadingBytes) {
    const unsigned char mac[6] = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    EXPECT_EQ(0, set_dest_mac_address(mac, 3));
    const unsigned char expected[6] = {0xAA, 0xBB, 0xCC, 3, 4, 5};
    EXPECT_EQ(0, std::memcmp(get_current_dest_mac_adress(), expected, 6));
    EXPECT_EQ(0, set_source_mac_adress(mac, 6));
    EXPECT_EQ(0, std::memcmp(get_current_source_mac_address(), mac, 6));
}

TEST_F(AddressSetters, BadLengthOrNullChangesNothing) {
    const unsigned char mac[6] = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    const unsigned char zero[6] = {};
    for (int length : {0, -1, 7}) EXPECT_EQ(-1, set_source_mac_address(mac, length)) << length;
    EXPECT_EQ(-1, set_source_mac_address(nullptr, 3));
    EXPECT_EQ(-1, set_dest_mac_adress(nullptr, 6));
    EXPECT_EQ(0, std::memcmp(get_current_source_mac_address(), zero, 6));
    EXPECT_EQ(0x05, get_current_dest_mac_address()[5]);
}

TEST_F(AddressSetters, GetterPointsIntoTheLiveRecord) {
    unsigned char *source = get_current_source_mac_address();
    source[5] = 0x42;
    EXPECT_EQ(0x42, spweth::library_state.source_mac_address[5]);
}

}  // namespace
