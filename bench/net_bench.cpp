// Throughput of the library against raw libpcap, side by side, over a veth pair.
//
// run.sh starts this program inside a network namespace of its own that holds
// the pair: the host end (--host) carries the library's socket and the raw
// handle, the peer end (--peer) the stream sender and the bridge emulator.
// Every figure is the median of several rounds; SDK and raw rounds alternate,
// and which of the two goes first alternates too, so that drift cancels out.
#include <pcap/pcap.h>
#include <spawn.h>
#include <sys/wait.h>

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
#include <string>
#include <thread>
#include <vector>

#include "spweth.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;
using Frames = std::vector<Bytes>;

constexpr int kPacketSizes[] = {1, 64, 1495, 1496, 65536, 1048576};
constexpr int kRoundTripSizes[] = {64, 1495, 65536, 1048576};
constexpr const char *kBridgeFilter = "ether proto 0x06AB";
constexpr const char *kCaptureNothing = "less 1";  // a send-only handle keeps no frame
constexpr mac_address kBridgeAddress{{0x00, 0x01, 0x02, 0x03, 0x04, 0x05}};
constexpr mac_address kZeroAddress{};
constexpr int kEndWithEop = 1;
constexpr int kTypeOffset = 14;                // the frame-type byte of a bridge frame
constexpr std::uint8_t kNotAFrameType = 0x09;  // every receiver here ignores it
constexpr int kFillerLength = 60;
constexpr auto kStallLimit = std::chrono::milliseconds(400);
constexpr auto kRoundTripStallLimit = std::chrono::seconds(2);

struct Options {
    std::string host;
    std::string peer;
    std::string emulator;
    int emulator_credits = 32;
    int emulator_status_ms = 1000;
    int rounds = 7;
    long frames_per_round = 40000;
    double round_trip_seconds = 0.3;
    std::string markdown = "net_results.md";
    std::string plot_data = "throughput.dat";
};

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

// A raw handle set up as the library sets up its socket: pcap_open_live
// (snapshot 65536, promiscuous, 100 ms), a filter, non-blocking mode.
pcap_t *open_raw(const std::string &adapter, const char *filter) {
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_t *handle = pcap_open_live(adapter.c_str(), 65536, 1, 100, error);
    if (handle == nullptr) fail("pcap_open_live " + adapter + ": " + error);
    bpf_program program{};
    if (pcap_compile(handle, &program, filter, 1, 0xFFFFFF) < 0 ||
        pcap_setfilter(handle, &program) < 0)
        fail(std::string("filter: ") + pcap_geterr(handle));
    pcap_freecode(&program);
    if (pcap_setnonblock(handle, 1, error) != 0) fail(std::string("non-blocking: ") + error);
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

// Reads and forgets every frame that the handle holds now.
void drain(pcap_t *handle) {
    pcap_pkthdr *header;
    const u_char *data;
    while (pcap_next_ex(handle, &header, &data) == 1) {
    }
}

// The frames that SpW_Send_Packet puts on the wire for one packet of this
// size, as a raw handle on the same adapter sees them go out: the raw rounds
// send exactly the SDK's frame sequence.
Frames sdk_frames(pcap_t *sdk, pcap_t *watcher, int size, const mac_address &source) {
    drain(watcher);
    set_source_mac_address(source.bytes, 6);
    const Bytes packet = pattern(size);
    if (SpW_Send_Packet(sdk, packet.data(), size, kEndWithEop) != size) fail("SpW_Send_Packet");
    set_source_mac_address(kZeroAddress.bytes, 6);
    // Outgoing frames reach the capture ring during the send; the ring hands
    // out a block once it is full or its 100 ms timer runs out.
    Frames frames;
    long expected = 0;
    for (int left = size; left > 0; left -= 1495) ++expected;
    const auto start = Clock::now();
    while (static_cast<long>(frames.size()) < expected && seconds_since(start) < 1.0) {
        pcap_pkthdr *header;
        const u_char *data;
        if (pcap_next_ex(watcher, &header, &data) == 1)
            frames.emplace_back(data, data + header->caplen);
    }
    if (static_cast<long>(frames.size()) != expected)
        fail("captured " + std::to_string(frames.size()) + " of " + std::to_string(expected) +
             " frames of a " + std::to_string(size) + "-byte packet");
    return frames;
}

long packets_per_round(const Options &options, std::size_t frames_per_packet) {
    return std::max<long>(1, options.frames_per_round / static_cast<long>(frames_per_packet));
}

// --- 1. Send -------------------------------------------------------------------

struct Throughput {
    int size = 0;
    double raw_frames = 0, sdk_frames = 0;  // frames per second
    double raw_mbps = 0, sdk_mbps = 0;      // payload, 10^6 bytes per second
    long raw_lost = 0, sdk_lost = 0;        // receive only
    double ratio() const { return raw_mbps > 0 ? sdk_mbps / raw_mbps : 0; }
};

// Runs the two kinds of round alternately, raw first in even rounds.
void alternate(int rounds, const std::function<void()> &raw, const std::function<void()> &sdk) {
    for (int round = 0; round < rounds; ++round) {
        if (round % 2 == 0) {
            raw();
            sdk();
        } else {
            sdk();
            raw();
        }
    }
}

Throughput bench_send(const Options &options, pcap_t *sdk, pcap_t *raw, int size) {
    const Frames frames = sdk_frames(sdk, raw, size, kZeroAddress);
    const long packets = packets_per_round(options, frames.size());
    const Bytes packet = pattern(size);
    std::vector<double> raw_seconds, sdk_seconds;
    alternate(
        options.rounds,
        [&] {
            const auto start = Clock::now();
            for (long p = 0; p < packets; ++p)
                for (const Bytes &frame : frames)
                    if (pcap_sendpacket(raw, frame.data(), static_cast<int>(frame.size())) != 0)
                        fail(std::string("pcap_sendpacket: ") + pcap_geterr(raw));
            raw_seconds.push_back(seconds_since(start));
        },
        [&] {
            const auto start = Clock::now();
            for (long p = 0; p < packets; ++p)
                if (SpW_Send_Packet(sdk, packet.data(), size, kEndWithEop) != size)
                    fail("SpW_Send_Packet");
            sdk_seconds.push_back(seconds_since(start));
        });
    const double frame_count = static_cast<double>(packets) * frames.size();
    const double bytes = static_cast<double>(packets) * size;
    Throughput t;
    t.size = size;
    t.raw_frames = frame_count / median(raw_seconds);
    t.sdk_frames = frame_count / median(sdk_seconds);
    t.raw_mbps = bytes / median(raw_seconds) / 1e6;
    t.sdk_mbps = bytes / median(sdk_seconds) / 1e6;
    return t;
}

// --- 2. Receive ----------------------------------------------------------------

// What a receiver saw in one round: packets whole, packets damaged, and the
// times of the first and the last whole packet.
struct Reception {
    std::atomic<long> packets{0};
    long damaged = 0;
    Clock::time_point first, last;

    void count(Clock::time_point now) {
        if (packets.load(std::memory_order_relaxed) == 0) first = now;
        last = now;
        packets.fetch_add(1, std::memory_order_release);
    }
    // Packets per second between the first and the last packet.
    double rate() const {
        const long n = packets.load();
        const double span = std::chrono::duration<double>(last - first).count();
        return n > 1 && span > 0 ? (n - 1) / span : 0;
    }
};

// The peer's stream: `packets` times the packet's frames, then filler frames
// (of no frame type, which every receiver here ignores) until told to stop.
// The fillers push the stream's last frames out of the receiver's capture
// ring, which hands frames out a block at a time.
void send_stream(pcap_t *peer, const Frames &frames, long packets,
                 const std::atomic<bool> &stop_filling) {
    auto send = [peer](const Bytes &frame) {
        while (pcap_sendpacket(peer, frame.data(), static_cast<int>(frame.size())) != 0) {
        }
    };
    for (long p = 0; p < packets; ++p)
        for (const Bytes &frame : frames) send(frame);
    Bytes filler = frames.front();
    filler.resize(kFillerLength);
    filler[kTypeOffset] = kNotAFrameType;
    while (!stop_filling.load(std::memory_order_relaxed)) send(filler);
}

// One receive round: the receiver runs on its own thread, the peer's stream on
// another; this thread ends the receiver once every packet is in or the
// stream has stalled, and then stops the fillers.
void receive_round(pcap_t *peer, const Frames &frames, long packets,
                   const std::function<void()> &receiver, const std::function<void()> &stop,
                   const Reception &reception) {
    std::atomic<bool> stop_filling{false};
    std::thread receiving(receiver);
    std::thread sending([&] { send_stream(peer, frames, packets, stop_filling); });
    long seen = -1;
    auto progress = Clock::now();
    while (reception.packets.load() < packets && Clock::now() - progress < kStallLimit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (const long now = reception.packets.load(); now != seen) {
            seen = now;
            progress = Clock::now();
        }
    }
    stop();
    receiving.join();
    stop_filling = true;
    sending.join();
}

Throughput bench_receive(const Options &options, pcap_t *sdk, pcap_t *raw, pcap_t *peer, int size) {
    const Frames frames = sdk_frames(sdk, raw, size, kBridgeAddress);
    const long frames_per_packet = static_cast<long>(frames.size());
    const long packets = packets_per_round(options, frames.size());
    Bytes buffer(size);
    std::vector<double> raw_rates, sdk_rates;
    long raw_lost = 0, sdk_lost = 0;
    alternate(
        options.rounds,
        [&] {
            drain(raw);
            Reception reception;
            std::atomic<bool> stop{false};
            long data_frames = 0;
            receive_round(
                peer, frames, packets,
                [&] {
                    pcap_pkthdr *header;
                    const u_char *data;
                    while (!stop.load(std::memory_order_relaxed)) {
                        if (pcap_next_ex(raw, &header, &data) != 1) continue;
                        if (data[kTypeOffset] == kNotAFrameType) continue;
                        if (++data_frames % frames_per_packet == 0) reception.count(Clock::now());
                    }
                },
                [&] { stop = true; }, reception);
            raw_rates.push_back(reception.rate());
            raw_lost = std::max(raw_lost, packets * frames_per_packet - data_frames);
        },
        [&] {
            drain(sdk);
            Reception reception;
            receive_round(
                peer, frames, packets,
                [&] {
                    mac_address source{};
                    unsigned char type = 0;
                    for (;;) {
                        const int n =
                            SpW_Recv_Packet(sdk, buffer.data(), size, source.bytes, &type);
                        if (n < 0) fail("SpW_Recv_Packet: " + std::to_string(n));
                        if (n == 0 && get_wait_receive_status() == 0) break;
                        if (n == size)
                            reception.count(Clock::now());
                        else
                            ++reception.damaged;
                    }
                },
                [] { set_wait_receive_active(0); }, reception);
            set_wait_receive_active(1);
            sdk_rates.push_back(reception.rate());
            sdk_lost = std::max(sdk_lost, packets - reception.packets.load());
        });
    Throughput t;
    t.size = size;
    t.raw_frames = median(raw_rates) * frames_per_packet;
    t.sdk_frames = median(sdk_rates) * frames_per_packet;
    t.raw_mbps = median(raw_rates) * size / 1e6;
    t.sdk_mbps = median(sdk_rates) * size / 1e6;
    t.raw_lost = raw_lost;
    t.sdk_lost = sdk_lost;
    return t;
}

// --- 3. Round trip through the bridge emulator ---------------------------------

// The emulator on the peer end, started for the round trips and ended by its pid.
class Emulator {
public:
    Emulator(const Options &options) {
        std::vector<std::string> args{options.emulator,
                                      "--iface",
                                      options.peer,
                                      "--credits",
                                      std::to_string(options.emulator_credits),
                                      "--status-ms",
                                      std::to_string(options.emulator_status_ms)};
        std::vector<char *> argv;
        for (auto &arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            fail("cannot start " + options.emulator);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    ~Emulator() {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
    }

private:
    pid_t pid_ = 0;
};

// Ends a send or receive that has made no progress for a while, by clearing
// the wait flag; the caller counts that packet as lost and sets the flag again.
class Watchdog {
public:
    Watchdog() : thread_([this] { watch(); }) {}
    ~Watchdog() {
        done_ = true;
        thread_.join();
    }
    void progress() { ++ticks_; }

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

struct RoundTrip {
    int size = 0;
    double off_mbps = 0, on_mbps = 0;
    long off_packets = 0, on_packets = 0;  // packets completed over all rounds
    long lost = 0;                         // sends or receives that failed or stalled
    double ratio() const { return off_mbps > 0 ? on_mbps / off_mbps : 0; }
};

RoundTrip bench_round_trip(const Options &options, pcap_t *sdk, int size) {
    const Bytes packet = pattern(size);
    Bytes buffer(size);
    RoundTrip result;
    result.size = size;
    std::vector<double> off, on;
    Watchdog watchdog;
    // One round: send then receive packets for about round_trip_seconds.
    auto round = [&](int crediting, std::vector<double> &rates, long &completed) {
        set_send_crediting(crediting);
        drain(sdk);
        long packets = 0;
        const auto start = Clock::now();
        do {
            mac_address from = kBridgeAddress;
            unsigned char type = 0;
            const bool sent = SpW_Send_Packet(sdk, packet.data(), size, kEndWithEop) == size;
            const int n =
                sent ? SpW_Recv_Packet_From_MAC(sdk, buffer.data(), size, from.bytes, &type) : -1;
            if (n == size && std::memcmp(buffer.data(), packet.data(), size) == 0) {
                ++packets;
            } else {
                ++result.lost;
                set_wait_receive_active(1);
            }
            watchdog.progress();
        } while (seconds_since(start) < options.round_trip_seconds);
        rates.push_back(static_cast<double>(packets) * size / seconds_since(start) / 1e6);
        completed += packets;
    };
    const int rounds = std::max(3, options.rounds / 2);
    for (int r = 0; r < rounds; ++r) {
        if (r % 2 == 0) {
            round(0, off, result.off_packets);
            round(1, on, result.on_packets);
        } else {
            round(1, on, result.on_packets);
            round(0, off, result.off_packets);
        }
    }
    set_send_crediting(0);
    result.off_mbps = median(off);
    result.on_mbps = median(on);
    return result;
}

// --- Output --------------------------------------------------------------------

void write_throughput_table(std::FILE *out, const char *title, const std::vector<Throughput> &rows,
                            bool with_losses) {
    std::fprintf(out, "### %s\n\n", title);
    std::fprintf(out,
                 "| packet | frames/packet | raw frames/s | SDK frames/s | raw MB/s | SDK MB/s | "
                 "SDK/raw |%s\n",
                 with_losses ? " lost (raw frames / SDK packets) |" : "");
    std::fprintf(out, "|---:|---:|---:|---:|---:|---:|---:|%s\n", with_losses ? "---:|" : "");
    for (const Throughput &t : rows) {
        long frames_per_packet = 0;
        for (int left = t.size; left > 0; left -= 1495) ++frames_per_packet;
        std::fprintf(out, "| %s | %ld | %.0f | %.0f | %.1f | %.1f | %.3f |",
                     size_label(t.size).c_str(), frames_per_packet, t.raw_frames, t.sdk_frames,
                     t.raw_mbps, t.sdk_mbps, t.ratio());
        if (with_losses) std::fprintf(out, " %ld / %ld |", t.raw_lost, t.sdk_lost);
        std::fprintf(out, "\n");
    }
    std::fprintf(out, "\n");
}

void write_round_trip_table(std::FILE *out, const std::vector<RoundTrip> &rows) {
    std::fprintf(
        out, "### 3. Round trip through spweth-bridge-emu (send, then receive each packet)\n\n");
    std::fprintf(out,
                 "| packet | crediting off MB/s | crediting on MB/s | on/off | packets off / on | "
                 "lost |\n|---:|---:|---:|---:|---:|---:|\n");
    for (const RoundTrip &t : rows)
        std::fprintf(out, "| %s | %.2f | %.2f | %.3f | %ld / %ld | %ld |\n",
                     size_label(t.size).c_str(), t.off_mbps, t.on_mbps, t.ratio(), t.off_packets,
                     t.on_packets, t.lost);
    std::fprintf(out, "\n");
}

void write_plot_data(const Options &options, const std::vector<Throughput> &send,
                     const std::vector<Throughput> &receive, const std::vector<RoundTrip> &trips) {
    std::ofstream out(options.plot_data);
    out << "# size send_raw send_sdk recv_raw recv_sdk (payload MB/s)\n";
    for (std::size_t i = 0; i < send.size(); ++i)
        out << send[i].size << ' ' << send[i].raw_mbps << ' ' << send[i].sdk_mbps << ' '
            << receive[i].raw_mbps << ' ' << receive[i].sdk_mbps << '\n';
    out << "\n\n# size round_trip_off round_trip_on (payload MB/s)\n";
    for (const RoundTrip &t : trips) out << t.size << ' ' << t.off_mbps << ' ' << t.on_mbps << '\n';
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
        else if (key == "--rounds")
            o.rounds = std::stoi(value);
        else if (key == "--frames")
            o.frames_per_round = std::stol(value);
        else if (key == "--round-trip-seconds")
            o.round_trip_seconds = std::stod(value);
        else if (key == "--markdown")
            o.markdown = value;
        else if (key == "--plot-data")
            o.plot_data = value;
        else
            fail("unknown option " + key);
    }
    if (o.host.empty() || o.peer.empty())
        fail(
            "usage: net_bench --host IF --peer IF [--emulator PATH] [--rounds N] [--frames N] ...");
    return o;
}

}  // namespace

int main(int argc, char **argv) {
    const Options options = parse(argc, argv);
    pcap_t *sdk = open_sdk(options.host);
    std::fprintf(stderr, "\n");

    std::vector<Throughput> send, receive;
    {
        pcap_t *raw = open_raw(options.host, kBridgeFilter);
        for (int size : kPacketSizes) {
            std::fprintf(stderr, "send %s ...\n", size_label(size).c_str());
            send.push_back(bench_send(options, sdk, raw, size));
        }
        pcap_t *peer = open_raw(options.peer, kCaptureNothing);
        for (int size : kPacketSizes) {
            std::fprintf(stderr, "receive %s ...\n", size_label(size).c_str());
            receive.push_back(bench_receive(options, sdk, raw, peer, size));
        }
        pcap_close(peer);
        pcap_close(raw);
    }

    std::vector<RoundTrip> trips;
    if (!options.emulator.empty()) {
        Emulator emulator(options);
        for (int size : kRoundTripSizes) {
            std::fprintf(stderr, "round trip %s ...\n", size_label(size).c_str());
            trips.push_back(bench_round_trip(options, sdk, size));
        }
    }
    SpW_Socket_Close(sdk);

    std::FILE *out = std::fopen(options.markdown.c_str(), "w");
    if (out == nullptr) fail("cannot write " + options.markdown);
    write_throughput_table(
        out, "1. Send: SpW_Send_Packet against pcap_sendpacket of the same frames", send, false);
    write_throughput_table(
        out, "2. Receive: SpW_Recv_Packet against a pcap_next_ex loop, same stream from the peer",
        receive, true);
    if (!trips.empty()) write_round_trip_table(out, trips);
    std::fclose(out);
    write_plot_data(options, send, receive, trips);
    return 0;
}
