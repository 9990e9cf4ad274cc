// The web view's JSON and the monitor that keeps it: a status record decoded
// field by field, the boundary cases of its tables, and what a reader of the
// event stream is handed (the replay for a new reader, the items after its
// last id, a cursor from before a restart).
#include "monitor.h"
#include "status_json.h"
#include "status_record.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using nlohmann::json;

void put_le(Bytes &b, std::size_t at, std::uint64_t value, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) b[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// A status record: SpW1 with every field distinct, SpW2 with counters that wrap.
Bytes record(std::uint8_t speed, std::uint8_t switch_state, std::uint16_t switch_word,
             std::uint8_t spw1_state = 5, std::uint8_t spw2_state = 9) {
    Bytes r(88);
    put_le(r, 0, 123456, 4);
    const std::array<std::uint64_t, 7> spw1{(1ull << 40) + 5, 7, 300, 2, 5, 1000, 20};
    const std::array<std::uint64_t, 7> spw2{0, 99, 0, 10, 3, 0, 4'000'000'000};
    for (const auto &[at, values] : {std::pair{4u, spw1}, std::pair{41u, spw2}}) {
        put_le(r, at, values[0], 8);
        put_le(r, at + 8, values[1], 8);
        for (std::size_t i = 2; i < 7; ++i) put_le(r, at + 16 + 4 * (i - 2), values[i], 4);
    }
    r[4 + 36] = spw1_state;
    r[41 + 36] = spw2_state;
    r[78] = speed;
    put_le(r, 85, switch_word, 2);
    r[87] = switch_state;
    return r;
}

json status_of(const Bytes &bytes) {
    const auto status = records::decode_status(bytes);
    return status ? records::status_json(*status, "00:01:02:03:04:05") : json();
}

TEST(StatusRecordJson, EveryFieldOfTheRecordWithTheDemosNames) {
    const json j = status_of(record(0x80, 0x33, 0));
    EXPECT_EQ(j["record"], "status");
    EXPECT_EQ(j["bridge"], "00:01:02:03:04:05");
    EXPECT_EQ(j["time_ms"], 123456);
    const json &spw1 = j["spw1"];
    EXPECT_EQ(spw1["tx_bytes"], (1ull << 40) + 5);
    EXPECT_EQ(spw1["rx_bytes"], 7);
    EXPECT_EQ(spw1["tx_packets"], 300);
    EXPECT_EQ(spw1["rx_packets"], 2);
    EXPECT_EQ(spw1["rx_packets_eep"], 5);
    EXPECT_EQ(spw1["rx_packets_eop"], 4294967293u);  // 2 - 5, wrapping as the printer's does
    EXPECT_EQ(spw1["tx_bytes_per_sec"], 1000);
    EXPECT_EQ(spw1["rx_bytes_per_sec"], 20);
    EXPECT_EQ(spw1["link_state"], 5);
    EXPECT_EQ(spw1["link_state_name"], "RUN");
    EXPECT_EQ(j["spw2"]["rx_bytes_per_sec"], 4'000'000'000u);
    EXPECT_EQ(j["spw2"]["link_state_name"], "UNKNOWN");
    EXPECT_EQ(j["speed_code"], 0x80);
    EXPECT_EQ(j["speed_mbit"], 400);
    EXPECT_EQ(j["switch_state"], 0x33);
    EXPECT_EQ(j["data_mode"], 3);
    EXPECT_EQ(j["ccode_mode"], 3);
}

TEST(StatusRecordJson, TablesAtTheirEdges) {
    const char *names[] = {"ERROR_RESET", "ERROR_WAIT", "READY", "STARTED", "CONNECTING", "RUN"};
    for (std::uint8_t code = 0; code < 6; ++code)
        EXPECT_STREQ(records::link_state_name(code), names[code]);
    EXPECT_STREQ(records::link_state_name(6), "UNKNOWN");
    EXPECT_EQ(records::speed_mbit(0x20), 500u);
    EXPECT_EQ(records::speed_mbit(0x10), 10u);
    EXPECT_EQ(records::speed_mbit(0x03), 0u);
    EXPECT_TRUE(status_of(record(0x03, 0, 0))["speed_mbit"].is_null());
    // A set switch-state word gives the switch state in its high byte.
    EXPECT_EQ(status_of(record(0, 0x33, 0x1200))["switch_state"], 0x12);
    EXPECT_FALSE(records::decode_status(Bytes(87)));
}

TEST(WebStatusJson, ErrorRecordsAndPrintedTexts) {
    const json e = gateway::web::error_record_json(Bytes{5, 0x0A, 0xFF});
    EXPECT_EQ(e["error_type"], 5);
    EXPECT_EQ(e["data"], "0a ff");
    EXPECT_EQ(gateway::web::error_record_json(Bytes{1})["data"], "");
    EXPECT_EQ(gateway::web::one_line("SOF, FEEF.\n Previous data frame was SOF or MOF\n"),
              "SOF, FEEF. Previous data frame was SOF or MOF");
    EXPECT_EQ(gateway::web::one_line(" Credit info \n"), "Credit info");
}

std::vector<std::uint64_t> ids(const std::vector<gateway::Monitor::Item> &items) {
    std::vector<std::uint64_t> out;
    for (const auto &item : items) out.push_back(item.id);
    return out;
}

TEST(WebMonitor, ANewReaderGetsTheLastFiftyAndTheLatestStatusThenWhatFollows) {
    gateway::Counters counters;
    gateway::Monitor monitor(counters, "00:01:02:03:04:05");
    const spweth_socket_counters socket{};
    monitor.status_from_bridge(record(0x80, 0x33, 0), socket);  // id 1, replaced by id 62
    for (int i = 0; i < 60; ++i) monitor.gateway_event("event " + std::to_string(i));  // 2..61
    monitor.status_from_bridge(record(0x80, 0x33, 0), socket);                         // 62
    monitor.error_from_bridge(Bytes{1, 4, 6}, "SOF jump\n");                           // 63

    std::optional<std::uint64_t> cursor;
    const auto first = monitor.next(cursor, std::chrono::milliseconds(0));
    ASSERT_EQ(first.size(), 51u);  // events 13..61, the status, the error
    EXPECT_EQ(first.front().id, 13u);
    EXPECT_EQ(ids(first).back(), 63u);
    EXPECT_EQ(json::parse(first[49].json)["type"], "status");
    EXPECT_EQ(json::parse(first[50].json)["text"], "SOF jump");
    EXPECT_EQ(cursor, 63u);

    EXPECT_TRUE(monitor.next(cursor, std::chrono::milliseconds(10)).empty());
    monitor.gateway_event("client 127.0.0.1:4000 connected");
    const auto after = monitor.next(cursor, std::chrono::milliseconds(0));
    ASSERT_EQ(ids(after), std::vector<std::uint64_t>{64});
    EXPECT_EQ(json::parse(after[0].json)["text"], "client 127.0.0.1:4000 connected");

    // A reader that was ahead of this monitor (it ran before a restart) starts afresh.
    std::optional<std::uint64_t> stale = 1000;
    EXPECT_EQ(monitor.next(stale, std::chrono::milliseconds(0)).size(), 51u);

    const json status = json::parse(monitor.status_json());
    EXPECT_EQ(status["spw1"]["link_state_name"], "RUN");
    EXPECT_EQ(status["gateway"]["connections"], 0);
    EXPECT_EQ(json::parse(monitor.history_json())["samples"].size(), 2u);
    monitor.close();
    EXPECT_TRUE(monitor.next(cursor, std::chrono::milliseconds(1000)).empty());
}

TEST(WebMonitor, StatusBeforeTheFirstRecordHasNullFields) {
    gateway::Counters counters;
    gateway::count(counters.connections, 3);
    gateway::Monitor monitor(counters, "00:01:02:03:04:05");
    const json status = json::parse(monitor.status_json());
    EXPECT_TRUE(status["spw1"].is_null());
    EXPECT_TRUE(status["time_ms"].is_null());
    EXPECT_EQ(status["bridge"], "00:01:02:03:04:05");
    EXPECT_EQ(status["gateway"]["connections"], 3);
}

}  // namespace
