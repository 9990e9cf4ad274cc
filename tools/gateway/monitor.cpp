#include "monitor.h"

#include "status_json.h"
#include "status_record.h"

#include <algorithm>

namespace gateway {
namespace {

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void Monitor::add(const nlohmann::json &item, bool logged) {
    Item kept{next_id_++, item.dump()};
    if (logged) {
        log_.push_back(kept);
        if (log_.size() > kRecentLog) log_.pop_front();
    }
    items_.push_back(std::move(kept));
    if (items_.size() > kKeptItems) items_.pop_front();
    changed_.notify_all();
}

void Monitor::status_from_bridge(std::span<const std::uint8_t> record,
                                 const spweth_socket_counters &counters) {
    const auto status = records::decode_status(record);
    if (!status) return;  // a status payload too short to hold the record
    const std::int64_t at = now_ms();
    nlohmann::json item = {{"type", "status"}, {"at_ms", at}};
    item.update(records::status_json(*status, bridge_));
    item["counters"] = records::counters_json(counters);
    item["gateway"] = web::gateway_counters_json(counters_);

    const Sample sample{at,
                        {status->spw1.tx_bytes_per_sec, status->spw1.rx_bytes_per_sec,
                         status->spw2.tx_bytes_per_sec, status->spw2.rx_bytes_per_sec}};
    const std::lock_guard lock(mutex_);
    samples_.push_back(sample);
    while (samples_.size() > kMaxSamples || samples_.front().at_ms < at - kHistoryMs)
        samples_.pop_front();
    latest_record_ = item;
    add(item, false);
    latest_status_ = items_.back();
}

void Monitor::error_from_bridge(std::span<const std::uint8_t> record, std::string text) {
    nlohmann::json item = {{"type", "error"}, {"at_ms", now_ms()}};
    item.update(web::error_record_json(record));
    item["text"] = web::one_line(text);
    const std::lock_guard lock(mutex_);
    add(item, true);
}

void Monitor::gateway_event(std::string_view text) {
    nlohmann::json item = {{"type", "event"}, {"at_ms", now_ms()}, {"text", text}};
    const std::lock_guard lock(mutex_);
    add(item, true);
}

std::string Monitor::status_json() const {
    nlohmann::json out;
    {
        const std::lock_guard lock(mutex_);
        out = latest_record_;
    }
    if (out.is_null()) {
        // The same fields as a status, each null, before the first.
        out = records::status_json(records::Status{}, bridge_);
        for (auto &[name, value] : out.items())
            if (name != "record" && name != "bridge") value = nullptr;
        out["type"] = "status";
        out["at_ms"] = nullptr;
        out["counters"] = nullptr;
    }
    out["gateway"] = web::gateway_counters_json(counters_);
    return out.dump();
}

std::string Monitor::history_json() const {
    nlohmann::json samples = nlohmann::json::array();
    {
        const std::lock_guard lock(mutex_);
        for (const Sample &s : samples_)
            samples.push_back({s.at_ms, s.rates[0], s.rates[1], s.rates[2], s.rates[3]});
    }
    return nlohmann::json{{"period_ms", kHistoryMs},
                          {"columns",
                           {"at_ms", "spw1.tx_bytes_per_sec", "spw1.rx_bytes_per_sec",
                            "spw2.tx_bytes_per_sec", "spw2.rx_bytes_per_sec"}},
                          {"samples", std::move(samples)}}
        .dump();
}

std::vector<Monitor::Item> Monitor::next(std::optional<std::uint64_t> &cursor,
                                         std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    // A cursor from before a restart names nothing here: the reader starts afresh.
    if (cursor && *cursor >= next_id_) cursor.reset();
    changed_.wait_for(lock, timeout, [&] {
        return closed_ || !cursor || (!items_.empty() && items_.back().id > *cursor);
    });
    std::vector<Item> out;
    if (closed_) return out;
    if (!cursor) {
        out.assign(log_.begin(), log_.end());
        if (latest_status_) out.push_back(*latest_status_);
        std::sort(out.begin(), out.end(), [](const Item &a, const Item &b) { return a.id < b.id; });
        cursor = next_id_ - 1;
        return out;
    }
    for (const Item &item : items_)
        if (item.id > *cursor) out.push_back(item);
    if (!out.empty()) cursor = out.back().id;
    return out;
}

void Monitor::close() {
    const std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

bool Monitor::closed() const {
    const std::lock_guard lock(mutex_);
    return closed_;
}

}  // namespace gateway
