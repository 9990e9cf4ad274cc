// spweth-gateway against the library called directly, side by side in one
// run, over a veth pair to the bridge emulator (bench/gateway.sh makes the
// namespace): the 4-byte RMAP read's round trip, one at a time, and the
// throughput of 64 KiB packets looped back with a window of packets in
// flight. Direct and gateway rounds (the gateway as it starts by default, and
// with --spin-us 100) alternate; each side has the adapter alone. The library
// runs as the gateway runs it: thread-safe mode, idle waits, credit flow
// control on. Each round's host CPU (this process and the gateway) is
// reported as a share of one core.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "spweth.h"
#include "spweth_rmap.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;

constexpr int kPort = 10030;
constexpr int kPacket = 64 * 1024;
constexpr unsigned char kBridge[6] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05};

struct Settings {
    std::string host, gateway;
    int rounds = 5;
    int reads = 3000;  // per round
    double seconds = 1.0;
    int window = 8;  // packets in flight in a throughput round
    std::string markdown;
};

spw_rmap_target target() {
    spw_rmap_target t{};
    t.target_logical_address = 0xFE;
    t.key = 0x20;
    t.initiator_logical_address = 0x67;
    return t;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}
double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<std::size_t>(p * v.size()))];
}

// CPU time of this process and of its children waited for (the gateways), in seconds.
double host_cpu_seconds() {
    double total = 0;
    for (const int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage usage{};
        getrusage(who, &usage);
        for (const timeval &t : {usage.ru_utime, usage.ru_stime})
            total += static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    }
    return total;
}

void fail(const char *what) {
    std::fprintf(stderr, "gateway_bench: %s\n", what);
    std::exit(1);
}

// ------------------------------------------------------------ the two sides

// What both sides offer a round: an RMAP read, and a packet sent and received.
class Side {
public:
    virtual ~Side() = default;
    virtual void rmap_read() = 0;
    virtual void send(const Bytes &packet) = 0;
    virtual int receive(Bytes &buffer) = 0;  // the packet's length
};

class Direct : public Side {
public:
    explicit Direct(const std::string &host) {
        const intptr_t s = SpW_Socket_Init_By_Name(host.c_str());
        if (s <= 0) fail("cannot open the host adapter");
        socket_ = reinterpret_cast<pcap *>(s);
        SpW_Socket_Set_Bridge_Address(socket_, kBridge);
    }
    ~Direct() override { SpW_Socket_Close(socket_); }
    void rmap_read() override {
        unsigned char data[4];
        const spw_rmap_target t = target();
        if (SpW_RMAP_Read(socket_, &t, 0, 0x1000, data, 4, SPW_RMAP_INCREMENT, 1000) != 0)
            fail("direct RMAP read failed");
    }
    void send(const Bytes &packet) override {
        const int n = static_cast<int>(packet.size());
        if (SpW_Send_Packet_Timeout(socket_, packet.data(), n, 1, 2000) != n)
            fail("direct send failed");
    }
    int receive(Bytes &buffer) override {
        unsigned char type = 0, from[6];
        std::memcpy(from, kBridge, 6);
        const int n = SpW_Recv_Packet_From_MAC_Timeout(
            socket_, buffer.data(), static_cast<int>(buffer.size()), from, &type, 2000);
        if (n <= 0) fail("direct receive failed");
        return n;
    }

private:
    pcap *socket_ = nullptr;
};

class ThroughGateway : public Side {
public:
    ThroughGateway(const std::string &gateway, const std::string &host, unsigned spin_us) {
        std::vector<std::string> args{
            gateway, "--iface", host, "--stats-s", "0", "--spin-us", std::to_string(spin_us)};
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            fail("cannot start the gateway");
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(kPort);
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (true) {
            fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
            if (connect(fd_, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0) break;
            ::close(fd_);
            if (Clock::now() > deadline) fail("the gateway does not listen");
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~ThroughGateway() override {
        ::close(fd_);
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    void rmap_read() override {
        unsigned char command[64];
        const spw_rmap_target t = target();
        const int n = SpW_RMAP_Build_Read(&t, ++tid_, 0, 0x1000, 4, SPW_RMAP_INCREMENT, command,
                                          sizeof command);
        send(Bytes(command, command + n));
        Bytes reply(64);
        if (receive(reply) != 17 || reply[3] != 0) fail("RMAP read through the gateway failed");
    }
    void send(const Bytes &packet) override {
        unsigned char header[12] = {};
        std::uint64_t size = packet.size();
        for (int i = 11; i >= 4; --i, size >>= 8) header[i] = static_cast<unsigned char>(size);
        iovec parts[2] = {{header, sizeof header},
                          {const_cast<unsigned char *>(packet.data()), packet.size()}};
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = 2;
        std::size_t left = sizeof header + packet.size();
        while (left > 0) {  // a short write only on a large packet: finish it plainly
            const ssize_t sent = sendmsg(fd_, &message, MSG_NOSIGNAL);
            if (sent <= 0) fail("sending to the gateway failed");
            left -= static_cast<std::size_t>(sent);
            std::size_t done = static_cast<std::size_t>(sent);
            for (auto &part : parts) {
                const std::size_t used = std::min(done, part.iov_len);
                part.iov_base = static_cast<char *>(part.iov_base) + used;
                part.iov_len -= used;
                done -= used;
            }
        }
    }
    int receive(Bytes &buffer) override {
        unsigned char header[12];
        read_all(header, sizeof header);
        std::uint64_t size = 0;
        for (int i = 2; i < 12; ++i) size = (size << 8) | header[i];
        if (header[0] > 1 || size > buffer.size()) fail("unexpected frame from the gateway");
        read_all(buffer.data(), size);
        return static_cast<int>(size);
    }

private:
    void read_all(unsigned char *to, std::size_t n) {
        while (n > 0) {
            const ssize_t got = recv(fd_, to, n, 0);
            if (got <= 0) fail("the gateway closed the connection");
            to += got;
            n -= static_cast<std::size_t>(got);
        }
    }
    pid_t pid_ = 0;
    int fd_ = -1;
    int tid_ = 0;
};

// ------------------------------------------------------------ the measurements

std::vector<double> rmap_round(Side &side, int reads) {
    for (int i = 0; i < 200; ++i) side.rmap_read();  // warm up
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(reads));
    for (int i = 0; i < reads; ++i) {
        const auto start = Clock::now();
        side.rmap_read();
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    return us;
}

// 64 KiB packets looped back for `seconds`, at most `window` in flight; MB/s.
double throughput_round(Side &side, double seconds, int window) {
    const Bytes packet(kPacket, 0x5A);
    std::mutex mutex;
    std::condition_variable changed;
    int in_flight = 0;
    std::atomic<bool> stop{false};
    std::uint64_t sent = 0;
    std::thread sender([&] {
        while (!stop.load()) {
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return stop.load() || in_flight < window; });
                if (stop.load()) return;
                ++in_flight;
            }
            side.send(packet);
            ++sent;
        }
    });
    Bytes buffer(kPacket + 16);
    std::uint64_t bytes = 0, received = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        bytes += static_cast<std::uint64_t>(side.receive(buffer));
        ++received;
        {
            const std::lock_guard lock(mutex);
            --in_flight;
        }
        changed.notify_one();
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    {
        const std::lock_guard lock(mutex);
        stop = true;
    }
    changed.notify_one();
    sender.join();
    while (received < sent) {  // what is still on its way
        side.receive(buffer);
        ++received;
        const std::lock_guard lock(mutex);
        --in_flight;
        changed.notify_one();
    }
    return static_cast<double>(bytes) / elapsed / 1e6;
}

}  // namespace

int main(int argc, char **argv) {
    Settings s;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i], value = argv[i + 1];
        if (key == "--host")
            s.host = value;
        else if (key == "--gateway")
            s.gateway = value;
        else if (key == "--rounds")
            s.rounds = std::atoi(value.c_str());
        else if (key == "--reads")
            s.reads = std::atoi(value.c_str());
        else if (key == "--seconds")
            s.seconds = std::atof(value.c_str());
        else if (key == "--window")
            s.window = std::atoi(value.c_str());
        else if (key == "--markdown")
            s.markdown = value;
    }
    if (s.host.empty() || s.gateway.empty())
        fail("usage: --host IF --gateway PATH [--rounds N] [--reads N] [--seconds S] [--window N]");
    if (s.rounds < 1 || s.reads < 1 || !(s.seconds > 0) || s.window < 1)
        fail("--rounds, --reads, --seconds and --window must be above 0");
    set_thread_safe_mode(1);
    set_recv_idle_wait(1);
    set_send_crediting(1);
    set_send_credit_timeout(2000);

    // One record per side, in the order of the rounds.
    struct Record {
        const char *name;
        bool direct;
        unsigned spin_us;  // the gateway's --spin-us
        std::vector<double> us, mbs, cpu;
    };
    std::vector<Record> sides{{"library called directly", true, 0, {}, {}, {}},
                              {"through spweth-gateway", false, 0, {}, {}, {}},
                              {"through spweth-gateway --spin-us 100", false, 100, {}, {}, {}}};
    for (int round = 0; round < s.rounds; ++round) {
        for (Record &r : sides) {
            const double cpu_before = host_cpu_seconds();
            const auto round_start = Clock::now();
            std::unique_ptr<Side> side;
            if (r.direct)
                side = std::make_unique<Direct>(s.host);
            else
                side = std::make_unique<ThroughGateway>(s.gateway, s.host, r.spin_us);
            std::this_thread::sleep_for(std::chrono::milliseconds(150));  // credits reported
            const auto us = rmap_round(*side, s.reads);
            r.us.insert(r.us.end(), us.begin(), us.end());
            r.mbs.push_back(throughput_round(*side, s.seconds, s.window));
            side.reset();  // the gateway stopped and waited for: its CPU time is counted
            r.cpu.push_back(100 * (host_cpu_seconds() - cpu_before) /
                            std::chrono::duration<double>(Clock::now() - round_start).count());
            std::fprintf(stderr, "round %d, %s: RMAP p50 %.1f us, 64 KiB %.0f MB/s\n", round + 1,
                         r.name, median(us), r.mbs.back());
        }
    }
    const Record &direct = sides[0];
    const double dp50 = percentile(direct.us, 0.5);
    const double dm = median(direct.mbs);
    std::string table =
        "| side | RMAP read p50, us | p50 / direct (goal <= 2) | p99, us | 64 KiB loopback, MB/s "
        "| / direct (goal >= 0.8) | host CPU, % of a core |\n|---|---:|---:|---:|---:|---:|---:|\n";
    for (const Record &r : sides) {
        char row[256];
        const double p50 = percentile(r.us, 0.5), m = median(r.mbs);
        std::snprintf(row, sizeof row, "| %s | %.1f | %.2f | %.1f | %.0f | %.2f | %.0f |\n", r.name,
                      p50, p50 / dp50, percentile(r.us, 0.99), m, m / dm, median(r.cpu));
        table += row;
    }
    std::fputs(table.c_str(), stdout);
    if (!s.markdown.empty()) {
        if (FILE *out = std::fopen(s.markdown.c_str(), "w")) {
            std::fputs(table.c_str(), out);
            std::fclose(out);
        }
    }
    return 0;
}
