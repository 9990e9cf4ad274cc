#include "options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace bridge_emu {

namespace {

enum OptionId : int {
    kIface = 1000,
    kMac,
    kHostMac,
    kCredits,
    kStatusMs,
    kStrictNumbers,
    kDropEvery,
    kDupEvery,
    kWithholdCredits,
    kFlags,
    kBadEtherTypeEvery,
    kRuntEvery,
    kSpinUs,
    kRmapTarget,
    kRmapLatencyUs,
    kRmapDropEvery,
    kRmapBadCrcEvery,
};

constexpr option kLongOptions[] = {
    {"iface", required_argument, nullptr, kIface},
    {"mac", required_argument, nullptr, kMac},
    {"host-mac", required_argument, nullptr, kHostMac},
    {"credits", required_argument, nullptr, kCredits},
    {"status-ms", required_argument, nullptr, kStatusMs},
    {"strict-numbers", no_argument, nullptr, kStrictNumbers},
    {"spin-us", required_argument, nullptr, kSpinUs},
    {"drop-every", required_argument, nullptr, kDropEvery},
    {"dup-every", required_argument, nullptr, kDupEvery},
    {"withhold-credits", no_argument, nullptr, kWithholdCredits},
    {"flags", required_argument, nullptr, kFlags},
    {"bad-ethertype-every", required_argument, nullptr, kBadEtherTypeEvery},
    {"runt-every", required_argument, nullptr, kRuntEvery},
    {"rmap-target", required_argument, nullptr, kRmapTarget},
    {"rmap-latency-us", required_argument, nullptr, kRmapLatencyUs},
    {"rmap-drop-every", required_argument, nullptr, kRmapDropEvery},
    {"rmap-bad-crc-every", required_argument, nullptr, kRmapBadCrcEvery},
    {"verbose", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

// A whole unsigned number (decimal, or 0x hex) within [low, high].
bool parse_number(const char *name, const char *text, unsigned long low, unsigned long high,
                  unsigned &out) {
    char *end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || value < low ||
        value > high) {
        std::fprintf(stderr, "--%s: expected a number from %lu to %lu, got '%s'\n", name, low, high,
                     text);
        return false;
    }
    out = static_cast<unsigned>(value);
    return true;
}

bool parse_mac(const char *name, const char *text, wire::Mac &out) {
    const auto mac = wire::Mac::parse(text);
    if (!mac) {
        std::fprintf(stderr, "--%s: expected an address like 00:01:02:03:04:05, got '%s'\n", name,
                     text);
        return false;
    }
    out = *mac;
    return true;
}

constexpr unsigned long kMaxEvery = 1000000000UL;
constexpr unsigned long kMaxRmapMemory = 1UL << 24;  // what a data length field can reach
constexpr unsigned long kMaxRmapLatencyUs = 10000000UL;
constexpr unsigned kDefaultRmapKey = 0x20;
constexpr unsigned kDefaultRmapMemory = 65536;

// "LA,KEY,BYTES": the target's logical address, key and memory size. KEY
// and BYTES may be left out from the end: the key is then 0x20, the key that
// spweth-demo and the Python package take by default, and the memory 64 KiB.
bool parse_rmap_target(const char *text, RmapTargetSettings &out) {
    std::vector<std::string> fields;
    for (std::string rest = text;;) {
        const auto comma = rest.find(',');
        fields.push_back(rest.substr(0, comma));
        if (comma == std::string::npos) break;
        rest.erase(0, comma + 1);
    }
    if (fields.size() > 3 || fields[0].empty()) {
        std::fprintf(stderr,
                     "--rmap-target: expected LA[,KEY[,BYTES]] such as 0xFE,0x20,65536, got '%s'\n",
                     text);
        return false;
    }
    unsigned logical_address = 0, key = kDefaultRmapKey, bytes = kDefaultRmapMemory;
    if (!parse_number("rmap-target", fields[0].c_str(), 0, 0xFF, logical_address) ||
        (fields.size() > 1 && !parse_number("rmap-target", fields[1].c_str(), 0, 0xFF, key)) ||
        (fields.size() > 2 &&
         !parse_number("rmap-target", fields[2].c_str(), 1, kMaxRmapMemory, bytes)))
        return false;
    out.logical_address = static_cast<std::uint8_t>(logical_address);
    out.key = static_cast<std::uint8_t>(key);
    out.memory_size = bytes;
    return true;
}

}  // namespace

void print_usage(const char *program) {
    std::printf(
        "Usage: %s --iface NAME [options]\n"
        "A software SpaceWire-Ethernet bridge: SpW1 and SpW2 joined by a loopback cable.\n"
        "Packets and control codes from the host go out on SpW1 and come back from SpW2.\n"
        "\n"
        "  --iface NAME              network adapter to serve (required)\n"
        "  --mac ADDR                the bridge's own address (default 00:01:02:03:04:05)\n"
        "  --host-mac ADDR           fixed host address (default: learnt from host frames)\n"
        "  --credits N               receive buffers, 1..255 (default 32)\n"
        "  --status-ms N             status frame period in ms, 0 = off (default 1000);\n"
        "                            a configuration frame's stat_freq sets it to\n"
        "                            stat_freq x 100 ms (0 = off)\n"
        "  --strict-numbers          report a frame number 0 as a jump too (default: 0 after\n"
        "                            any value is the host starting its numbering again)\n"
        "  --spin-us N               after a frame, keep polling the capture for N us\n"
        "                            (up to 100000) before sleeping in poll(): no wake-up\n"
        "                            delay while frames keep coming; yields the core to\n"
        "                            threads ready to run meanwhile (default 0)\n"
        "  --rmap-target LA[,KEY[,BYTES]]  an RMAP target with that logical address, key\n"
        "                            (default 0x20) and zeroed memory at address 0 (default\n"
        "                            65536 bytes), e.g. 0xFE,0x20,65536;\n"
        "                            other packets loop back as before\n"
        "  --rmap-latency-us N       the RMAP target answers each command N us after it\n"
        "                            arrived, up to 10000000 (default 0: at once); the\n"
        "                            commands wait side by side and the replies leave in\n"
        "                            the order the commands came\n"
        "  -v, --verbose             one line per event on standard output\n"
        "  -h, --help                this text\n"
        "\n"
        "Fault injection:\n"
        "  --drop-every N            drop every Nth data frame sent to the host\n"
        "  --dup-every N             send every Nth data frame to the host twice\n"
        "  --withhold-credits        never give receive buffers back: credits fall to 0,\n"
        "                            then data frames are dropped\n"
        "  --flags BITS              set 0x40 and/or 0x80 on the type byte of the data and\n"
        "                            control-code frames sent to the host\n"
        "  --bad-ethertype-every N   after every Nth data frame, a junk frame of EtherType 0x88B5\n"
        "  --runt-every N            after every Nth data frame, a junk frame shorter than the\n"
        "                            payload length its header announces\n"
        "  --rmap-drop-every N       the RMAP target sends no reply to every Nth command\n"
        "                            that asks for one\n"
        "  --rmap-bad-crc-every N    the RMAP target inverts the data CRC of every Nth\n"
        "                            reply that carries data\n"
        "\n"
        "SIGINT or SIGTERM stops the bridge and prints its counters.\n",
        program);
}

ParseResult parse_options(int argc, char **argv, Options &options) {
    optind = 1;
    int id;
    while ((id = getopt_long(argc, argv, "vh", kLongOptions, nullptr)) != -1) {
        bool ok = true;
        unsigned value = 0;
        switch (id) {
            case kIface:
                options.iface = optarg;
                break;
            case kMac:
                ok = parse_mac("mac", optarg, options.own_mac);
                break;
            case kHostMac: {
                wire::Mac mac;
                ok = parse_mac("host-mac", optarg, mac);
                options.host_mac = mac;
                break;
            }
            case kCredits:
                ok = parse_number("credits", optarg, 1, 255, options.credits);
                break;
            case kStatusMs:
                ok = parse_number("status-ms", optarg, 0, 3600000, options.status_ms);
                break;
            case kStrictNumbers:
                options.strict_numbers = true;
                break;
            case kSpinUs:
                ok = parse_number("spin-us", optarg, 0, 100000, options.spin_us);
                break;
            case kDropEvery:
                ok = parse_number("drop-every", optarg, 1, kMaxEvery, options.drop_every);
                break;
            case kDupEvery:
                ok = parse_number("dup-every", optarg, 1, kMaxEvery, options.dup_every);
                break;
            case kWithholdCredits:
                options.withhold_credits = true;
                break;
            case kFlags:
                ok = parse_number("flags", optarg, 0, 0xFF, value);
                if (ok && (value & ~0xC0U) != 0) {
                    std::fprintf(stderr, "--flags: only the bits 0x40 and 0x80 may be set\n");
                    ok = false;
                }
                options.flags = static_cast<std::uint8_t>(value);
                break;
            case kBadEtherTypeEvery:
                ok = parse_number("bad-ethertype-every", optarg, 1, kMaxEvery,
                                  options.bad_ether_type_every);
                break;
            case kRuntEvery:
                ok = parse_number("runt-every", optarg, 1, kMaxEvery, options.runt_every);
                break;
            case kRmapTarget:
                ok = parse_rmap_target(optarg, options.rmap);
                break;
            case kRmapLatencyUs:
                ok = parse_number("rmap-latency-us", optarg, 0, kMaxRmapLatencyUs,
                                  options.rmap.latency_us);
                break;
            case kRmapDropEvery:
                ok = parse_number("rmap-drop-every", optarg, 1, kMaxEvery,
                                  options.rmap.drop_reply_every);
                break;
            case kRmapBadCrcEvery:
                ok = parse_number("rmap-bad-crc-every", optarg, 1, kMaxEvery,
                                  options.rmap.bad_crc_every);
                break;
            case 'v':
                options.verbose = true;
                break;
            case 'h':
                return ParseResult::help;
            default:
                return ParseResult::error;  // getopt has said why
        }
        if (!ok) return ParseResult::error;
    }
    if (optind < argc) {
        std::fprintf(stderr, "unexpected argument '%s'\n", argv[optind]);
        return ParseResult::error;
    }
    if (options.iface.empty()) {
        std::fprintf(stderr, "--iface NAME is required\n");
        return ParseResult::error;
    }
    return ParseResult::run;
}

}  // namespace bridge_emu
