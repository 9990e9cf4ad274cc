// What the demo reports, as JSON objects (nlohmann-json): one object per
// line, each with a "record" field that names its kind. spweth-demo(1) lists
// every field.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

#include "cli.h"
#include "spweth.h"

namespace demo {

// One SpaceWire port of a status record, its fields taken from the record's
// little-endian bytes.
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

Status decode_status(const spw_eth_state &record);

// "RUN" for 5, "UNKNOWN" beyond the table.
const char *link_state_name(std::uint8_t link_state);
// Mbit/s of a speed code (0x80, the bridge's default, is 400); 0 for an unknown code.
unsigned speed_mbit(std::uint8_t speed_code);

std::string hex_text(const unsigned char *data, std::size_t size);

nlohmann::json status_json(const Status &status, const std::string &bridge);
nlohmann::json counters_json(const spweth_socket_counters &counters);

// Prints one object on its own line and flushes.
void print_json(const nlohmann::json &object);

}  // namespace demo
