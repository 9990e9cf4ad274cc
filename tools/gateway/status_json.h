// The web view's JSON beyond what every tool prints alike (status_record.h):
// an error record and the gateway's counters, under the counters line's names.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "log.h"

namespace gateway::web {

nlohmann::json gateway_counters_json(const Counters &counters);

// An error record: error_type and the bytes after it as hex ("05 07").
nlohmann::json error_record_json(std::span<const std::uint8_t> record);

// What the library's printers print, made one line: runs of blanks and line
// ends become one blank, and none is left at either end.
std::string one_line(std::string_view printed);

}  // namespace gateway::web
