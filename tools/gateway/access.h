// Who may connect, and where the gateway listens: address ranges (CIDR, IPv4
// and IPv6) and the listening endpoint, parsed from the command line's texts.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <asio/ip/address.hpp>
#include <asio/ip/tcp.hpp>

namespace gateway {

// One range: an address and the number of leading bits that must match.
class AddressRange {
public:
    // "10.1.0.0/16", "fd00::/8", or one address ("192.0.2.7", "::1"); nullopt
    // for anything else. Bits set beyond the prefix are ignored. An IPv4
    // address written as IPv6 (::ffff:a.b.c.d/N, N >= 96) is an IPv4 range.
    static std::optional<AddressRange> parse(const std::string &text);

    // True for an address inside the range; an IPv4 address that comes as
    // IPv6 (::ffff:a.b.c.d, from a dual-stack listener) counts as IPv4.
    bool contains(const asio::ip::address &address) const;
    std::string text() const;

private:
    bool v4_ = true;
    std::array<std::uint8_t, 16> bytes_{};
    unsigned prefix_ = 0;
};

class AllowList {
public:
    explicit AllowList(std::vector<AddressRange> ranges) : ranges_(std::move(ranges)) {}
    // An empty list allows everyone: it is used only on a loopback listener.
    bool allows(const asio::ip::address &address) const;
    bool empty() const { return ranges_.empty(); }

private:
    std::vector<AddressRange> ranges_;
};

// "ADDR:PORT", "[V6ADDR]:PORT", or "ADDR" (port 10030); nullopt when the
// text is none of these.
std::optional<asio::ip::tcp::endpoint> parse_listen(const std::string &text);

// 127.0.0.0/8 and ::1: listening there needs no --allow.
bool is_loopback(const asio::ip::address &address);

}  // namespace gateway
