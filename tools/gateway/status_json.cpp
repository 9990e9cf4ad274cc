#include "status_json.h"

namespace gateway::web {

nlohmann::json gateway_counters_json(const Counters &counters) {
    nlohmann::json out = nlohmann::json::object();
    for (const CounterField &f : kCounterFields)
        out[f.name] = (counters.*f.field).load(std::memory_order_relaxed);
    return out;
}

nlohmann::json error_record_json(std::span<const std::uint8_t> record) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string data;
    for (std::size_t i = 1; i < record.size(); ++i) {
        if (i > 1) data += ' ';
        data += kHex[record[i] >> 4];
        data += kHex[record[i] & 0x0F];
    }
    return {{"error_type", record.empty() ? 0 : record[0]}, {"data", data}};
}

std::string one_line(std::string_view printed) {
    std::string out;
    bool blank = false;
    for (const char c : printed) {
        if (c == ' ' || c == '\n' || c == '\t' || c == '\r') {
            blank = !out.empty();
            continue;
        }
        if (blank) out += ' ';
        blank = false;
        out += c;
    }
    return out;
}

}  // namespace gateway::web
