// What the parts of the network benchmark share: options, raw and library
// handles opened alike, the emulator, real-time priority, small statistics.
#pragma once

#include <pcap/pcap.h>
#include <pthread.h>
#include <sched.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "spweth.h"

namespace bench {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;
using Frames = std::vector<Bytes>;

constexpr const char *kCaptureNothing = "less 1";  // a send-only handle keeps no frame
constexpr mac_address kBridgeAddress{{0x00, 0x01, 0x02, 0x03, 0x04, 0x05}};
constexpr mac_address kZeroAddress{};
constexpr int kEndWithEop = 1;
// From the bridge frame format: header size, payload per frame, the shortest
// data frame, where the type byte, the frame number and the source are.
constexpr std::size_t kHeaderSize = 19;
constexpr int kMaxPayload = 1495;
constexpr std::size_t kMinDataFrame = 60;
constexpr std::size_t kSourceOffset = 6;
constexpr std::size_t kTypeOffset = 14;
constexpr std::size_t kNumberOffset = 15;
constexpr std::uint8_t kLastDataType = 5;  // types 0..5 carry packet data

struct Options {
    std::string host;
    std::string peer;
    std::string emulator;
    int emulator_credits = 32;
    int emulator_status_ms = 1000;
    int emulator_spin_us = 200;  // latency rounds: the emulator polls this long before sleeping
    int send_rounds = 9;
    long send_frames = 20000;  // per round
    int receive_rounds = 11;
    long receive_frames = 10000;
    long drain_frames = 4000;  // a burst, queued whole in the capture's ring
    int round_trip_rounds = 5;
    double round_trip_seconds = 0.3;
    bool realtime = true;
    std::vector<int> sizes{1, 64, 1495, 1496, 65536, 1048576};
    std::vector<int> round_trip_sizes{64, 1495, 65536, 1048576};
    std::vector<int> latency_sizes{16, 1024};
    long latency_trips = 20000;  // per size, setting and side
    int latency_rounds = 10;
    int wakeups = 1000;  // per setting
    double idle_seconds = 2;
    long rmap_transactions = 10000;  // per kind and side
    std::string markdown = "net_results.md";
    std::string plot_data = "throughput.dat";
    std::string latency_data = "latency.dat";
    std::string targets = "targets.md";
};

[[noreturn]] void fail(const std::string &what);
double seconds_since(Clock::time_point start);
double median(std::vector<double> values);
Bytes pattern(std::size_t size);
std::string size_label(int size);

// Real-time priority for the calling thread while it lives (when allowed).
// The thread that ends a receive round ranks above the two that spin, so that
// it gets a core as soon as its sleep ends.
constexpr int kWorkerPriority = 1;
constexpr int kControllerPriority = 2;
class RealtimePriority {
public:
    explicit RealtimePriority(bool wanted, int priority = kWorkerPriority) {
        if (!wanted) return;
        pthread_getschedparam(pthread_self(), &old_policy_, &old_param_);
        sched_param param{};
        param.sched_priority = priority;
        raised_ = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
    }
    ~RealtimePriority() {
        if (raised_) pthread_setschedparam(pthread_self(), old_policy_, &old_param_);
    }
    RealtimePriority(const RealtimePriority &) = delete;
    RealtimePriority &operator=(const RealtimePriority &) = delete;

private:
    bool raised_ = false;
    int old_policy_ = SCHED_OTHER;
    sched_param old_param_{};
};

// A raw handle set up as the library sets up its socket, with this filter.
pcap_t *open_raw(const std::string &adapter, const char *filter);
// The library's socket on the adapter of that name.
pcap_t *open_sdk(const std::string &adapter);
// Each side alone on the host's adapter. The kernel hands every frame, sent or
// received, to each capture open on the adapter, one after the other: with
// both open, each send costs a second copy before the frame leaves, and the
// capture opened last takes arriving frames first (a second capture costs a
// sender 13-21 %, and about half a microsecond of a 5 µs round trip). A raw
// round therefore closes the library's socket and opens a raw handle; after
// it, the handle is closed and the socket opened again (its frame numbering
// then starts at 0 again).
class RawAlone {
public:
    RawAlone(const Options &options, pcap_t *&sdk);
    ~RawAlone();
    RawAlone(const RawAlone &) = delete;
    RawAlone &operator=(const RawAlone &) = delete;
    pcap_t *handle() const { return handle_; }

private:
    pcap_t *&sdk_;
    pcap_t *handle_;
};

// Reads and forgets every frame that the handle holds.
void drain(pcap_t *handle);
// The frames that SpW_Send_Packet puts on the wire for one packet of this size.
Frames sdk_frames(pcap_t *sdk, const std::string &adapter, int size, const mac_address &source);
// Loopback traffic as an application sets it up (own frames kept out of the
// read buffer, read buffer sized for the largest echo).
void prepare_for_loopback(int largest_packet);

// The emulator on the peer end (at real-time priority too, when the rounds
// have it), ended by its pid; `extra` are further command-line arguments.
class Emulator {
public:
    explicit Emulator(const Options &options, const std::vector<std::string> &extra = {});
    ~Emulator();
    Emulator(const Emulator &) = delete;
    Emulator &operator=(const Emulator &) = delete;
    // The CPU time it has used so far, in seconds (to the kernel's tick).
    struct CpuTime {
        double user = 0, system = 0;
    };
    CpuTime cpu_time() const;

private:
    pid_t pid_ = 0;
};

constexpr auto kRoundTripStallLimit = std::chrono::seconds(5);

// Ends a send or receive that has made no progress for a while, by clearing
// the wait flag; the caller counts that packet as lost and sets the flag again.
class Watchdog {
public:
    Watchdog() : thread_([this] { watch(); }) {}
    ~Watchdog() {
        done_ = true;
        thread_.join();
    }
    // One thread calls it: a plain store, so that a timed loop pays no locked
    // instruction for it.
    void progress() {
        ticks_.store(ticks_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }

private:
    void watch() {
        long seen = -1;
        auto since = Clock::now();
        while (!done_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (const long now = ticks_.load(); now != seen) {
                seen = now;
                since = Clock::now();
            } else if (Clock::now() - since > kRoundTripStallLimit) {
                set_wait_receive_active(0);
                since = Clock::now();
            }
        }
    }
    std::atomic<bool> done_{false};
    std::atomic<long> ticks_{0};
    std::thread thread_;
};

// The frames that SpW_Send_Packet puts on the wire for this packet.
Frames sdk_frames(pcap_t *sdk, const std::string &adapter, const Bytes &packet,
                  const mac_address &source);

// Times of single-frame trips (round trips, transactions), sorted, in
// microseconds; their sums in seconds; the frames sent on both sides.
struct TripTimes {
    std::vector<double> sdk_us, raw_us;
    double sdk_seconds = 0, raw_seconds = 0;
    long frames = 0;
    double ratio(double q) const;  // SDK/raw at quantile q
};
TripTimes time_rounds(const Options &options, pcap_t *&sdk, long trips_per_side, int rounds,
                      std::uint8_t last_number, const std::function<void()> &sdk_trip,
                      const std::function<void(pcap_t *, std::uint8_t)> &raw_trip);
// Nearest-rank quantile of sorted values.
double quantile(const std::vector<double> &sorted, double q);
// Table cells: raw p50 | SDK p50 | p50 SDK/raw | raw p99 | SDK p99 | p99 SDK/raw.
std::string percentile_cells(const TripTimes &times);

// What the emulator spent per frame it took, in microseconds of CPU time.
struct EmulatorCost {
    double user_us = 0, system_us = 0;
};
EmulatorCost emulator_cost(const Emulator::CpuTime &before, const Emulator::CpuTime &after,
                           long frames);

// RMAP transactions against the emulator's target (bench/rmap_bench.cpp): the
// emulator's arguments for the target, the measurement, the table and target row.
enum class RmapKind { read, write };
struct RmapSetting {
    RmapKind kind = RmapKind::read;
    bool idle_wait = false;
    std::size_t command_size = 0;
    TripTimes times;
    EmulatorCost emulator;
};
std::vector<std::string> rmap_emulator_arguments();
std::vector<RmapSetting> measure_rmap(const Options &options, pcap_t *&sdk,
                                      const Emulator &emulator);
void write_rmap(std::FILE *out, std::FILE *targets, const std::vector<RmapSetting> &settings,
                double raw_echo_p50_us);
// Reads with 1, 4, 16 and 64 in flight against a target that answers late.
struct InFlightRow {
    int depth = 1;
    std::vector<double> rates;  // transactions per second, one per round
};
std::vector<std::string> rmap_latency_emulator_arguments();
std::vector<InFlightRow> measure_rmap_in_flight(const Options &options, pcap_t *sdk);
void write_rmap_in_flight(std::FILE *out, std::FILE *targets, const std::vector<InFlightRow> &rows,
                          const Options &options);

// Latency, waiting and RMAP (bench/latency.cpp): writes the tables to `out`
// and the target rows to `targets`. Closes and reopens the library's socket.
void bench_latency(const Options &options, pcap_t *&sdk, std::FILE *out, std::FILE *targets);

}  // namespace bench
