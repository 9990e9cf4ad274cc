// spweth-gateway: serves a SpaceWire-Ethernet bridge to TCP clients in the
// SSDTP2 framing, one client at a time, through the library's public calls.
//
//   bridge side (bridge_side.cpp): a receiving and a sending thread on one socket;
//   network side (tcp_side.cpp):   Asio on the main thread, a strand per client;
//   framing (ssdtp2.cpp):          pure code over bytes;
//   web view (web_side.cpp, --http): cpp-httplib's threads over what the
//                                    monitor (monitor.cpp) gathers.
#include <asio.hpp>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>

#include "bridge_side.h"
#include "log.h"
#include "options.h"
#include "spweth.h"
#include "status_record.h"
#include "tcp_side.h"
#include "web_side.h"

namespace gateway {
namespace {

class Stats {
public:
    Stats(asio::io_context &io, const Counters &counters, unsigned seconds)
        : timer_(io), counters_(counters), seconds_(seconds) {}
    void start() {
        if (seconds_ == 0) return;
        timer_.expires_after(std::chrono::seconds(seconds_));
        timer_.async_wait([this](const asio::error_code &error) {
            if (error) return;
            print();
            start();
        });
    }
    void stop() { timer_.cancel(); }
    void print() const { log_counters(counters_); }

private:
    asio::steady_timer timer_;
    const Counters &counters_;
    unsigned seconds_;
};

int run(const Options &options) {
    static bool verbose = false;
    verbose = options.verbose;
    set_console_handler(&library_message, &verbose);

    Counters counters;
    Monitor monitor(counters, records::format_mac(options.bridge.data()));
    std::optional<WebSide> web;
    if (options.http) {
        web.emplace(options, monitor, counters);
        // What the gateway logs from here on shows in the web view too.
        observe_log([&monitor](std::string_view line) { monitor.gateway_event(line); });
    }
    const auto failed = [&](const std::string &error) {
        log_line("%s", error.c_str());
        observe_log(nullptr);
        return kExitFailure;
    };
    BridgeSide bridge(options, counters);
    if (const std::string error = bridge.open(web ? &monitor : nullptr); !error.empty())
        return failed(error);
    asio::io_context io;
    TcpSide tcp(io, options, bridge, counters);
    if (const std::string error = tcp.listen(); !error.empty()) return failed(error);
    if (web)
        if (const std::string error = web->listen(); !error.empty()) return failed(error);
    bridge.start(tcp);
    if (web) web->start();
    log_line("serving adapter %s, bridge %s, crediting %s", options.iface.c_str(),
             records::format_mac(options.bridge.data()).c_str(), options.crediting ? "on" : "off");

    Stats stats(io, counters, options.stats_s);
    stats.start();
    asio::signal_set usr1(io, SIGUSR1);
    std::function<void()> wait_usr1 = [&] {
        usr1.async_wait([&](const asio::error_code &error, int) {
            if (error) return;
            stats.print();
            wait_usr1();
        });
    };
    wait_usr1();
    asio::signal_set stop_signals(io, SIGINT, SIGTERM);
    stop_signals.async_wait([&](const asio::error_code &error, int signal) {
        if (error) return;
        log_line("stopping (%s)", signal == SIGINT ? "SIGINT" : "SIGTERM");
        tcp.stop();
        stats.stop();
        usr1.cancel();
    });
    io.run();  // returns once the listener, the client and the timers are gone
    if (web) web->stop();
    bridge.stop();
    observe_log(nullptr);
    stats.print();
    set_console_handler(nullptr, nullptr);
    return kExitOk;
}

}  // namespace
}  // namespace gateway

int main(int argc, char **argv) {
    try {
        const auto parsed = gateway::parse_options(argc, argv);
        if (const int *status = std::get_if<int>(&parsed)) return *status;
        return gateway::run(std::get<gateway::Options>(parsed));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "spweth-gateway: %s\n", e.what());
        return gateway::kExitFailure;
    }
}
