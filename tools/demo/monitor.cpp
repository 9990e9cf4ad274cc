#include "monitor.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>

#include "records.h"
#include "spweth.h"

namespace demo {
namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t stop_requested = 0;

void on_stop_signal(int) { stop_requested = 1; }

// Status queries are cut into slices of this length so that Ctrl-C ends the
// view at once, whatever the interval.
constexpr int kSliceMs = 100;

struct View {
    std::string adapter;
    std::string bridge;
    int interval_ms = 0;
    unsigned long records = 0;
    unsigned long missed = 0;
    std::optional<Status> last;
};

// Takes the status records that arrive within `wait_ms` (the last one counts);
// false when none came.
bool collect_status(pcap *socket, const mac_address &bridge, int wait_ms, View &view) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
    bool fresh = false;
    while (!stop_requested) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) break;
        spw_eth_state state{};
        const int slice = static_cast<int>(std::clamp<long long>(left.count(), 1, kSliceMs));
        if (SpW_Eth_Get_State_From_MAC_Timeout(socket, &state, &bridge, slice) > 0) {
            ++view.records;
            view.last = decode_status(state);
            fresh = true;
        }
    }
    return fresh;
}

void print_port(const char *name, const Port &port) {
    char state[32];
    std::snprintf(state, sizeof state, "%s (%u)", link_state_name(port.link_state),
                  unsigned{port.link_state});
    std::printf("%-5s %-16s %14llu %12u %14llu %12u %10u %8u\033[K\n", name, state,
                static_cast<unsigned long long>(port.tx_bytes), port.tx_bytes_per_sec,
                static_cast<unsigned long long>(port.rx_bytes), port.rx_bytes_per_sec,
                port.rx_packets, port.rx_packets_eep);
}

void draw(const View &view, const spweth_socket_counters &counters, bool fresh) {
    std::printf("\033[H");  // home: the view is redrawn in place
    std::printf("spweth-demo monitor on %s, bridge %s, every %d ms (Ctrl-C ends)\033[K\n",
                view.adapter.c_str(), view.bridge.c_str(), view.interval_ms);
    std::printf("status records: %lu, missed intervals: %lu%s\033[K\n\033[K\n", view.records,
                view.missed, fresh ? "" : "   NO STATUS RECORD IN THE LAST INTERVAL");
    std::printf("%-5s %-16s %14s %12s %14s %12s %10s %8s\033[K\n", "link", "state", "tx bytes",
                "tx B/s", "rx bytes", "rx B/s", "rx pkts", "rx EEP");
    if (view.last) {
        print_port("SpW1", view.last->spw1);
        print_port("SpW2", view.last->spw2);
        const unsigned mbit = speed_mbit(view.last->speed_code);
        std::printf(
            "\033[K\nspeed code 0x%02X (%u Mbit/s), switch state 0x%02X, bridge time %u ms"
            "\033[K\n",
            unsigned{view.last->speed_code}, mbit, unsigned{view.last->switch_state},
            view.last->time_ms);
    } else {
        std::printf(
            "SpW1  (no status record yet)\033[K\nSpW2  (no status record yet)\033[K\n"
            "\033[K\n\033[K\n");
    }
    std::printf(
        "\033[K\nsocket: frames %llu, packets %llu, cut %llu, fragments discarded %llu"
        "\033[K\n        read-buffer growths %llu, overflows %llu, RMAP replies dropped "
        "%llu\033[K\n\033[J",
        counters.frames_received, counters.packets_received, counters.packets_cut,
        counters.fragments_discarded, counters.read_buffer_growths, counters.read_buffer_overflows,
        counters.rmap_replies_dropped);
    std::fflush(stdout);
}

}  // namespace

int run_monitor(pcap *socket, const std::string &adapter, const MonitorOptions &options,
                bool as_json) {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    mac_address bridge;
    std::memcpy(bridge.bytes, get_current_dest_mac_address(), 6);
    View view;
    view.adapter = adapter;
    view.bridge = format_mac(bridge.bytes);
    view.interval_ms = options.interval_ms;
    if (!as_json) std::printf("\033[2J");
    const auto start = Clock::now();
    while (!stop_requested) {
        const bool fresh = collect_status(socket, bridge, options.interval_ms, view);
        if (stop_requested) break;
        if (!fresh) ++view.missed;
        spweth_socket_counters counters{};
        if (SpW_Socket_Get_Counters(socket, &counters, sizeof counters) != 0) {
            std::fflush(stdout);
            std::fprintf(stderr, "spweth-demo: the socket on %s is gone\n", adapter.c_str());
            return kExitFailed;
        }
        if (as_json) {
            const auto elapsed =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
            print_json({{"record", "monitor"},
                        {"elapsed_ms", elapsed.count()},
                        {"bridge", view.bridge},
                        {"records", view.records},
                        {"missed", view.missed},
                        {"fresh", fresh},
                        {"status", view.last ? status_json(*view.last, view.bridge)
                                             : nlohmann::json(nullptr)},
                        {"counters", counters_json(counters)}});
        } else {
            draw(view, counters, fresh);
        }
    }
    if (!as_json) std::printf("\n");
    std::fflush(stdout);
    return kExitOk;
}

}  // namespace demo
