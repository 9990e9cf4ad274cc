// spweth-demo: the demonstration program of the spweth SDK.
//
// Scriptable subcommands and an interactive menu over the library's public
// interface: adapters, sockets, addresses, packets, control codes, reception
// with the three event handlers, configuration, status, read-buffer and
// credit settings, a loopback test against a bridge that loops SpW1 to SpW2,
// RMAP transactions and a live monitor. The command line is checked in
// cli.cpp before any adapter is opened; --json results are made in records.cpp.
#include <pcap/pcap.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli.h"
#include "monitor.h"
#include "records.h"
#include "spweth.h"
#include "spweth_rmap.h"

namespace demo {
namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr int kRecvBufferSize = static_cast<int>(kLargestReceivedPacket);

// One line on standard error: a failure at run time.
template <typename... Args>
void fail(const char *format, Args... args) {
    std::fflush(stdout);
    std::fprintf(stderr, "spweth-demo: ");
    std::fprintf(stderr, format, args...);
    std::fputc('\n', stderr);
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

// An open socket with the addresses of the options applied; closed on scope exit.
class Session {
public:
    static std::optional<Session> open(const SocketOptions &options) {
        if (options.bridge) set_dest_mac_address(options.bridge->bytes, 6);
        if (options.host) set_source_mac_address(options.host->bytes, 6);
        // Waits sleep in the kernel rather than keep a core busy; --spin polls instead.
        set_recv_idle_wait(options.spin ? 0 : 1);
        const intptr_t socket = options.number ? SpW_Socket_Init(*options.number)
                                               : SpW_Socket_Init_By_Name(options.iface.c_str());
        if (socket < 0) {
            if (options.number)
                fail("cannot open adapter number %d (error %ld); see 'spweth-demo list'",
                     *options.number, static_cast<long>(socket));
            else
                fail("cannot open adapter %s (error %ld); see 'spweth-demo list'",
                     options.iface.c_str(), static_cast<long>(socket));
            return std::nullopt;
        }
        return Session(
            reinterpret_cast<pcap *>(socket),
            options.number ? "number " + std::to_string(*options.number) : options.iface);
    }
    Session(Session &&other) noexcept
        : socket_(std::exchange(other.socket_, nullptr)), name_(std::move(other.name_)) {}
    Session &operator=(Session &&) = delete;
    ~Session() {
        if (socket_ != nullptr) SpW_Socket_Close(socket_);
    }
    pcap *socket() const { return socket_; }
    const std::string &name() const { return name_; }

private:
    Session(pcap *socket, std::string name) : socket_(socket), name_(std::move(name)) {}
    pcap *socket_;
    std::string name_;
};

mac_address bridge_address() {
    mac_address mac;
    std::memcpy(mac.bytes, get_current_dest_mac_address(), 6);
    return mac;
}

const char *end_name(bool eep) { return eep ? "EEP" : "EOP"; }

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

int command_list(bool as_json) {
    const auto adapters = list_adapters();
    for (std::size_t i = 0; i < adapters.size(); ++i) {
        if (as_json) {
            print_json({{"record", "adapter"},
                        {"number", i},
                        {"name", adapters[i].first},
                        {"description", adapters[i].second}});
            continue;
        }
        std::printf(
            "%zu. %s (%s)\n", i, adapters[i].first.c_str(),
            adapters[i].second.empty() ? "No description available" : adapters[i].second.c_str());
    }
    if (adapters.empty()) fail("no adapters found (capturing may need CAP_NET_RAW)");
    return adapters.empty() ? kExitFailed : kExitOk;
}

std::optional<Bytes> payload_of(const SendOptions &options) {
    if (options.hex) return options.hex;
    if (!options.file.empty()) {
        std::ifstream file(options.file, std::ios::binary);
        if (!file) {
            fail("cannot read %s", options.file.c_str());
            return std::nullopt;
        }
        return Bytes(std::istreambuf_iterator<char>(file), {});
    }
    Bytes bytes(static_cast<std::size_t>(options.random));
    Random(options.seed).fill(bytes);
    return bytes;
}

int command_send(const Invocation &inv) {
    const auto payload = payload_of(inv.send);
    if (!payload) return kExitFailed;
    if (payload->size() > static_cast<std::size_t>(std::numeric_limits<int>::max() - 1)) {
        fail("%s holds %zu bytes; a packet holds at most %d", inv.send.file.c_str(),
             payload->size(), std::numeric_limits<int>::max() - 1);
        return kExitFailed;
    }
    auto session = Session::open(inv.socket);
    if (!session) return kExitFailed;
    const int marker = inv.send.eep ? 2 : 1;
    const int size = static_cast<int>(payload->size());
    const int sent = inv.send.channel
                         ? SpW_Send_Packet_From_Channel(session->socket(), payload->data(), size,
                                                        marker, *inv.send.channel)
                         : SpW_Send_Packet(session->socket(), payload->data(), size, marker);
    if (sent < 0) {
        fail("sending %d bytes failed (%d)", size, sent);
        return kExitFailed;
    }
    std::printf("Sent %d bytes with %s.\n", sent, end_name(inv.send.eep));
    return kExitOk;
}

int command_recv(const Invocation &inv) {
    auto session = Session::open(inv.socket);
    if (!session) return kExitFailed;
    if (!inv.json) {
        register_ccode_event_handler(on_ccodes);
        register_err_frame_event_handler(on_error_frame);
        register_status_event_handler(on_status);
    }
    Bytes buffer(kRecvBufferSize);
    for (long i = 0; i < inv.recv.count; ++i) {
        mac_address from = bridge_address();
        unsigned char type = 0;
        const int length =
            SpW_Recv_Packet_From_MAC_Timeout(session->socket(), buffer.data(), kRecvBufferSize,
                                             from.bytes, &type, inv.recv.timeout_ms);
        if (length < 0) {
            fail("no packet from %s within %d ms (%ld of %ld received)",
                 format_mac(from.bytes).c_str(), inv.recv.timeout_ms, i, inv.recv.count);
            return kExitFailed;
        }
        const auto size = static_cast<std::size_t>(std::min(length, kRecvBufferSize));
        if (inv.json) {
            print_json({{"record", "packet"},
                        {"packet", i + 1},
                        {"source", format_mac(from.bytes)},
                        {"length", length},
                        {"end", end_name(type == 1)},
                        {"data", hex_text(buffer.data(), size)}});
            continue;
        }
        char title[80];
        std::snprintf(title, sizeof title, "Packet %ld from %s, %s", i + 1,
                      format_mac(from.bytes).c_str(), end_name(type == 1));
        const LibraryOutput output;
        debug_dump(title, buffer.data(), static_cast<unsigned>(size));
    }
    return kExitOk;
}

int command_codes(const Invocation &inv) {
    auto session = Session::open(inv.socket);
    if (!session) return kExitFailed;
    const CodesOptions &c = inv.codes;
    Bytes codes = c.values;
    const int count = static_cast<int>(codes.size());
    pcap *s = session->socket();
    int result;
    if (c.kind == "time")
        result = SpW_Send_Time_Codes(s, codes.data(), count);
    else if (c.kind == "int")
        result = SpW_Send_INT_Codes(s, codes.data(), count, c.five_bit);
    else if (c.kind == "ack")
        result = SpW_Send_ACK_Codes(s, codes.data(), count, c.five_bit);
    else if (c.kind == "cc01")
        result = SpW_Send_CC01_Codes(s, codes.data(), count);
    else if (c.kind == "cc11")
        result = SpW_Send_CC11_Codes(s, codes.data(), count);
    else
        result = SpW_Send_CCodes(s, codes.data(), count);
    if (result != 0) {
        fail("sending %d %s code(s) failed (%d)", count, c.kind.c_str(), result);
        return kExitFailed;
    }
    std::printf("Sent %d %s code(s): ok\n", count, c.kind.c_str());
    return kExitOk;
}

int command_config(const Invocation &inv) {
    auto session = Session::open(inv.socket);
    if (!session) return kExitFailed;
    pcap *s = session->socket();
    const ConfigOptions &c = inv.config;
    const auto value = [&](std::size_t i) { return i < c.values.size() ? c.values[i] : 0u; };
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(value(i)); };
    const std::string &what = c.setting;
    int result;
    if (what == "speed")
        result = SpW_Eth_Set_SpW_Speed(s, value(0));
    else if (what == "switch")
        result = SpW_Eth_Set_Switch_Mode(s, byte(0), byte(1));
    else if (what == "status-freq")
        result = SpW_Eth_Set_Status_Freq(s, byte(0));
    else if (what == "receive-timer")
        result = SpW_Eth_Set_Receive_Timer(s, byte(0));
    else if (what == "filter")
        result = SpW_Eth_Set_Filtr(s, byte(0));
    else if (what == "data-filter")
        result = SpW_Eth_Set_Data_Filtr(s, byte(0), byte(1));
    else if (what == "auto-bridge-mac")
        result = SpW_Eth_Set_Auto_MAC_Dest(s);
    else if (what == "auto-host-mac")
        result = SpW_Eth_Set_Auto_MAC_Source(s);
    else if (what == "reset")
        result = SpW_Eth_Reset(s);
    else if (what == "hw-reset")
        result = SpW_Eth_Set_Hardware_Reset(s);
    else if (what == "bridge-mac")
        result = SpW_Eth_Set_MAC_Dest(s, &c.mac);
    else
        result = SpW_Eth_Set_MAC_Source(s, &c.mac);
    if (result != 0) {
        fail("configuration '%s' was refused (%d)", what.c_str(), result);
        return kExitFailed;
    }
    std::printf("Configuration '%s' sent.\n", what.c_str());
    return kExitOk;
}

int command_status(const Invocation &inv) {
    auto session = Session::open(inv.socket);
    if (!session) return kExitFailed;
    spw_eth_state state{};
    const mac_address from = bridge_address();
    const int length =
        SpW_Eth_Get_State_From_MAC_Timeout(session->socket(), &state, &from, inv.status_timeout_ms);
    if (length <= 0) {
        fail("no status record from %s within %d ms", format_mac(from.bytes).c_str(),
             inv.status_timeout_ms);
        return kExitFailed;
    }
    if (inv.json) {
        print_json(status_json(decode_status(state), format_mac(from.bytes)));
        return kExitOk;
    }
    const LibraryOutput output;
    print_spw_eth_state(&state);
    return kExitOk;
}

// ---------------------------------------------------------------- RMAP

spw_rmap_target rmap_target_of(const RmapOptions &options) {
    spw_rmap_target target{};
    target.target_logical_address = static_cast<unsigned char>(options.logical_address);
    target.key = static_cast<unsigned char>(options.key);
    target.initiator_logical_address = static_cast<unsigned char>(options.initiator);
    std::copy(options.target_path.begin(), options.target_path.end(), target.target_address);
    target.target_address_length = static_cast<int>(options.target_path.size());
    std::copy(options.reply_path.begin(), options.reply_path.end(), target.reply_address);
    target.reply_address_length = static_cast<int>(options.reply_path.size());
    return target;
}

int command_rmap(const Invocation &inv) {
    const RmapOptions &o = inv.rmap;
    const spw_rmap_target target = rmap_target_of(o);
    const auto extended = static_cast<unsigned char>(o.extended);
    const int increment = o.no_increment ? 0 : SPW_RMAP_INCREMENT;
    auto session = Session::open(inv.socket);
    if (!session) return kExitFailed;
    pcap *socket = session->socket();

    int result = 0;
    Bytes returned;
    Bytes data = o.data;
    if (o.operation == "write") {
        const int flags =
            increment | (o.verify ? SPW_RMAP_VERIFY : 0) | (o.no_reply ? 0 : SPW_RMAP_REPLY);
        result = SpW_RMAP_Write(socket, &target, extended, o.address, data.data(),
                                static_cast<int>(data.size()), flags, o.timeout_ms);
    } else if (o.operation == "read") {
        returned.resize(static_cast<std::size_t>(o.length));
        result = SpW_RMAP_Read(socket, &target, extended, o.address, returned.data(),
                               static_cast<int>(returned.size()), increment, o.timeout_ms);
    } else {
        Bytes mask = o.mask ? *o.mask : Bytes(data.size(), 0xFF);
        returned.resize(data.size());
        result = SpW_RMAP_Read_Modify_Write(socket, &target, extended, o.address, data.data(),
                                            mask.data(), static_cast<int>(data.size()),
                                            returned.data(), o.timeout_ms);
    }
    const char *text = SpW_RMAP_Status_Text(result);
    if (inv.json) {
        json record{{"record", "rmap"},     {"operation", o.operation}, {"extended", o.extended},
                    {"address", o.address}, {"status", result},         {"status_text", text}};
        if (o.operation != "write")
            record["data"] = result == 0 ? hex_text(returned.data(), returned.size()) : "";
        print_json(record);
    } else {
        std::printf("RMAP %s at 0x%02X:%08X: %d, %s\n", o.operation.c_str(), extended, o.address,
                    result, text);
        if (result == 0 && !returned.empty()) {
            const LibraryOutput output;
            debug_dump(o.operation == "read" ? "Data read" : "Old data", returned.data(),
                       static_cast<unsigned>(returned.size()));
        }
    }
    if (result != 0) fail("RMAP %s failed: %d, %s", o.operation.c_str(), result, text);
    return result == 0 ? kExitOk : kExitFailed;
}

// ---------------------------------------------------------------- loopback

// Sizes of the loopback test: --sizes A,B,C cycles through a list; otherwise
// random sizes between --min and --max.
class SizePlan {
public:
    explicit SizePlan(const LoopbackOptions &options)
        : random_(options.seed), min_(options.min), max_(options.max), sizes_(options.sizes) {}
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

// What the loopback test reports of one packet that did not come back intact.
void report_packet(bool as_json, long number, const char *problem, long size, bool eep,
                   int length = -1, bool got_eep = false) {
    if (as_json) {
        json record{{"record", "loopback_packet"},
                    {"packet", number},
                    {"problem", problem},
                    {"sent_bytes", size},
                    {"sent_end", end_name(eep)}};
        if (length >= 0) {
            record["received_bytes"] = length;
            record["received_end"] = end_name(got_eep);
        }
        print_json(record);
        return;
    }
    if (std::strcmp(problem, "send failed") == 0)
        std::printf("Packet %ld: send of %ld bytes failed (%d).\n", number, size, length);
    else if (std::strcmp(problem, "lost") == 0)
        std::printf("Packet %ld: %ld bytes sent, nothing came back.\n", number, size);
    else
        std::printf("Packet %ld: sent %ld bytes with %s, got %d bytes with %s%s.\n", number, size,
                    end_name(eep), length, end_name(got_eep),
                    length == size ? ", content differs" : "");
}

int run_loopback(pcap *socket, const LoopbackOptions &options, bool as_json) {
    const bool crediting = !options.no_credits;
    set_send_crediting(crediting ? 1 : 0);
    if (options.credit_limit) set_send_credit_limit(*options.credit_limit);
    if (options.credit_wait) set_send_credit_wait(*options.credit_wait);
    if (!as_json) register_err_frame_event_handler(on_error_frame);

    const long count = options.count;
    SizePlan plan(options);
    // While the sender waits for credits, what the bridge sends back is set
    // aside in the read buffer: keep the host's own frames out of it (they
    // carry the all-zero source address) and make room for the largest echo.
    static const unsigned char kNoAddress[6] = {};
    if (std::memcmp(get_current_source_mac_address(), kNoAddress, 6) == 0)
        set_recv_skip_out_frames(1);
    const long echo_frames = plan.largest() / 1495 + 1;
    set_recv_buffer_size(static_cast<int>(std::max(1000000l, 2 * echo_frames * (1514 + 4))));
    const int timeout_ms = options.timeout_ms;
    set_send_credit_timeout(timeout_ms);
    Bytes packet, buffer(kRecvBufferSize);
    long ok = 0, errors = 0, lost = 0, sent_packets = 0;
    long lost_in_a_row = 0;
    bool answered = false;  // something came back from the bridge in this run
    unsigned long long bytes = 0;
    const auto start = Clock::now();
    for (long i = 0; i < count; ++i) {
        // With no bridge answering, one lost packet says it all: stop rather
        // than wait out the time-out of every packet left.
        if (lost_in_a_row > 0 && (!answered || lost_in_a_row >= 3)) {
            if (!as_json && !options.quiet) std::printf("\n");
            fail("no answer from the bridge %s within %d ms: stopped after packet %ld of %ld",
                 format_mac(get_current_dest_mac_address()).c_str(), timeout_ms, i, count);
            break;
        }
        const long size = plan.next(i);
        packet.resize(static_cast<std::size_t>(size));
        plan.random().fill(packet);
        const bool eep = plan.random().next() & 1;
        ++sent_packets;
        const int sent =
            SpW_Send_Packet(socket, packet.data(), static_cast<int>(size), eep ? 2 : 1);
        if (sent != size) {
            ++lost;
            ++lost_in_a_row;
            report_packet(as_json, i + 1, "send failed", size, eep, sent);
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
        if (length == SPWETH_TIMED_OUT || length < 0) {
            ++lost;
            ++lost_in_a_row;
            report_packet(as_json, i + 1, "lost", size, eep);
            continue;
        }
        answered = true;
        lost_in_a_row = 0;
        if (length != size || type != (eep ? 1 : 0) ||
            std::memcmp(buffer.data(), packet.data(), static_cast<std::size_t>(size)) != 0) {
            ++errors;
            report_packet(as_json, i + 1, length == size ? "content differs" : "length differs",
                          size, eep, length, type == 1);
            continue;
        }
        ++ok;
        bytes += static_cast<unsigned long long>(size);
        if (!as_json && !options.quiet && ((i + 1) % 100 == 0 || i + 1 == count)) {
            std::printf("\rLoopback: %ld / %ld packets", i + 1, count);
            std::fflush(stdout);
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double rate = seconds > 0 ? bytes / seconds / 1e6 : 0.0;
    if (as_json) {
        print_json({{"record", "loopback"},
                    {"packets", count},
                    {"sent", sent_packets},
                    {"intact", ok},
                    {"bytes", bytes},
                    {"seconds", seconds},
                    {"mb_per_s", rate},
                    {"errors", errors},
                    {"lost", lost},
                    {"credit_flow_control", crediting}});
    } else {
        std::printf(
            "\nLoopback summary: %ld packets, %ld intact, %llu bytes, %.2f MB/s, "
            "%ld errors, %ld lost (credit flow control %s)\n",
            count, ok, bytes, rate, errors, lost, crediting ? "on" : "off");
    }
    const bool passed = errors == 0 && lost == 0 && sent_packets == count;
    if (!passed && answered)
        fail("loopback failed: %ld of %ld packets intact, %ld errors, %ld lost", ok, count, errors,
             lost);
    return passed ? kExitOk : kExitFailed;
}

int command_loopback(const Invocation &inv) {
    auto session = Session::open(inv.socket);
    return session ? run_loopback(session->socket(), inv.loopback, inv.json) : kExitFailed;
}

// ---------------------------------------------------------------- menu

std::string read_line(const char *prompt);

// A number within low..high from the user; nothing (and a note) for anything
// else, so that a menu action with a typo does nothing rather than send a
// value nobody meant.
std::optional<int> read_number(const char *prompt, long long low, long long high) {
    const std::string line = read_line(prompt);
    const auto value = parse_number(line);
    if (!value || *value < low || *value > high) {
        std::printf("'%s' is not a number within %lld..%lld: nothing done.\n", line.c_str(), low,
                    high);
        return std::nullopt;
    }
    return static_cast<int>(*value);
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
            command_list(false);
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
                if (!bytes) {
                    std::printf("Give hexadecimal digits in pairs: nothing sent.\n");
                    break;
                }
                const auto eep = read_number("End marker (1 EOP, 2 EEP): ", 1, 2);
                if (eep)
                    std::printf("Sent %d bytes.\n",
                                SpW_Send_Packet(socket, bytes->data(),
                                                static_cast<int>(bytes->size()), *eep));
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
                if (length < 0)
                    std::printf("Nothing within 5 s (%d).\n", length);
                else
                    debug_dump(type == 1 ? "Packet (EEP)" : "Packet (EOP)", buffer.data(),
                               static_cast<unsigned>(std::min(length, kRecvBufferSize)));
            }
            break;
        case '8':
            if (need_socket())
                if (const auto code = read_number("Time code (0-63): ", 0, 63))
                    std::printf("Result %d\n", SpW_Send_Time_Code(socket, *code));
            break;
        case '9':
            if (need_socket()) {
                const auto kind = read_number("1 INT, 2 ACK: ", 1, 2);
                if (!kind) break;
                const auto five_bit = read_number("Five-bit identifier (0/1): ", 0, 1);
                if (!five_bit) break;
                const auto code = read_number(*five_bit ? "Code (0-31): " : "Code (0-63): ", 0,
                                              *five_bit ? 31 : 63);
                if (!code) break;
                std::printf("Result %d\n", *kind == 2
                                               ? SpW_Send_ACK_Code(socket, *code, *five_bit)
                                               : SpW_Send_INT_Code(socket, *code, *five_bit));
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
                if (const auto mbit =
                        read_number("Mbit/s (10, 50, 100, 200, 300, 400, 500): ", 10, 500))
                    std::printf("Result %d\n",
                                SpW_Eth_Set_SpW_Speed(socket, static_cast<unsigned>(*mbit)));
            break;
        case 'd':
            if (need_socket()) {
                const auto data = read_number("Data mode (0-8): ", 0, 8);
                if (!data) break;
                const auto ccode = read_number("Control-code mode (0-3, 5-8): ", 0, 8);
                if (!ccode) break;
                if (*ccode == 4) {
                    std::printf("Control-code mode 4 does not exist: nothing sent.\n");
                    break;
                }
                std::printf("Result %d\n",
                            SpW_Eth_Set_Switch_Mode(socket, static_cast<unsigned char>(*data),
                                                    static_cast<unsigned char>(*ccode)));
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
            if (const auto on = read_number("Read buffers on (1) / off (0): ", 0, 1))
                std::printf("Buffering %d\n", set_recv_buffering(*on));
            if (const auto size =
                    read_number("Read buffer size (bytes, 1500-67108864): ", 1500, 1 << 26))
                set_recv_buffer_size(*size);
            break;
        case 'h':
            if (const auto on = read_number("Credit flow control (1/0): ", 0, 1))
                std::printf("Crediting %d\n", set_send_crediting(*on));
            if (const auto limit = read_number("Credit limit (1-32): ", 1, 32))
                set_send_credit_limit(*limit);
            if (const auto level = read_number("Credit wait level (0-255): ", 0, 255))
                set_send_credit_wait(*level);
            std::printf("Bridge credits now %d\n", get_bridge_credits());
            break;
        case 'i': {
            const LibraryOutput output;
            Display_SDK_and_demo_information();
            break;
        }
        case 'k':
            if (need_socket()) {
                LoopbackOptions loop;
                const auto count = read_number("Packets: ", 1, 1 << 30);
                if (!count) break;
                const auto min = read_number("Smallest size: ", 0, kLargestReceivedPacket);
                if (!min) break;
                const auto max = read_number("Largest size: ", *min, kLargestReceivedPacket);
                if (!max) break;
                loop.count = *count;
                loop.min = *min;
                loop.max = *max;
                run_loopback(socket, loop, false);
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

}  // namespace

int run(const Invocation &inv) {
    switch (inv.command) {
        case Command::info: {
            const LibraryOutput output;
            Display_SDK_and_demo_information();
            return kExitOk;
        }
        case Command::list:
            return command_list(inv.json);
        case Command::menu:
            return command_menu();
        case Command::help:
            return kExitOk;
        case Command::send:
            return command_send(inv);
        case Command::recv:
            return command_recv(inv);
        case Command::codes:
            return command_codes(inv);
        case Command::config:
            return command_config(inv);
        case Command::status:
            return command_status(inv);
        case Command::loopback:
            return command_loopback(inv);
        case Command::rmap:
            return command_rmap(inv);
        case Command::monitor: {
            auto session = Session::open(inv.socket);
            return session ? run_monitor(session->socket(), session->name(), inv.monitor, inv.json)
                           : kExitFailed;
        }
    }
    return kExitUsage;
}

}  // namespace demo

int main(int argc, char **argv) {
    // No exception leaves main: one that escapes a command is a failure at
    // run time, reported on one line.
    try {
        set_console_handler(demo::on_library_message, nullptr);
        const demo::Parsed parsed = demo::parse_command_line(argc, argv);
        if (!parsed.invocation) return parsed.exit_code;
        return demo::run(*parsed.invocation);
    } catch (const std::exception &error) {
        std::fflush(stdout);
        std::fprintf(stderr, "spweth-demo: %s\n", error.what());
    } catch (...) {
        std::fflush(stdout);
        std::fprintf(stderr, "spweth-demo: unexpected failure\n");
    }
    return demo::kExitFailed;
}
