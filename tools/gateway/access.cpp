#include "access.h"

#include <charconv>

namespace gateway {
namespace {

inline constexpr std::uint16_t kDefaultPort = 10030;

// An IPv4 address carried as IPv6 (::ffff:a.b.c.d) is IPv4.
asio::ip::address unmapped(const asio::ip::address &address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    return address;
}

std::optional<asio::ip::address> parse_address(const std::string &text) {
    asio::error_code error;
    const asio::ip::address address = asio::ip::make_address(text, error);
    if (error) return std::nullopt;
    return address;
}

std::optional<unsigned> parse_number(const std::string &text, unsigned max) {
    unsigned value = 0;
    const char *end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || at != end || value > max) return std::nullopt;
    return value;
}

}  // namespace

std::optional<AddressRange> AddressRange::parse(const std::string &text) {
    const auto slash = text.find('/');
    const auto address = parse_address(text.substr(0, slash));
    if (!address) return std::nullopt;
    const asio::ip::address plain = unmapped(*address);
    // ::ffff:a.b.c.d/N is the IPv4 range a.b.c.d/(N - 96).
    const unsigned mapped_bits = plain != *address ? 96 : 0;
    AddressRange range;
    range.v4_ = plain.is_v4();
    const unsigned bits = range.v4_ ? 32 : 128;
    if (range.v4_) {
        const auto b = plain.to_v4().to_bytes();
        std::copy(b.begin(), b.end(), range.bytes_.begin());
    } else {
        range.bytes_ = plain.to_v6().to_bytes();
    }
    range.prefix_ = bits;
    if (slash != std::string::npos) {
        const auto prefix = parse_number(text.substr(slash + 1), bits + mapped_bits);
        if (!prefix || *prefix < mapped_bits) return std::nullopt;
        range.prefix_ = *prefix - mapped_bits;
    }
    return range;
}

bool AddressRange::contains(const asio::ip::address &address) const {
    const asio::ip::address plain = unmapped(address);
    if (plain.is_v4() != v4_) return false;
    std::array<std::uint8_t, 16> bytes{};
    if (v4_) {
        const auto b = plain.to_v4().to_bytes();
        std::copy(b.begin(), b.end(), bytes.begin());
    } else {
        bytes = plain.to_v6().to_bytes();
    }
    unsigned left = prefix_;
    for (std::size_t i = 0; left > 0; ++i) {
        const unsigned take = left < 8 ? left : 8;
        const auto mask = static_cast<std::uint8_t>(0xFF00u >> take);
        if ((bytes[i] & mask) != (bytes_[i] & mask)) return false;
        left -= take;
    }
    return true;
}

std::string AddressRange::text() const {
    std::string address;
    if (v4_) {
        asio::ip::address_v4::bytes_type b{};
        std::copy_n(bytes_.begin(), b.size(), b.begin());
        address = asio::ip::address_v4(b).to_string();
    } else {
        address = asio::ip::address_v6(bytes_).to_string();
    }
    return address + "/" + std::to_string(prefix_);
}

bool AllowList::allows(const asio::ip::address &address) const {
    if (ranges_.empty()) return true;
    for (const AddressRange &range : ranges_)
        if (range.contains(address)) return true;
    return false;
}

std::optional<asio::ip::tcp::endpoint> parse_listen(const std::string &text) {
    std::string host = text;
    std::optional<unsigned> port = kDefaultPort;
    if (!text.empty() && text.front() == '[') {  // [v6]:port or [v6]
        const auto close = text.find(']');
        if (close == std::string::npos) return std::nullopt;
        host = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') return std::nullopt;
            port = parse_number(rest.substr(1), 65535);
        }
    } else if (const auto colon = text.rfind(':');
               colon != std::string::npos && text.find(':') == colon) {  // v4:port
        host = text.substr(0, colon);
        port = parse_number(text.substr(colon + 1), 65535);
    }
    const auto address = parse_address(host);
    if (!address || !port) return std::nullopt;
    return asio::ip::tcp::endpoint(*address, static_cast<std::uint16_t>(*port));
}

bool is_loopback(const asio::ip::address &address) { return unmapped(address).is_loopback(); }

}  // namespace gateway
