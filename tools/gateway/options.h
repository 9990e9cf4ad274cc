// The gateway's command line: every option in one place, checked, with its
// default. The rest of the program receives these values only.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "access.h"

namespace gateway {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

struct Options {
    std::string iface;
    std::array<unsigned char, 6> bridge{0x00, 0x01, 0x02, 0x03, 0x04, 0x05};
    asio::ip::tcp::endpoint listen{asio::ip::make_address("127.0.0.1"), 10030};
    std::optional<asio::ip::tcp::endpoint> http;  // the web view; off without --http
    std::vector<AddressRange> allow;
    std::uint64_t max_packet = 16u << 20;
    std::uint64_t queue_bytes = 64u << 20;
    bool crediting = true;
    unsigned stats_s = 60;            // 0: only on SIGUSR1 and at the end
    unsigned send_timeout_ms = 2000;  // a packet's sending to the bridge, credit waits included
    unsigned spin_us = 0;  // after a packet from the bridge, poll this long before sleeping
    bool verbose = false;
};

// The options, or the exit status when the program is to stop at once (--help: 0; a
// usage error: 2, its message printed on standard error).
std::variant<Options, int> parse_options(int argc, char **argv);

}  // namespace gateway
