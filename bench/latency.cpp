// Latency and the cost of waiting, side by side with raw libpcap.
//
//  5. Round trips of one packet through the bridge emulator: the library's
//     SpW_Send_Packet + SpW_Recv_Packet_From_MAC against pcap_sendpacket of the
//     very frames the library sends + a pcap_next_ex loop that finds the echo,
//     on a raw handle opened as the library opens its socket; idle wait off
//     (both spin) and on (the library sleeps in its idle wait, raw in poll()).
//  6. Waiting: the CPU time of a receive that waits for a packet that does not
//     come, and the delay from a frame sent by the peer to the return of a
//     receive that waited for it.
// SDK and raw rounds alternate, and which goes first alternates too.
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <fstream>
#include <optional>
#include <random>
#include <thread>

#include "link/sockets.h"
#include "net_bench.h"

namespace bench {
namespace {

constexpr int kEchoTimeoutMs = 1000;  // raw: a frame not back by then is lost
constexpr int kWarmUpTrips = 50;      // untimed, at the start of every round
// After each round: keeps the spinning real-time threads under the kernel's
// real-time budget, whose throttling would stop them for 50 ms.
constexpr auto kRoundPause = std::chrono::milliseconds(10);
constexpr int kWakeUpBlock = 200;  // about 0.3 s
constexpr auto kWakeUpBlockPause = std::chrono::milliseconds(60);

const char *on_off(bool on) { return on ? "on" : "off"; }
const char *met(bool yes) { return yes ? "yes" : "NO"; }

double microseconds(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

double thread_cpu_seconds() {
    timespec used{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) * 1e-9;
}

// A frame from the bridge that carries packet data of at least `size` bytes.
bool is_echo(const pcap_pkthdr *header, const u_char *data, std::size_t size) {
    return header->caplen >= kHeaderSize + size &&
           std::memcmp(data + kSourceOffset, kBridgeAddress.bytes, 6) == 0 &&
           data[kTypeOffset] <= kLastDataType;
}

// Waits for a frame from the bridge with the packet's bytes on a raw handle:
// spinning on pcap_next_ex, or sleeping in poll() between empty reads.
// False when none came within kEchoTimeoutMs.
bool raw_receive(pcap_t *raw, const Bytes &packet, bool idle_wait) {
    pcap_pkthdr *header;
    const u_char *data;
    const auto give_up = Clock::now() + std::chrono::milliseconds(kEchoTimeoutMs);
    pollfd capture{pcap_get_selectable_fd(raw), POLLIN, 0};
    for (unsigned empty = 0;;) {
        const int got = pcap_next_ex(raw, &header, &data);
        if (got == 1) {
            if (is_echo(header, data, packet.size()) &&
                std::memcmp(data + kHeaderSize, packet.data(), packet.size()) == 0)
                return true;
            continue;
        }
        if (got < 0) fail(std::string("pcap_next_ex: ") + pcap_geterr(raw));
        if (idle_wait) poll(&capture, 1, kEchoTimeoutMs);
        if ((idle_wait || ++empty % 4096 == 0) && Clock::now() > give_up) return false;
    }
}

// --- 5. Round-trip latency ---------------------------------------------------------

struct LatencySetting {
    int size = 0;
    bool idle_wait = false;
    bool emulator_spins = false;
    TripTimes times;
    EmulatorCost emulator;
};

}  // namespace

// Nearest-rank quantile of sorted values.
double quantile(const std::vector<double> &sorted, double q) {
    if (sorted.empty()) return 0;
    const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(sorted.size())));
    return sorted[std::min(sorted.size(), std::max<std::size_t>(rank, 1)) - 1];
}

// Runs rounds of single-frame trips, SDK and raw alternately (each alone on
// the adapter, see RawAlone), which goes first alternating too; every round
// starts with kWarmUpTrips untimed trips. Each call of sdk_trip sends exactly
// one frame; raw_trip gets the raw handle and the library's last frame number,
// which its frame should carry: the bridge counts a repeated number and does
// not report it, so the library's numbering carries on unbroken.
TripTimes time_rounds(const Options &options, pcap_t *&sdk, long trips_per_side, int rounds,
                      std::uint8_t last_number, const std::function<void()> &sdk_trip,
                      const std::function<void(pcap_t *, std::uint8_t)> &raw_trip) {
    TripTimes times;
    const long per_round = std::max(1L, trips_per_side / std::max(1, rounds));
    Watchdog watchdog;  // at normal priority: made before the raise
    const RealtimePriority priority(options.realtime);
    auto run = [&](std::vector<double> &us, double &seconds, const std::function<void()> &trip) {
        for (long n = -kWarmUpTrips; n < per_round; ++n) {
            const auto start = Clock::now();
            trip();
            const auto end = Clock::now();
            watchdog.progress();
            if (n < 0) continue;
            us.push_back(microseconds(end - start));
            seconds += std::chrono::duration<double>(end - start).count();
        }
        times.frames += per_round + kWarmUpTrips;
        std::this_thread::sleep_for(kRoundPause);
    };
    auto sdk_round = [&] {
        drain(sdk);
        run(times.sdk_us, times.sdk_seconds, [&] {
            sdk_trip();
            ++last_number;
        });
    };
    auto raw_round = [&] {
        {
            const RawAlone alone(options, sdk);
            run(times.raw_us, times.raw_seconds, [&] { raw_trip(alone.handle(), last_number); });
        }
        last_number = 0xFF;  // the reopened socket numbers from 0
    };
    for (int round = 0; round < rounds; ++round) {
        if (round % 2 == 0) {
            raw_round();
            sdk_round();
        } else {
            sdk_round();
            raw_round();
        }
    }
    std::sort(times.sdk_us.begin(), times.sdk_us.end());
    std::sort(times.raw_us.begin(), times.raw_us.end());
    return times;
}

double TripTimes::ratio(double q) const { return quantile(sdk_us, q) / quantile(raw_us, q); }

std::string percentile_cells(const TripTimes &times) {
    char cells[160];
    std::snprintf(cells, sizeof cells, "%.1f | %.1f | %.3f | %.1f | %.1f | %.3f",
                  quantile(times.raw_us, 0.5), quantile(times.sdk_us, 0.5), times.ratio(0.5),
                  quantile(times.raw_us, 0.99), quantile(times.sdk_us, 0.99), times.ratio(0.99));
    return cells;
}

EmulatorCost emulator_cost(const Emulator::CpuTime &before, const Emulator::CpuTime &after,
                           long frames) {
    const double count = static_cast<double>(std::max(1L, frames));
    return {(after.user - before.user) * 1e6 / count, (after.system - before.system) * 1e6 / count};
}

namespace {

LatencySetting measure_latency(const Options &options, pcap_t *&sdk, const Emulator &emulator,
                               bool emulator_spins, int size, bool idle_wait) {
    LatencySetting setting;
    setting.size = size;
    setting.idle_wait = idle_wait;
    setting.emulator_spins = emulator_spins;
    Bytes packet = pattern(static_cast<std::size_t>(size));
    Bytes buffer(packet.size());
    Bytes frame = sdk_frames(sdk, options.host, packet, kZeroAddress).at(0);
    // Every trip's packet carries a number of its own in its first bytes, so
    // that no side can take an earlier echo for this one.
    std::uint32_t trips = 0;
    const std::size_t tag = std::min(sizeof trips, packet.size());
    auto number_trip = [&] {
        ++trips;
        std::memcpy(packet.data(), &trips, tag);
    };
    set_recv_idle_wait(idle_wait ? 1 : 0);
    const Emulator::CpuTime before = emulator.cpu_time();
    setting.times = time_rounds(
        options, sdk, options.latency_trips, options.latency_rounds, frame[kNumberOffset],
        [&] {
            number_trip();
            mac_address from = kBridgeAddress;
            unsigned char type = 0;
            if (SpW_Send_Packet(sdk, packet.data(), size, kEndWithEop) != size)
                fail("SpW_Send_Packet");
            const int n = SpW_Recv_Packet_From_MAC(sdk, buffer.data(), size, from.bytes, &type);
            if (n != size || buffer != packet)
                fail("latency: packet of " + std::to_string(size) + " B not back intact");
        },
        [&](pcap_t *raw, std::uint8_t number) {
            number_trip();
            std::memcpy(frame.data() + kHeaderSize, packet.data(), tag);
            frame[kNumberOffset] = number;
            if (pcap_sendpacket(raw, frame.data(), static_cast<int>(frame.size())) != 0)
                fail(std::string("pcap_sendpacket: ") + pcap_geterr(raw));
            if (!raw_receive(raw, packet, idle_wait))
                fail("latency: raw echo of " + std::to_string(size) + " B lost");
        });
    setting.emulator = emulator_cost(before, emulator.cpu_time(), setting.times.frames);
    set_recv_idle_wait(0);
    return setting;
}

// The CDF of each setting's round trips, SDK then raw, in the order measured,
// for latency.gp: about 2000 points per curve, and the last sample.
void write_latency_data(const std::string &path, const std::vector<LatencySetting> &settings) {
    std::ofstream out(path);
    for (const LatencySetting &s : settings)
        for (const auto *side : {&s.times.sdk_us, &s.times.raw_us}) {
            out << "# " << s.size << " B, idle wait " << on_off(s.idle_wait) << ", emulator "
                << (s.emulator_spins ? "spins" : "sleeps") << ", "
                << (side == &s.times.sdk_us ? "SDK" : "raw") << ": microseconds fraction\n";
            const std::size_t n = side->size();
            const std::size_t step = std::max<std::size_t>(1, n / 2000);
            for (std::size_t i = 0; i < n; i += step)
                out << (*side)[i] << ' ' << static_cast<double>(i + 1) / static_cast<double>(n)
                    << '\n';
            if (n > 0) out << side->back() << " 1\n";
            out << "\n\n";
        }
}

// --- 6. Waiting --------------------------------------------------------------------

struct IdleCost {
    bool idle_wait = false;
    double cpu_seconds = 0, wall_seconds = 0;
    int result = 0;
    double share() const { return wall_seconds > 0 ? cpu_seconds / wall_seconds : 0; }
};

// A thread at normal priority waits options.idle_seconds for a packet that
// does not come (the emulator is up, so its status frames arrive meanwhile).
IdleCost measure_idle_cost(const Options &options, pcap_t *sdk, bool idle_wait) {
    IdleCost cost;
    cost.idle_wait = idle_wait;
    set_recv_idle_wait(idle_wait ? 1 : 0);
    drain(sdk);
    std::thread waiting([&] {
        Bytes buffer(16);
        mac_address from = kBridgeAddress;
        unsigned char type = 0;
        const double cpu_before = thread_cpu_seconds();
        const auto start = Clock::now();
        cost.result = SpW_Recv_Packet_From_MAC_Timeout(
            sdk, buffer.data(), static_cast<int>(buffer.size()), from.bytes, &type,
            static_cast<int>(options.idle_seconds * 1000));
        cost.wall_seconds = seconds_since(start);
        cost.cpu_seconds = thread_cpu_seconds() - cpu_before;
    });
    waiting.join();
    set_recv_idle_wait(0);
    return cost;
}

struct WakeUps {
    bool idle_wait = false;
    std::vector<double> sdk_us, raw_us;  // sorted
};

// The peer sends one frame from the bridge's address at a random moment; the
// receiving thread (waiting in a receive, or for raw in poll() or a
// pcap_next_ex loop) notes when its call returns. Delay: from just before
// pcap_sendpacket on the peer to just after the receive's return.
WakeUps measure_wake_ups(const Options &options, pcap_t *&sdk, pcap_t *peer, const Bytes &frame,
                         bool idle_wait) {
    WakeUps result;
    result.idle_wait = idle_wait;
    const Bytes payload(frame.begin() + kHeaderSize, frame.begin() + kHeaderSize + 16);
    set_recv_idle_wait(idle_wait ? 1 : 0);
    std::mt19937 random(7);
    std::uniform_int_distribution<int> pause_us(1000, 2000);
    auto side = [&](bool library, std::vector<double> &delays) {
        std::optional<RawAlone> alone;
        if (!library) alone.emplace(options, sdk);
        pcap_t *raw = library ? nullptr : alone->handle();
        drain(library ? sdk : raw);
        std::atomic<long> returned{0};
        std::atomic<Clock::rep> sent_at{0};
        // One receiving thread per block of wake-ups, and a pause between
        // blocks: a thread that spins at real-time priority for most of a
        // second would be throttled by the kernel for 50 ms.
        auto receive_block = [&](int first, int end) {
            const RealtimePriority priority(options.realtime);
            Bytes buffer(payload.size());
            for (int i = first; i < end; ++i) {
                bool got;
                if (library) {
                    mac_address from = kBridgeAddress;
                    unsigned char type = 0;
                    got = SpW_Recv_Packet_From_MAC_Timeout(
                              sdk, buffer.data(), static_cast<int>(buffer.size()), from.bytes,
                              &type, kEchoTimeoutMs) == static_cast<int>(buffer.size());
                } else {
                    got = raw_receive(raw, payload, idle_wait);
                }
                const auto now = Clock::now().time_since_epoch().count();
                if (!got) fail("wake-up: frame from the peer not received");
                delays.push_back(microseconds(Clock::duration(now - sent_at.load())));
                returned.store(i + 1);
            }
        };
        const RealtimePriority priority(options.realtime, kControllerPriority);
        for (int first = 0; first < options.wakeups; first += kWakeUpBlock) {
            const int end = std::min(options.wakeups, first + kWakeUpBlock);
            std::thread receiving(receive_block, first, end);
            for (int i = first; i < end; ++i) {
                std::this_thread::sleep_for(std::chrono::microseconds(pause_us(random)));
                sent_at.store(Clock::now().time_since_epoch().count());
                if (pcap_sendpacket(peer, frame.data(), static_cast<int>(frame.size())) != 0)
                    fail(std::string("pcap_sendpacket: ") + pcap_geterr(peer));
                while (returned.load() <= i)
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            receiving.join();
            std::this_thread::sleep_for(kWakeUpBlockPause);
        }
        std::sort(delays.begin(), delays.end());
    };
    side(false, result.raw_us);
    side(true, result.sdk_us);
    set_recv_idle_wait(0);
    return result;
}

// --- Output ----------------------------------------------------------------------

void write_latency_table(std::FILE *out, const std::vector<LatencySetting> &settings,
                         const Options &options) {
    std::fprintf(
        out,
        "### 5. Round-trip latency through spweth-bridge-emu\n\n"
        "One packet at a time: `SpW_Send_Packet` + `SpW_Recv_Packet_From_MAC` against "
        "`pcap_sendpacket` of the library's frame + a `pcap_next_ex` loop that finds the echo, on "
        "a raw handle opened as the library opens its socket. Idle wait off: both spin; on: the "
        "library sleeps in its idle wait, raw in `poll()` on the capture's descriptor. "
        "Microseconds, %zu round trips per row and side (rounds of SDK and raw interleaved); "
        "crediting off. The emulator *spins*: after each frame it polls its capture for %d µs "
        "before it sleeps (`--spin-us`), so that no wake-up of the emulator sits in the round "
        "trip; *sleeps*: it waits for every frame in `ppoll()`, as in the tests. Its CPU time per "
        "frame it took, own code (user) and kernel (system: capture, and the send that delivers "
        "the echo to the host's sockets), from /proc, spin included.\n\n"
        "| packet | idle wait | emulator | raw p50 | SDK p50 | p50 SDK/raw | raw p99 | SDK p99 | "
        "p99 SDK/raw | raw p99.9 | SDK p99.9 | emulator µs/frame: user | system |\n"
        "|---:|:---:|:---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n",
        settings.empty() ? std::size_t{0} : settings.front().times.sdk_us.size(),
        options.emulator_spin_us);
    for (const LatencySetting &s : settings) {
        std::fprintf(out, "| %s | %s | %s | %s | %.1f | %.1f | %.1f | %.1f |\n",
                     size_label(s.size).c_str(), on_off(s.idle_wait),
                     s.emulator_spins ? "spins" : "sleeps", percentile_cells(s.times).c_str(),
                     quantile(s.times.raw_us, 0.999), quantile(s.times.sdk_us, 0.999),
                     s.emulator.user_us, s.emulator.system_us);
    }
    std::fprintf(out, "\n");
}

void write_waiting_tables(std::FILE *out, const std::vector<IdleCost> &costs,
                          const std::vector<WakeUps> &wake_ups, const Options &options) {
    std::fprintf(out,
                 "### 6. Waiting\n\n"
                 "CPU time of a thread (normal priority) in `SpW_Recv_Packet_From_MAC_Timeout` "
                 "with a %.0f ms deadline and no packet coming (the emulator's status frames, one "
                 "a second, arrive meanwhile):\n\n"
                 "| idle wait | result | wall s | CPU s | share of a core |\n"
                 "|:---:|---:|---:|---:|---:|\n",
                 options.idle_seconds * 1000);
    for (const IdleCost &c : costs)
        std::fprintf(
            out, "| %s | %s | %.3f | %.4f | %.2f %% |\n", on_off(c.idle_wait),
            c.result == SPWETH_TIMED_OUT ? "SPWETH_TIMED_OUT" : std::to_string(c.result).c_str(),
            c.wall_seconds, c.cpu_seconds, 100 * c.share());
    std::fprintf(out,
                 "\nWake-up delay: the peer sends one 16-byte packet from the bridge's address "
                 "after a random 1–2 ms; from just before its `pcap_sendpacket` to the return "
                 "of the receive that waited for it (`SpW_Recv_Packet_From_MAC_Timeout`; raw: "
                 "`poll()` + `pcap_next_ex`, or a `pcap_next_ex` loop when idle wait is off). "
                 "Microseconds, %d wake-ups per row and side:\n\n"
                 "| idle wait | raw p50 | SDK p50 | raw p99 | SDK p99 | SDK max |\n"
                 "|:---:|---:|---:|---:|---:|---:|\n",
                 options.wakeups);
    for (const WakeUps &w : wake_ups)
        std::fprintf(out, "| %s | %.1f | %.1f | %.1f | %.1f | %.1f |\n", on_off(w.idle_wait),
                     quantile(w.raw_us, 0.5), quantile(w.sdk_us, 0.5), quantile(w.raw_us, 0.99),
                     quantile(w.sdk_us, 0.99), w.sdk_us.empty() ? 0 : w.sdk_us.back());
    std::fprintf(out, "\n");
}

void write_latency_targets(std::FILE *targets, const std::vector<LatencySetting> &settings,
                           const std::vector<IdleCost> &costs) {
    for (bool idle_wait : {false, true}) {
        const double limit = idle_wait ? 1.25 : 1.10;
        double worst50 = 0, worst99 = 0;
        for (const LatencySetting &s : settings) {
            if (s.idle_wait != idle_wait || !s.emulator_spins) continue;
            worst50 = std::max(worst50, s.times.ratio(0.5));
            worst99 = std::max(worst99, s.times.ratio(0.99));
        }
        std::fprintf(targets, "| round trip p50 SDK/raw <= %.2f, idle wait %s | %.3f | %s |\n",
                     limit, on_off(idle_wait), worst50, met(worst50 <= limit));
        std::fprintf(targets, "| round trip p99 SDK/raw <= 1.5, idle wait %s | %.3f | %s |\n",
                     on_off(idle_wait), worst99, met(worst99 <= 1.5));
    }
    for (const IdleCost &c : costs)
        if (c.idle_wait)
            std::fprintf(targets, "| a %.0f s idle wait costs < 1 %% of a core | %.2f %% | %s |\n",
                         c.wall_seconds, 100 * c.share(), met(c.share() < 0.01));
}

}  // namespace

void bench_latency(const Options &options, pcap_t *&sdk, std::FILE *out, std::FILE *targets) {
    prepare_for_loopback(
        options.latency_sizes.empty()
            ? 1024
            : *std::max_element(options.latency_sizes.begin(), options.latency_sizes.end()));
    set_send_crediting(0);
    // The wake-up frame is captured before the emulator runs: it carries the
    // bridge's address, as a frame from the bridge does.
    const Bytes wake_frame = sdk_frames(sdk, options.host, 16, kBridgeAddress).at(0);
    pcap_t *peer = open_raw(options.peer, kCaptureNothing);
    std::vector<LatencySetting> settings;
    std::vector<IdleCost> costs;
    std::vector<WakeUps> wake_ups;
    std::vector<RmapSetting> rmap;
    auto latency = [&](const Emulator &emulator, bool spins, int size, bool idle_wait) {
        std::fprintf(stderr, "          latency %s, idle wait %s, emulator %s\n",
                     size_label(size).c_str(), on_off(idle_wait), spins ? "spins" : "sleeps");
        settings.push_back(measure_latency(options, sdk, emulator, spins, size, idle_wait));
    };
    {
        std::vector<std::string> arguments{"--spin-us", std::to_string(options.emulator_spin_us)};
        for (const std::string &argument : rmap_emulator_arguments()) arguments.push_back(argument);
        const Emulator emulator(options, arguments);
        for (int size : options.latency_sizes)
            for (bool idle_wait : {false, true}) latency(emulator, true, size, idle_wait);
        for (bool idle_wait : {false, true}) {
            std::fprintf(stderr, "          idle cost and wake-ups, idle wait %s\n",
                         on_off(idle_wait));
            costs.push_back(measure_idle_cost(options, sdk, idle_wait));
            wake_ups.push_back(measure_wake_ups(options, sdk, peer, wake_frame, idle_wait));
        }
        rmap = measure_rmap(options, sdk, emulator);
    }
    std::vector<InFlightRow> in_flight;
    {
        std::vector<std::string> arguments{"--spin-us", std::to_string(options.emulator_spin_us)};
        for (const std::string &argument : rmap_latency_emulator_arguments())
            arguments.push_back(argument);
        const Emulator emulator(options, arguments);
        in_flight = measure_rmap_in_flight(options, sdk);
    }
    if (!options.latency_sizes.empty()) {  // the emulator as tests run it: asleep between frames
        const Emulator emulator(options);
        for (bool idle_wait : {false, true})
            latency(emulator, false, options.latency_sizes.front(), idle_wait);
    }
    pcap_close(peer);
    write_latency_table(out, settings, options);
    write_waiting_tables(out, costs, wake_ups, options);
    // The raw floor of a plain round trip of the read command's size, idle wait off.
    double raw_echo_p50 = 0;
    for (const LatencySetting &s : settings)
        if (s.emulator_spins && !s.idle_wait && raw_echo_p50 == 0)
            raw_echo_p50 = quantile(s.times.raw_us, 0.5);
    write_latency_data(options.latency_data, settings);
    write_latency_targets(targets, settings, costs);
    write_rmap(out, targets, rmap, raw_echo_p50);
    write_rmap_in_flight(out, targets, in_flight, options);
}

}  // namespace bench
