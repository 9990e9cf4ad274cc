// RMAP transactions against the emulator's target, beside a raw floor.
//
// SDK: SpW_RMAP_Read / SpW_RMAP_Write of 4 bytes, one transaction at a time.
// Raw: pcap_sendpacket of the very frame the library sends for that command,
// and a pcap_next_ex loop (or poll() + pcap_next_ex) until the target's reply
// is there: the same frames through the same target, without the library.
#include <poll.h>

#include <array>
#include <cstring>
#include <deque>

#include "net_bench.h"
#include "spweth_rmap.h"

namespace bench {
namespace {

constexpr unsigned char kTargetLogicalAddress = 0xFE;
constexpr unsigned char kTargetKey = 0x20;
constexpr unsigned int kRegister = 0x100;
constexpr int kRegisterBytes = 4;
constexpr int kTransactionTimeoutMs = 1000;
// Replies to 4-byte commands: a read's header, data and data CRC; a write's header.
constexpr std::size_t kReadReplySize = 12 + kRegisterBytes + 1;
constexpr std::size_t kWriteReplySize = 8;
constexpr std::size_t kProtocolOffset = 1;  // in a reply without reply address bytes
constexpr std::uint8_t kRmapProtocol = 0x01;
constexpr int kTargetLatencyUs = 200;  // the in-flight table's target
constexpr int kInFlightRounds = 5;

spw_rmap_target emulator_target() {
    spw_rmap_target target{};
    target.target_logical_address = kTargetLogicalAddress;
    target.key = kTargetKey;
    target.initiator_logical_address = 0xFE;
    return target;
}

// Waits on a raw handle for the target's reply: a data frame from the bridge
// whose payload is an RMAP reply of `size` bytes.
void raw_reply(pcap_t *raw, std::size_t size, bool idle_wait) {
    pcap_pkthdr *header;
    const u_char *data;
    pollfd capture{pcap_get_selectable_fd(raw), POLLIN, 0};
    const auto give_up = Clock::now() + std::chrono::milliseconds(kTransactionTimeoutMs);
    for (unsigned empty = 0;;) {
        const int got = pcap_next_ex(raw, &header, &data);
        if (got == 1) {
            if (header->caplen >= kHeaderSize + size &&
                std::memcmp(data + kSourceOffset, kBridgeAddress.bytes, 6) == 0 &&
                data[kTypeOffset] <= kLastDataType &&
                data[kHeaderSize + kProtocolOffset] == kRmapProtocol)
                return;
            continue;
        }
        if (got < 0) fail(std::string("pcap_next_ex: ") + pcap_geterr(raw));
        if (idle_wait) poll(&capture, 1, kTransactionTimeoutMs);
        if ((idle_wait || ++empty % 4096 == 0) && Clock::now() > give_up)
            fail("RMAP: raw reply lost");
    }
}

RmapSetting measure_one(const Options &options, pcap_t *&sdk, const Emulator &emulator,
                        RmapKind kind, bool idle_wait) {
    RmapSetting setting;
    setting.kind = kind;
    setting.idle_wait = idle_wait;
    const spw_rmap_target target = emulator_target();
    std::array<unsigned char, kRegisterBytes> value{0x12, 0x34, 0x56, 0x78};
    std::array<unsigned char, 64> command{};
    const int built =
        kind == RmapKind::read
            ? SpW_RMAP_Build_Read(&target, 1, 0, kRegister, kRegisterBytes, SPW_RMAP_INCREMENT,
                                  command.data(), static_cast<int>(command.size()))
            : SpW_RMAP_Build_Write(&target, 1, 0, kRegister, value.data(), kRegisterBytes,
                                   SPW_RMAP_INCREMENT | SPW_RMAP_REPLY, command.data(),
                                   static_cast<int>(command.size()));
    if (built <= 0) fail("RMAP: cannot build the command");
    setting.command_size = static_cast<std::size_t>(built);
    Bytes frame =
        sdk_frames(sdk, options.host, Bytes(command.begin(), command.begin() + built), kZeroAddress)
            .at(0);
    const std::size_t reply_size = kind == RmapKind::read ? kReadReplySize : kWriteReplySize;
    set_recv_idle_wait(idle_wait ? 1 : 0);
    const Emulator::CpuTime before = emulator.cpu_time();
    setting.times = time_rounds(
        options, sdk, options.rmap_transactions, options.latency_rounds, frame[kNumberOffset],
        [&] {
            const int result =
                kind == RmapKind::read
                    ? SpW_RMAP_Read(sdk, &target, 0, kRegister, value.data(), kRegisterBytes,
                                    SPW_RMAP_INCREMENT, kTransactionTimeoutMs)
                    : SpW_RMAP_Write(sdk, &target, 0, kRegister, value.data(), kRegisterBytes,
                                     SPW_RMAP_INCREMENT | SPW_RMAP_REPLY, kTransactionTimeoutMs);
            if (result != 0) fail(std::string("RMAP: ") + SpW_RMAP_Status_Text(result));
        },
        [&](pcap_t *raw, std::uint8_t number) {
            frame[kNumberOffset] = number;
            if (pcap_sendpacket(raw, frame.data(), static_cast<int>(frame.size())) != 0)
                fail(std::string("pcap_sendpacket: ") + pcap_geterr(raw));
            raw_reply(raw, reply_size, idle_wait);
        });
    setting.emulator = emulator_cost(before, emulator.cpu_time(), setting.times.frames);
    set_recv_idle_wait(0);
    return setting;
}

const char *kind_name(RmapKind kind) { return kind == RmapKind::read ? "read" : "write"; }

// Transactions per second of `count` 4-byte reads with up to `depth` in
// flight: the oldest is ended before the next is begun.
double reads_per_second(pcap_t *sdk, int depth, int count) {
    const spw_rmap_target target = emulator_target();
    const spw_rmap_request read{SPW_RMAP_KIND_READ, 0, kRegister, nullptr, nullptr, kRegisterBytes,
                                SPW_RMAP_INCREMENT};
    std::array<unsigned char, kRegisterBytes> value{};
    std::deque<int> tickets;
    const auto started = Clock::now();
    for (int begun = 0, ended = 0; ended < count; ++ended) {
        for (; begun < count && static_cast<int>(tickets.size()) < depth; ++begun) {
            const int ticket = SpW_RMAP_Begin(sdk, &target, &read);
            if (ticket < 0) fail(std::string("RMAP begin: ") + SpW_RMAP_Status_Text(ticket));
            tickets.push_back(ticket);
        }
        const int result =
            SpW_RMAP_End(sdk, tickets.front(), value.data(), kRegisterBytes, kTransactionTimeoutMs);
        if (result != 0) fail(std::string("RMAP end: ") + SpW_RMAP_Status_Text(result));
        tickets.pop_front();
    }
    return count / std::chrono::duration<double>(Clock::now() - started).count();
}

}  // namespace

std::vector<std::string> rmap_latency_emulator_arguments() {
    std::vector<std::string> arguments = rmap_emulator_arguments();
    arguments.insert(arguments.end(), {"--rmap-latency-us", std::to_string(kTargetLatencyUs)});
    return arguments;
}

std::vector<InFlightRow> measure_rmap_in_flight(const Options &options, pcap_t *sdk) {
    std::vector<InFlightRow> rows;
    for (const int depth : {1, 4, 16, 64}) rows.push_back({depth, {}});
    // Depths alternate round by round, so that a noisy moment touches them all.
    const int per_round = static_cast<int>(std::max(64L, options.rmap_transactions / 20));
    for (int round = 0; round < kInFlightRounds; ++round)
        for (InFlightRow &row : rows) {
            std::fprintf(stderr, "          RMAP reads, %d in flight, round %d\n", row.depth,
                         round + 1);
            row.rates.push_back(reads_per_second(sdk, row.depth, per_round));
        }
    return rows;
}

void write_rmap_in_flight(std::FILE *out, std::FILE *targets, const std::vector<InFlightRow> &rows,
                          const Options &options) {
    if (rows.empty()) return;
    std::fprintf(out,
                 "### 7b. RMAP transactions in flight\n\n"
                 "4-byte reads with `SpW_RMAP_Begin` / `SpW_RMAP_End`, up to *depth* in flight "
                 "(the oldest ended before the next begins), to a target that answers each "
                 "command %d us after it arrived (`--rmap-latency-us %d`). %d rounds of %ld "
                 "reads per depth, the depths alternating round by round; transactions per "
                 "second, median of the rounds, and the ratio to one at a time.\n\n"
                 "| depth | reads/s | x one at a time |\n|---:|---:|---:|\n",
                 kTargetLatencyUs, kTargetLatencyUs, kInFlightRounds,
                 std::max(64L, options.rmap_transactions / 20));
    const double one = median(rows.front().rates);
    double sixteen = 0;
    for (const InFlightRow &row : rows) {
        const double rate = median(row.rates);
        if (row.depth == 16) sixteen = rate / one;
        std::fprintf(out, "| %d | %.0f | %.2f |\n", row.depth, rate, rate / one);
    }
    std::fprintf(out, "\n");
    std::fprintf(targets,
                 "| RMAP reads, 16 in flight >= 8 x one at a time (%d us target latency) "
                 "| %.2f | %s |\n",
                 kTargetLatencyUs, sixteen, sixteen >= 8 ? "yes" : "NO");
}

std::vector<std::string> rmap_emulator_arguments() {
    char target[48];
    std::snprintf(target, sizeof target, "0x%02X,0x%02X,65536", kTargetLogicalAddress, kTargetKey);
    return {"--rmap-target", target};
}

std::vector<RmapSetting> measure_rmap(const Options &options, pcap_t *&sdk,
                                      const Emulator &emulator) {
    std::vector<RmapSetting> settings;
    for (const auto &[kind, idle_wait] :
         {std::pair{RmapKind::read, false}, {RmapKind::write, false}, {RmapKind::read, true}}) {
        std::fprintf(stderr, "          RMAP %s, idle wait %s\n", kind_name(kind),
                     idle_wait ? "on" : "off");
        settings.push_back(measure_one(options, sdk, emulator, kind, idle_wait));
    }
    return settings;
}

void write_rmap(std::FILE *out, std::FILE *targets, const std::vector<RmapSetting> &settings,
                double raw_echo_p50_us) {
    if (settings.empty()) return;
    std::fprintf(
        out,
        "### 7. RMAP transactions against the emulator's target\n\n"
        "4-byte `SpW_RMAP_Read` and `SpW_RMAP_Write` (with reply) to the target that "
        "`--rmap-target` puts behind the emulator, one transaction at a time, against the raw "
        "floor: `pcap_sendpacket` of the very frame the library sends for that command and a "
        "`pcap_next_ex` loop (idle wait on: `poll()` + `pcap_next_ex`) until the target's reply "
        "is there. Microseconds; transactions per second from the summed times; %zu transactions "
        "per row and side; the emulator spins as in table 5. *16-B echo*: raw p50 of a plain "
        "16-byte round trip (table 5, the size of the read command), for comparison.\n\n"
        "| transaction | idle wait | command / reply bytes | raw/s | SDK/s | raw p50 | SDK p50 "
        "| p50 SDK/raw | raw p99 | SDK p99 | p99 SDK/raw | SDK p50 / 16-B echo |\n"
        "|---|:---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n",
        settings.front().times.sdk_us.size());
    for (const RmapSetting &s : settings) {
        const double per_second_raw =
            static_cast<double>(s.times.raw_us.size()) / s.times.raw_seconds;
        const double per_second_sdk =
            static_cast<double>(s.times.sdk_us.size()) / s.times.sdk_seconds;
        char versus_echo[16] = "";
        if (!s.idle_wait)
            std::snprintf(versus_echo, sizeof versus_echo, "%.3f",
                          quantile(s.times.sdk_us, 0.5) / raw_echo_p50_us);
        std::fprintf(out, "| %s | %s | %zu / %zu | %.0f | %.0f | %s | %s |\n", kind_name(s.kind),
                     s.idle_wait ? "on" : "off", s.command_size,
                     s.kind == RmapKind::read ? kReadReplySize : kWriteReplySize, per_second_raw,
                     per_second_sdk, percentile_cells(s.times).c_str(), versus_echo);
    }
    std::fprintf(out, "\n");
    const double ratio = settings.front().times.ratio(0.5);
    std::fprintf(targets,
                 "| RMAP 4-byte read p50 <= 1.2 x raw floor (same frames), idle wait off "
                 "| %.3f | %s |\n",
                 ratio, ratio <= 1.2 ? "yes" : "NO");
}

}  // namespace bench
