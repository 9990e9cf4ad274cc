// The web view's JSON, pure code over bytes and counters: the bridge's status
// record, an error record, the socket's and the gateway's counters. The field
// names are the library's (spw_eth_state, spweth_socket_counters) and the
// counters line's, so that the same names appear wherever a status is printed
// as JSON.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "log.h"
#include "spweth.h"

namespace gateway::web {

inline constexpr std::size_t kStatusRecordSize = sizeof(spw_eth_state);  // 88

// "ErrorReset", "ErrorWait", "Ready", "Started", "Connecting", "Run"; "Unknown" beyond.
const char *link_state_name(std::uint8_t link_state);
// The link speed of a speed code, in Mbit/s (0x80, the bridge's default, is 400);
// nullopt for a code the library does not know.
std::optional<unsigned> speed_mbit(std::uint8_t speed);

// The fields of a status record: time, spw1, spw2 (each with tx_bytes,
// rx_bytes, tx_packets, rx_packets, rx_packets_eep, rx_packets_eop,
// tx_bytes_per_sec, rx_bytes_per_sec, link_state, link_state_name), speed,
// speed_mbit, switch_state. nullopt for fewer than 88 bytes.
std::optional<nlohmann::json> status_record_json(std::span<const std::uint8_t> record);

nlohmann::json socket_counters_json(const spweth_socket_counters &counters);
nlohmann::json gateway_counters_json(const Counters &counters);

// An error record: error_type and the bytes after it as hex ("05 07").
nlohmann::json error_record_json(std::span<const std::uint8_t> record);

// What the library's printers print, made one line: runs of blanks and line
// ends become one blank, and none is left at either end.
std::string one_line(std::string_view printed);

}  // namespace gateway::web
