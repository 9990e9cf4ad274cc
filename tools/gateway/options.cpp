#include "options.h"

#include "ssdtp2.h"

#include <CLI/CLI.hpp>
#include <cstdio>

namespace gateway {
namespace {

inline constexpr std::uint64_t kMaxPacketLimit = 1u << 30;  // the library sends up to 2^31 - 1
inline constexpr std::uint64_t kMinQueueBytes = 1u << 10;
inline constexpr unsigned kMaxSpinUs = 10000;

std::optional<std::array<unsigned char, 6>> parse_mac(const std::string &text) {
    std::array<unsigned char, 6> mac{};
    unsigned b[6];
    char end = 0;
    if (std::sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &b[0], &b[1], &b[2], &b[3], &b[4],
                    &b[5], &end) != 6)
        return std::nullopt;
    for (int i = 0; i < 6; ++i) mac[i] = static_cast<unsigned char>(b[i]);
    return mac;
}

}  // namespace

std::variant<Options, int> parse_options(int argc, char **argv) {
    Options o;
    CLI::App app{
        "spweth-gateway: serves a SpaceWire-Ethernet bridge to one TCP client at a time, in "
        "the SSDTP2 framing"};
    std::string bridge = "00:01:02:03:04:05", listen = "127.0.0.1:10030", crediting = "on", http;
    std::vector<std::string> allow;
    app.add_option("--iface", o.iface, "the adapter the bridge is wired to")->required();
    app.add_option("--bridge", bridge, "the bridge's MAC address")->capture_default_str();
    app.add_option("--listen", listen, "ADDR:PORT to listen on ([v6]:PORT for IPv6)")
        ->capture_default_str();
    app.add_option("--http", http,
                   "ADDR:PORT for the read-only web view (page, /api/status, /api/events); "
                   "off by default, same --allow rules as --listen");
    app.add_option("--allow", allow,
                   "CIDR range that may connect (IPv4 or IPv6; repeatable); needed to listen "
                   "beyond loopback");
    app.add_option("--max-packet", o.max_packet, "largest packet either way, in bytes")
        ->capture_default_str()
        ->check(CLI::Range(std::uint64_t{1}, kMaxPacketLimit));
    app.add_option("--queue-bytes", o.queue_bytes,
                   "bytes queued for a client that reads too slowly before it is disconnected")
        ->capture_default_str()
        ->check(CLI::Range(kMinQueueBytes, std::uint64_t{1} << 40));
    app.add_option("--crediting", crediting, "pace sending by the bridge's credits")
        ->capture_default_str()
        ->check(CLI::IsMember({"on", "off"}));
    app.add_option("--stats-s", o.stats_s, "seconds between counter lines in the log (0: none)")
        ->capture_default_str()
        ->check(CLI::Range(0u, 86400u));
    app.add_option("--send-timeout-ms", o.send_timeout_ms,
                   "longest wait to send one packet to the bridge (credits included)")
        ->capture_default_str()
        ->check(CLI::Range(1u, 600000u));
    app.add_option("--spin-us", o.spin_us,
                   "after a packet from the bridge, poll for the next frame this many "
                   "microseconds before sleeping (yielding the core to threads ready to run): "
                   "no wake-up delay for an answer that follows at once, at the cost of CPU "
                   "while packets flow (0: off)")
        ->capture_default_str()
        ->check(CLI::Range(0u, kMaxSpinUs));
    app.add_flag("-v,--verbose", o.verbose, "log every connection and refusal in detail");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        std::fprintf(stderr, "spweth-gateway: %s\n", e.what());
        return kExitUsage;
    }

    const auto usage = [](const std::string &message) {
        std::fprintf(stderr, "spweth-gateway: %s\n", message.c_str());
        return kExitUsage;
    };
    const auto mac = parse_mac(bridge);
    if (!mac) return usage("--bridge: not a MAC address: " + bridge);
    o.bridge = *mac;
    const auto endpoint = parse_listen(listen);
    if (!endpoint) return usage("--listen: not ADDR:PORT: " + listen);
    o.listen = *endpoint;
    if (!http.empty()) {
        const auto at = parse_listen(http);
        if (!at || http.find(':') == std::string::npos)
            return usage("--http: not ADDR:PORT: " + http);
        if (*at == o.listen) return usage("--http " + http + " is the --listen address");
        o.http = *at;
    }
    for (const std::string &text : allow) {
        const auto range = AddressRange::parse(text);
        if (!range) return usage("--allow: not an address range (CIDR): " + text);
        o.allow.push_back(*range);
    }
    for (const auto &at : {std::optional(o.listen), o.http})
        if (at && !is_loopback(at->address()) && o.allow.empty())
            return usage("listening on " + at->address().to_string() +
                         " needs at least one --allow CIDR; refusing to start");
    if (o.queue_bytes < o.max_packet + ssdtp2::kHeaderSize)
        return usage("--queue-bytes " + std::to_string(o.queue_bytes) +
                     " cannot hold a packet of --max-packet " + std::to_string(o.max_packet) +
                     " bytes and its header");
    o.crediting = crediting == "on";
    return o;
}

}  // namespace gateway
