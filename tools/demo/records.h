// What the demo reports, as JSON objects (nlohmann-json): one object per
// line, each with a "record" field that names its kind. spweth-demo(1) lists
// every field; the status record and the counters are printed as every tool
// prints them (status_record.h).
#pragma once

#include <nlohmann/json.hpp>

#include "status_record.h"

namespace demo {

using records::counters_json;
using records::decode_status;
using records::hex_text;
using records::link_state_name;
using records::Port;
using records::speed_mbit;
using records::Status;
using records::status_json;

// Prints one object on its own line and flushes.
void print_json(const nlohmann::json &object);

}  // namespace demo
