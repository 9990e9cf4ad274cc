// Two builds of the library side by side in one process, each loaded in a
// link namespace of its own (dlmopen) with its own socket on the host end of a
// veth pair, for a change measured against the build before it:
// - drain: a burst of one-frame or longer packets, as the bridge sends them,
//   queued once, reaches both sockets' rings; each build drains its own,
//   timed alone, the builds taking turns at going first;
// - send: SpW_Send_Packet of the same packet, a round of each build in turn.
// Both sockets stay open throughout, so each frame sent is also copied to the
// other's ring: both builds pay that alike.
//
//   spweth_builds_bench --host IF --peer IF --a LIB --b LIB [--sizes A,B,..]
//                       [--rounds N] [--markdown FILE]
#include <dlfcn.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;

constexpr int kMaxPayload = 1495;
constexpr int kHeaderSize = 19;
constexpr int kMinFrame = 60;
constexpr long kDrainFrames = 4000;  // a burst: fits the ring
constexpr long kSendFrames = 20000;  // a send round
constexpr auto kBurstSettle = std::chrono::milliseconds(20);
constexpr unsigned char kBridge[6] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05};

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "builds_bench: %s\n", what.c_str());
    std::exit(1);
}

struct Build {
    std::string path;
    int (*recv)(pcap_t *, unsigned char *, int, unsigned char *, unsigned char *) = nullptr;
    int (*send)(pcap_t *, const unsigned char *, int, int) = nullptr;
    pcap_t *socket = nullptr;
};

template <typename F>
F symbol(void *library, const char *name) {
    void *found = dlsym(library, name);
    if (found == nullptr) fail(std::string("no ") + name);
    return reinterpret_cast<F>(found);
}

Build load(const std::string &path, const std::string &adapter) {
    void *library = dlmopen(LM_ID_NEWLM, path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) fail(dlerror());
    Build b;
    b.path = path;
    b.recv = symbol<decltype(b.recv)>(library, "SpW_Recv_Packet");
    b.send = symbol<decltype(b.send)>(library, "SpW_Send_Packet");
    const auto open = symbol<std::intptr_t (*)(const char *)>(library, "SpW_Socket_Init_By_Name");
    const std::intptr_t socket = open(adapter.c_str());
    if (socket < 0) fail("cannot open " + adapter + " with " + path);
    b.socket = reinterpret_cast<pcap_t *>(socket);
    return b;
}

// The frames of one packet as the bridge sends it.
std::vector<Bytes> bridge_frames(int size) {
    std::vector<Bytes> frames;
    const int count = std::max(1, (size + kMaxPayload - 1) / kMaxPayload);
    int at = 0;
    for (int i = 0; i < count; ++i) {
        const int payload = std::min(kMaxPayload, size - at);
        const unsigned char type = count == 1 ? 1 : i == 0 ? 3 : i == count - 1 ? 4 : 0;
        Bytes frame(static_cast<std::size_t>(std::max(kMinFrame, kHeaderSize + payload)), 0);
        std::copy(kBridge, kBridge + 6, frame.begin() + 6);
        frame[12] = 0x06;
        frame[13] = 0xAB;
        frame[14] = type;
        frame[15] = static_cast<unsigned char>(i);
        frame[16] = static_cast<unsigned char>(payload & 0xFF);
        frame[17] = static_cast<unsigned char>(payload >> 8);
        frame[18] = 10;
        for (int j = 0; j < payload; ++j)
            frame[static_cast<std::size_t>(kHeaderSize + j)] = static_cast<unsigned char>(at + j);
        at += payload;
        frames.push_back(std::move(frame));
    }
    return frames;
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Row {
    int size = 0;
    double a = 0, b = 0;  // frames per second
};

Row drain(Build (&builds)[2], pcap_t *peer, int size, int rounds) {
    const std::vector<Bytes> frames = bridge_frames(size);
    const long packets = std::max<long>(1, kDrainFrames / static_cast<long>(frames.size()));
    Bytes buffer(static_cast<std::size_t>(std::max(size, 1)));
    unsigned char source[6];
    unsigned char type = 0;
    std::vector<double> seconds[2];
    for (int round = 0; round < rounds; ++round) {
        for (long p = 0; p < packets; ++p)
            for (const Bytes &frame : frames)
                if (pcap_sendpacket(peer, frame.data(), static_cast<int>(frame.size())) != 0)
                    fail(std::string("peer: ") + pcap_geterr(peer));
        std::this_thread::sleep_for(kBurstSettle);
        for (int turn = 0; turn < 2; ++turn) {
            const int k = (round + turn) % 2;
            Build &build = builds[k];
            const auto start = Clock::now();
            for (long p = 0; p < packets; ++p)
                if (build.recv(build.socket, buffer.data(), size, source, &type) != size ||
                    type != 0)
                    fail("a packet lost or damaged with " + build.path);
            seconds[k].push_back(seconds_since(start));
        }
    }
    const double count = static_cast<double>(packets) * static_cast<double>(frames.size());
    return {size, count / median(seconds[0]), count / median(seconds[1])};
}

Row send(Build (&builds)[2], int size, int rounds) {
    const long frames = static_cast<long>(bridge_frames(size).size());
    const long packets = std::max<long>(1, kSendFrames / frames);
    Bytes packet(static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<unsigned char>(i);
    std::vector<double> seconds[2];
    for (int round = 0; round < rounds; ++round)
        for (int turn = 0; turn < 2; ++turn) {
            const int k = (round + turn) % 2;
            Build &build = builds[k];
            const auto start = Clock::now();
            for (long p = 0; p < packets; ++p)
                if (build.send(build.socket, packet.data(), size, 0) != size)
                    fail("SpW_Send_Packet failed with " + build.path);
            seconds[k].push_back(seconds_since(start));
        }
    const double count = static_cast<double>(packets * frames);
    return {size, count / median(seconds[0]), count / median(seconds[1])};
}

void write_table(std::FILE *out, const char *title, const std::vector<Row> &rows) {
    std::fprintf(out, "%s\n\n| packet | A frames/s | B frames/s | B/A |\n|---:|---:|---:|---:|\n",
                 title);
    for (const Row &r : rows)
        std::fprintf(out, "| %d B | %.0f | %.0f | %.3f |\n", r.size, r.a, r.b, r.b / r.a);
    std::fprintf(out, "\n");
}

std::vector<int> parse_sizes(const std::string &list) {
    std::vector<int> sizes;
    std::size_t at = 0;
    while (at <= list.size()) {
        const std::size_t comma = std::min(list.find(',', at), list.size());
        const int size = std::atoi(list.substr(at, comma - at).c_str());
        if (size <= 0) fail("a packet size must be above 0: " + list);
        sizes.push_back(size);
        at = comma + 1;
    }
    return sizes;
}

}  // namespace

int main(int argc, char **argv) {
    std::string host, peer_name, paths[2], markdown;
    std::vector<int> sizes{1, 64, 1495, 1496, 65536};
    int rounds = 101;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i], value = argv[i + 1];
        if (key == "--host")
            host = value;
        else if (key == "--peer")
            peer_name = value;
        else if (key == "--a")
            paths[0] = value;
        else if (key == "--b")
            paths[1] = value;
        else if (key == "--sizes")
            sizes = parse_sizes(value);
        else if (key == "--rounds")
            rounds = std::atoi(value.c_str());
        else if (key == "--markdown")
            markdown = value;
        else
            fail("unknown option " + key);
    }
    if (host.empty() || peer_name.empty() || paths[0].empty() || paths[1].empty() || rounds < 1)
        fail(
            "usage: builds_bench --host IF --peer IF --a LIB --b LIB [--sizes A,B,..] "
            "[--rounds N] [--markdown FILE]");
    Build builds[2] = {load(paths[0], host), load(paths[1], host)};
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_t *peer = pcap_open_live(peer_name.c_str(), 64, 0, 1, error);
    if (peer == nullptr) fail(error);
    std::vector<Row> drained, sent;
    for (int size : sizes) drained.push_back(drain(builds, peer, size, rounds));
    for (int size : sizes) sent.push_back(send(builds, size, std::max(1, rounds / 5)));
    std::FILE *out = markdown.empty() ? stdout : std::fopen(markdown.c_str(), "w");
    if (out == nullptr) fail("cannot write " + markdown);
    write_table(out, "Drain: SpW_Recv_Packet of a queued burst, each build timed alone", drained);
    write_table(out, "Send: SpW_Send_Packet", sent);
    if (out != stdout) std::fclose(out);
    pcap_close(peer);
    return 0;
}
