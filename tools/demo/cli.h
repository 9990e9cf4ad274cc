// The demo's command line: every command, option, type and range in one
// place (cli.cpp, on CLI11). The commands receive checked values only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "spweth.h"
#include "status_record.h"

namespace demo {

using Bytes = std::vector<unsigned char>;

// Exit codes of the demo.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The RMAP key the demo, python -m spweth, the Python package and the bridge
// emulator's target take when none is given.
constexpr unsigned kDefaultRmapKey = 0x20;
constexpr unsigned kDefaultLogicalAddress = 0xFE;

// The largest packet the receiving commands take (their read buffer).
constexpr long kLargestReceivedPacket = 1 << 20;

enum class Command {
    info,
    list,
    menu,
    help,
    send,
    recv,
    codes,
    config,
    status,
    loopback,
    rmap,
    monitor
};

// Where a command's socket goes: --iface NAME or --num N, and the addresses.
struct SocketOptions {
    std::string iface;
    std::optional<int> number;
    std::optional<mac_address> bridge;
    std::optional<mac_address> host;
    bool spin = false;
};

struct SendOptions {
    std::optional<Bytes> hex;
    std::string file;
    long random = 16;
    std::uint64_t seed = 1;
    bool eep = false;
    std::optional<int> channel;
};

struct RecvOptions {
    long count = 1;
    int timeout_ms = 5000;  // 0: no time-out
};

struct CodesOptions {
    std::string kind = "time";
    int five_bit = 0;
    Bytes values;
};

struct ConfigOptions {
    std::string setting;           // speed, switch, status-freq, ...
    std::vector<unsigned> values;  // its numbers, checked
    mac_address mac{};             // bridge-mac, host-mac
};

struct LoopbackOptions {
    long count = 100;
    std::vector<long> sizes;
    long min = 1;
    long max = 4096;
    std::uint64_t seed = 1;
    bool no_credits = false;
    std::optional<int> credit_limit;
    std::optional<int> credit_wait;
    int timeout_ms = 3000;
    bool quiet = false;
};

struct RmapOptions {
    std::string operation;  // read, write, rmw
    std::uint32_t address = 0;
    unsigned extended = 0;
    long length = 4;
    Bytes data;
    std::optional<Bytes> mask;
    unsigned logical_address = kDefaultLogicalAddress;
    unsigned key = kDefaultRmapKey;
    unsigned initiator = kDefaultLogicalAddress;
    Bytes target_path;
    Bytes reply_path;
    bool no_increment = false;
    bool verify = false;
    bool no_reply = false;
    int timeout_ms = 1000;
};

struct MonitorOptions {
    int interval_ms = 1000;
};

struct Invocation {
    Command command = Command::help;
    bool json = false;
    SocketOptions socket;
    SendOptions send;
    RecvOptions recv;
    CodesOptions codes;
    ConfigOptions config;
    int status_timeout_ms = 5000;
    LoopbackOptions loopback;
    RmapOptions rmap;
    MonitorOptions monitor;
};

// The invocation of argv, or the exit code of a command line that ends the
// program here: --help and help print the help (0); a usage error prints one
// line on standard error, with the command's usage (2).
struct Parsed {
    std::optional<Invocation> invocation;
    int exit_code = kExitOk;
};
Parsed parse_command_line(int argc, char **argv);

// Text forms shared by the parser and the menu.
std::optional<mac_address> parse_mac(const std::string &text);
std::optional<Bytes> parse_hex(const std::string &text);
using records::format_mac;
// A whole number in decimal or 0x hexadecimal; nothing for other text or beyond 63 bits.
std::optional<long long> parse_number(const std::string &text);

}  // namespace demo
