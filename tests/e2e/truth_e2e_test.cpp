// What the library owes its caller, end to end over a real veth pair: whole
// packets under credit flow control, no tail of a cut packet passed off as a
// packet, refusals that send nothing, deadlines that hold in thread-safe mode
// and while credits are missing, and closed sockets that are left alone.
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <functional>

#include "e2e_support.h"
#include "spweth_rmap.h"

#ifdef SPWETH_TRUTH_STANDINS
// Only for building this program against a library that lacks the call, to
// watch the tests fail there; never defined by the project's build.
extern "C" __attribute__((weak)) int SpW_Socket_Get_Counters(struct pcap *,
                                                             spweth_socket_counters *, int) {
    return -1;
}
#endif

namespace {

using e2e::Bytes;
using e2e::Clock;
using namespace std::chrono_literals;

constexpr unsigned char kLogicalAddress = 0xFE;
constexpr unsigned char kKey = 0x20;
const std::string kRmapTarget = "0xFE,0x20,4096";

// Not an RMAP command (no protocol identifier 1): the emulator loops it back.
const Bytes kPing = {0x55, 0x00, 0x00, 0x00};

std::chrono::milliseconds since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

// Where two byte strings first differ, for a readable failure.
std::string first_difference(const Bytes &expected, const unsigned char *got, std::size_t count) {
    const auto at =
        std::mismatch(expected.begin(), expected.begin() + static_cast<long>(count), got);
    if (at.first == expected.begin() + static_cast<long>(count)) return "none";
    return "offset " + std::to_string(at.first - expected.begin());
}

// What a call made in a forked child did: returned a value, or died.
struct ChildOutcome {
    bool returned = false;
    int value = 0;
    std::string death;

    std::string text() const { return returned ? "returned " + std::to_string(value) : death; }
    // A refusal: a failure value, and not a wait that timed out.
    bool refused() const { return returned && value < 0 && value != SPWETH_TIMED_OUT; }
};

// Runs `call` in a child process, so that a crash or an abort in it is
// reported instead of ending the test program; a child still busy after
// five seconds is ended by SIGALRM.
ChildOutcome in_child(const std::function<int()> &call) {
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) return {false, 0, "no pipe"};
    const pid_t child = fork();
    if (child == 0) {
        close(pipe_ends[0]);
        alarm(5);
        const int value = call();
        const ssize_t written = write(pipe_ends[1], &value, sizeof value);
        _exit(written == sizeof value ? 0 : 1);
    }
    close(pipe_ends[1]);
    ChildOutcome outcome;
    int value = 0;
    const bool got = read(pipe_ends[0], &value, sizeof value) == sizeof value;
    close(pipe_ends[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFSIGNALED(status)) {
        outcome.death = std::string("killed by signal ") + std::to_string(WTERMSIG(status)) + " (" +
                        strsignal(WTERMSIG(status)) + ")";
    } else if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        outcome.death = "ended without a result";
    } else {
        outcome.returned = true;
        outcome.value = value;
    }
    return outcome;
}

class Truth : public e2e::NamespaceTest {
protected:
    void TearDown() override {
        // The library's settings are the process's: leave them as loaded.
        set_send_crediting(0);
        set_send_credit_limit(10);
        set_send_credit_wait(15);
        set_send_credit_timeout(0);
        set_recv_idle_wait(0);
        set_thread_safe_mode(0);
        set_wait_receive_active(1);
        NamespaceTest::TearDown();
    }

    void use_rmap_target(spw_rmap_target &target) {
        target = {};
        target.target_logical_address = kLogicalAddress;
        target.key = kKey;
        target.initiator_logical_address = 0x67;
    }

    // Credit flow control with the library's defaults for the levels; a send
    // that sees no credits for five seconds fails instead of hanging. The
    // bridge's first count reaches a new socket in a status frame.
    void crediting_on() {
        set_recv_idle_wait(1);
        set_send_crediting(1);
        set_send_credit_timeout(5000);
    }

    spweth_socket_counters counters() {
        spweth_socket_counters c{};
        EXPECT_EQ(0, SpW_Socket_Get_Counters(socket_, &c, static_cast<int>(sizeof c)));
        return c;
    }

    // The number of frames of any kind the emulator took from the host.
    std::uint64_t frames_from_host() {
        std::uint64_t total = 0;
        for (const char *name :
             {"data frames from host:", "control-code frames from host:",
              "configuration frames from host:", "ignored, malformed:", "ignored, unknown type:"})
            total += bridge_counter(name);
        return total;
    }

    std::uint64_t seed_ = 0x7207;
};

// --- Whole packets under credit flow control --------------------------------

TEST_F(Truth, PacketsOfOneFourAndSixteenMebibytesComeBackWholeUnderCreditFlowControl) {
    start_emulator_with_summary({"--status-ms", "100"});
    open_host_socket();
    crediting_on();
    for (const int size : {1 << 20, 4 << 20, 16 << 20}) {
        const Bytes packet = e2e::random_bytes(static_cast<std::size_t>(size), seed_);
        ASSERT_EQ(size, SpW_Send_Packet(socket_, packet.data(), size, 1)) << size;
        Bytes buffer(static_cast<std::size_t>(size) + 1500);  // a longer packet shows as longer
        unsigned char type = 0xEE;
        const int length = receive(buffer, type, 5000ms);
        ASSERT_EQ(size, length) << "a packet of " << size << " bytes came back as " << length;
        EXPECT_EQ(0, type) << size;
        EXPECT_EQ("none", first_difference(packet, buffer.data(), packet.size())) << size;
    }
    EXPECT_EQ(0u, bridge_counter("dropped, no free buffer:"));
}

TEST_F(Truth, TwentyThreePacketsSentBeforeTheFirstReceiveArriveWholeAndInOrder) {
    start_emulator_with_summary({"--status-ms", "100"});
    open_host_socket();
    crediting_on();
    constexpr int kCount = 23, kSize = 65000;
    std::vector<Bytes> sent;
    for (int i = 0; i < kCount; ++i) {
        sent.push_back(e2e::random_bytes(kSize, seed_));
        sent.back()[0] = static_cast<unsigned char>(i);
        ASSERT_EQ(kSize, SpW_Send_Packet(socket_, sent.back().data(), kSize, 1)) << "packet " << i;
    }
    Bytes buffer(kSize + 1500);
    const auto now_ns = [] {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    long long earliest = now_ns() - 10'000'000'000;  // the packets were captured since
    for (int i = 0; i < kCount; ++i) {
        unsigned char type = 0xEE;
        const int length = receive(buffer, type, 3000ms);
        long long captured = 0;
        ASSERT_EQ(0, SpW_Socket_Get_Last_Time(socket_, &captured));
        EXPECT_LE(earliest, captured) << "packet " << i << " captured before the one before";
        EXPECT_GE(now_ns(), captured) << "packet " << i;
        earliest = captured;
        ASSERT_EQ(kSize, length) << "packet " << i << " (its first byte says " << int(buffer[0])
                                 << ")";
        EXPECT_EQ(0, type) << "packet " << i;
        ASSERT_EQ("none", first_difference(sent[static_cast<std::size_t>(i)], buffer.data(), kSize))
            << "packet " << i << " (its first byte says " << int(buffer[0]) << ")";
    }
    unsigned char type = 0;
    EXPECT_EQ(SPWETH_TIMED_OUT, receive(buffer, type, 200ms)) << "a packet nobody sent";
}

// --- A receive that gives up mid-packet -------------------------------------

// A data frame as the bridge sends it: type, frame number, payload, padding.
Bytes bridge_data_frame(unsigned char type, unsigned char number, const unsigned char *payload,
                        std::size_t length) {
    Bytes frame(6, 0xFF);
    frame.insert(frame.end(), e2e::kBridgeMac.bytes, e2e::kBridgeMac.bytes + 6);
    frame.insert(frame.end(), {0x06, 0xAB, type, number, static_cast<unsigned char>(length & 0xFF),
                               static_cast<unsigned char>(length >> 8), 10});
    frame.insert(frame.end(), payload, payload + length);
    frame.resize(std::max<std::size_t>(frame.size(), 60), 0);
    return frame;
}

constexpr unsigned char kMof = 0, kFeof = 1, kSof = 3, kEof = 4;

TEST_F(Truth, ATimedReceiveThatGivesUpMidPacketLeavesNoTailToPassAsAPacket) {
    // The bridge's side is played frame by frame, so that the receive surely
    // takes the first frames of a packet whose end comes only after its deadline.
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t *bridge = pcap_open_live(e2e::kBridgeLink, 2048, 0, 100, errbuf);
    ASSERT_NE(nullptr, bridge) << errbuf;
    open_host_socket();
    set_recv_idle_wait(1);
    const auto send = [&](const Bytes &frame) {
        ASSERT_EQ(0, pcap_sendpacket(bridge, frame.data(), static_cast<int>(frame.size())));
    };

    const Bytes cut = e2e::random_bytes(3000, seed_);  // SOF 1495, MOF 1495, EOF 10
    const Bytes whole = e2e::random_bytes(100, seed_);
    send(bridge_data_frame(kSof, 0, cut.data(), 1495));
    send(bridge_data_frame(kMof, 1, cut.data() + 1495, 1495));
    Bytes buffer(4000);
    unsigned char type = 0xEE;
    EXPECT_EQ(SPWETH_TIMED_OUT, receive(buffer, type, 200ms)) << "the packet has no end yet";

    send(bridge_data_frame(kEof, 2, cut.data() + 2990, 10));
    send(bridge_data_frame(kFeof, 3, whole.data(), whole.size()));
    // A packet ended by EOP must be one the bridge sent whole; the cut one may
    // only show ended by EEP.
    bool got_whole = false;
    for (int i = 0; i < 3 && !got_whole; ++i) {
        type = 0xEE;
        const int length = receive(buffer, type, 500ms);
        if (length == SPWETH_TIMED_OUT) break;
        ASSERT_GT(length, 0);
        if (type != 0) continue;
        ASSERT_EQ(100, length) << "a packet of " << length
                               << " bytes ended by EOP (the cut packet's tail has 10)";
        EXPECT_EQ("none", first_difference(whole, buffer.data(), whole.size()));
        got_whole = true;
    }
    EXPECT_TRUE(got_whole) << "the whole packet after the cut one did not come";
    pcap_close(bridge);

    const spweth_socket_counters c = counters();
    EXPECT_GT(c.packets_cut + c.fragments_discarded, 0u)
        << "packets_cut " << c.packets_cut << ", fragments_discarded " << c.fragments_discarded;
}

// --- A burst queued before the first receive -------------------------------

// One packet of the burst: its bytes and the frames the bridge sends it in.
struct BurstPacket {
    Bytes bytes;
    bool eep;
};

// Every fifth packet spans three frames; the others fit one, of sizes from 1
// to 1495 bytes. Each starts with its own number, to show order.
std::vector<BurstPacket> burst_packets(int count, std::uint64_t &seed) {
    std::vector<BurstPacket> packets;
    for (int i = 0; i < count; ++i) {
        const std::size_t size = i % 5 == 4 ? 2 * 1495 + 1 + static_cast<std::size_t>(i % 97)
                                            : 1 + static_cast<std::size_t>(i * 37 % 1495);
        packets.push_back({e2e::random_bytes(size, seed), i % 3 == 1});
        packets.back().bytes[0] = static_cast<unsigned char>(i);
    }
    return packets;
}

TEST_F(Truth, ABurstQueuedBeforeTheFirstReceiveIsTakenCallByCallWithNoFrameLost) {
    // The frames wait in the socket's capture ring; each receive takes only
    // the frames of its own packet and leaves the rest to the next call,
    // in either threading mode and by either packet receive.
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t *bridge = pcap_open_live(e2e::kBridgeLink, 2048, 0, 100, errbuf);
    ASSERT_NE(nullptr, bridge) << errbuf;
    open_host_socket();
    unsigned char number = 0;
    for (const int safe_mode : {0, 1}) {
        SCOPED_TRACE("thread-safe mode " + std::to_string(safe_mode));
        ASSERT_EQ(safe_mode, set_thread_safe_mode(safe_mode));
        const std::vector<BurstPacket> packets = burst_packets(300, seed_);
        for (const BurstPacket &packet : packets) {
            const unsigned char *next = packet.bytes.data();
            std::size_t left = packet.bytes.size();
            const bool single = left <= 1495;
            for (bool first = true; left != 0; first = false) {
                const std::size_t count = std::min<std::size_t>(left, 1495);
                const bool last = count == left;
                const unsigned char type = single  ? (packet.eep ? 2 : kFeof)
                                           : first ? kSof
                                           : last  ? (packet.eep ? 5 : kEof)
                                                   : kMof;
                const Bytes frame = bridge_data_frame(type, number++, next, count);
                ASSERT_EQ(0, pcap_sendpacket(bridge, frame.data(), static_cast<int>(frame.size())));
                next += count;
                left -= count;
            }
        }
        Bytes buffer(4000);
        for (std::size_t i = 0; i < packets.size(); ++i) {
            unsigned char type = 0xEE;
            unsigned char mac[6] = {};
            const int length = i % 2 == 0 ? receive(buffer, type, 3000ms)
                                          : SpW_Recv_Packet_Timeout(socket_, buffer.data(),
                                                                    static_cast<int>(buffer.size()),
                                                                    mac, &type, 3000);
            const Bytes &sent = packets[i].bytes;
            ASSERT_EQ(static_cast<int>(sent.size()), length)
                << "packet " << i << " (its first byte says " << int(buffer[0]) << ")";
            EXPECT_EQ(packets[i].eep ? 1 : 0, type) << "packet " << i;
            ASSERT_EQ("none", first_difference(sent, buffer.data(), sent.size())) << "packet " << i;
        }
        unsigned char type = 0;
        EXPECT_EQ(SPWETH_TIMED_OUT, receive(buffer, type, 100ms)) << "a packet nobody sent";
    }
    pcap_close(bridge);
    const spweth_socket_counters c = counters();
    EXPECT_EQ(0u, c.packets_cut);
    EXPECT_EQ(0u, c.fragments_discarded);
}

// --- Refusals that send nothing ---------------------------------------------

TEST_F(Truth, ANegativeControlCodeCountIsRefusedAndReadsNoCodeByte) {
    start_emulator_with_summary({"--status-ms", "0"});
    open_host_socket();
    // Four code bytes at the very end of a page, with no access to the next.
    const long page = sysconf(_SC_PAGESIZE);
    auto *pages = static_cast<unsigned char *>(mmap(nullptr, static_cast<std::size_t>(2 * page),
                                                    PROT_READ | PROT_WRITE,
                                                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(MAP_FAILED, static_cast<void *>(pages));
    ASSERT_EQ(0, mprotect(pages + page, static_cast<std::size_t>(page), PROT_NONE));
    unsigned char *codes = pages + page - 4;
    std::fill_n(codes, 4, 0x01);

    const ChildOutcome outcome = in_child([&] { return SpW_Send_CCodes(socket_, codes, -1); });
    munmap(pages, static_cast<std::size_t>(2 * page));
    EXPECT_EQ("returned -1", outcome.text()) << "SpW_Send_CCodes(socket, codes, -1)";
    EXPECT_EQ(0u, frames_from_host());
}

TEST_F(Truth, AnUnknownSpeedIsRefusedAndTheBridgeKeepsItsSpeed) {
    start_emulator_with_summary({"--status-ms", "100"});
    open_host_socket();
    spw_eth_state state{};
    mac_address source{};
    ASSERT_EQ(88, SpW_Eth_Get_State_Timeout(socket_, &state, &source, 2000));
    const unsigned before = state.speed;

    EXPECT_EQ(-1, SpW_Eth_Set_SpW_Speed(socket_, 123));
    // The next record may have been under way already: the one after it counts.
    ASSERT_EQ(88, SpW_Eth_Get_State_Timeout(socket_, &state, &source, 2000));
    ASSERT_EQ(88, SpW_Eth_Get_State_Timeout(socket_, &state, &source, 2000));
    EXPECT_EQ(before, +state.speed);
    EXPECT_EQ(0u, bridge_counter("configuration frames from host:"));
}

TEST_F(Truth, AReplyAddressWithALeadingZeroIsRefusedAndNothingIsSent) {
    start_emulator_with_summary({"--status-ms", "0", "--rmap-target", kRmapTarget});
    open_host_socket();
    spw_rmap_target target;
    use_rmap_target(target);
    // Padding zeros go in front of a reply address: one that begins with a
    // zero byte of its own cannot be told from its padding.
    target.reply_address_length = 2;
    target.reply_address[0] = 0x00;
    target.reply_address[1] = 0x05;

    Bytes packet(64, 0xEE);
    EXPECT_EQ(-1, SpW_RMAP_Build_Read(&target, 1, 0, 0, 4, SPW_RMAP_INCREMENT, packet.data(),
                                      static_cast<int>(packet.size())));
    Bytes data(4);
    EXPECT_EQ(-1, SpW_RMAP_Read(socket_, &target, 0, 0, data.data(), 4, SPW_RMAP_INCREMENT, 500));
    EXPECT_EQ(0u, bridge_counter("RMAP commands:"));
    EXPECT_EQ(0u, frames_from_host());
}

// --- Deadlines that hold ----------------------------------------------------

TEST_F(Truth, AnRmapReadEndsAtItsDeadlineWhileTheBridgeHasNoCredits) {
    start_emulator_with_summary({"--credits", "1", "--withhold-credits", "--status-ms", "100",
                                 "--rmap-target", kRmapTarget});
    open_host_socket();
    set_recv_idle_wait(1);
    // The bridge's only buffer takes this packet and is never given back: the
    // frame that brings the packet back says 0 credits, as do all after it.
    ASSERT_EQ(4, SpW_Send_Packet(socket_, kPing.data(), 4, 1));
    Bytes buffer(100);
    unsigned char type = 0;
    ASSERT_EQ(4, receive(buffer, type, 2000ms));
    ASSERT_EQ(0, get_bridge_credits());

    set_send_crediting(1);  // no credit time-out: only the read's own deadline
    spw_rmap_target target;
    use_rmap_target(target);
    Bytes data(4);
    watchdog_.arm(3000ms);
    const auto started = Clock::now();
    const int result = SpW_RMAP_Read(socket_, &target, 0, 0, data.data(), 4, 0, 500);
    const auto took = since(started);
    EXPECT_FALSE(watchdog_.disarm()) << "the read was still waiting for credits after 3 s";
    EXPECT_EQ(SPWETH_TIMED_OUT, result);
    EXPECT_LT(took, 1500ms);
}

TEST_F(Truth, ShortDeadlinesHoldWhileAnotherThreadReceivesInThreadSafeMode) {
    // No status frames, and no RMAP reply ever: nothing can end a wait early.
    start_emulator_with_summary(
        {"--status-ms", "0", "--rmap-target", kRmapTarget, "--rmap-drop-every", "1"});
    open_host_socket();
    ASSERT_EQ(1, set_thread_safe_mode(1));
    set_recv_idle_wait(1);
    spw_rmap_target target;
    use_rmap_target(target);

    // Runs `call` while another thread is inside a receive with a 3 s deadline,
    // which a looped-back packet ends once `call` has returned.
    const auto while_another_receives = [&](const char *what, const std::function<int()> &call) {
        std::atomic<int> other{0};
        std::thread reader([&] {
            Bytes buffer(100);
            unsigned char type = 0;
            other = receive(buffer, type, 3000ms);
        });
        std::this_thread::sleep_for(100ms);
        const auto started = Clock::now();
        const int result = call();
        const auto took = since(started);
        EXPECT_EQ(4, SpW_Send_Packet(socket_, kPing.data(), 4, 1));
        reader.join();
        EXPECT_EQ(SPWETH_TIMED_OUT, result) << what;
        EXPECT_LT(took, 1000ms) << what << " waited for the other thread's receive";
        EXPECT_EQ(4, other.load()) << what << " outlasted the other thread's receive";
        Bytes buffer(100);
        unsigned char type = 0;
        while (receive(buffer, type, 100ms) > 0) {
        }
    };

    while_another_receives("a receive", [&] {
        Bytes buffer(100);
        unsigned char type = 0;
        return receive(buffer, type, 200ms);
    });
    while_another_receives("a state query", [&] {
        spw_eth_state state{};
        mac_address source{};
        return SpW_Eth_Get_State_Timeout(socket_, &state, &source, 200);
    });
    while_another_receives("an RMAP read", [&] {
        Bytes data(4);
        return SpW_RMAP_Read(socket_, &target, 0, 0, data.data(), 4, 0, 200);
    });
}

// --- A closed socket --------------------------------------------------------

TEST_F(Truth, CallsOnAClosedSocketFailAndASecondCloseIsRefused) {
    start_emulator_with_summary({"--status-ms", "100", "--rmap-target", kRmapTarget});
    open_host_socket();
    pcap *closed = socket_;
    ASSERT_EQ(0, SpW_Socket_Close(closed));
    socket_ = nullptr;
    spw_rmap_target target;
    use_rmap_target(target);

    // Each in a child of its own: a crash there is this test's finding.
    const ChildOutcome query = in_child([&] {
        spw_eth_state state{};
        mac_address source{};
        return SpW_Eth_Get_State_Timeout(closed, &state, &source, 1000);
    });
    EXPECT_TRUE(query.refused()) << "a state query " << query.text();
    const ChildOutcome send = in_child([&] { return SpW_Send_Packet(closed, kPing.data(), 4, 1); });
    EXPECT_TRUE(send.refused()) << "a send " << send.text();
    const ChildOutcome read = in_child([&] {
        Bytes data(4);
        return SpW_RMAP_Read(closed, &target, 0, 0, data.data(), 4, 0, 1000);
    });
    EXPECT_TRUE(read.refused()) << "an RMAP read " << read.text();
    const ChildOutcome again = in_child([&] { return SpW_Socket_Close(closed); });
    EXPECT_EQ("returned -1", again.text()) << "a second close";
}

}  // namespace
