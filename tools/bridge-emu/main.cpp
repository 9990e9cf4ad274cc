// spweth-bridge-emu: a software SpaceWire-Ethernet bridge on one network
// adapter, for tests and benchmarks of hosts that talk to such a bridge.
#include <pcap/pcap.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>

#include "bridge.h"
#include "options.h"

namespace {

using bridge_emu::Bridge;
using bridge_emu::Clock;

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int) { stop_requested = 1; }

class PcapLink final : public bridge_emu::Link {
public:
    explicit PcapLink(pcap_t *handle) : handle_(handle) {}
    bool send(const std::uint8_t *frame, std::size_t length) override {
        return pcap_sendpacket(handle_, frame, static_cast<int>(length)) == 0;
    }

private:
    pcap_t *handle_;
};

void take_frame(u_char *user, const pcap_pkthdr *header, const u_char *bytes) {
    reinterpret_cast<Bridge *>(user)->take(bytes, header->caplen);
}

// Opens the adapter for bridge frames addressed to it. Immediate mode, so
// that each frame is answered at once rather than after the read time-out.
pcap_t *open_adapter(const std::string &iface) {
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_t *handle = pcap_create(iface.c_str(), errbuf);
    if (handle == nullptr) {
        std::fprintf(stderr, "cannot open %s: %s\n", iface.c_str(), errbuf);
        return nullptr;
    }
    // Immediate mode puts each frame in a ring slot of the snapshot length:
    // slots just above the largest bridge frame give the ring room for
    // thousands of frames.
    constexpr int kSnapshot = 2048;
    constexpr int kTimeoutMs = 100;
    constexpr int kKernelBuffer = 32 << 20;
    pcap_set_snaplen(handle, kSnapshot);
    pcap_set_promisc(handle, 1);
    pcap_set_timeout(handle, kTimeoutMs);
    pcap_set_immediate_mode(handle, 1);
    pcap_set_buffer_size(handle, kKernelBuffer);
    const int activated = pcap_activate(handle);
    const char *failed = nullptr;
    bpf_program filter{};
    if (activated < 0) {
        failed = "activate";
    } else if (pcap_compile(handle, &filter, "ether proto 0x06AB", 1, PCAP_NETMASK_UNKNOWN) != 0) {
        failed = "compile the filter";
    } else {
        const int set = pcap_setfilter(handle, &filter);
        pcap_freecode(&filter);
        if (set != 0) failed = "set the filter";
        // Not the frames this bridge sends itself.
        else if (pcap_setdirection(handle, PCAP_D_IN) != 0)
            failed = "capture inbound only";
        else if (pcap_setnonblock(handle, 1, errbuf) != 0)
            failed = "set non-blocking mode";
    }
    if (failed != nullptr) {
        std::fprintf(stderr, "cannot %s on %s: %s\n", failed, iface.c_str(), pcap_geterr(handle));
        pcap_close(handle);
        return nullptr;
    }
    if (activated > 0)
        std::fprintf(stderr, "warning on %s: %s\n", iface.c_str(), pcap_statustostr(activated));
    return handle;
}

// The time until the deadline, for ppoll(): to the microsecond, since RMAP
// replies may be due well within a millisecond; nothing (wait for a frame)
// without a deadline.
std::optional<timespec> poll_timeout(const std::optional<Clock::time_point> &deadline,
                                     Clock::time_point now) {
    if (!deadline) return std::nullopt;
    constexpr auto kLongest = std::chrono::seconds(60);
    const auto wait = std::chrono::ceil<std::chrono::microseconds>(
        std::clamp<Clock::duration>(*deadline - now, Clock::duration::zero(), kLongest));
    const auto seconds = std::chrono::floor<std::chrono::seconds>(wait);
    return timespec{static_cast<time_t>(seconds.count()),
                    static_cast<long>(std::chrono::nanoseconds(wait - seconds).count())};
}

// True as soon as the capture has a frame, false when none came for `spin`
// (or the bridge has something due first): polls without sleeping, but yields
// the core at each turn to any thread waiting for it. The emulator stands in
// for a device of its own: on a machine where it shares cores with its host,
// its spin must not keep a host thread that is ready to run from running.
bool frame_within(pollfd &capture, const Bridge &bridge, std::chrono::microseconds spin) {
    if (spin.count() == 0) return false;
    auto until = Clock::now() + spin;
    if (const auto due = bridge.next_deadline()) until = std::min(until, *due);
    do {
        if (poll(&capture, 1, 0) > 0) return true;
        sched_yield();
    } while (!stop_requested && Clock::now() < until);
    return false;
}

// Serves the adapter until a stop signal; false on a capture error. Sleeps in
// ppoll() on the capture's descriptor between frames, after `spin` of polling
// without sleeping.
bool serve(pcap_t *handle, Bridge &bridge, const sigset_t &wait_mask,
           std::chrono::microseconds spin) {
    pollfd capture{pcap_get_selectable_fd(handle), POLLIN, 0};
    if (capture.fd < 0) {
        std::fprintf(stderr, "the adapter offers no selectable descriptor\n");
        return false;
    }
    while (!stop_requested) {
        bridge.tick(Clock::now());
        if (!frame_within(capture, bridge, spin)) {
            const std::optional<timespec> timeout =
                poll_timeout(bridge.next_deadline(), Clock::now());
            const int ready = ppoll(&capture, 1, timeout ? &*timeout : nullptr, &wait_mask);
            if (ready < 0 && errno != EINTR) {
                std::fprintf(stderr, "poll: %s\n", std::strerror(errno));
                return false;
            }
        }
        // Drain what has arrived, one batch of at most the free buffers at a time.
        while (!stop_requested) {
            const int taken = pcap_dispatch(handle, static_cast<int>(bridge.batch_limit()),
                                            take_frame, reinterpret_cast<u_char *>(&bridge));
            if (taken < 0) {
                std::fprintf(stderr, "capture: %s\n", pcap_geterr(handle));
                return false;
            }
            bridge.process_batch();
            if (taken == 0) break;
            bridge.tick(Clock::now());
        }
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    bridge_emu::Options options;
    switch (bridge_emu::parse_options(argc, argv, options)) {
        case bridge_emu::ParseResult::help:
            bridge_emu::print_usage(argv[0]);
            return 0;
        case bridge_emu::ParseResult::error:
            std::fprintf(stderr, "Try '%s --help'.\n", argv[0]);
            return 2;
        case bridge_emu::ParseResult::run:
            break;
    }
    if (options.verbose) std::setvbuf(stdout, nullptr, _IOLBF, 0);

    // The stop signals are blocked except while waiting in ppoll, so that
    // none is missed between the check of the flag and the wait.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigset_t wait_mask;
    sigprocmask(SIG_BLOCK, &stop_signals, &wait_mask);
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    // The kernel may let a timed sleep run up to 50 us long by default, which
    // an RMAP latency of a few hundred microseconds would show.
    if (options.rmap.latency_us > 0) prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    pcap_t *handle = open_adapter(options.iface);
    if (handle == nullptr) return 1;
    PcapLink link(handle);
    Bridge bridge(options, link, Clock::now());

    std::printf("spweth-bridge-emu: serving %s as %s, %u credits, status every %u ms\n",
                options.iface.c_str(), options.own_mac.text().c_str(), options.credits,
                options.status_ms);
    std::fflush(stdout);
    bridge.announce_credits();

    const bool served =
        serve(handle, bridge, wait_mask, std::chrono::microseconds(options.spin_us));

    bridge.print_summary(stdout);
    pcap_stat capture_stats{};
    if (pcap_stats(handle, &capture_stats) == 0)
        std::printf("  %-36s %u\n  %-36s %u\n", "captured by the adapter:", capture_stats.ps_recv,
                    "dropped by the kernel:", capture_stats.ps_drop);
    std::fflush(stdout);
    pcap_close(handle);
    return served ? 0 : 1;
}
