// The bridge emulator on its own: each test runs it in a private network
// namespace on one end of a veth pair and talks raw frames on the other end.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>

#include "emu_harness.h"
#include "rmap_codec.h"
#include "spweth.h"

namespace emu_test {
namespace {

constexpr Mac kBridgeMac{0x00, 0x01, 0x02, 0x03, 0x04, 0x05};
constexpr Mac kHostMac{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

enum Type : std::uint8_t { MOF = 0, FEOF = 1, FEEF = 2, SOF = 3, EOF_ = 4, EEF = 5, CCODES = 6 };

std::optional<std::string> namespace_failure;

class PrivateNamespace : public ::testing::Environment {
public:
    void SetUp() override { namespace_failure = enter_private_namespace(); }
};

Bytes pattern(std::size_t n, std::uint8_t seed = 0) {
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<std::uint8_t>((i * 7 + seed * 31 + (i >> 8)) & 0xFF);
    return bytes;
}

// A frame as the host sends it, padded to 60 bytes (62 for control codes).
Bytes host_frame(std::uint8_t type, std::uint8_t number, const Bytes &payload,
                 const Mac &dest = kBridgeMac, const Mac &source = kHostMac) {
    Bytes frame(dest.begin(), dest.end());
    frame.insert(frame.end(), source.begin(), source.end());
    const auto length = static_cast<std::uint16_t>(payload.size());
    frame.insert(frame.end(), {0x06, 0xAB, type, number, static_cast<std::uint8_t>(length),
                               static_cast<std::uint8_t>(length >> 8), 10});
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.resize(std::max<std::size_t>(frame.size(), type == CCODES ? 62 : 60), 0);
    return frame;
}

spw_eth_conf_header_2 config_body(std::uint8_t edit0, std::uint8_t edit1 = 0) {
    spw_eth_conf_header_2 body{};
    std::memcpy(body.GE_SPW, "GE_SPW", 6);
    body.edit0 = static_cast<unsigned char>(edit0 | 0x80);
    body.edit1 = edit1;
    return body;
}

// A configuration frame: 62 bytes announcing a payload of 46.
Bytes config_frame(std::uint8_t number, const spw_eth_conf_header_2 &body) {
    Bytes raw(sizeof body);
    std::memcpy(raw.data(), &body, sizeof body);
    Bytes frame = host_frame(255, number, raw);
    frame[16] = 46;
    frame.resize(62, 0);
    return frame;
}

// An incrementing RMAP command with reply to the target 0xFE, key 0, from
// initiator 0x67 with no reply address: a read, or a write of `data`.
Bytes rmap_command(std::uint16_t id, std::uint32_t address, std::uint32_t length,
                   const Bytes *data = nullptr) {
    Bytes c = {0xFE,
               0x01,
               static_cast<std::uint8_t>(data != nullptr ? 0x6C : 0x4C),
               0x00,
               0x67,
               static_cast<std::uint8_t>(id >> 8),
               static_cast<std::uint8_t>(id),
               0x00};
    for (int shift = 24; shift >= 0; shift -= 8)
        c.push_back(static_cast<std::uint8_t>(address >> shift));
    for (int shift = 16; shift >= 0; shift -= 8)
        c.push_back(static_cast<std::uint8_t>(length >> shift));
    c.push_back(bridge_emu::rmap::crc(c));
    if (data != nullptr) {
        c.insert(c.end(), data->begin(), data->end());
        c.push_back(bridge_emu::rmap::crc(*data));
    }
    return c;
}

// A reply's transaction identifier and status.
std::uint16_t reply_id(const Frame &reply) {
    const Bytes p = reply.payload();
    return p.size() < 7 ? 0xFFFF : static_cast<std::uint16_t>(p[5] << 8 | p[6]);
}
std::uint8_t reply_status(const Frame &reply) {
    const Bytes p = reply.payload();
    return p.size() < 4 ? 0xFF : p[3];
}

std::uint64_t le(const Bytes &bytes, std::size_t offset, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value |= std::uint64_t{bytes[offset + i]} << (8 * i);
    return value;
}

// The fields of a status record that the tests look at.
struct Status {
    struct Port {
        std::uint64_t tx_bytes, rx_bytes, tx_packets, rx_packets, rx_packets_eep, tx_rate, rx_rate,
            link_state;
    };
    Port spw1, spw2;
    std::uint8_t speed, switch_state;

    explicit Status(const Frame &frame) {
        const Bytes record = frame.payload();
        const auto port = [&record](std::size_t at) {
            return Port{le(record, at + offsetof(spw_eth_channel_state, tx_bytes), 8),
                        le(record, at + offsetof(spw_eth_channel_state, rx_bytes), 8),
                        le(record, at + offsetof(spw_eth_channel_state, tx_packets), 4),
                        le(record, at + offsetof(spw_eth_channel_state, rx_packets), 4),
                        le(record, at + offsetof(spw_eth_channel_state, rx_packets_eep), 4),
                        le(record, at + offsetof(spw_eth_channel_state, tx_bytes_per_sec), 4),
                        le(record, at + offsetof(spw_eth_channel_state, rx_bytes_per_sec), 4),
                        record[at + offsetof(spw_eth_channel_state, link_state)]};
        };
        spw1 = port(offsetof(spw_eth_state, spw1));
        spw2 = port(offsetof(spw_eth_state, spw2));
        speed = record[offsetof(spw_eth_state, speed)];
        switch_state = record[offsetof(spw_eth_state, switch_state)];
    }
};

class BridgeEmulator : public ::testing::Test {
protected:
    void SetUp() override {
        if (namespace_failure) GTEST_SKIP() << "needs a network namespace: " << *namespace_failure;
        host_ = std::make_unique<HostPort>();
        ASSERT_TRUE(host_->is_open());
    }

    void start(const std::vector<std::string> &arguments = {"--status-ms", "0"}) {
        ASSERT_TRUE(emulator_.start(arguments)) << emulator_.output();
    }

    // Sends data as the host cuts it: FEOF/FEEF, or SOF, MOF..., EOF/EEF.
    void send_packet(const Bytes &data, bool eep) {
        const std::size_t frames = (data.size() + 1494) / 1495;
        for (std::size_t i = 0; i < frames; ++i) {
            const bool last = i + 1 == frames;
            const std::uint8_t type = frames == 1 ? (eep ? FEEF : FEOF)
                                      : i == 0    ? SOF
                                      : last      ? (eep ? EEF : EOF_)
                                                  : MOF;
            const auto begin = data.begin() + static_cast<std::ptrdiff_t>(i * 1495);
            const auto end = last ? data.end() : begin + 1495;
            host_->send(host_frame(type, data_number_++, Bytes(begin, end)));
        }
    }

    Frame expect_traffic() {
        auto frame = host_->next_traffic();
        if (!frame) ADD_FAILURE() << "no frame from the bridge\n" << emulator_.output();
        return frame.value_or(Frame{Bytes(60, 0xEE)});
    }

    EmulatorProcess emulator_;
    std::unique_ptr<HostPort> host_;
    std::uint8_t data_number_ = 0;
};

// ---------------------------------------------------------------------------
// Loopback of packets and control codes

TEST_F(BridgeEmulator, LongPacketComesBackInFullFramesWithItsEndMarker) {
    start();
    const Bytes data = pattern(3000);
    send_packet(data, /*eep=*/true);

    const Frame first = expect_traffic();
    const Frame middle = expect_traffic();
    const Frame last = expect_traffic();
    EXPECT_EQ(first.type_byte(), SOF);
    EXPECT_EQ(middle.type_byte(), MOF);
    EXPECT_EQ(last.type_byte(), EEF);
    EXPECT_EQ(first.payload_length(), 1495);
    EXPECT_EQ(middle.payload_length(), 1495);
    EXPECT_EQ(last.payload_length(), 10);
    EXPECT_EQ(first.bytes.size(), 1514u);
    EXPECT_EQ(last.bytes.size(), 60u);
    EXPECT_EQ(last.number(), static_cast<std::uint8_t>(first.number() + 2));
    EXPECT_EQ(first.source(), kBridgeMac);
    EXPECT_EQ(first.dest(), kHostMac);  // learnt from the host's frames

    Bytes returned = first.payload();
    for (const Frame *f : {&middle, &last}) {
        const Bytes payload = f->payload();
        returned.insert(returned.end(), payload.begin(), payload.end());
    }
    EXPECT_EQ(returned, data);
    EXPECT_EQ(Bytes(last.bytes.begin() + 29, last.bytes.end()), Bytes(31, 0));  // zero fill
}

TEST_F(BridgeEmulator, SmallFragmentsArePackedAndAnUnfinishedPacketEndsWithEep) {
    start();
    const Bytes data = pattern(350, 3);
    host_->send(host_frame(SOF, 0, Bytes(data.begin(), data.begin() + 100)));
    host_->send(host_frame(MOF, 1, Bytes(data.begin() + 100, data.begin() + 300)));
    host_->send(host_frame(EOF_, 2, Bytes(data.begin() + 300, data.end())));
    const Frame whole = expect_traffic();
    EXPECT_EQ(whole.type_byte(), FEOF);
    EXPECT_EQ(whole.payload(), data);

    // A new packet before the end of the last one: the last one ends with EEP.
    host_->send(host_frame(SOF, 3, pattern(40)));
    host_->send(host_frame(FEOF, 4, pattern(3, 1)));
    const Frame cut = expect_traffic();
    EXPECT_EQ(cut.type_byte(), FEEF);
    EXPECT_EQ(cut.payload(), pattern(40));
    const Frame next = expect_traffic();
    EXPECT_EQ(next.type_byte(), FEOF);
    EXPECT_EQ(next.payload(), pattern(3, 1));
    EXPECT_EQ(next.bytes.size(), 60u);
}

TEST_F(BridgeEmulator, ControlCodesComeBackInACodeFrame) {
    start();
    host_->send(host_frame(CCODES, 0, {0x05}));
    const Frame time_code = expect_traffic();
    EXPECT_EQ(time_code.type_byte(), CCODES);
    EXPECT_EQ(time_code.payload(), Bytes{0x05});
    EXPECT_EQ(time_code.bytes.size(), 62u);

    const Bytes codes = pattern(100, 2);
    host_->send(host_frame(CCODES, 1, codes));
    const Frame many = expect_traffic();
    EXPECT_EQ(many.payload(), codes);
    EXPECT_EQ(many.bytes.size(), 119u);
    EXPECT_EQ(many.number(), static_cast<std::uint8_t>(time_code.number() + 1));
}

// ---------------------------------------------------------------------------
// Status and configuration

TEST_F(BridgeEmulator, StatusReportsRunningLinksAndTrueCounters) {
    start({"--status-ms", "100"});
    send_packet(pattern(3000), /*eep=*/true);
    send_packet(pattern(3), /*eep=*/false);
    for (int i = 0; i < 4; ++i) expect_traffic();

    std::optional<Frame> frame;
    do frame = host_->next_status();
    while (frame && Status(*frame).spw1.tx_packets < 2);
    ASSERT_TRUE(frame) << emulator_.output();
    EXPECT_EQ(frame->payload_length(), 88);
    EXPECT_EQ(frame->bytes.size(), 107u);
    EXPECT_EQ(frame->source(), kBridgeMac);

    const Status status(*frame);
    EXPECT_EQ(status.spw1.link_state, 5u);
    EXPECT_EQ(status.spw2.link_state, 5u);
    EXPECT_EQ(status.spw1.tx_packets, 2u);
    EXPECT_EQ(status.spw1.tx_bytes, 3003u);
    EXPECT_EQ(status.spw1.rx_packets, 0u);
    EXPECT_EQ(status.spw2.rx_packets, 2u);
    EXPECT_EQ(status.spw2.rx_packets_eep, 1u);
    EXPECT_EQ(status.spw2.rx_bytes, 3003u);
    EXPECT_EQ(status.spw2.tx_bytes, 0u);
    EXPECT_GT(status.spw1.tx_rate, 0u);  // the traffic fell into this period
    EXPECT_GT(status.spw2.rx_rate, 0u);
    EXPECT_EQ(status.spw1.rx_rate, 0u);
    EXPECT_EQ(status.speed, 0x80);
    EXPECT_EQ(status.switch_state, 0x33);
}

TEST_F(BridgeEmulator, ConfigurationChangesSpeedAndSwitchModeInTheNextStatus) {
    start({"--status-ms", "100"});
    spw_eth_conf_header_2 body = config_body(0x04, 0x01);
    body.Spw_Speed = 0x04;
    body.switch_mode = 0x53;
    host_->send(config_frame(0, body));

    // The first status may have left before the frame arrived; the second may not.
    host_->next_status();
    const auto frame = host_->next_status();
    ASSERT_TRUE(frame) << emulator_.output();
    EXPECT_EQ(Status(*frame).speed, 0x04);
    EXPECT_EQ(Status(*frame).switch_state, 0x53);
}

TEST_F(BridgeEmulator, ResetClearsTheCountersButKeepsTheSettings) {
    start({"--status-ms", "100"});
    spw_eth_conf_header_2 speed = config_body(0x04);
    speed.Spw_Speed = 0x10;
    host_->send(config_frame(0, speed));
    send_packet(pattern(10), /*eep=*/false);
    expect_traffic();
    host_->send(config_frame(2, config_body(0x40)));

    host_->next_status();
    const auto frame = host_->next_status();
    ASSERT_TRUE(frame) << emulator_.output();
    EXPECT_EQ(Status(*frame).spw1.tx_packets, 0u);
    EXPECT_EQ(Status(*frame).spw2.rx_bytes, 0u);
    EXPECT_EQ(Status(*frame).spw1.link_state, 5u);
    EXPECT_EQ(Status(*frame).speed, 0x10);
}

TEST_F(BridgeEmulator, StatFreqSetsTheStatusPeriodInTenthsOfASecond) {
    start({"--status-ms", "0"});
    spw_eth_conf_header_2 body = config_body(0, 0x02);
    body.stat_freq = 1;
    host_->send(config_frame(0, body));
    ASSERT_TRUE(host_->next_status(1000ms));
    ASSERT_TRUE(host_->next_status(300ms));

    body.stat_freq = 0;
    host_->send(config_frame(1, body));
    host_->next_status(150ms);  // one may have been on its way
    EXPECT_FALSE(host_->next_status(500ms));
}

TEST_F(BridgeEmulator, ConfiguredAddressesTakeEffect) {
    start();
    const Mac new_bridge{0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE};
    const Mac other_host{0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    spw_eth_conf_header_2 body = config_body(0x03);
    std::memcpy(body.new_src_addr, new_bridge.data(), 6);
    std::memcpy(body.new_dest_addr, other_host.data(), 6);
    host_->send(config_frame(0, body));

    host_->send(host_frame(FEOF, 1, pattern(5)));  // to the old address: ignored
    host_->send(host_frame(FEOF, 2, pattern(6), new_bridge));
    Frame echo = expect_traffic();
    EXPECT_EQ(echo.type_byte(), 7);  // the bridge never saw #1: a jump
    echo = expect_traffic();
    EXPECT_EQ(echo.payload(), pattern(6));
    EXPECT_EQ(echo.source(), new_bridge);
    EXPECT_EQ(echo.dest(), other_host);  // set, no longer learnt

    EXPECT_EQ(emulator_.stop(), 0);
    EXPECT_EQ(emulator_.counter("ignored, not for this bridge:"), 1u);
}

// ---------------------------------------------------------------------------
// Frame numbers

struct JumpCase {
    std::uint8_t before;
    std::uint8_t jumped;
    std::uint8_t error_type;
};

TEST_F(BridgeEmulator, DataFrameNumberJumpIsReportedWithTheFittingErrorType) {
    constexpr JumpCase kCases[] = {
        {SOF, FEOF, 1}, {MOF, SOF, 1}, {FEOF, SOF, 2}, {EEF, FEEF, 2},
        {SOF, MOF, 3},  {MOF, EEF, 3}, {FEOF, MOF, 4}, {EOF_, EOF_, 4},
    };
    for (const JumpCase &c : kCases) {
        SCOPED_TRACE(testing::Message()
                     << "after type " << int{c.before} << ", type " << int{c.jumped});
        start();
        host_->send(host_frame(c.before, 7, pattern(4)));
        host_->send(host_frame(c.jumped, 9, pattern(4)));
        std::optional<Frame> error;
        while (auto frame = host_->next()) {
            if (frame->type_byte() == 7 && !frame->is_credit_info()) {
                error = frame;
                break;
            }
        }
        ASSERT_TRUE(error) << emulator_.output();
        EXPECT_EQ(error->payload(), (Bytes{c.error_type, 8, 9}));
        emulator_.stop();
    }
}

TEST_F(BridgeEmulator, ControlCodeFrameNumberJumpIsErrorTypeFive) {
    start();
    host_->send(host_frame(CCODES, 0, {1}));
    host_->send(host_frame(CCODES, 2, {2}));
    std::vector<std::uint8_t> seen;  // error types, and 0xCC per code frame
    while (seen.size() < 3) {
        auto frame = host_->next();
        ASSERT_TRUE(frame) << emulator_.output();
        if (frame->type_byte() == CCODES)
            seen.push_back(0xCC);
        else if (frame->type_byte() == 7 && !frame->is_credit_info())
            seen.push_back(frame->bytes[19]);
    }
    EXPECT_EQ(seen, (std::vector<std::uint8_t>{0xCC, 5, 0xCC}));  // reported before its echo
}

TEST_F(BridgeEmulator, NumberZeroIsAHostRestartUnlessNumbersAreStrict) {
    for (const bool strict : {false, true}) {
        SCOPED_TRACE(strict ? "strict" : "lenient");
        start(strict ? std::vector<std::string>{"--status-ms", "0", "--strict-numbers"}
                     : std::vector<std::string>{"--status-ms", "0"});
        host_->send(host_frame(FEOF, 40, pattern(2)));
        host_->send(host_frame(FEOF, 0, pattern(3)));
        // An error for the second frame would arrive before its echo.
        int errors = 0;
        for (;;) {
            auto frame = host_->next();
            ASSERT_TRUE(frame) << emulator_.output();
            if (frame->type_byte() == 7 && !frame->is_credit_info()) ++errors;
            if (frame->type_byte() == FEOF && frame->payload_length() == 3) break;
        }
        EXPECT_EQ(errors, strict ? 1 : 0);
        emulator_.stop();
    }
}

// ---------------------------------------------------------------------------
// Credits

TEST_F(BridgeEmulator, WithheldCreditsCountDownThenFramesAreDropped) {
    start({"--status-ms", "0", "--credits", "4", "--withhold-credits"});
    std::vector<int> credits;
    for (std::uint8_t n = 0; n < 4; ++n) {
        host_->send(host_frame(FEOF, n, {n}));
        credits.push_back(expect_traffic().credits());
    }
    EXPECT_EQ(credits, (std::vector<int>{3, 2, 1, 0}));
    host_->send(host_frame(FEOF, 4, {4}));
    EXPECT_FALSE(host_->next_traffic(300ms));

    // A hardware reset gives every buffer back, and the bridge says so.
    host_->send(config_frame(5, config_body(0, 0x10)));
    std::optional<Frame> info;
    do info = host_->next();
    while (info && !info->is_credit_info());
    ASSERT_TRUE(info) << emulator_.output();
    EXPECT_EQ(info->credits(), 4);
    EXPECT_EQ(info->payload(), (Bytes{0, 4}));

    EXPECT_EQ(emulator_.stop(), 0);
    EXPECT_EQ(emulator_.counter("dropped, no free buffer:"), 1u);
}

TEST_F(BridgeEmulator, BuffersComeBackAsDataGoesRoundTheLoop) {
    start({"--status-ms", "0", "--credits", "3"});
    // Far more frames than buffers, sent without waiting: none is lost.
    const Bytes data = pattern(20 * 1495 + 7, 5);
    send_packet(data, /*eep=*/false);
    Bytes returned;
    for (;;) {
        const Frame frame = expect_traffic();
        EXPECT_LE(frame.credits(), 3);
        const Bytes payload = frame.payload();
        returned.insert(returned.end(), payload.begin(), payload.end());
        if (frame.type_byte() != SOF && frame.type_byte() != MOF) break;
    }
    EXPECT_EQ(returned, data);
    EXPECT_EQ(emulator_.stop(), 0);
    EXPECT_EQ(emulator_.counter("dropped, no free buffer:"), 0u);
    EXPECT_EQ(emulator_.counter("free buffers:"), 3u);
}

TEST_F(BridgeEmulator, CreditInfoFollowsAFrameThatSendsNothingBack) {
    start({"--status-ms", "0", "--credits", "7"});
    host_->send(config_frame(0, config_body(0x08)));  // a filter: no answer of its own
    std::optional<Frame> info;
    do info = host_->next();  // passing over the broadcast one sent at start-up
    while (info && info->dest() != kHostMac);
    ASSERT_TRUE(info) << emulator_.output();
    EXPECT_TRUE(info->is_credit_info());
    EXPECT_EQ(info->credits(), 7);
}

// ---------------------------------------------------------------------------
// RMAP target latency

constexpr auto kLatency = 20ms;
const std::vector<std::string> kLatentTarget = {
    "--status-ms", "0", "--rmap-target", "0xFE,0x00,4096", "--rmap-latency-us", "20000"};

TEST_F(BridgeEmulator, LatentCommandsWaitSideBySideAndAreAnsweredInOrder) {
    using Clock = std::chrono::steady_clock;
    start(kLatentTarget);
    const Bytes data = pattern(32, 4);
    const auto write_sent = Clock::now();
    send_packet(rmap_command(1, 0, 32, &data), false);
    const Frame written = expect_traffic();
    EXPECT_GE(Clock::now() - write_sent, kLatency);
    EXPECT_EQ(reply_id(written), 1);
    EXPECT_EQ(reply_status(written), 0);

    // Eight reads back to back: each answered no sooner than the latency
    // after it was sent, all of them within a few latencies, not eight.
    constexpr int kReads = 8;
    std::array<Clock::time_point, kReads> sent{}, answered{};
    for (int i = 0; i < kReads; ++i) {
        sent[i] = Clock::now();
        send_packet(rmap_command(static_cast<std::uint16_t>(10 + i), 4 * i, 4), false);
    }
    for (int i = 0; i < kReads; ++i) {
        SCOPED_TRACE(i);
        const Frame reply = expect_traffic();
        answered[i] = Clock::now();
        EXPECT_EQ(reply.type_byte(), FEOF);
        EXPECT_EQ(reply_id(reply), 10 + i);
        EXPECT_EQ(reply_status(reply), 0);
        const Bytes payload = reply.payload();
        ASSERT_EQ(payload.size(), 17u);
        EXPECT_EQ(Bytes(payload.begin() + 12, payload.begin() + 16),
                  Bytes(data.begin() + 4 * i, data.begin() + 4 * i + 4));
        EXPECT_GE(answered[i] - sent[i], kLatency);
    }
    EXPECT_LT(answered[kReads - 1] - sent[0], 5 * kLatency) << "the commands did not overlap";

    EXPECT_EQ(emulator_.stop(), 0);
    EXPECT_EQ(emulator_.counter("RMAP replies:"), 1u + kReads);
    EXPECT_EQ(emulator_.counter("RMAP replies still waiting:"), 0u);
}

TEST_F(BridgeEmulator, LatentReplyWaitsForAPacketThatIsLoopingBack) {
    start(kLatentTarget);
    send_packet(rmap_command(7, 0, 8), false);
    // A packet that is no command starts on SpW2 before the reply is due and
    // stays open well after: the reply may not cut into it.
    const Bytes head(40, 0x55), tail(10, 0x66);
    host_->send(host_frame(SOF, data_number_++, head));
    EXPECT_FALSE(host_->next_traffic(3 * kLatency));
    host_->send(host_frame(EOF_, data_number_++, tail));

    const Frame looped = expect_traffic();
    EXPECT_EQ(looped.type_byte(), FEOF);
    Bytes whole = head;
    whole.insert(whole.end(), tail.begin(), tail.end());
    EXPECT_EQ(looped.payload(), whole);
    const Frame reply = expect_traffic();
    EXPECT_EQ(reply.type_byte(), FEOF);
    EXPECT_EQ(reply_id(reply), 7);
    EXPECT_EQ(reply.payload().size(), 12u + 8u + 1u);
}

// ---------------------------------------------------------------------------
// Fault injection

TEST_F(BridgeEmulator, FlagsAreSetOnDataAndCodeFramesOnly) {
    start({"--status-ms", "50", "--flags", "0x40"});
    host_->send(host_frame(FEOF, 0, pattern(3)));
    host_->send(host_frame(CCODES, 0, {9}));
    EXPECT_EQ(expect_traffic().type_byte(), 0x41);
    EXPECT_EQ(expect_traffic().type_byte(), 0x46);
    const auto status = host_->next_status();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->type_byte(), 8);
}

TEST_F(BridgeEmulator, DropAndDuplicateEveryNthDataFrame) {
    start({"--status-ms", "0", "--drop-every", "3", "--dup-every", "2"});
    for (std::uint8_t n = 0; n < 4; ++n) host_->send(host_frame(FEOF, n, {n}));
    // Frame 2 goes twice, frame 3 is lost, frame 4 goes twice.
    std::vector<int> numbers;
    for (int i = 0; i < 5; ++i) numbers.push_back(expect_traffic().number());
    EXPECT_EQ(numbers, (std::vector<int>{0, 1, 1, 3, 3}));
    EXPECT_FALSE(host_->next_traffic(200ms));
}

TEST_F(BridgeEmulator, JunkFramesFollowEveryNthDataFrame) {
    start({"--status-ms", "0", "--bad-ethertype-every", "2", "--runt-every", "1"});
    host_->send(host_frame(FEOF, 0, pattern(3)));
    host_->send(host_frame(FEOF, 1, pattern(3)));
    std::vector<std::string> seen;
    while (seen.size() < 5) {
        const auto frame = host_->next_any();
        ASSERT_TRUE(frame) << emulator_.output();
        if (frame->ether_type() == 0x88B5)
            seen.push_back("other EtherType");
        else if (frame->ether_type() != 0x06AB || frame->is_credit_info())
            continue;
        else if (frame->payload_length() > frame->bytes.size() - 19)
            seen.push_back("runt");
        else
            seen.push_back("data");
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"data", "runt", "data", "other EtherType", "runt"}));
}

// ---------------------------------------------------------------------------
// The program

TEST_F(BridgeEmulator, StopsCleanlyWithItsCounters) {
    start();
    send_packet(pattern(100), false);
    expect_traffic();
    EXPECT_EQ(emulator_.stop(), 0);
    EXPECT_EQ(emulator_.counter("data frames from host:"), 1u);
    EXPECT_EQ(emulator_.counter("data bytes from host:"), 100u);
    EXPECT_EQ(emulator_.counter("SpW2 packets received:"), 1u);
}

TEST_F(BridgeEmulator, RejectsBadArguments) {
    EXPECT_FALSE(emulator_.start({"--credits", "256"}));
    EXPECT_NE(emulator_.output().find("--credits"), std::string::npos);
    EXPECT_FALSE(emulator_.start({"--flags", "0x41"}));
    EXPECT_FALSE(emulator_.start({"--mac", "00:01:02:03:04"}));
    EXPECT_FALSE(emulator_.start({"--rmap-latency-us", "10000001"}));
    EXPECT_NE(emulator_.output().find("--rmap-latency-us"), std::string::npos);
    EXPECT_FALSE(emulator_.start({"--rmap-latency-us", "-5"}));
}

}  // namespace
}  // namespace emu_test

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new emu_test::PrivateNamespace);
    return RUN_ALL_TESTS();
}
