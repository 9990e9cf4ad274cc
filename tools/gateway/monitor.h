// What the web view shows, gathered as it happens: the latest status record
// with the counters, the rates of the last ten minutes, the last errors and
// gateway events, and a numbered stream of all of them for the event stream.
// Written by the bridge's receiving thread and whichever thread logs; read by
// the web server's threads.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bridge_side.h"
#include "log.h"

namespace gateway {

class Monitor : public BridgeWatcher {
public:
    static constexpr std::size_t kRecentLog = 50;    // errors and events replayed to a new reader
    static constexpr std::size_t kKeptItems = 1024;  // items a slow reader may still fetch
    static constexpr std::int64_t kHistoryMs = 600'000;  // the rates chart's ten minutes
    static constexpr std::size_t kMaxSamples = 12'000;   // ten minutes of 50 ms status periods

    // `bridge` is the bridge's address as the status records name it.
    Monitor(const Counters &counters, std::string bridge)
        : counters_(counters), bridge_(std::move(bridge)) {}

    void status_from_bridge(std::span<const std::uint8_t> record,
                            const spweth_socket_counters &counters) override;
    void error_from_bridge(std::span<const std::uint8_t> record, std::string text) override;
    // A line of the gateway's log (clients connecting and leaving, refusals, failures).
    void gateway_event(std::string_view text);

    // /api/status: the latest status record and socket counters (null before
    // the first), the gateway's counters as they are now.
    std::string status_json() const;
    // /api/history: the rates of the last ten minutes, oldest first.
    std::string history_json() const;

    struct Item {
        std::uint64_t id;
        std::string json;
    };
    // The items after *cursor, waiting up to `timeout` for one; for a reader
    // with no cursor yet, the last errors and events and the latest status.
    // *cursor then names the last item returned. Empty on time-out or close.
    std::vector<Item> next(std::optional<std::uint64_t> &cursor, std::chrono::milliseconds timeout);
    // Wakes every reader; next() returns nothing from then on.
    void close();
    bool closed() const;

private:
    struct Sample {
        std::int64_t at_ms;
        std::uint32_t rates[4];  // spw1 tx, spw1 rx, spw2 tx, spw2 rx, bytes/s
    };
    void add(const nlohmann::json &item, bool logged);  // with mutex_ held

    const Counters &counters_;
    const std::string bridge_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool closed_ = false;
    std::uint64_t next_id_ = 1;
    std::deque<Item> items_;  // the last kKeptItems of every kind, by id
    std::deque<Item> log_;    // the last kRecentLog errors and events
    std::optional<Item> latest_status_;
    nlohmann::json latest_record_;  // its fields, for /api/status
    std::deque<Sample> samples_;
};

}  // namespace gateway
