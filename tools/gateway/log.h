// The gateway's log and counters. Log lines go to standard error, one line
// each, whole even when several threads log at once (systemd's journal takes
// them from there).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace gateway {

// printf-style; the line gets the prefix "spweth-gateway: " and a newline.
void log_line(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Every line logged from here on also goes to `observer` (without the prefix),
// on the thread that logs it, outside the log's lock; null stops that. Set
// before the gateway's threads start and cleared after they end.
void observe_log(std::function<void(std::string_view line)> observer);

// The library's console handler: its errors always go to the log, its notes
// only when *context (a bool) is true. While printed_by_library runs on a
// thread, what the library prints on that thread goes to its text instead.
void library_message(int stream, const char *text, void *context);
// What the library's printer called in `print` printed (one of its console
// printers, called on this thread; the handler above must be set).
std::string printed_by_library(const std::function<void()> &print);

// What the gateway has done since it started. Written from the thread that
// does the work, read by the stats line.
struct Counters {
    std::atomic<std::uint64_t> packets_to_bridge{0};
    std::atomic<std::uint64_t> bytes_to_bridge{0};
    std::atomic<std::uint64_t> packets_from_bridge{0};  // forwarded to a client
    std::atomic<std::uint64_t> bytes_from_bridge{0};
    std::atomic<std::uint64_t> time_codes_to_bridge{0};
    std::atomic<std::uint64_t> time_codes_from_bridge{0};  // forwarded to a client
    std::atomic<std::uint64_t> connections{0};             // clients served
    std::atomic<std::uint64_t> refused_connections{0};     // not allowed, or one already served
    std::atomic<std::uint64_t> closed_bad_input{0};
    std::atomic<std::uint64_t> disconnected_slow{0};
    std::atomic<std::uint64_t> send_failures{0};          // packets the bridge did not take in time
    std::atomic<std::uint64_t> empty_from_client{0};      // packets of length 0: nothing to send
    std::atomic<std::uint64_t> empty_from_bridge{0};      // packets of length 0: not forwarded
    std::atomic<std::uint64_t> oversized_from_bridge{0};  // above --max-packet: not forwarded
    std::atomic<std::uint64_t> dropped_no_client{0};  // packets and codes with nobody to take them
    std::atomic<std::uint64_t> dropped_queued{0};     // queued for a client that then left
    std::atomic<std::uint64_t> refused_web_requests{0};  // web view: outside --allow, or too many
};

struct CounterField {
    const char *name;
    std::atomic<std::uint64_t> Counters::*field;
};

// The counters in the order of the stats line, with the names it uses.
// clang-format off
inline constexpr std::array<CounterField, 17> kCounterFields{{
    {"packets_to_bridge",      &Counters::packets_to_bridge},
    {"bytes_to_bridge",        &Counters::bytes_to_bridge},
    {"packets_from_bridge",    &Counters::packets_from_bridge},
    {"bytes_from_bridge",      &Counters::bytes_from_bridge},
    {"time_codes_to_bridge",   &Counters::time_codes_to_bridge},
    {"time_codes_from_bridge", &Counters::time_codes_from_bridge},
    {"connections",            &Counters::connections},
    {"refused_connections",    &Counters::refused_connections},
    {"closed_bad_input",       &Counters::closed_bad_input},
    {"disconnected_slow",      &Counters::disconnected_slow},
    {"send_failures",          &Counters::send_failures},
    {"empty_from_client",      &Counters::empty_from_client},
    {"empty_from_bridge",      &Counters::empty_from_bridge},
    {"oversized_from_bridge",  &Counters::oversized_from_bridge},
    {"dropped_no_client",      &Counters::dropped_no_client},
    {"dropped_queued",         &Counters::dropped_queued},
    {"refused_web_requests",   &Counters::refused_web_requests},
}};
// clang-format on

// "counters: packets_to_bridge=1 bytes_to_bridge=4 ..."
std::string counters_line(const Counters &counters);
// Logs the counters line; it does not go to the observer of observe_log.
void log_counters(const Counters &counters);

inline void count(std::atomic<std::uint64_t> &counter, std::uint64_t n = 1) {
    counter.fetch_add(n, std::memory_order_relaxed);
}

}  // namespace gateway
