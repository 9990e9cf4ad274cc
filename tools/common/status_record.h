// The bridge's status record and the socket's counters as the tools print
// them: decoded from the record's little-endian bytes, and as JSON objects
// (nlohmann-json) with the same field names in every tool (spweth-demo
// --json, the gateway's web view). spweth-demo(1) lists every field.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "spweth.h"

namespace records {

inline constexpr std::size_t kStatusRecordSize = sizeof(spw_eth_state);  // 88

// One SpaceWire port of a status record.
struct Port {
    std::uint64_t tx_bytes = 0;
    std::uint64_t rx_bytes = 0;
    std::uint32_t tx_packets = 0;
    std::uint32_t rx_packets = 0;
    std::uint32_t rx_packets_eep = 0;
    std::uint32_t tx_bytes_per_sec = 0;
    std::uint32_t rx_bytes_per_sec = 0;
    std::uint8_t link_state = 0;
};

struct Status {
    std::uint32_t time_ms = 0;
    Port spw1;
    Port spw2;
    std::uint8_t speed_code = 0;
    std::uint8_t switch_state = 0;  // the switch-state word's high byte where that is set
};

// nullopt for fewer than kStatusRecordSize bytes.
std::optional<Status> decode_status(std::span<const std::uint8_t> record);
Status decode_status(const spw_eth_state &record);

// "ERROR_RESET" ... "RUN" for 0..5, as the library's printers name them;
// "UNKNOWN" beyond.
const char *link_state_name(std::uint8_t link_state);
// Mbit/s of a speed code (0x80, the bridge's default, is 400); 0 for an unknown code.
unsigned speed_mbit(std::uint8_t speed_code);

// "00:01:02:0a:0b:0c".
std::string format_mac(const unsigned char *mac);
// Lower-case hex digits, no separators.
std::string hex_text(const unsigned char *data, std::size_t size);

// {"record": "status", "bridge", "time_ms", "spw1", "spw2", "speed_code",
// "speed_mbit" (null for an unknown code), "switch_state", "data_mode",
// "ccode_mode"}; each port with tx_bytes, tx_packets, rx_bytes, rx_packets,
// rx_packets_eop, rx_packets_eep, tx_bytes_per_sec, rx_bytes_per_sec,
// link_state, link_state_name.
nlohmann::json status_json(const Status &status, const std::string &bridge);
nlohmann::json counters_json(const spweth_socket_counters &counters);

}  // namespace records
