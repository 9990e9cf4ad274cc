// The library against raw libpcap, side by side, over a veth pair: throughput
// and the thread-safe mode's cost here (tables 1-4), latency and waiting in
// latency.cpp (5, 6), RMAP transactions in rmap_bench.cpp (7).
//
// run.sh starts this program inside a network namespace of its own that holds
// the pair: the host end (--host) carries the library's socket and the raw
// handle, the peer end (--peer) the stream sender and the bridge emulator.
// Every figure is the median of several rounds; SDK and raw rounds alternate,
// and which of the two goes first alternates too, so that drift cancels out.
// The threads that send and receive in the rounds, and the emulator, run at
// real-time priority (SCHED_FIFO 1) unless told not to: on a machine with
// other load the scheduler would otherwise take a core from the receiver in
// mid-stream, and the capture ring would overflow for reasons that have
// nothing to do with the receiver.
#include <pcap/pcap.h>
#include <pthread.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "link/sockets.h"  // how the library opens an adapter: the raw handles do the same
#include "net_bench.h"

extern char **environ;

namespace bench {

constexpr int kCaptureSnapshot = 2048;
constexpr int kCaptureBuffer = 16 * 1024 * 1024;
constexpr auto kStallLimit = std::chrono::milliseconds(150);
// A pause after each round keeps the real-time threads under the kernel's
// real-time budget (95 % of each second), whose throttling would stop a
// receiver for 50 ms in mid-round.
constexpr auto kReceivePause = std::chrono::milliseconds(10);
constexpr auto kRoundTripPause = std::chrono::milliseconds(60);
// Drain rounds: the time a queued burst takes to reach the host's ring after
// the peer's last send.
constexpr auto kBurstSettle = std::chrono::milliseconds(20);

long frames_per_packet(int size) { return (size + kMaxPayload - 1) / kMaxPayload; }

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "net_bench: %s\n", what.c_str());
    std::exit(1);
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

Bytes pattern(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
    return bytes;
}

std::string size_label(int size) {
    if (size >= 1048576 && size % 1048576 == 0) return std::to_string(size / 1048576) + " MiB";
    if (size >= 65536 && size % 1024 == 0) return std::to_string(size / 1024) + " KiB";
    return std::to_string(size) + " B";
}

// --- Handles -----------------------------------------------------------------

// The filter, and non-blocking mode.
void install_filter(pcap_t *handle, const char *filter) {
    bpf_program program{};
    if (pcap_compile(handle, &program, filter, 1, spweth::kFilterNetmask) < 0 ||
        pcap_setfilter(handle, &program) < 0)
        fail(std::string("filter: ") + pcap_geterr(handle));
    pcap_freecode(&program);
    char error[PCAP_ERRBUF_SIZE] = {};
    if (pcap_setnonblock(handle, 1, error) != 0) fail(std::string("non-blocking: ") + error);
}

// A raw handle set up as the library sets up its socket: snapshot length,
// promiscuous, read time-out, immediate mode and capture buffer as the library
// has them, a filter, non-blocking mode.
pcap_t *open_raw(const std::string &adapter, const char *filter) {
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_t *handle = pcap_create(adapter.c_str(), error);
    if (handle == nullptr) fail("pcap_create " + adapter + ": " + error);
    if (pcap_set_snaplen(handle, spweth::kSnapshotLength) != 0 ||
        pcap_set_promisc(handle, 1) != 0 || pcap_set_timeout(handle, spweth::kReadTimeoutMs) != 0 ||
        pcap_set_immediate_mode(handle, 1) != 0 ||
        pcap_set_buffer_size(handle, spweth::kCaptureBufferSize) != 0 || pcap_activate(handle) < 0)
        fail("cannot open " + adapter + ": " + pcap_geterr(handle));
    install_filter(handle, filter);
    return handle;
}

// The library's socket on the adapter of that name.
pcap_t *open_sdk(const std::string &adapter) {
    const std::intptr_t first = Create_List_Devices();
    if (first < 0) fail("Create_List_Devices: " + std::to_string(first));
    int number = 0;
    for (auto *entry = reinterpret_cast<pcap_if_t *>(first); entry != nullptr;
         entry = entry->next, ++number) {
        if (adapter != entry->name) continue;
        const std::intptr_t socket = SpW_Socket_Init(number);
        if (socket < 0) fail("SpW_Socket_Init: " + std::to_string(socket));
        return reinterpret_cast<pcap_t *>(socket);
    }
    fail("no adapter " + adapter);
}

RawAlone::RawAlone(const Options &options, pcap_t *&sdk) : sdk_(sdk) {
    SpW_Socket_Close(sdk_);
    sdk_ = nullptr;
    handle_ = open_raw(options.host, spweth::kBridgeFilter);
}

RawAlone::~RawAlone() {
    pcap_close(handle_);
    const std::intptr_t opened = SpW_Socket_Init(Get_Number_Chosen_Network_Device());
    if (opened < 0) fail("SpW_Socket_Init: " + std::to_string(opened));
    sdk_ = reinterpret_cast<pcap_t *>(opened);
}

// Reads and forgets every frame that the handle holds.
void drain(pcap_t *handle) {
    pcap_pkthdr *header;
    const u_char *data;
    while (pcap_next_ex(handle, &header, &data) == 1) {
    }
}

// The frames that SpW_Send_Packet puts on the wire for one packet of this
// size, as a capture on the same adapter sees them go out: the raw rounds
// send exactly the SDK's frame sequence. The capture has short slots and a
// large ring, so that the 702 frames of a 1 MiB packet all fit.
Frames sdk_frames(pcap_t *sdk, const std::string &adapter, int size, const mac_address &source) {
    return sdk_frames(sdk, adapter, pattern(static_cast<std::size_t>(size)), source);
}

Frames sdk_frames(pcap_t *sdk, const std::string &adapter, const Bytes &packet,
                  const mac_address &source) {
    const int size = static_cast<int>(packet.size());
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_t *watcher = pcap_create(adapter.c_str(), error);
    if (watcher == nullptr || pcap_set_snaplen(watcher, kCaptureSnapshot) != 0 ||
        pcap_set_immediate_mode(watcher, 1) != 0 ||
        pcap_set_buffer_size(watcher, kCaptureBuffer) != 0 || pcap_activate(watcher) < 0)
        fail("cannot capture on " + adapter);
    install_filter(watcher, spweth::kBridgeFilter);
    set_source_mac_address(source.bytes, 6);
    if (SpW_Send_Packet(sdk, packet.data(), size, kEndWithEop) != size) fail("SpW_Send_Packet");
    set_source_mac_address(kZeroAddress.bytes, 6);
    // Outgoing frames reach the capture ring during the send.
    Frames frames;
    const long expected = frames_per_packet(size);
    const auto start = Clock::now();
    while (static_cast<long>(frames.size()) < expected && seconds_since(start) < 1.0) {
        pcap_pkthdr *header;
        const u_char *data;
        if (pcap_next_ex(watcher, &header, &data) == 1)
            frames.emplace_back(data, data + header->caplen);
    }
    pcap_close(watcher);
    std::size_t carried = 0;  // payload and zero fill
    for (const Bytes &frame : frames) carried += frame.size() - kHeaderSize;
    if (static_cast<long>(frames.size()) != expected || carried < static_cast<std::size_t>(size) ||
        carried > static_cast<std::size_t>(size) + kMinDataFrame - kHeaderSize)
        fail("captured " + std::to_string(frames.size()) + " frames carrying " +
             std::to_string(carried) + " bytes for a " + std::to_string(size) + "-byte packet");
    return frames;
}

long packets_per_round(long frames, std::size_t per_packet) {
    return std::max<long>(1, frames / static_cast<long>(per_packet));
}

// --- 1. Send -------------------------------------------------------------------

struct Throughput {
    int size = 0;
    double raw_frames = 0, sdk_frames = 0;  // frames per second
    double raw_mbps = 0, sdk_mbps = 0;      // payload, 10^6 bytes per second
    double safe_mbps = 0;                   // the SDK with set_thread_safe_mode(1)
    double assembling_mbps = 0;             // drain: raw that copies each payload into the packet
    // Receive only: the peer's stream rate (frames/s) in the raw and in the
    // SDK rounds, the share of frames lost to raw and of packets lost or
    // damaged to the SDK, over all rounds.
    double raw_stream = 0, sdk_stream = 0, raw_lost_share = 0, sdk_lost_share = 0;
    double safe_stream = 0, safe_lost_share = 0;
    double ratio() const { return raw_mbps > 0 ? sdk_mbps / raw_mbps : 0; }
    double safe_ratio() const { return raw_mbps > 0 ? safe_mbps / raw_mbps : 0; }
};

// Runs one round of each kind per round, starting with a different kind each
// time, so that drift spreads evenly over them.
void alternate(int rounds, const std::vector<std::function<void()>> &kinds) {
    const int count = static_cast<int>(kinds.size());
    for (int round = 0; round < rounds; ++round)
        for (int k = 0; k < count; ++k) kinds[static_cast<std::size_t>((round + k) % count)]();
}

// Runs `round` with the library's thread-safe mode on, single-threaded.
void thread_safe(const std::function<void()> &round) {
    set_thread_safe_mode(1);
    round();
    set_thread_safe_mode(0);
}

Throughput bench_send(const Options &options, pcap_t *&sdk, int size) {
    const Frames frames = sdk_frames(sdk, options.host, size, kZeroAddress);
    const long packets = packets_per_round(options.send_frames, frames.size());
    const Bytes packet = pattern(size);
    std::vector<double> raw_seconds, sdk_seconds, safe_seconds;
    const RealtimePriority priority(options.realtime);
    auto sdk_round = [&](std::vector<double> &seconds) {
        const auto start = Clock::now();
        for (long p = 0; p < packets; ++p)
            if (SpW_Send_Packet(sdk, packet.data(), size, kEndWithEop) != size)
                fail("SpW_Send_Packet");
        seconds.push_back(seconds_since(start));
    };
    alternate(
        options.send_rounds,
        {[&] {
             const RawAlone alone(options, sdk);
             pcap_t *raw = alone.handle();
             const auto start = Clock::now();
             for (long p = 0; p < packets; ++p)
                 for (const Bytes &frame : frames)
                     if (pcap_sendpacket(raw, frame.data(), static_cast<int>(frame.size())) != 0)
                         fail(std::string("pcap_sendpacket: ") + pcap_geterr(raw));
             raw_seconds.push_back(seconds_since(start));
         },
         [&] { sdk_round(sdk_seconds); }, [&] { thread_safe([&] { sdk_round(safe_seconds); }); }});
    const double frame_count = static_cast<double>(packets) * frames.size();
    const double bytes = static_cast<double>(packets) * size;
    Throughput t;
    t.size = size;
    t.raw_frames = frame_count / median(raw_seconds);
    t.sdk_frames = frame_count / median(sdk_seconds);
    t.raw_mbps = bytes / median(raw_seconds) / 1e6;
    t.sdk_mbps = bytes / median(sdk_seconds) / 1e6;
    t.safe_mbps = bytes / median(safe_seconds) / 1e6;
    return t;
}

// --- 2. Receive ----------------------------------------------------------------

// What a receiver delivered in one round: deliveries (packets returned by the
// library; for raw, each packet's worth of data frames), their payload bytes,
// and the time of the last delivery.
struct Reception {
    std::atomic<long> deliveries{0};
    long whole = 0;  // SDK: packets of the length sent
    double bytes = 0;
    Clock::time_point stream_start, last;

    void count(long payload, Clock::time_point now) {
        bytes += static_cast<double>(payload);
        last = now;
        deliveries.fetch_add(1, std::memory_order_release);
    }
    // Payload bytes per second from the start of the stream to the last
    // delivery. Bytes rather than whole packets, so that a lost frame costs
    // only its own bytes.
    double rate() const {
        const double span = std::chrono::duration<double>(last - stream_start).count();
        return deliveries.load() > 0 && span > 0 ? bytes / span : 0;
    }
};

// The peer's stream: `packets` times the packet's frames. Returns its rate in
// frames per second.
double send_stream(pcap_t *peer, const Frames &frames, long packets) {
    const auto start = Clock::now();
    for (long p = 0; p < packets; ++p)
        for (const Bytes &frame : frames)
            while (pcap_sendpacket(peer, frame.data(), static_cast<int>(frame.size())) != 0) {
            }
    return static_cast<double>(packets) * frames.size() / seconds_since(start);
}

// One receive round: the receiver runs on its own thread, the peer's stream on
// another; this thread ends the receiver once every packet is in or nothing
// has come for a while. Returns the stream's rate.
double receive_round(const Options &options, pcap_t *peer, const Frames &frames, long packets,
                     const std::function<void()> &receiver, const std::function<void()> &stop,
                     Reception &reception) {
    double stream_rate = 0;
    const RealtimePriority priority(options.realtime, kControllerPriority);
    std::thread receiving([&] {
        const RealtimePriority priority(options.realtime);
        receiver();
    });
    reception.stream_start = Clock::now();
    std::thread sending([&] {
        const RealtimePriority priority(options.realtime);
        stream_rate = send_stream(peer, frames, packets);
    });
    sending.join();
    long seen = -1;
    auto progress = Clock::now();
    while (reception.deliveries.load() < packets && Clock::now() - progress < kStallLimit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (const long now = reception.deliveries.load(); now != seen) {
            seen = now;
            progress = Clock::now();
        }
    }
    stop();
    receiving.join();
    std::this_thread::sleep_for(kReceivePause);
    return stream_rate;
}

Throughput bench_receive(const Options &options, pcap_t *&sdk, pcap_t *peer, int size) {
    const Frames frames = sdk_frames(sdk, options.host, size, kBridgeAddress);
    const long per_packet = static_cast<long>(frames.size());
    const long packets = packets_per_round(options.receive_frames, frames.size());
    Bytes buffer(size);
    std::vector<double> raw_rates, sdk_rates, safe_rates, raw_streams, sdk_streams, safe_streams;
    long raw_lost = 0, sdk_lost = 0, safe_lost = 0;
    auto sdk_round = [&](std::vector<double> &rates, std::vector<double> &streams, long &lost) {
        drain(sdk);
        Reception reception;
        streams.push_back(receive_round(
            options, peer, frames, packets,
            [&] {
                mac_address source{};
                unsigned char type = 0;
                for (;;) {
                    const int n = SpW_Recv_Packet(sdk, buffer.data(), size, source.bytes, &type);
                    if (n < 0) fail("SpW_Recv_Packet: " + std::to_string(n));
                    if (n == 0 && get_wait_receive_status() == 0) break;
                    if (n == size) ++reception.whole;
                    reception.count(n, Clock::now());
                }
            },
            [] { set_wait_receive_active(0); }, reception));
        set_wait_receive_active(1);
        rates.push_back(reception.rate());
        lost += packets - reception.whole;
    };
    alternate(options.receive_rounds,
              {[&] {
                   const RawAlone alone(options, sdk);
                   pcap_t *raw = alone.handle();
                   drain(raw);
                   Reception reception;
                   std::atomic<bool> stop{false};
                   long data_frames = 0;
                   raw_streams.push_back(receive_round(
                       options, peer, frames, packets,
                       [&] {
                           pcap_pkthdr *header;
                           const u_char *data;
                           while (!stop.load(std::memory_order_relaxed)) {
                               if (pcap_next_ex(raw, &header, &data) != 1) continue;
                               if (++data_frames % per_packet == 0)
                                   reception.count(size, Clock::now());
                           }
                       },
                       [&] { stop = true; }, reception));
                   raw_rates.push_back(reception.rate());
                   raw_lost += packets * per_packet - data_frames;
               },
               [&] { sdk_round(sdk_rates, sdk_streams, sdk_lost); },
               [&] { thread_safe([&] { sdk_round(safe_rates, safe_streams, safe_lost); }); }});
    const double rounds = options.receive_rounds;
    Throughput t;
    t.size = size;
    t.raw_mbps = median(raw_rates) / 1e6;
    t.sdk_mbps = median(sdk_rates) / 1e6;
    t.safe_mbps = median(safe_rates) / 1e6;
    t.raw_frames = median(raw_rates) / size * per_packet;
    t.sdk_frames = median(sdk_rates) / size * per_packet;
    t.raw_stream = median(raw_streams);
    t.sdk_stream = median(sdk_streams);
    t.safe_stream = median(safe_streams);
    t.raw_lost_share = raw_lost / (rounds * packets * per_packet);
    t.sdk_lost_share = sdk_lost / (rounds * packets);
    t.safe_lost_share = safe_lost / (rounds * packets);
    return t;
}

// --- 2b. Drain -----------------------------------------------------------------

// Bursts of frames queued on the host's adapter before the receiver starts;
// the receiver alone is timed, from its first call until it has taken a
// burst's last frame. Each burst fits the capture's ring (about 8000 frames).
// A round drains one burst untimed first (the ring's pages and the caches
// warm), then times kTimedBursts of them, summed. Raw is a pcap_next_ex loop
// twice over: one that only takes the frames, and one that also copies each
// payload into the packet's buffer at its offset, as a loop of one's own must
// to hand whole packets on. Both read the library's own socket, the only
// capture open: every side reads the same ring, set up the same way (snap
// length, filter, time stamp precision).
constexpr int kTimedBursts = 4;
constexpr std::size_t kLengthOffset = 16;  // of a frame's payload length, little-endian

Throughput bench_drain(const Options &options, pcap_t *&sdk, pcap_t *peer, int size) {
    const Frames frames = sdk_frames(sdk, options.host, size, kBridgeAddress);
    const long per_packet = static_cast<long>(frames.size());
    const long packets = packets_per_round(options.drain_frames, frames.size());
    const long frame_count = packets * per_packet;
    Bytes buffer(size);
    std::vector<double> raw_seconds, assembling_seconds, sdk_seconds;
    long raw_lost = 0, sdk_lost = 0;
    const RealtimePriority priority(options.realtime);
    // One round of bursts; `take_burst` takes one and returns what it lacked.
    auto round = [&](std::vector<double> &seconds, long &lost,
                     const std::function<long()> &take_burst) {
        double total = 0;
        for (int burst = 0; burst <= kTimedBursts; ++burst) {
            send_stream(peer, frames, packets);
            std::this_thread::sleep_for(kBurstSettle);
            const auto start = Clock::now();
            const long lacked = take_burst();
            if (burst == 0) continue;
            total += seconds_since(start);
            lost += lacked;
        }
        seconds.push_back(total);
    };
    // The ring holds the whole burst: the first empty read ends it.
    auto raw_round = [&](std::vector<double> &seconds, bool assemble) {
        pcap_t *raw = sdk;
        drain(raw);
        round(seconds, raw_lost, [&] {
            pcap_pkthdr *header;
            const u_char *data;
            long taken = 0;
            std::size_t offset = 0;
            while (taken < frame_count && pcap_next_ex(raw, &header, &data) == 1) {
                ++taken;
                if (!assemble || header->caplen < kHeaderSize) continue;
                const std::size_t payload = data[kLengthOffset] | (data[kLengthOffset + 1] << 8);
                if (offset + payload > buffer.size()) offset = 0;  // the next packet's
                std::memcpy(buffer.data() + offset, data + kHeaderSize, payload);
                offset = taken % per_packet == 0 ? 0 : offset + payload;
            }
            return frame_count - taken;
        });
    };
    alternate(options.receive_rounds,
              {[&] { raw_round(raw_seconds, false); }, [&] { raw_round(assembling_seconds, true); },
               [&] {
                   drain(sdk);
                   mac_address source{};
                   unsigned char type = 0;
                   {
                       // With frames lost the last receive would wait for more:
                       // the watchdog ends it (the round's time then shows it).
                       Watchdog watchdog;
                       round(sdk_seconds, sdk_lost, [&] {
                           long whole = 0;
                           for (long p = 0; p < packets; ++p) {
                               const int n =
                                   SpW_Recv_Packet(sdk, buffer.data(), size, source.bytes, &type);
                               if (n == 0 && get_wait_receive_status() == 0) break;
                               watchdog.progress();
                               if (n == size && type == 0) ++whole;
                           }
                           return packets - whole;
                       });
                   }
                   set_wait_receive_active(1);
               }});
    const double bytes = static_cast<double>(packets) * size * kTimedBursts;
    const double rounds = options.receive_rounds * kTimedBursts;
    Throughput t;
    t.size = size;
    t.raw_frames = static_cast<double>(frame_count) * kTimedBursts / median(raw_seconds);
    t.sdk_frames = static_cast<double>(frame_count) * kTimedBursts / median(sdk_seconds);
    t.raw_mbps = bytes / median(raw_seconds) / 1e6;
    t.assembling_mbps = bytes / median(assembling_seconds) / 1e6;
    t.sdk_mbps = bytes / median(sdk_seconds) / 1e6;
    t.raw_lost_share = raw_lost / (2 * rounds * static_cast<double>(frame_count));
    t.sdk_lost_share = sdk_lost / (rounds * packets);
    return t;
}

// --- 3. Round trip through the bridge emulator ---------------------------------

Emulator::Emulator(const Options &options, const std::vector<std::string> &extra) {
    std::vector<std::string> args{options.emulator,
                                  "--iface",
                                  options.peer,
                                  "--credits",
                                  std::to_string(options.emulator_credits),
                                  "--status-ms",
                                  std::to_string(options.emulator_status_ms)};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char *> argv;
    for (auto &arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (options.realtime) {
        sched_param param{};
        param.sched_priority = kWorkerPriority;
        posix_spawnattr_setschedpolicy(&attributes, SCHED_FIFO);
        posix_spawnattr_setschedparam(&attributes, &param);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSCHEDULER);
    }
    int spawned = posix_spawn(&pid_, argv[0], nullptr, &attributes, argv.data(), environ);
    if (spawned != 0 && options.realtime) {  // not allowed: at normal priority then
        posix_spawnattr_setflags(&attributes, 0);
        spawned = posix_spawn(&pid_, argv[0], nullptr, &attributes, argv.data(), environ);
    }
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) fail("cannot start " + options.emulator);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
}

Emulator::~Emulator() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
}

Emulator::CpuTime Emulator::cpu_time() const {
    // Fields 14 and 15 of /proc/PID/stat, after the name in parentheses.
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t after_name = text.rfind(')');
    if (after_name == std::string::npos) return {};
    std::istringstream fields(text.substr(after_name + 2));
    std::string skipped;
    for (int field = 3; field < 14; ++field) fields >> skipped;
    double user = 0, system = 0;
    fields >> user >> system;
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    return {user / tick, system / tick};
}

struct RoundTrip {
    int size = 0;
    double off_mbps = 0, on_mbps = 0;
    long off_packets = 0, on_packets = 0;  // packets back intact, over all rounds
    // The first packet that did not come back intact (wrong length or bytes,
    // a failed send, or no progress for kRoundTripStallLimit) ends the rounds
    // of its setting at this size.
    bool off_failed = false, on_failed = false;
    double ratio() const { return off_mbps > 0 ? on_mbps / off_mbps : 0; }
};

// Send then receive one packet; true when it came back intact.
bool round_trip(pcap_t *sdk, const Bytes &packet, Bytes &buffer) {
    const int size = static_cast<int>(packet.size());
    mac_address from = kBridgeAddress;
    unsigned char type = 0;
    if (SpW_Send_Packet(sdk, packet.data(), size, kEndWithEop) != size) return false;
    const int n = SpW_Recv_Packet_From_MAC(sdk, buffer.data(), size, from.bytes, &type);
    return n == size && std::memcmp(buffer.data(), packet.data(), packet.size()) == 0;
}

// What an application sets for loopback traffic: the host's own frames (source
// all zero) are not set aside during credit waits, and the read buffer holds
// the whole echo of the largest packet sent while its sender waits for credits.
void prepare_for_loopback(int largest_packet) {
    set_recv_skip_out_frames(1);
    const long frames = largest_packet / 1495 + 1;
    const long echo = frames * (1514 + 4);
    set_recv_buffer_size(static_cast<int>(std::max(1000000l, 2 * echo)));
}

RoundTrip bench_round_trip(const Options &options, pcap_t *sdk, int size) {
    prepare_for_loopback(size);
    const Bytes packet = pattern(size);
    Bytes buffer(size);
    RoundTrip result;
    result.size = size;
    std::vector<double> off, on;
    Watchdog watchdog;  // at normal priority: made before the raise
    const RealtimePriority priority(options.realtime);
    // One round: packets back and forth for about round_trip_seconds, after
    // one that is not timed (it also waits for the bridge's first credits).
    auto round = [&](int crediting, std::vector<double> &rates, long &completed, bool &failed) {
        if (failed) return;
        set_send_crediting(crediting);
        drain(sdk);
        long packets = 0;
        bool intact = round_trip(sdk, packet, buffer);
        watchdog.progress();
        const auto start = Clock::now();
        while (intact && seconds_since(start) < options.round_trip_seconds) {
            intact = round_trip(sdk, packet, buffer);
            watchdog.progress();
            if (intact) ++packets;
        }
        if (!intact) {
            failed = true;
            set_wait_receive_active(1);
            return;
        }
        rates.push_back(static_cast<double>(packets) * size / seconds_since(start) / 1e6);
        completed += packets;
        std::this_thread::sleep_for(kRoundTripPause);
    };
    for (int r = 0; r < options.round_trip_rounds; ++r) {
        if (r % 2 == 0) {
            round(0, off, result.off_packets, result.off_failed);
            round(1, on, result.on_packets, result.on_failed);
        } else {
            round(1, on, result.on_packets, result.on_failed);
            round(0, off, result.off_packets, result.off_failed);
        }
    }
    set_send_crediting(0);
    result.off_mbps = median(off);
    result.on_mbps = median(on);
    return result;
}

// --- Output --------------------------------------------------------------------

// What a throughput table shows beyond the rates: nothing, the peer's stream
// and the losses (receive), or the raw loop that assembles packets and the
// losses (drain).
enum class Extra { none, stream_and_losses, assembling_and_losses };

void write_throughput_table(std::FILE *out, const char *title, const std::vector<Throughput> &rows,
                            Extra extra) {
    std::fprintf(out, "### %s\n\n", title);
    const char *heads = extra == Extra::stream_and_losses
                            ? " peer sent, frames/s (raw / SDK rounds) | raw: frames lost | SDK: "
                              "packets lost or damaged |"
                        : extra == Extra::assembling_and_losses
                            ? " raw assembling MB/s | SDK/raw assembling | raw: frames lost | SDK: "
                              "packets lost or damaged |"
                            : "";
    const char *rules = extra == Extra::stream_and_losses       ? "---:|---:|---:|"
                        : extra == Extra::assembling_and_losses ? "---:|---:|---:|---:|"
                                                                : "";
    std::fprintf(out,
                 "| packet | frames/packet | raw frames/s | SDK frames/s | raw MB/s | SDK MB/s | "
                 "SDK/raw |%s\n",
                 heads);
    std::fprintf(out, "|---:|---:|---:|---:|---:|---:|---:|%s\n", rules);
    for (const Throughput &t : rows) {
        std::fprintf(out, "| %s | %ld | %.0f | %.0f | %.1f | %.1f | %.3f |",
                     size_label(t.size).c_str(), frames_per_packet(t.size), t.raw_frames,
                     t.sdk_frames, t.raw_mbps, t.sdk_mbps, t.ratio());
        if (extra == Extra::stream_and_losses)
            std::fprintf(out, " %.0f / %.0f |", t.raw_stream, t.sdk_stream);
        if (extra == Extra::assembling_and_losses)
            std::fprintf(out, " %.1f | %.3f |", t.assembling_mbps,
                         t.assembling_mbps > 0 ? t.sdk_mbps / t.assembling_mbps : 0);
        if (extra != Extra::none)
            std::fprintf(out, " %.1f %% | %.1f %% |", 100 * t.raw_lost_share,
                         100 * t.sdk_lost_share);
        std::fprintf(out, "\n");
    }
    std::fprintf(out, "\n");
}

// One target row: the worst SDK/raw over the rows that `applies` selects.
void write_ratio_target(std::FILE *targets, const char *what, const std::vector<Throughput> &rows,
                        double goal, const std::function<bool(const Throughput &)> &applies) {
    double worst = 0;
    bool any = false;
    for (const Throughput &t : rows)
        if (applies(t) && (!any || t.ratio() < worst)) {
            worst = t.ratio();
            any = true;
        }
    if (any)
        std::fprintf(targets, "| %s SDK/raw >= %.2f | %.3f | %s |\n", what, goal, worst,
                     worst >= goal ? "yes" : "NO");
}

void write_throughput_targets(std::FILE *targets, const std::vector<Throughput> &send,
                              const std::vector<Throughput> &receive,
                              const std::vector<Throughput> &drained) {
    const auto one_frame = [](const Throughput &t) { return frames_per_packet(t.size) == 1; };
    const auto several = [](const Throughput &t) { return frames_per_packet(t.size) > 1; };
    const auto every = [](const Throughput &) { return true; };
    write_ratio_target(targets, "send, packets of one frame:", send, 0.97, one_frame);
    write_ratio_target(targets, "send, packets of two frames or more:", send, 1.00, several);
    write_ratio_target(targets, "receive, drain, every size:", drained, 1.00, every);
    write_ratio_target(targets, "receive, stream, every size:", receive, 0.98, every);
}

// The cost of the thread-safe mode to a single thread: the SDK with the mode on
// against raw and against the SDK with the mode off, from the same rounds.
void write_thread_safe_table(std::FILE *out, const std::vector<Throughput> &send,
                             const std::vector<Throughput> &receive) {
    std::fprintf(out,
                 "### 4. Thread-safe mode: its cost to a single thread\n\n"
                 "`set_thread_safe_mode(1)` before the rounds of a third kind, interleaved with "
                 "the raw and SDK rounds of tables 1 and 2 (payload MB/s, medians):\n\n"
                 "| packet | send: SDK safe MB/s | send: safe/raw | send: safe/off | "
                 "receive: SDK safe MB/s | receive: safe/raw | receive: safe/off | receive, "
                 "safe: peer sent, frames/s | receive, safe: packets lost or damaged |\n"
                 "|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (std::size_t i = 0; i < send.size() && i < receive.size(); ++i) {
        const Throughput &s = send[i], &r = receive[i];
        std::fprintf(out, "| %s | %.1f | %.3f | %.3f | %.1f | %.3f | %.3f | %.0f | %.1f %% |\n",
                     size_label(s.size).c_str(), s.safe_mbps, s.safe_ratio(),
                     s.sdk_mbps > 0 ? s.safe_mbps / s.sdk_mbps : 0, r.safe_mbps, r.safe_ratio(),
                     r.sdk_mbps > 0 ? r.safe_mbps / r.sdk_mbps : 0, r.safe_stream,
                     100 * r.safe_lost_share);
    }
    std::fprintf(out, "\n");
}

void write_round_trip_table(std::FILE *out, const std::vector<RoundTrip> &rows) {
    std::fprintf(out,
                 "### 3. Round trip through spweth-bridge-emu (send, then receive each "
                 "packet)\n\n");
    std::fprintf(out,
                 "| packet | crediting off MB/s | crediting on MB/s | on/off | packets back off / "
                 "on |\n|---:|---:|---:|---:|---:|\n");
    auto rate = [](double value, bool failed) {
        if (failed) return std::string("**failed**");
        char text[32];
        std::snprintf(text, sizeof text, "%.3f", value);
        return std::string(text);
    };
    for (const RoundTrip &t : rows) {
        const bool failed = t.off_failed || t.on_failed;
        std::fprintf(out, "| %s | %s | %s | %s | %ld / %ld |\n", size_label(t.size).c_str(),
                     rate(t.off_mbps, t.off_failed).c_str(), rate(t.on_mbps, t.on_failed).c_str(),
                     failed ? "–" : rate(t.ratio(), false).c_str(), t.off_packets, t.on_packets);
    }
    std::fprintf(out,
                 "\n*failed*: a packet did not come back intact (wrong length or bytes, or no "
                 "progress for %lld s); the rounds of that setting stopped there.\n\n",
                 static_cast<long long>(kRoundTripStallLimit.count()));
}

void write_plot_data(const Options &options, const std::vector<Throughput> &send,
                     const std::vector<Throughput> &receive, const std::vector<RoundTrip> &trips) {
    std::ofstream out(options.plot_data);
    out << "# size send_raw send_sdk recv_raw recv_sdk send_safe recv_safe (payload MB/s; "
           "safe: thread-safe mode on)\n";
    for (std::size_t i = 0; i < send.size(); ++i)
        out << send[i].size << ' ' << send[i].raw_mbps << ' ' << send[i].sdk_mbps << ' '
            << receive[i].raw_mbps << ' ' << receive[i].sdk_mbps << ' ' << send[i].safe_mbps << ' '
            << receive[i].safe_mbps << '\n';
    out << "\n\n# size round_trip_off round_trip_on (payload MB/s; 0: failed)\n";
    for (const RoundTrip &t : trips)
        out << t.size << ' ' << (t.off_failed ? 0 : t.off_mbps) << ' '
            << (t.on_failed ? 0 : t.on_mbps) << '\n';
}

std::vector<int> parse_sizes(const std::string &list) {
    std::vector<int> sizes;
    for (std::size_t at = 0; at < list.size();) {
        std::size_t end = list.find(',', at);
        if (end == std::string::npos) end = list.size();
        sizes.push_back(std::stoi(list.substr(at, end - at)));
        at = end + 1;
    }
    return sizes;
}

Options parse(int argc, char **argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i], value = argv[i + 1];
        if (key == "--host")
            o.host = value;
        else if (key == "--peer")
            o.peer = value;
        else if (key == "--emulator")
            o.emulator = value;
        else if (key == "--emulator-credits")
            o.emulator_credits = std::stoi(value);
        else if (key == "--emulator-status-ms")
            o.emulator_status_ms = std::stoi(value);
        else if (key == "--emulator-spin-us")
            o.emulator_spin_us = std::stoi(value);
        else if (key == "--send-rounds")
            o.send_rounds = std::stoi(value);
        else if (key == "--send-frames")
            o.send_frames = std::stol(value);
        else if (key == "--receive-rounds")
            o.receive_rounds = std::stoi(value);
        else if (key == "--receive-frames")
            o.receive_frames = std::stol(value);
        else if (key == "--drain-frames")
            o.drain_frames = std::stol(value);
        else if (key == "--round-trip-rounds")
            o.round_trip_rounds = std::stoi(value);
        else if (key == "--round-trip-seconds")
            o.round_trip_seconds = std::stod(value);
        else if (key == "--realtime")
            o.realtime = value != "0";
        else if (key == "--sizes")
            o.sizes = parse_sizes(value);
        else if (key == "--round-trip-sizes")
            o.round_trip_sizes = parse_sizes(value);
        else if (key == "--markdown")
            o.markdown = value;
        else if (key == "--plot-data")
            o.plot_data = value;
        else if (key == "--latency-data")
            o.latency_data = value;
        else if (key == "--targets")
            o.targets = value;
        else if (key == "--latency-sizes")
            o.latency_sizes = parse_sizes(value);
        else if (key == "--latency-trips")
            o.latency_trips = std::stol(value);
        else if (key == "--latency-rounds")
            o.latency_rounds = std::stoi(value);
        else if (key == "--wakeups")
            o.wakeups = std::stoi(value);
        else if (key == "--idle-seconds")
            o.idle_seconds = std::stod(value);
        else if (key == "--rmap-transactions")
            o.rmap_transactions = std::stol(value);
        else
            fail("unknown option " + key);
    }
    if (o.host.empty() || o.peer.empty())
        fail(
            "usage: net_bench --host IF --peer IF [--emulator PATH] [--realtime 0|1] "
            "[--send-rounds N] [--send-frames N] [--receive-rounds N] [--receive-frames N] "
            "[--drain-frames N] "
            "[--round-trip-rounds N] [--round-trip-seconds S] [--sizes A,B,..] "
            "[--round-trip-sizes A,B,..] [--markdown FILE] "
            "[--plot-data FILE] [--latency-sizes A,B,..] [--latency-trips N] "
            "[--latency-rounds N] [--wakeups N] [--idle-seconds S] [--rmap-transactions N] "
            "[--latency-data FILE] [--targets FILE]");
    return o;
}

}  // namespace bench

int main(int argc, char **argv) {
    using namespace bench;
    const Options options = parse(argc, argv);
    const auto started = Clock::now();
    auto progress = [&](const char *what, int size) {
        std::fprintf(stderr, "%6.1f s  %s %s\n", seconds_since(started), what,
                     size_label(size).c_str());
    };
    pcap_t *sdk = open_sdk(options.host);
    std::fprintf(stderr, "\n");

    std::vector<Throughput> send, receive, drained;
    {
        for (int size : options.sizes) {
            progress("send", size);
            send.push_back(bench_send(options, sdk, size));
        }
        pcap_t *peer = open_raw(options.peer, kCaptureNothing);
        for (int size : options.sizes) {
            progress("receive", size);
            receive.push_back(bench_receive(options, sdk, peer, size));
        }
        for (int size : options.sizes) {
            progress("drain", size);
            drained.push_back(bench_drain(options, sdk, peer, size));
        }
        pcap_close(peer);
    }

    std::vector<RoundTrip> trips;
    if (!options.emulator.empty()) {
        Emulator emulator(options);
        for (int size : options.round_trip_sizes) {
            progress("round trip", size);
            trips.push_back(bench_round_trip(options, sdk, size));
        }
    }

    std::FILE *out = std::fopen(options.markdown.c_str(), "w");
    std::FILE *targets = std::fopen(options.targets.c_str(), "w");
    if (out == nullptr || targets == nullptr) fail("cannot write " + options.markdown);
    write_throughput_table(out,
                           "1. Send: SpW_Send_Packet against pcap_sendpacket of the same frames",
                           send, Extra::none);
    write_throughput_table(
        out, "2. Receive: SpW_Recv_Packet against a pcap_next_ex loop, same stream from the peer",
        receive, Extra::stream_and_losses);
    write_throughput_table(out,
                           "2b. Drain: queued bursts taken by SpW_Recv_Packet against a "
                           "pcap_next_ex loop, the receiver timed alone",
                           drained, Extra::assembling_and_losses);
    write_throughput_targets(targets, send, receive, drained);
    if (!trips.empty()) write_round_trip_table(out, trips);
    write_thread_safe_table(out, send, receive);
    if (!options.emulator.empty()) bench_latency(options, sdk, out, targets);
    SpW_Socket_Close(sdk);
    std::fclose(targets);
    std::fclose(out);
    write_plot_data(options, send, receive, trips);
    return 0;
}
