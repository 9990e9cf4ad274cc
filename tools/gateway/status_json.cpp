#include "status_json.h"

#include <array>
#include <cstddef>

namespace gateway::web {
namespace {

// Indexed by link state code.
constexpr std::array<const char *, 6> kLinkStateNames{
    "ErrorReset", "ErrorWait", "Ready", "Started", "Connecting", "Run",
};

struct SpeedRow {
    std::uint8_t code;
    unsigned mbit;
};

// clang-format off
constexpr std::array<SpeedRow, 8> kSpeeds{{
    {0x00, 400}, {0x01, 300}, {0x02, 200}, {0x04, 100},
    {0x08, 50},  {0x10, 10},  {0x20, 500}, {0x80, 400},
}};
// clang-format on

// The record is little-endian: each field is assembled from its bytes.
template <typename T>
T little_endian(std::span<const std::uint8_t> record, std::size_t at) {
    T value = 0;
    for (std::size_t i = sizeof(T); i-- > 0;) value = static_cast<T>((value << 8) | record[at + i]);
    return value;
}

nlohmann::json channel_json(std::span<const std::uint8_t> record, std::size_t at) {
    using C = spw_eth_channel_state;
    const auto u32 = [&](std::size_t field) {
        return little_endian<std::uint32_t>(record, at + field);
    };
    const std::uint32_t rx_packets = u32(offsetof(C, rx_packets));
    const std::uint32_t rx_packets_eep = u32(offsetof(C, rx_packets_eep));
    const std::uint8_t link_state = record[at + offsetof(C, link_state)];
    return {
        {"tx_bytes", little_endian<std::uint64_t>(record, at + offsetof(C, tx_bytes))},
        {"rx_bytes", little_endian<std::uint64_t>(record, at + offsetof(C, rx_bytes))},
        {"tx_packets", u32(offsetof(C, tx_packets))},
        {"rx_packets", rx_packets},
        {"rx_packets_eep", rx_packets_eep},
        // The bridge does not count EOP packets: all received minus EEP, wrapping.
        {"rx_packets_eop", static_cast<std::uint32_t>(rx_packets - rx_packets_eep)},
        {"tx_bytes_per_sec", u32(offsetof(C, tx_bytes_per_sec))},
        {"rx_bytes_per_sec", u32(offsetof(C, rx_bytes_per_sec))},
        {"link_state", link_state},
        {"link_state_name", link_state_name(link_state)},
    };
}

}  // namespace

const char *link_state_name(std::uint8_t link_state) {
    return link_state < kLinkStateNames.size() ? kLinkStateNames[link_state] : "Unknown";
}

std::optional<unsigned> speed_mbit(std::uint8_t speed) {
    for (const SpeedRow &row : kSpeeds)
        if (row.code == speed) return row.mbit;
    return std::nullopt;
}

std::optional<nlohmann::json> status_record_json(std::span<const std::uint8_t> record) {
    if (record.size() < kStatusRecordSize) return std::nullopt;
    const std::size_t word_at = offsetof(spw_eth_state, switch_state_word);
    // When the switch-state word is set, its high byte is the switch state.
    const bool word_set = record[word_at] != 0 || record[word_at + 1] != 0;
    const std::uint8_t switch_state =
        word_set ? record[word_at + 1] : record[offsetof(spw_eth_state, switch_state)];
    const std::uint8_t speed = record[offsetof(spw_eth_state, speed)];
    const auto mbit = speed_mbit(speed);
    return nlohmann::json{
        {"time", little_endian<std::uint32_t>(record, offsetof(spw_eth_state, time))},
        {"spw1", channel_json(record, offsetof(spw_eth_state, spw1))},
        {"spw2", channel_json(record, offsetof(spw_eth_state, spw2))},
        {"speed", speed},
        {"speed_mbit", mbit ? nlohmann::json(*mbit) : nlohmann::json(nullptr)},
        {"switch_state", switch_state},
    };
}

nlohmann::json socket_counters_json(const spweth_socket_counters &c) {
    return {
        {"frames_received", c.frames_received},
        {"packets_received", c.packets_received},
        {"packets_cut", c.packets_cut},
        {"fragments_discarded", c.fragments_discarded},
        {"read_buffer_growths", c.read_buffer_growths},
        {"read_buffer_overflows", c.read_buffer_overflows},
        {"rmap_replies_dropped", c.rmap_replies_dropped},
    };
}

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
