// The demo's command line on CLI11: each option once, with its type, range,
// unit and help. A value is checked and converted here, before any adapter
// is opened; the commands see only the Invocation.
#include "cli.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <initializer_list>
#include <limits>
#include <map>
#include <string_view>
#include <utility>

namespace demo {
namespace {

constexpr long long kIntMax = std::numeric_limits<int>::max();

// A usage error found after CLI11's own checks, reported the same way.
struct UsageError : CLI::ValidationError {
    explicit UsageError(const std::string &message) : CLI::ValidationError(message) {}
};

// A number as text: "123" or "0x7B", or "-5" (so that a negative number is
// named as out of range). Digits beyond 63 bits are out of range as well.
struct Integer {
    enum { number, too_large, not_number } kind = not_number;
    long long value = 0;
};

Integer parse_integer(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return {};
    constexpr auto kLimit = static_cast<unsigned long long>(std::numeric_limits<long long>::max());
    unsigned long long value = 0;
    bool too_large = false;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        unsigned digit;
        if (std::isdigit(u))
            digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && std::isxdigit(u))
            digit = static_cast<unsigned>(std::tolower(u) - 'a' + 10);
        else
            return {};
        if (value > (kLimit - digit) / base) too_large = true;
        if (!too_large) value = value * base + digit;
    }
    if (too_large) return {Integer::too_large, negative ? -1 : 1};
    return {Integer::number,
            negative ? -static_cast<long long>(value) : static_cast<long long>(value)};
}

std::string range_text(long long low, long long high, bool hex) {
    char text[64];
    if (hex)
        std::snprintf(text, sizeof text, low == 0 ? "%llX..0x%llX" : "0x%llX..0x%llX", low, high);
    else
        std::snprintf(text, sizeof text, "%lld..%lld", low, high);
    return text;
}

// A number within low..high, in decimal or 0x hexadecimal; passed on in
// decimal, so that CLI11's own conversion cannot read it another way.
CLI::Validator number_in(long long low, long long high, const std::string &unit, bool hex = false) {
    const std::string range = range_text(low, high, hex);
    return CLI::Validator(
        [=](std::string &text) -> std::string {
            const Integer n = parse_integer(text);
            if (n.kind == Integer::not_number)
                return "'" + text + "' is not a number (decimal, or hexadecimal as 0x1F)";
            if (n.kind == Integer::too_large || n.value < low || n.value > high)
                return text + " is out of range " + range + " (" + unit + ")";
            text = std::to_string(n.value);
            return {};
        },
        range + " " + unit);
}

// One of a few numbers, such as the link rates.
CLI::Validator one_of(std::initializer_list<long long> allowed, const std::string &unit) {
    std::string list;
    for (const long long value : allowed)
        list += (list.empty() ? "" : ", ") + std::to_string(value);
    const std::vector<long long> values(allowed);
    return CLI::Validator(
        [=](std::string &text) -> std::string {
            const Integer n = parse_integer(text);
            if (n.kind != Integer::number ||
                std::find(values.begin(), values.end(), n.value) == values.end())
                return "'" + text + "' is not one of " + list + " (" + unit + ")";
            text = std::to_string(n.value);
            return {};
        },
        "{" + list + "} " + unit);
}

const CLI::Validator kMac(
    [](std::string &text) -> std::string {
        return parse_mac(text) ? std::string{}
                               : "'" + text + "' is not an address such as 00:01:02:03:04:05";
    },
    "ADDRESS");

const CLI::Validator kHexBytes(
    [](std::string &text) -> std::string {
        return parse_hex(text) ? std::string{}
                               : "'" + text +
                                     "' is not bytes in hexadecimal such as \"01 02 0a\" "
                                     "(an even number of digits)";
    },
    "BYTES");

// "3,17,4": path address bytes 0..255, at most 12.
std::optional<Bytes> parse_path(const std::string &text) {
    Bytes bytes;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        const Integer n = parse_integer(std::string_view(text).substr(at, comma - at));
        if (n.kind != Integer::number || n.value < 0 || n.value > 0xFF || bytes.size() == 12)
            return std::nullopt;
        bytes.push_back(static_cast<unsigned char>(n.value));
        at = comma + 1;
    }
    if (!text.empty() && text.back() == ',') return std::nullopt;
    return bytes;
}

const CLI::Validator kPath(
    [](std::string &text) -> std::string {
        return parse_path(text)
                   ? std::string{}
                   : "'" + text + "' is not up to 12 address bytes 0..255 such as 3,17";
    },
    "A,B,...");

// "1,40,1495": loopback sizes.
std::optional<std::vector<long>> parse_sizes(const std::string &text) {
    std::vector<long> sizes;
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        const Integer n = parse_integer(std::string_view(text).substr(at, comma - at));
        if (n.kind != Integer::number || n.value < 0 || n.value > kLargestReceivedPacket)
            return std::nullopt;
        sizes.push_back(static_cast<long>(n.value));
        at = comma + 1;
    }
    return sizes;
}

const CLI::Validator kSizes(
    [](std::string &text) -> std::string {
        return parse_sizes(text) ? std::string{}
                                 : "'" + text + "' is not a list of sizes 0..1048576 (bytes) " +
                                       "such as 1,40,1495";
    },
    "A,B,...");

// The usage line of each command, given with its usage errors.
const std::map<std::string, std::string> kUsage{
    {"",
     "spweth-demo COMMAND [options]; commands: info list menu send recv codes config "
     "status loopback rmap monitor help"},
    {"info", "spweth-demo info"},
    {"list", "spweth-demo list [--json]"},
    {"menu", "spweth-demo menu"},
    {"help", "spweth-demo help"},
    {"send",
     "spweth-demo send --iface NAME (--hex BYTES | --file PATH | --random N) [--seed S] "
     "[--eep] [--channel C]"},
    {"recv", "spweth-demo recv --iface NAME [--count N] [--timeout-ms T] [--json]"},
    {"codes",
     "spweth-demo codes --iface NAME [--kind time|int|ack|cc01|cc11|raw] "
     "[--five-bit 0|1] VALUE..."},
    {"config",
     "spweth-demo config --iface NAME SETTING [VALUES]; settings: speed MBIT, "
     "switch DATA CCODE, status-freq N, receive-timer N, filter N, data-filter VALUE "
     "MASK, bridge-mac MAC, host-mac MAC, auto-bridge-mac, auto-host-mac, reset, "
     "hw-reset"},
    {"status", "spweth-demo status --iface NAME [--timeout-ms T] [--json]"},
    {"loopback",
     "spweth-demo loopback --iface NAME [--count N] [--sizes A,B,... | --min A "
     "--max B] [--seed S] [--no-credits] [--credit-limit L] [--credit-wait W] "
     "[--timeout-ms T] [--quiet] [--json]"},
    {"rmap",
     "spweth-demo rmap read|write|rmw --iface NAME --address A [--extended E] "
     "[--length N] [--hex BYTES] [--mask BYTES] [--logical-address LA] [--key K] "
     "[--initiator LA] [--target-path P] [--reply-path P] [--no-increment] [--verify] "
     "[--no-reply] [--timeout-ms T] [--json]"},
    {"monitor", "spweth-demo monitor --iface NAME [--interval-ms T] [--json]"},
};

// Options of every command that opens an adapter.
struct SocketText {
    std::string bridge;
    std::string host;
};

void add_socket_options(CLI::App *command, SocketOptions &socket) {
    auto *iface = command->add_option("--iface", socket.iface, "the adapter, by name (see list)")
                      ->type_name("NAME");
    auto *number = command
                       ->add_option_function<int>(
                           "--num", [&socket](const int &n) { socket.number = n; },
                           "the adapter, by its number in list")
                       ->transform(number_in(0, 9999, "adapter number"))
                       ->type_name("N");
    iface->excludes(number);
    command
        ->add_option_function<std::string>(
            "--bridge", [&socket](const std::string &text) { socket.bridge = parse_mac(text); },
            "the bridge's address (default 00:01:02:03:04:05); packets are received from it")
        ->transform(kMac);
    command
        ->add_option_function<std::string>(
            "--host", [&socket](const std::string &text) { socket.host = parse_mac(text); },
            "the source address of the host's frames (default 00:00:00:00:00:00)")
        ->transform(kMac);
    command->add_flag("--spin", socket.spin,
                      "poll without pause while waiting, instead of sleeping in the kernel");
}

void add_json(CLI::App *command, bool &json) {
    command->add_flag("--json", json, "print the results as JSON, one object per line");
}

std::string first_line(std::string text) {
    const std::size_t end = text.find('\n');
    if (end != std::string::npos) text.resize(end);
    return text;
}

// The limits of each control-code kind's values.
long long code_limit(const std::string &kind, int five_bit) {
    if (kind == "time") return 63;
    if (kind == "int" || kind == "ack") return five_bit ? 31 : 63;
    if (kind == "cc01" || kind == "cc11") return 31;
    return 255;  // raw
}

}  // namespace

std::optional<mac_address> parse_mac(const std::string &text) {
    mac_address mac{};
    std::size_t at = 0;
    for (int i = 0; i < 6; ++i) {
        std::size_t digits = 0;
        unsigned value = 0;
        while (at < text.size() && digits < 3 &&
               std::isxdigit(static_cast<unsigned char>(text[at]))) {
            const auto u = static_cast<unsigned char>(text[at]);
            value = value * 16 +
                    static_cast<unsigned>(std::isdigit(u) ? u - '0' : std::tolower(u) - 'a' + 10);
            ++digits;
            ++at;
        }
        if (digits == 0 || digits > 2) return std::nullopt;
        mac.bytes[i] = static_cast<unsigned char>(value);
        if (i < 5) {
            if (at >= text.size() || (text[at] != ':' && text[at] != '-')) return std::nullopt;
            ++at;
        }
    }
    if (at != text.size()) return std::nullopt;
    return mac;
}

std::optional<Bytes> parse_hex(const std::string &text) {
    Bytes bytes;
    std::string digits;
    for (const char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits += c;
        else if (c != ' ' && c != ':' && c != ',' && c != '-')
            return std::nullopt;
    if (digits.size() % 2 != 0) return std::nullopt;
    for (std::size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::optional<long long> parse_number(const std::string &text) {
    const Integer n = parse_integer(text);
    if (n.kind != Integer::number) return std::nullopt;
    return n.value;
}

Parsed parse_command_line(int argc, char **argv) {
    Invocation inv;
    CLI::App app{
        "The demonstration program of the spweth library: packets, control codes, "
        "configuration and status through a SpaceWire-Ethernet bridge.",
        "spweth-demo"};
    app.require_subcommand(0, 1);
    app.set_help_flag("-h,--help", "print this help (COMMAND --help: the command's options)");

    std::map<CLI::App *, Command> commands;
    auto command = [&](const char *name, Command which, const char *description) {
        CLI::App *sub = app.add_subcommand(name, description);
        commands[sub] = which;
        return sub;
    };
    const std::string timeout_unit = "ms";

    command("info", Command::info, "print the library's and the demo's versions");
    add_json(command("list", Command::list, "list the host's adapters"), inv.json);
    command("menu", Command::menu, "an interactive console menu");
    command("help", Command::help, "print this help");

    // send
    CLI::App *send = command("send", Command::send, "send one packet");
    add_socket_options(send, inv.socket);
    auto *hex = send->add_option_function<std::string>(
                        "--hex", [&](const std::string &text) { inv.send.hex = parse_hex(text); },
                        "the packet's bytes in hexadecimal, such as \"01 02 0a\"")
                    ->transform(kHexBytes);
    auto *file = send->add_option("--file", inv.send.file, "send the contents of this file")
                     ->check(CLI::ExistingFile)
                     ->type_name("PATH");
    auto *random = send->add_option("--random", inv.send.random,
                                    "send N random bytes made from --seed (default 16)")
                       ->transform(number_in(0, 1 << 24, "bytes"))
                       ->type_name("N");
    hex->excludes(file)->excludes(random);
    file->excludes(random);
    send->add_option("--seed", inv.send.seed, "seed of --random (default 1)")
        ->transform(number_in(0, 0xFFFFFFFF, "seed", true));
    send->add_flag("--eep", inv.send.eep, "end the packet with EEP instead of EOP");
    send->add_option_function<int>(
            "--channel", [&](const int &c) { inv.send.channel = c; },
            "put this byte (a SpaceWire address) before the data")
        ->transform(number_in(0, 255, "address byte"));

    // recv
    CLI::App *recv = command("recv", Command::recv, "receive packets from the bridge");
    add_socket_options(recv, inv.socket);
    add_json(recv, inv.json);
    recv->add_option("--count", inv.recv.count, "packets to receive (default 1)")
        ->transform(number_in(1, kIntMax, "packets"));
    recv->add_option("--timeout-ms", inv.recv.timeout_ms,
                     "wait at most T ms for each packet (default 5000; 0: no time-out, until "
                     "Ctrl-C)")
        ->transform(number_in(0, kIntMax, timeout_unit));

    // codes
    CLI::App *codes = command("codes", Command::codes, "send control codes in one frame");
    add_socket_options(codes, inv.socket);
    codes->add_option("--kind", inv.codes.kind, "time (default), int, ack, cc01, cc11 or raw")
        ->check(CLI::IsMember({"time", "int", "ack", "cc01", "cc11", "raw"}));
    codes
        ->add_option("--five-bit", inv.codes.five_bit,
                     "1: the five-bit form of interrupt and acknowledge codes (default 0)")
        ->transform(number_in(0, 1, "flag"));
    std::vector<long long> code_values;
    codes->add_option("VALUE", code_values, "the codes' values")
        ->transform(number_in(0, 255, "code value"))
        ->type_name("VALUE")
        ->required();

    // config and its settings
    CLI::App *config = command("config", Command::config, "send one configuration to the bridge");
    add_socket_options(config, inv.socket);
    config->require_subcommand(1, 1);
    std::vector<long long> setting_values;
    std::string setting_mac;
    auto setting = [&](const char *name, const char *description) {
        CLI::App *sub = config->add_subcommand(name, description);
        sub->fallthrough();
        return sub;
    };
    auto values = [&](CLI::App *sub, const char *name, std::size_t count,
                      const CLI::Validator &check, const char *description) {
        sub->add_option(name, setting_values, description)
            ->transform(check)
            ->expected(static_cast<int>(count))
            ->required();
    };
    values(setting("speed", "the link rate"), "MBIT", 1,
           one_of({10, 50, 100, 200, 300, 400, 500}, "Mbit/s"), "MBIT");
    {
        CLI::App *sw = setting("switch", "the switching modes for data and control codes");
        sw->add_option("DATA", setting_values, "data mode 0..8")
            ->transform(number_in(0, 8, "data mode"))
            ->required();
        sw->add_option("CCODE", setting_values, "control-code mode 0..3, 5..8")
            ->transform(one_of({0, 1, 2, 3, 5, 6, 7, 8}, "control-code mode"))
            ->required();
    }
    values(setting("status-freq", "a status frame every N x 100 ms; 0 stops them"), "N", 1,
           number_in(0, 255, "x 100 ms"), "N");
    values(setting("receive-timer", "the bridge's receive timer"), "N", 1,
           number_in(0, 255, "timer value"), "N");
    values(setting("filter", "the bridge's filter"), "N", 1, number_in(0, 255, "filter byte"), "N");
    values(setting("data-filter", "the bridge's data filter"), "VALUE MASK", 2,
           number_in(0, 255, "byte"), "VALUE MASK");
    for (const char *name : {"bridge-mac", "host-mac"})
        setting(name, "the bridge's own address, or the address it sends to")
            ->add_option("ADDRESS", setting_mac, "such as 00:01:02:03:04:05")
            ->transform(kMac)
            ->required();
    setting("auto-bridge-mac", "the bridge takes its address from the host's frames");
    setting("auto-host-mac", "the bridge learns the host's address again");
    setting("reset", "reset the bridge's counters");
    setting("hw-reset", "reset the whole bridge");

    // status
    CLI::App *status = command("status", Command::status, "print the bridge's status record");
    add_socket_options(status, inv.socket);
    add_json(status, inv.json);
    status->add_option("--timeout-ms", inv.status_timeout_ms, "wait at most T ms (default 5000)")
        ->transform(number_in(1, kIntMax, timeout_unit));

    // loopback
    CLI::App *loop =
        command("loopback", Command::loopback, "send packets and check that each comes back");
    add_socket_options(loop, inv.socket);
    add_json(loop, inv.json);
    LoopbackOptions &lo = inv.loopback;
    loop->add_option("--count", lo.count, "packets (default 100)")
        ->transform(number_in(1, kIntMax, "packets"));
    auto *sizes =
        loop->add_option_function<std::string>(
                "--sizes", [&](const std::string &text) { lo.sizes = *parse_sizes(text); },
                "sizes to cycle through, such as 1,40,1495")
            ->transform(kSizes);
    auto *min = loop->add_option("--min", lo.min, "smallest random size (default 1)")
                    ->transform(number_in(0, kLargestReceivedPacket, "bytes"));
    auto *max = loop->add_option("--max", lo.max, "largest random size (default 4096)")
                    ->transform(number_in(0, kLargestReceivedPacket, "bytes"));
    sizes->excludes(min)->excludes(max);
    loop->add_option("--seed", lo.seed, "seed of the sizes and contents (default 1)")
        ->transform(number_in(0, 0xFFFFFFFF, "seed", true));
    loop->add_flag("--no-credits", lo.no_credits, "send without credit flow control");
    loop->add_option_function<int>(
            "--credit-limit", [&](const int &v) { lo.credit_limit = v; },
            "frames sent on one credit report")
        ->transform(number_in(1, 32, "frames"));
    loop->add_option_function<int>(
            "--credit-wait", [&](const int &v) { lo.credit_wait = v; },
            "the credit level a send waits for")
        ->transform(number_in(0, 255, "credits"));
    loop->add_option("--timeout-ms", lo.timeout_ms,
                     "wait at most T ms for credits and for each packet back (default 3000)")
        ->transform(number_in(1, kIntMax, timeout_unit));
    loop->add_flag("--quiet", lo.quiet, "leave out the progress line");

    // rmap
    CLI::App *rmap = command("rmap", Command::rmap,
                             "an RMAP write, read or read-modify-write with a target behind the "
                             "bridge");
    add_socket_options(rmap, inv.socket);
    add_json(rmap, inv.json);
    RmapOptions &ro = inv.rmap;
    rmap->add_option("OPERATION", ro.operation, "read, write or rmw")
        ->check(CLI::IsMember({"read", "write", "rmw"}))
        ->required();
    rmap->add_option("--address", ro.address, "the memory address")
        ->transform(number_in(0, 0xFFFFFFFF, "address", true))
        ->required();
    rmap->add_option("--extended", ro.extended, "the extended address (default 0)")
        ->transform(number_in(0, 255, "extended address"));
    auto *length = rmap->add_option("--length", ro.length, "bytes to read (default 4)")
                       ->transform(number_in(0, 0xFFFFFF, "bytes"));
    auto *data = rmap->add_option_function<std::string>(
                         "--hex", [&](const std::string &text) { ro.data = *parse_hex(text); },
                         "the bytes to write, or the read-modify-write data")
                     ->transform(kHexBytes);
    auto *mask = rmap->add_option_function<std::string>(
                         "--mask", [&](const std::string &text) { ro.mask = parse_hex(text); },
                         "the read-modify-write mask, as many bytes as --hex (default: all bits)")
                     ->transform(kHexBytes);
    rmap->add_option("--logical-address", ro.logical_address,
                     "the target's logical address (default 0xFE)")
        ->transform(number_in(0, 255, "logical address"));
    rmap->add_option("--key", ro.key, "the target's key (default 0x20)")
        ->transform(number_in(0, 255, "key"));
    rmap->add_option("--initiator", ro.initiator, "the initiator's logical address (default 0xFE)")
        ->transform(number_in(0, 255, "logical address"));
    rmap->add_option_function<std::string>(
            "--target-path", [&](const std::string &text) { ro.target_path = *parse_path(text); },
            "SpaceWire path address bytes to the target, such as 3,17")
        ->transform(kPath);
    rmap->add_option_function<std::string>(
            "--reply-path", [&](const std::string &text) { ro.reply_path = *parse_path(text); },
            "reply address bytes, such as 1,2")
        ->transform(kPath);
    rmap->add_flag("--no-increment", ro.no_increment, "access one address over and over");
    rmap->add_flag("--verify", ro.verify, "a verified write");
    rmap->add_flag("--no-reply", ro.no_reply, "a write that asks for no reply");
    rmap->add_option("--timeout-ms", ro.timeout_ms,
                     "wait at most T ms for the reply (default 1000)")
        ->transform(number_in(1, kIntMax, timeout_unit));

    // monitor
    CLI::App *monitor =
        command("monitor", Command::monitor,
                "a live view of both links and the socket's counters, until Ctrl-C");
    add_socket_options(monitor, inv.socket);
    add_json(monitor, inv.json);
    monitor
        ->add_option("--interval-ms", inv.monitor.interval_ms, "refresh every T ms (default 1000)")
        ->transform(number_in(100, 3600000, timeout_unit));

    // The command the error belongs to: the deepest one named so far.
    auto usage_of = [&]() {
        const auto chosen = app.get_subcommands();
        if (chosen.empty()) return kUsage.at("");
        return kUsage.at(chosen.front()->get_name());
    };
    auto command_name = [&]() {
        std::string name = "spweth-demo";
        for (const CLI::App *at = &app; !at->get_subcommands().empty();) {
            at = at->get_subcommands().front();
            name += " " + at->get_name();
        }
        return name;
    };
    auto usage_error = [&](std::string message) {
        if (message.find("A subcommand is required") != std::string::npos)
            message = "give a SETTING";
        std::fprintf(stderr, "%s: %s; usage: %s\n", command_name().c_str(),
                     first_line(message).c_str(), usage_of().c_str());
        return Parsed{std::nullopt, kExitUsage};
    };

    try {
        app.parse(argc, argv);
        const auto chosen = app.get_subcommands();
        if (chosen.empty()) throw UsageError("no command given");
        inv.command = commands.at(chosen.front());
        if (inv.command == Command::help) {
            std::fputs(app.help().c_str(), stdout);
            return {std::nullopt, kExitOk};
        }
        const bool opens_adapter = chosen.front()->get_option_no_throw("--iface") != nullptr;
        if (opens_adapter && inv.socket.iface.empty() && !inv.socket.number)
            throw UsageError("name the adapter with --iface NAME (or --num N); see 'list'");
        if (inv.command == Command::codes) {
            const long long limit = code_limit(inv.codes.kind, inv.codes.five_bit);
            if (code_values.size() > 255)
                throw UsageError("at most 255 codes go in one frame, not " +
                                 std::to_string(code_values.size()));
            for (const long long v : code_values) {
                if (v > limit)
                    throw UsageError("value " + std::to_string(v) + " is out of range 0.." +
                                     std::to_string(limit) + " (" + inv.codes.kind + " code)");
                inv.codes.values.push_back(static_cast<unsigned char>(v));
            }
        }
        if (inv.command == Command::config) {
            inv.config.setting = config->get_subcommands().front()->get_name();
            for (const long long v : setting_values)
                inv.config.values.push_back(static_cast<unsigned>(v));
            if (!setting_mac.empty()) inv.config.mac = *parse_mac(setting_mac);
        }
        if (inv.command == Command::rmap) {
            if (ro.operation == "read" && (data->count() || mask->count()))
                throw UsageError("a read takes no --hex or --mask");
            if (ro.operation != "read" && length->count())
                throw UsageError("--length is for reads; a " + ro.operation +
                                 " takes the length of --hex");
            if (ro.operation != "read" && ro.data.empty())
                throw UsageError("give the data with --hex BYTES");
            if (ro.operation != "rmw" && mask->count()) throw UsageError("--mask is for rmw only");
            if (ro.mask && ro.mask->size() != ro.data.size())
                throw UsageError("--mask takes as many bytes as --hex (" +
                                 std::to_string(ro.data.size()) + ")");
        }
        if (inv.command == Command::loopback && !sizes->count() && lo.min > lo.max)
            throw UsageError("--min " + std::to_string(lo.min) + " is above --max " +
                             std::to_string(lo.max));
        return {std::move(inv), kExitOk};
    } catch (const CLI::CallForHelp &) {
        const auto chosen = app.get_subcommands();
        const CLI::App *shown = &app;
        while (!shown->get_subcommands().empty()) shown = shown->get_subcommands().front();
        std::fputs(shown == &app ? app.help().c_str() : shown->help().c_str(), stdout);
        return {std::nullopt, kExitOk};
    } catch (const CLI::CallForAllHelp &) {
        std::fputs(app.help("", CLI::AppFormatMode::All).c_str(), stdout);
        return {std::nullopt, kExitOk};
    } catch (const CLI::ParseError &error) {
        return usage_error(error.what());
    }
}

}  // namespace demo
