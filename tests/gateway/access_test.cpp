// Who may connect and where the gateway listens, from the command line's texts.
#include "access.h"

#include <gtest/gtest.h>

namespace {

using gateway::AddressRange;

bool in(const char *range, const char *address) {
    const auto r = AddressRange::parse(range);
    EXPECT_TRUE(r) << range;
    return r && r->contains(asio::ip::make_address(address));
}

TEST(AllowedRanges, ContainAddressesByTheirPrefixOnly) {
    EXPECT_TRUE(in("10.1.0.0/16", "10.1.255.3"));
    EXPECT_FALSE(in("10.1.0.0/16", "10.2.0.0"));
    EXPECT_TRUE(in("10.8.0.0/13", "10.15.255.255"));  // a prefix inside a byte
    EXPECT_FALSE(in("10.8.0.0/13", "10.16.0.0"));
    EXPECT_FALSE(in("10.8.0.0/13", "10.7.255.255"));
    EXPECT_TRUE(in("192.0.2.7", "192.0.2.7"));  // no prefix: the one address
    EXPECT_FALSE(in("192.0.2.7", "192.0.2.6"));
    EXPECT_TRUE(in("0.0.0.0/0", "203.0.113.9"));
    EXPECT_FALSE(in("0.0.0.0/0", "::1"));  // an IPv4 range holds no IPv6 address
    EXPECT_TRUE(in("fd00::/8", "fd12:3456::1"));
    EXPECT_FALSE(in("fd00::/8", "fe80::1"));
    EXPECT_TRUE(in("2001:db8::/127", "2001:db8::1"));
    EXPECT_FALSE(in("2001:db8::/127", "2001:db8::2"));
    EXPECT_FALSE(in("::/0", "127.0.0.1"));
    // A dual-stack listener sees IPv4 clients as ::ffff:a.b.c.d.
    EXPECT_TRUE(in("192.0.2.0/24", "::ffff:192.0.2.200"));
    EXPECT_TRUE(in("::ffff:192.0.2.0/120", "192.0.2.1"));
}

TEST(AllowedRanges, RefuseTextsThatAreNoRange) {
    for (const char *bad :
         {"", "abc", "10.0.0.0/", "10.0.0.0/33", "::/129", "10.0.0.0/-1", "10.0.0.0/8x", "10.0.0/8",
          "300.1.1.1/8", "10.0.0.0//8", "::ffff:10.0.0.0/95"})
        EXPECT_FALSE(AddressRange::parse(bad)) << bad;
}

TEST(AllowedRanges, AnEmptyListAllowsEveryoneAndAListOnlyItsRanges) {
    EXPECT_TRUE(gateway::AllowList({}).allows(asio::ip::make_address("198.51.100.1")));
    const gateway::AllowList list(
        {*AddressRange::parse("127.0.0.1/32"), *AddressRange::parse("fd00::/8")});
    EXPECT_TRUE(list.allows(asio::ip::make_address("127.0.0.1")));
    EXPECT_TRUE(list.allows(asio::ip::make_address("fd00::5")));
    EXPECT_FALSE(list.allows(asio::ip::make_address("127.0.0.2")));
}

TEST(ListenEndpoint, AddressAndPortInEachForm) {
    struct Case {
        const char *text;
        const char *address;
        unsigned port;
    };
    for (const Case &c :
         {Case{"127.0.0.1:10030", "127.0.0.1", 10030}, Case{"0.0.0.0", "0.0.0.0", 10030},
          Case{"[::1]:8080", "::1", 8080}, Case{"[::]", "::", 10030}, Case{"::1", "::1", 10030},
          Case{"192.0.2.1:0", "192.0.2.1", 0}}) {
        const auto endpoint = gateway::parse_listen(c.text);
        ASSERT_TRUE(endpoint) << c.text;
        EXPECT_EQ(endpoint->address(), asio::ip::make_address(c.address)) << c.text;
        EXPECT_EQ(endpoint->port(), c.port) << c.text;
    }
    for (const char *bad :
         {"", "host:80", "1.2.3.4:65536", "1.2.3.4:", "[::1", "[::1]80", "[::1]:x", "1.2.3.4:80:1"})
        EXPECT_FALSE(gateway::parse_listen(bad)) << bad;
}

TEST(ListenEndpoint, OnlyLoopbackNeedsNoAllowedRange) {
    for (const char *address : {"127.0.0.1", "127.8.9.10", "::1", "::ffff:127.0.0.1"})
        EXPECT_TRUE(gateway::is_loopback(asio::ip::make_address(address))) << address;
    for (const char *address : {"0.0.0.0", "::", "192.0.2.1", "fe80::1"})
        EXPECT_FALSE(gateway::is_loopback(asio::ip::make_address(address))) << address;
}

}  // namespace
