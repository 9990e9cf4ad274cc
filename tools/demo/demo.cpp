// spweth-demo: the demonstration program of the spweth SDK.
//
// Scriptable subcommands and an interactive menu over the library's public
// interface: adapters, sockets, addresses, packets, control codes, reception
// with the three event handlers, configuration, status, read-buffer and
// credit settings, and a loopback test against a bridge that loops SpW1 to SpW2.
#include <pcap/pcap.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "spweth.h"
#include "spweth_rmap.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;

constexpr int kExitUsage = 2;
constexpr int kRecvBufferSize = 1 << 20;

// ---------------------------------------------------------------- arguments

struct Options {
    std::string command;
    std::vector<std::string> words;  // positional arguments after the command
    std::map<std::string, std::string> values;
    bool has(const std::string &key) const { return values.count(key) != 0; }
    std::string get(const std::string &key, const std::string &fallback = "") const {
        auto it = values.find(key);
        return it == values.end() ? fallback : it->second;
    }
    long number(const std::string &key, long fallback) const {
        return has(key) ? std::strtol(get(key).c_str(), nullptr, 0) : fallback;
    }
};

// Flags that take no value.
bool is_switch(const std::string &key) {
    return key == "eep" || key == "verbose" || key == "no-credits" || key == "quiet" ||
           key == "spin" || key == "verify" || key == "no-reply" || key == "no-increment";
}

Options parse_options(int argc, char **argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--", 0) == 0) {
            std::string key = arg.substr(2);
            if (auto eq = key.find('='); eq != std::string::npos) {
                options.values[key.substr(0, eq)] = key.substr(eq + 1);
            } else if (is_switch(key) || i + 1 >= argc) {
                options.values[key] = "1";
            } else {
                options.values[key] = argv[++i];
            }
        } else if (options.command.empty()) {
            options.command = arg;
        } else {
            options.words.push_back(arg);
        }
    }
    return options;
}

std::optional<mac_address> parse_mac(const std::string &text) {
    mac_address mac{};
    unsigned b[6];
    if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) !=
        6)
        return std::nullopt;
    for (int i = 0; i < 6; ++i) {
        if (b[i] > 0xFF) return std::nullopt;
        mac.bytes[i] = static_cast<unsigned char>(b[i]);
    }
    return mac;
}

std::string format_mac(const unsigned char *mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

std::optional<Bytes> parse_hex(const std::string &text) {
    Bytes bytes;
    std::string digits;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits += c;
        else if (c != ' ' && c != ':' && c != ',' && c != '-')
            return std::nullopt;
    if (digits.size() % 2 != 0) return std::nullopt;
    for (std::size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

// A small, seedable generator: the same seed gives the same packets.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
    std::uint64_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return state_;
    }
    long between(long low, long high) {
        return low + static_cast<long>(next() % static_cast<std::uint64_t>(high - low + 1));
    }
    void fill(Bytes &bytes) {
        for (std::size_t i = 0; i < bytes.size(); i += 8) {
            const std::uint64_t word = next();
            std::memcpy(bytes.data() + i, &word, std::min<std::size_t>(8, bytes.size() - i));
        }
    }

private:
    std::uint64_t state_;
};

// ---------------------------------------------------------------- adapters

std::vector<std::pair<std::string, std::string>> list_adapters() {
    std::vector<std::pair<std::string, std::string>> adapters;
    const intptr_t first = Create_List_Devices();
    if (first <= 0) return adapters;
    for (auto *entry = reinterpret_cast<pcap_if_t *>(first); entry != nullptr; entry = entry->next)
        adapters.emplace_back(entry->name, entry->description ? entry->description : "");
    return adapters;
}

// The adapter number of --iface NAME, or --num N.
std::optional<int> adapter_number(const Options &options) {
    if (options.has("num")) return static_cast<int>(options.number("num", -1));
    if (!options.has("iface")) {
        std::fprintf(stderr, "Name the adapter with --iface NAME (or --num N); see 'list'.\n");
        return std::nullopt;
    }
    const auto adapters = list_adapters();
    for (std::size_t i = 0; i < adapters.size(); ++i)
        if (adapters[i].first == options.get("iface")) return static_cast<int>(i);
    std::fprintf(stderr, "No adapter named %s; see 'list'.\n", options.get("iface").c_str());
    return std::nullopt;
}

// An open socket with the addresses of the options applied; closed on scope exit.
class Session {
public:
    static std::optional<Session> open(const Options &options) {
        const auto number = adapter_number(options);
        if (!number) return std::nullopt;
        if (options.has("bridge")) {
            const auto mac = parse_mac(options.get("bridge"));
            if (!mac) return bad_mac("--bridge");
            set_dest_mac_address(mac->bytes, 6);
        }
        if (options.has("host")) {
            const auto mac = parse_mac(options.get("host"));
            if (!mac) return bad_mac("--host");
            set_source_mac_address(mac->bytes, 6);
        }
        // Waits sleep in the kernel rather than keep a core busy; --spin polls instead.
        set_recv_idle_wait(options.has("spin") ? 0 : 1);
        const intptr_t socket = SpW_Socket_Init(*number);
        if (socket < 0) {
            std::fprintf(stderr, "Opening adapter %d failed with %ld.\n", *number,
                         static_cast<long>(socket));
            return std::nullopt;
        }
        return Session(reinterpret_cast<pcap *>(socket));
    }
    Session(Session &&other) noexcept : socket_(std::exchange(other.socket_, nullptr)) {}
    ~Session() {
        if (socket_ != nullptr) SpW_Socket_Close(socket_);
    }
    pcap *socket() const { return socket_; }

private:
    explicit Session(pcap *socket) : socket_(socket) {}
    static std::optional<Session> bad_mac(const char *option) {
        std::fprintf(stderr, "%s takes an address such as 00:01:02:03:04:05.\n", option);
        return std::nullopt;
    }
    pcap *socket_;
};

mac_address bridge_address() {
    mac_address mac;
    std::memcpy(mac.bytes, get_current_dest_mac_address(), 6);
    return mac;
}

std::chrono::milliseconds timeout_of(const Options &options, long fallback_ms) {
    return std::chrono::milliseconds(options.number("timeout-ms", fallback_ms));
}

// ---------------------------------------------------------------- console

// The library's messages come to on_library_message. What the printers that
// the demo calls for its output print (status records, dumps, error types,
// versions, the adapter dialog) is the demo's output: it goes to standard
// output as it is. Every other message is a note of the library (adapter
// opened, handler registered, why a call failed): it goes to standard error,
// each line marked "spweth: ".
bool library_output = false;

// While one lives, the library's messages are the demo's output.
class LibraryOutput {
public:
    LibraryOutput() : outer_(std::exchange(library_output, true)) {}
    ~LibraryOutput() { library_output = outer_; }
    LibraryOutput(const LibraryOutput &) = delete;
    LibraryOutput &operator=(const LibraryOutput &) = delete;

private:
    bool outer_;
};

void on_library_message(int stream, const char *text, void * /*context*/) {
    if (library_output) {
        std::fputs(text, stream == 2 ? stderr : stdout);
        return;
    }
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        if (end != 0) std::fprintf(stderr, "spweth: %.*s\n", static_cast<int>(end), rest.data());
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
}

// ---------------------------------------------------------------- handlers

void on_ccodes(unsigned char *data, int size, unsigned char *mac) {
    std::printf("Control codes from %s:", format_mac(mac).c_str());
    for (int i = 0; i < size; ++i) std::printf(" %02X", data[i]);
    std::printf("\n");
    std::free(data);
}

void on_error_frame(unsigned char *data, int size, unsigned char *mac) {
    std::printf("Error frame from %s (%d bytes), type %d: ", format_mac(mac).c_str(), size,
                size > 0 ? data[0] : -1);
    if (size > 0) {
        const LibraryOutput output;
        print_error_type(data[0]);
    }
    if (size >= 2 && data[0] == 0) std::printf(" credits %d\n", data[1]);
    std::free(data);
}

void on_status(unsigned char *data, int size, unsigned char *) {
    if (size >= static_cast<int>(sizeof(spw_eth_state))) {
        spw_eth_state state;
        std::memcpy(&state, data, sizeof state);
        const LibraryOutput output;
        print_spw_eth_state(&state);
    }
    std::free(data);
}

// ---------------------------------------------------------------- commands

int command_list() {
    const auto adapters = list_adapters();
    for (std::size_t i = 0; i < adapters.size(); ++i)
        std::printf(
            "%zu. %s (%s)\n", i, adapters[i].first.c_str(),
            adapters[i].second.empty() ? "No description available" : adapters[i].second.c_str());
    return adapters.empty() ? 1 : 0;
}

std::optional<Bytes> payload_of(const Options &options) {
    if (options.has("hex")) return parse_hex(options.get("hex"));
    if (options.has("file")) {
        std::ifstream file(options.get("file"), std::ios::binary);
        if (!file) return std::nullopt;
        return Bytes(std::istreambuf_iterator<char>(file), {});
    }
    Bytes bytes(static_cast<std::size_t>(options.number("random", 16)));
    Random(static_cast<std::uint64_t>(options.number("seed", 1))).fill(bytes);
    return bytes;
}

int command_send(const Options &options) {
    const auto payload = payload_of(options);
    if (!payload) {
        std::fprintf(stderr, "Give the packet with --hex BYTES, --file PATH or --random N.\n");
        return kExitUsage;
    }
    auto session = Session::open(options);
    if (!session) return 1;
    const int marker = options.has("eep") ? 2 : 1;
    const int sent =
        options.has("channel")
            ? SpW_Send_Packet_From_Channel(session->socket(), payload->data(),
                                           static_cast<int>(payload->size()), marker,
                                           static_cast<int>(options.number("channel", 0)))
            : SpW_Send_Packet(session->socket(), payload->data(), static_cast<int>(payload->size()),
                              marker);
    std::printf("Sent %d bytes with %s.\n", sent, marker == 2 ? "EEP" : "EOP");
    return sent < 0 ? 1 : 0;
}

int command_recv(const Options &options) {
    auto session = Session::open(options);
    if (!session) return 1;
    register_ccode_event_handler(on_ccodes);
    register_err_frame_event_handler(on_error_frame);
    register_status_event_handler(on_status);
    Bytes buffer(kRecvBufferSize);
    const long count = options.number("count", 1);
    const int timeout_ms = static_cast<int>(timeout_of(options, 5000).count());
    int received = 0;
    for (long i = 0; i < count; ++i) {
        mac_address from = bridge_address();
        unsigned char type = 0;
        const int length = SpW_Recv_Packet_From_MAC_Timeout(
            session->socket(), buffer.data(), kRecvBufferSize, from.bytes, &type, timeout_ms);
        if (length < 0) {
            std::printf("No packet within the time-out.\n");
            break;
        }
        ++received;
        char title[80];
        std::snprintf(title, sizeof title, "Packet %ld from %s, %s", i + 1,
                      format_mac(from.bytes).c_str(), type == 1 ? "EEP" : "EOP");
        const LibraryOutput output;
        debug_dump(title, buffer.data(), static_cast<unsigned>(std::min(length, kRecvBufferSize)));
    }
    return received == count ? 0 : 1;
}

int command_codes(const Options &options) {
    std::vector<unsigned char> codes;
    for (const auto &word : options.words)
        codes.push_back(static_cast<unsigned char>(std::strtol(word.c_str(), nullptr, 0)));
    if (codes.empty()) {
        std::fprintf(stderr, "Give one or more code values.\n");
        return kExitUsage;
    }
    auto session = Session::open(options);
    if (!session) return 1;
    const std::string kind = options.get("kind", "time");
    const int five_bit = static_cast<int>(options.number("five-bit", 0));
    const int count = static_cast<int>(codes.size());
    pcap *s = session->socket();
    int result;
    if (kind == "time")
        result = SpW_Send_Time_Codes(s, codes.data(), count);
    else if (kind == "int")
        result = SpW_Send_INT_Codes(s, codes.data(), count, five_bit);
    else if (kind == "ack")
        result = SpW_Send_ACK_Codes(s, codes.data(), count, five_bit);
    else if (kind == "cc01")
        result = SpW_Send_CC01_Codes(s, codes.data(), count);
    else if (kind == "cc11")
        result = SpW_Send_CC11_Codes(s, codes.data(), count);
    else if (kind == "raw")
        result = SpW_Send_CCodes(s, codes.data(), count);
    else {
        std::fprintf(stderr, "--kind is one of time, int, ack, cc01, cc11, raw.\n");
        return kExitUsage;
    }
    std::printf("Sent %d %s code(s): %s\n", count, kind.c_str(), result == 0 ? "ok" : "refused");
    return result == 0 ? 0 : 1;
}

int command_config(const Options &options) {
    if (options.words.empty()) {
        std::fprintf(stderr,
                     "config SETTING: speed MBIT | switch DATA CCODE | status-freq N | "
                     "receive-timer N | filter N | data-filter VALUE MASK | bridge-mac MAC | "
                     "host-mac MAC | auto-bridge-mac | auto-host-mac | reset | hw-reset\n");
        return kExitUsage;
    }
    auto arg = [&](std::size_t i) {
        return i < options.words.size() ? std::strtoul(options.words[i].c_str(), nullptr, 0) : 0ul;
    };
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(arg(i)); };
    auto session = Session::open(options);
    if (!session) return 1;
    pcap *s = session->socket();
    const std::string what = options.words[0];
    int result;
    if (what == "speed")
        result = SpW_Eth_Set_SpW_Speed(s, static_cast<unsigned>(arg(1)));
    else if (what == "switch")
        result = SpW_Eth_Set_Switch_Mode(s, byte(1), byte(2));
    else if (what == "status-freq")
        result = SpW_Eth_Set_Status_Freq(s, byte(1));
    else if (what == "receive-timer")
        result = SpW_Eth_Set_Receive_Timer(s, byte(1));
    else if (what == "filter")
        result = SpW_Eth_Set_Filtr(s, byte(1));
    else if (what == "data-filter")
        result = SpW_Eth_Set_Data_Filtr(s, byte(1), byte(2));
    else if (what == "auto-bridge-mac")
        result = SpW_Eth_Set_Auto_MAC_Dest(s);
    else if (what == "auto-host-mac")
        result = SpW_Eth_Set_Auto_MAC_Source(s);
    else if (what == "reset")
        result = SpW_Eth_Reset(s);
    else if (what == "hw-reset")
        result = SpW_Eth_Set_Hardware_Reset(s);
    else if (what == "bridge-mac" || what == "host-mac") {
        const auto mac = parse_mac(options.words.size() > 1 ? options.words[1] : "");
        if (!mac) {
            std::fprintf(stderr, "%s takes an address such as 00:01:02:03:04:05.\n", what.c_str());
            return kExitUsage;
        }
        result = what == "bridge-mac" ? SpW_Eth_Set_MAC_Dest(s, &*mac)
                                      : SpW_Eth_Set_MAC_Source(s, &*mac);
    } else {
        std::fprintf(stderr, "Unknown setting %s.\n", what.c_str());
        return kExitUsage;
    }
    std::printf("Configuration '%s' %s.\n", what.c_str(), result == 0 ? "sent" : "refused");
    return result == 0 ? 0 : 1;
}

int command_status(const Options &options) {
    auto session = Session::open(options);
    if (!session) return 1;
    spw_eth_state state{};
    const mac_address from = bridge_address();
    const int length = SpW_Eth_Get_State_From_MAC_Timeout(
        session->socket(), &state, &from, static_cast<int>(timeout_of(options, 5000).count()));
    if (length <= 0) {
        std::printf("No status record from %s within the time-out.\n",
                    format_mac(from.bytes).c_str());
        return 1;
    }
    const LibraryOutput output;
    print_spw_eth_state(&state);
    return 0;
}

// ---------------------------------------------------------------- RMAP

// "3,17,4": SpaceWire address bytes, at most 12.
std::optional<Bytes> parse_path(const std::string &text) {
    Bytes bytes;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        char *end = nullptr;
        const std::string word = text.substr(at, comma - at);
        const unsigned long value = std::strtoul(word.c_str(), &end, 0);
        if (word.empty() || *end != '\0' || value > 0xFF || bytes.size() == 12) return std::nullopt;
        bytes.push_back(static_cast<unsigned char>(value));
        at = comma + 1;
    }
    return bytes;
}

// The target of --logical-address, --key, --initiator, --target-path, --reply-path.
std::optional<spw_rmap_target> rmap_target_of(const Options &options) {
    spw_rmap_target target{};
    target.target_logical_address =
        static_cast<unsigned char>(options.number("logical-address", 0xFE));
    target.key = static_cast<unsigned char>(options.number("key", 0));
    target.initiator_logical_address =
        static_cast<unsigned char>(options.number("initiator", 0xFE));
    const auto target_path = parse_path(options.get("target-path"));
    const auto reply_path = parse_path(options.get("reply-path"));
    if (!target_path || !reply_path) {
        std::fprintf(stderr, "--target-path and --reply-path take up to 12 bytes such as 3,17.\n");
        return std::nullopt;
    }
    std::copy(target_path->begin(), target_path->end(), target.target_address);
    target.target_address_length = static_cast<int>(target_path->size());
    std::copy(reply_path->begin(), reply_path->end(), target.reply_address);
    target.reply_address_length = static_cast<int>(reply_path->size());
    return target;
}

int command_rmap(const Options &options) {
    const std::string kind = options.words.empty() ? "" : options.words[0];
    const auto target = rmap_target_of(options);
    if (!target) return kExitUsage;
    if (!options.has("address") || (kind != "read" && kind != "write" && kind != "rmw")) {
        std::fprintf(stderr,
                     "usage: rmap read|write|rmw --iface NAME --address A ... (see help)\n");
        return kExitUsage;
    }
    const auto address = static_cast<unsigned>(options.number("address", 0));
    const auto extended = static_cast<unsigned char>(options.number("extended", 0));
    const int timeout_ms = static_cast<int>(options.number("timeout-ms", 1000));
    const int increment = options.has("no-increment") ? 0 : SPW_RMAP_INCREMENT;
    std::optional<Bytes> data;
    if (kind != "read") {
        data = parse_hex(options.get("hex"));
        if (!data || data->empty()) {
            std::fprintf(stderr, "Give the data with --hex BYTES.\n");
            return kExitUsage;
        }
    }
    auto session = Session::open(options);
    if (!session) return 1;
    pcap *socket = session->socket();

    int result = 0;
    Bytes returned;
    if (kind == "write") {
        const int flags = increment | (options.has("verify") ? SPW_RMAP_VERIFY : 0) |
                          (options.has("no-reply") ? 0 : SPW_RMAP_REPLY);
        result = SpW_RMAP_Write(socket, &*target, extended, address, data->data(),
                                static_cast<int>(data->size()), flags, timeout_ms);
    } else if (kind == "read") {
        returned.resize(static_cast<std::size_t>(std::max(0l, options.number("length", 4))));
        result = SpW_RMAP_Read(socket, &*target, extended, address, returned.data(),
                               static_cast<int>(returned.size()), increment, timeout_ms);
    } else {
        const auto mask = parse_hex(options.get("mask", std::string(data->size() * 2, 'F')));
        if (!mask || mask->size() != data->size()) {
            std::fprintf(stderr, "--mask takes as many bytes as --hex.\n");
            return kExitUsage;
        }
        returned.resize(data->size());
        result = SpW_RMAP_Read_Modify_Write(socket, &*target, extended, address, data->data(),
                                            mask->data(), static_cast<int>(data->size()),
                                            returned.data(), timeout_ms);
    }
    std::printf("RMAP %s at 0x%02X:%08X: %d, %s\n", kind.c_str(), extended, address, result,
                SpW_RMAP_Status_Text(result));
    if (result == 0 && !returned.empty()) {
        const LibraryOutput output;
        debug_dump(kind == "read" ? "Data read" : "Old data", returned.data(),
                   static_cast<unsigned>(returned.size()));
    }
    return result == 0 ? 0 : 1;
}

// Sizes of the loopback test: --sizes A,B,C cycles through a list; otherwise
// random sizes between --min and --max.
class SizePlan {
public:
    explicit SizePlan(const Options &options)
        : random_(static_cast<std::uint64_t>(options.number("seed", 1))),
          min_(options.number("min", 1)),
          max_(options.number("max", 4096)) {
        std::string list = options.get("sizes");
        for (std::size_t at = 0; at < list.size();) {
            const std::size_t comma = std::min(list.find(',', at), list.size());
            sizes_.push_back(std::strtol(list.substr(at, comma - at).c_str(), nullptr, 0));
            at = comma + 1;
        }
    }
    long largest() const {
        return sizes_.empty() ? std::max(min_, max_)
                              : *std::max_element(sizes_.begin(), sizes_.end());
    }
    long next(long index) {
        if (!sizes_.empty()) return sizes_[static_cast<std::size_t>(index) % sizes_.size()];
        return random_.between(min_, std::max(min_, max_));
    }
    Random &random() { return random_; }

private:
    Random random_;
    long min_;
    long max_;
    std::vector<long> sizes_;
};

int run_loopback(pcap *socket, const Options &options) {
    const bool crediting = !options.has("no-credits");
    set_send_crediting(crediting ? 1 : 0);
    if (options.has("credit-limit"))
        set_send_credit_limit(static_cast<int>(options.number("credit-limit", 10)));
    if (options.has("credit-wait"))
        set_send_credit_wait(static_cast<int>(options.number("credit-wait", 15)));
    register_err_frame_event_handler(on_error_frame);

    const long count = options.number("count", 100);
    const bool quiet = options.has("quiet");
    SizePlan plan(options);
    // While the sender waits for credits, what the bridge sends back is set
    // aside in the read buffer: keep the host's own frames out of it (they
    // carry the all-zero source address) and make room for the largest echo.
    static const unsigned char kNoAddress[6] = {};
    if (std::memcmp(get_current_source_mac_address(), kNoAddress, 6) == 0)
        set_recv_skip_out_frames(1);
    const long echo_frames = plan.largest() / 1495 + 1;
    set_recv_buffer_size(static_cast<int>(std::max(1000000l, 2 * echo_frames * (1514 + 4))));
    const int timeout_ms = static_cast<int>(timeout_of(options, 3000).count());
    set_send_credit_timeout(timeout_ms);
    Bytes packet, buffer(kRecvBufferSize);
    long ok = 0, errors = 0, lost = 0;
    unsigned long long bytes = 0;
    const auto start = Clock::now();
    for (long i = 0; i < count; ++i) {
        const long size = std::clamp(plan.next(i), 0l, static_cast<long>(kRecvBufferSize));
        packet.resize(static_cast<std::size_t>(size));
        plan.random().fill(packet);
        const bool eep = plan.random().next() & 1;
        const int sent =
            SpW_Send_Packet(socket, packet.data(), static_cast<int>(size), eep ? 2 : 1);
        if (sent != size) {
            ++lost;
            std::printf("Packet %ld: send of %ld bytes failed (%d).\n", i + 1, size, sent);
            continue;
        }
        if (size == 0) {  // an empty packet sends no frame: nothing comes back
            ++ok;
            continue;
        }
        mac_address from = bridge_address();
        unsigned char type = 0;
        const int length = SpW_Recv_Packet_From_MAC_Timeout(socket, buffer.data(), kRecvBufferSize,
                                                            from.bytes, &type, timeout_ms);
        if (length == SPWETH_TIMED_OUT) {
            ++lost;
            std::printf("Packet %ld: %ld bytes sent, nothing came back.\n", i + 1, size);
            continue;
        }
        if (length != size || type != (eep ? 1 : 0) ||
            std::memcmp(buffer.data(), packet.data(), static_cast<std::size_t>(size)) != 0) {
            ++errors;
            std::printf("Packet %ld: sent %ld bytes with %s, got %d bytes with %s%s.\n", i + 1,
                        size, eep ? "EEP" : "EOP", length, type == 1 ? "EEP" : "EOP",
                        length == size ? ", content differs" : "");
            continue;
        }
        ++ok;
        bytes += static_cast<unsigned long long>(size);
        if (!quiet && ((i + 1) % 100 == 0 || i + 1 == count)) {
            std::printf("\rLoopback: %ld / %ld packets", i + 1, count);
            std::fflush(stdout);
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf(
        "\nLoopback summary: %ld packets, %ld intact, %llu bytes, %.2f MB/s, "
        "%ld errors, %ld lost (credit flow control %s)\n",
        count, ok, bytes, seconds > 0 ? bytes / seconds / 1e6 : 0.0, errors, lost,
        crediting ? "on" : "off");
    return errors == 0 && lost == 0 ? 0 : 1;
}

int command_loopback(const Options &options) {
    auto session = Session::open(options);
    return session ? run_loopback(session->socket(), options) : 1;
}

// ---------------------------------------------------------------- menu

int read_int(const char *prompt) {
    std::printf("%s", prompt);
    std::fflush(stdout);
    char line[128];
    if (!std::fgets(line, sizeof line, stdin)) return -1;
    return static_cast<int>(std::strtol(line, nullptr, 0));
}

std::string read_line(const char *prompt) {
    std::printf("%s", prompt);
    std::fflush(stdout);
    char line[4096];
    if (!std::fgets(line, sizeof line, stdin)) return "";
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

void print_menu() {
    std::printf(
        "\n--- spweth demo ---\n"
        " 1 list adapters          2 open adapter (dialog)   3 close socket\n"
        " 4 reset socket           5 set addresses           6 send packet\n"
        " 7 receive packet         8 send time code          9 send INT/ACK code\n"
        " a register handlers      b disable handlers        c set link speed\n"
        " d set switch mode        e reset bridge            f status record\n"
        " g read-buffer settings   h credit settings         i SDK information\n"
        " k loopback test          0 quit\n");
}

void menu_action(char key, pcap *&socket) {
    auto need_socket = [&] {
        if (socket == nullptr) std::printf("Open an adapter first (2).\n");
        return socket != nullptr;
    };
    switch (key) {
        case '1':
            command_list();
            break;
        case '2': {
            intptr_t opened = 0;
            {
                const LibraryOutput dialog;
                opened = SpW_Socket_Init_Dialog();
            }
            std::printf("\n");
            if (opened > 0)
                socket = reinterpret_cast<pcap *>(opened);
            else
                std::printf("Open failed with %ld.\n", static_cast<long>(opened));
            int c;
            while ((c = std::getchar()) != '\n' && c != EOF) {
            }
            break;
        }
        case '3':
            if (need_socket()) {
                SpW_Socket_Close(socket);
                socket = nullptr;
            }
            break;
        case '4':
            if (need_socket()) {
                const intptr_t reopened = SpW_Socket_Reset(socket);
                socket = reopened > 0 ? reinterpret_cast<pcap *>(reopened) : nullptr;
            }
            break;
        case '5': {
            const auto bridge = parse_mac(read_line("Bridge address (empty keeps): "));
            if (bridge) set_dest_mac_address(bridge->bytes, 6);
            const auto host = parse_mac(read_line("Host address (empty keeps): "));
            if (host) set_source_mac_address(host->bytes, 6);
            std::printf("Bridge %s, host %s\n", format_mac(get_current_dest_mac_address()).c_str(),
                        format_mac(get_current_source_mac_address()).c_str());
            break;
        }
        case '6':
            if (need_socket()) {
                const auto bytes = parse_hex(read_line("Packet bytes (hex): "));
                const int eep = read_int("End marker (1 EOP, 2 EEP): ");
                if (bytes)
                    std::printf("Sent %d bytes.\n",
                                SpW_Send_Packet(socket, bytes->data(),
                                                static_cast<int>(bytes->size()), eep));
            }
            break;
        case '7':
            if (need_socket()) {
                Bytes buffer(kRecvBufferSize);
                mac_address from = bridge_address();
                unsigned char type = 0;
                const int length = SpW_Recv_Packet_From_MAC_Timeout(
                    socket, buffer.data(), kRecvBufferSize, from.bytes, &type, 5000);
                const LibraryOutput output;
                if (length == SPWETH_TIMED_OUT)
                    std::printf("Nothing within 5 s.\n");
                else
                    debug_dump(type == 1 ? "Packet (EEP)" : "Packet (EOP)", buffer.data(),
                               static_cast<unsigned>(std::min(length, kRecvBufferSize)));
            }
            break;
        case '8':
            if (need_socket())
                std::printf("Result %d\n", SpW_Send_Time_Code(socket, read_int("Time code: ")));
            break;
        case '9':
            if (need_socket()) {
                const int kind = read_int("1 INT, 2 ACK: ");
                const int code = read_int("Code: ");
                const int five_bit = read_int("Five-bit identifier (0/1): ");
                std::printf("Result %d\n", kind == 2 ? SpW_Send_ACK_Code(socket, code, five_bit)
                                                     : SpW_Send_INT_Code(socket, code, five_bit));
            }
            break;
        case 'a':
            register_ccode_event_handler(on_ccodes);
            register_err_frame_event_handler(on_error_frame);
            register_status_event_handler(on_status);
            break;
        case 'b':
            disable_handler_ccode();
            disable_handler_err_frame();
            disable_handler_status();
            break;
        case 'c':
            if (need_socket())
                std::printf(
                    "Result %d\n",
                    SpW_Eth_Set_SpW_Speed(socket, static_cast<unsigned>(read_int("Mbit/s: "))));
            break;
        case 'd':
            if (need_socket()) {
                const int data = read_int("Data mode (0-8): ");
                const int ccode = read_int("Control-code mode (0-8): ");
                std::printf("Result %d\n",
                            SpW_Eth_Set_Switch_Mode(socket, static_cast<unsigned char>(data),
                                                    static_cast<unsigned char>(ccode)));
            }
            break;
        case 'e':
            if (need_socket()) std::printf("Result %d\n", SpW_Eth_Reset(socket));
            break;
        case 'f':
            if (need_socket()) {
                spw_eth_state state{};
                mac_address from{};
                const int length = SpW_Eth_Get_State_Timeout(socket, &state, &from, 5000);
                const LibraryOutput output;
                if (length <= 0)
                    std::printf("No status within 5 s.\n");
                else
                    print_spw_eth_state(&state);
            }
            break;
        case 'g':
            std::printf("Buffering %d\n",
                        set_recv_buffering(read_int("Read buffers on (1) / off (0): ")));
            set_recv_buffer_size(read_int("Read buffer size (bytes, >= 1500): "));
            break;
        case 'h':
            std::printf("Crediting %d\n",
                        set_send_crediting(read_int("Credit flow control (1/0): ")));
            set_send_credit_limit(read_int("Credit limit (1-32): "));
            set_send_credit_wait(read_int("Credit wait level: "));
            std::printf("Bridge credits now %d\n", get_bridge_credits());
            break;
        case 'i': {
            const LibraryOutput output;
            Display_SDK_and_demo_information();
            break;
        }
        case 'k':
            if (need_socket()) {
                Options loop;
                loop.values["count"] = std::to_string(read_int("Packets: "));
                loop.values["min"] = std::to_string(read_int("Smallest size: "));
                loop.values["max"] = std::to_string(read_int("Largest size: "));
                run_loopback(socket, loop);
            }
            break;
        default:
            break;
    }
}

int command_menu() {
    {
        const LibraryOutput output;
        Display_SDK_and_demo_information();
    }
    set_recv_idle_wait(1);
    pcap *socket = nullptr;
    for (;;) {
        print_menu();
        const std::string line = read_line("Choice: ");
        if (line.empty()) {
            if (std::feof(stdin)) break;
            continue;
        }
        const char key = line[0];
        if (!menu_select_valid(key)) {
            std::printf("'%c' is not a menu key.\n", key);
            continue;
        }
        if (key == '0') break;
        menu_action(key, socket);
    }
    if (socket != nullptr) SpW_Socket_Close(socket);
    return 0;
}

void usage() {
    std::printf(
        "usage: spweth-demo COMMAND [options]\n"
        "  info                                  SDK and demo versions\n"
        "  list                                  list the host's adapters\n"
        "  menu                                  interactive console menu\n"
        "  send     --iface NAME (--hex BYTES | --file PATH | --random N) [--eep] [--channel C]\n"
        "  recv     --iface NAME [--count N] [--timeout-ms T]\n"
        "  codes    --iface NAME [--kind time|int|ack|cc01|cc11|raw] [--five-bit 0|1] VALUE...\n"
        "  config   --iface NAME SETTING [VALUES]   (run without SETTING for the list)\n"
        "  status   --iface NAME [--timeout-ms T]\n"
        "  loopback --iface NAME [--count N] [--sizes A,B,... | --min A --max B] [--seed S]\n"
        "           [--no-credits] [--credit-limit L] [--credit-wait W] [--timeout-ms T] "
        "[--quiet]\n"
        "  rmap     read|write|rmw --iface NAME --address A [--extended E] [--length N]\n"
        "           [--hex BYTES] [--mask BYTES] [--logical-address LA] [--key K]\n"
        "           [--initiator LA] [--target-path 3,17] [--reply-path 1,2]\n"
        "           [--no-increment] [--verify] [--no-reply] [--timeout-ms T]\n"
        "Every command also takes --num N instead of --iface, --bridge MAC and --host MAC,\n"
        "and --spin to poll without pause while waiting instead of sleeping.\n");
}

}  // namespace

int main(int argc, char **argv) {
    set_console_handler(on_library_message, nullptr);
    const Options options = parse_options(argc, argv);
    if (options.command == "info") {
        const LibraryOutput output;
        Display_SDK_and_demo_information();
        return 0;
    }
    if (options.command == "list") return command_list();
    if (options.command == "menu") return command_menu();
    if (options.command == "send") return command_send(options);
    if (options.command == "recv") return command_recv(options);
    if (options.command == "codes") return command_codes(options);
    if (options.command == "config") return command_config(options);
    if (options.command == "status") return command_status(options);
    if (options.command == "loopback") return command_loopback(options);
    if (options.command == "rmap") return command_rmap(options);
    usage();
    return options.command.empty() || options.command == "help" ? 0 : kExitUsage;
}
