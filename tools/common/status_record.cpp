#include "status_record.h"

#include <array>
#include <cstddef>
#include <cstdio>

namespace records {
namespace {

template <typename T>
T load_little_endian(const unsigned char *at) {
    T value = 0;
    for (std::size_t i = sizeof(T); i-- > 0;) value = static_cast<T>((value << 8) | at[i]);
    return value;
}

Port decode_port(const unsigned char *block) {
    using C = spw_eth_channel_state;
    Port port;
    port.tx_bytes = load_little_endian<std::uint64_t>(block + offsetof(C, tx_bytes));
    port.rx_bytes = load_little_endian<std::uint64_t>(block + offsetof(C, rx_bytes));
    port.tx_packets = load_little_endian<std::uint32_t>(block + offsetof(C, tx_packets));
    port.rx_packets = load_little_endian<std::uint32_t>(block + offsetof(C, rx_packets));
    port.rx_packets_eep = load_little_endian<std::uint32_t>(block + offsetof(C, rx_packets_eep));
    port.tx_bytes_per_sec =
        load_little_endian<std::uint32_t>(block + offsetof(C, tx_bytes_per_sec));
    port.rx_bytes_per_sec =
        load_little_endian<std::uint32_t>(block + offsetof(C, rx_bytes_per_sec));
    port.link_state = block[offsetof(C, link_state)];
    return port;
}

nlohmann::json port_json(const Port &port) {
    return {
        {"tx_bytes", port.tx_bytes},
        {"tx_packets", port.tx_packets},
        {"rx_bytes", port.rx_bytes},
        {"rx_packets", port.rx_packets},
        {"rx_packets_eop", static_cast<std::uint32_t>(port.rx_packets - port.rx_packets_eep)},
        {"rx_packets_eep", port.rx_packets_eep},
        {"tx_bytes_per_sec", port.tx_bytes_per_sec},
        {"rx_bytes_per_sec", port.rx_bytes_per_sec},
        {"link_state", port.link_state},
        {"link_state_name", link_state_name(port.link_state)},
    };
}

struct SpeedRow {
    std::uint8_t code;
    unsigned mbit;
};
constexpr std::array<SpeedRow, 8> kSpeeds{{
    {0x00, 400},
    {0x01, 300},
    {0x02, 200},
    {0x04, 100},
    {0x08, 50},
    {0x10, 10},
    {0x20, 500},
    {0x80, 400},
}};

constexpr std::array<const char *, 6> kLinkStates{"ERROR_RESET", "ERROR_WAIT", "READY",
                                                  "STARTED",     "CONNECTING", "RUN"};

}  // namespace

std::optional<Status> decode_status(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kStatusRecordSize) return std::nullopt;
    const unsigned char *record = bytes.data();
    Status status;
    status.time_ms = load_little_endian<std::uint32_t>(record + offsetof(spw_eth_state, time));
    status.spw1 = decode_port(record + offsetof(spw_eth_state, spw1));
    status.spw2 = decode_port(record + offsetof(spw_eth_state, spw2));
    status.speed_code = record[offsetof(spw_eth_state, speed)];
    const unsigned char *word = record + offsetof(spw_eth_state, switch_state_word);
    status.switch_state =
        (word[0] != 0 || word[1] != 0) ? word[1] : record[offsetof(spw_eth_state, switch_state)];
    return status;
}

Status decode_status(const spw_eth_state &record) {
    return *decode_status(
        std::span(reinterpret_cast<const std::uint8_t *>(&record), sizeof record));
}

const char *link_state_name(std::uint8_t link_state) {
    return link_state < kLinkStates.size() ? kLinkStates[link_state] : "UNKNOWN";
}

unsigned speed_mbit(std::uint8_t speed_code) {
    for (const SpeedRow &row : kSpeeds)
        if (row.code == speed_code) return row.mbit;
    return 0;
}

std::string format_mac(const unsigned char *mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

std::string hex_text(const unsigned char *data, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * size);
    for (std::size_t i = 0; i < size; ++i) {
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 0x0F];
    }
    return text;
}

nlohmann::json status_json(const Status &status, const std::string &bridge) {
    const unsigned mbit = speed_mbit(status.speed_code);
    return {
        {"record", "status"},
        {"bridge", bridge},
        {"time_ms", status.time_ms},
        {"spw1", port_json(status.spw1)},
        {"spw2", port_json(status.spw2)},
        {"speed_code", status.speed_code},
        {"speed_mbit", mbit == 0 ? nlohmann::json(nullptr) : nlohmann::json(mbit)},
        {"switch_state", status.switch_state},
        {"data_mode", status.switch_state & 0x0F},
        {"ccode_mode", status.switch_state >> 4},
    };
}

nlohmann::json counters_json(const spweth_socket_counters &c) {
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

}  // namespace records
