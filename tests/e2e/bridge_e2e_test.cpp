// The library against the bridge emulator over a real veth pair.
#include <cstdio>
#include <functional>

#include "e2e_support.h"

namespace {

using e2e::Bytes;
using e2e::NamespaceTest;

using namespace std::chrono_literals;

// Sends packets of the given sizes with random content and alternating end
// markers, and checks each one back byte for byte.
void expect_round_trips(NamespaceTest &, pcap *socket,
                        const std::function<int(Bytes &, unsigned char &)> &receive,
                        const std::vector<int> &sizes) {
    std::uint64_t seed = 0x5EED;
    Bytes buffer(100000);
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const int size = sizes[i];
        const Bytes packet = e2e::random_bytes(static_cast<std::size_t>(size), seed);
        const bool eep = i % 2 == 1;
        ASSERT_EQ(size, SpW_Send_Packet(socket, packet.data(), size, eep ? 5 : 1)) << size;
        if (size == 0) continue;  // an empty packet sends no frame
        unsigned char type = 0xEE;
        const int length = receive(buffer, type);
        ASSERT_EQ(size, length) << "packet " << i;
        EXPECT_EQ(eep ? 1 : 0, type) << "packet " << i;
        ASSERT_EQ(0, std::memcmp(buffer.data(), packet.data(), static_cast<std::size_t>(size)))
            << "packet " << i << " of " << size << " bytes";
    }
}

const std::vector<int> kSizes = {0,    1,    40,   41,    64,    1494,  1495,  1496,
                                 2990, 2991, 4000, 10000, 65536, 69999, 70000, 3};

class BridgeRoundTrip : public NamespaceTest {
protected:
    std::function<int(Bytes &, unsigned char &)> receiver() {
        return [this](Bytes &buffer, unsigned char &type) { return receive(buffer, type); };
    }
};

TEST_F(BridgeRoundTrip, PacketsOfEverySizeComeBackIntact) {
    start_emulator();
    open_host_socket();
    set_send_crediting(0);
    expect_round_trips(*this, socket_, receiver(), kSizes);
}

TEST_F(BridgeRoundTrip, CreditFlowControlWithASmallPool) {
    start_emulator({"--credits", "4"});
    open_host_socket();
    set_send_crediting(1);
    set_send_credit_limit(1);
    set_send_credit_wait(2);
    expect_round_trips(*this, socket_, receiver(), kSizes);
    set_send_crediting(0);
}

TEST_F(BridgeRoundTrip, CreditFlowControlWithIdleWaits) {
    start_emulator({"--credits", "4"});
    open_host_socket();
    set_recv_idle_wait(1);
    set_send_crediting(1);
    set_send_credit_limit(1);
    set_send_credit_wait(2);
    set_send_credit_timeout(3000);
    expect_round_trips(*this, socket_, receiver(), kSizes);
    set_send_crediting(0);
}

TEST_F(BridgeRoundTrip, TimeCodesLoopBack) {
    start_emulator();
    open_host_socket();
    ASSERT_EQ(0, SpW_Send_Time_Code(socket_, 0x45));
    Bytes buffer(64);
    unsigned char type = 0;
    mac_address from = e2e::kBridgeMac;
    watchdog_.arm(3000ms);
    const int length = SpW_Recv_Packet_From_MAC_extended(
        socket_, buffer.data(), static_cast<int>(buffer.size()), from.bytes, &type, 0x40);
    ASSERT_FALSE(watchdog_.disarm()) << "no control-code frame came back";
    ASSERT_EQ(1, length);
    EXPECT_EQ(6, type);
    EXPECT_EQ(0x05, buffer[0]);
}

class BridgeStatus : public NamespaceTest {
protected:
    spw_eth_state query() {
        spw_eth_state state{};
        const int length =
            SpW_Eth_Get_State_From_MAC_Timeout(socket_, &state, &e2e::kBridgeMac, 3000);
        EXPECT_EQ(88, length) << "no status frame";
        return state;
    }
};

TEST_F(BridgeStatus, QueryReturnsTheEmulatorsRecordAndPrintsIt) {
    start_emulator({"--status-ms", "100"});
    open_host_socket();
    const Bytes packet(100, 0xA5);
    ASSERT_EQ(100, SpW_Send_Packet(socket_, packet.data(), 100, 1));
    Bytes buffer(200);
    unsigned char type = 0;
    ASSERT_EQ(100, receive(buffer, type));
    spw_eth_state state = query();
    EXPECT_EQ(5, state.spw1.link_state);
    EXPECT_EQ(5, state.spw2.link_state);
    EXPECT_EQ(0x80, state.speed);
    // The record is packed: compare copies, not references to misaligned fields.
    EXPECT_GE(+state.spw1.tx_packets, 1u);
    EXPECT_GE(+state.spw2.rx_packets, 1u);
    EXPECT_GE(+state.spw1.tx_bytes, 100u);

    // The printer writes to standard output: catch it in a file.
    std::fflush(stdout);
    FILE *capture = std::tmpfile();
    const int saved = dup(fileno(stdout));
    dup2(fileno(capture), fileno(stdout));
    print_spw_eth_state(&state);
    std::fflush(stdout);
    dup2(saved, fileno(stdout));
    close(saved);
    std::rewind(capture);
    char text[4096] = {};
    const std::size_t n = std::fread(text, 1, sizeof text - 1, capture);
    std::fclose(capture);
    const std::string printed(text, n);
    EXPECT_NE(std::string::npos, printed.find("=== Status Output ===")) << printed;
    EXPECT_NE(std::string::npos, printed.find("\"RUN\"")) << printed;
    EXPECT_NE(std::string::npos, printed.find("400 (default)")) << printed;
}

TEST_F(BridgeStatus, ConfigurationChangesTheNextRecord) {
    start_emulator({"--status-ms", "100"});
    open_host_socket();
    ASSERT_EQ(0, SpW_Eth_Set_SpW_Speed(socket_, 100));
    ASSERT_EQ(0, SpW_Eth_Set_Switch_Mode(socket_, 3, 5));
    query();  // a record already under way may predate the change
    const spw_eth_state state = query();
    EXPECT_EQ(0x04, state.speed);
    const unsigned switch_state =
        state.switch_state_word != 0 ? (state.switch_state_word >> 8) : state.switch_state;
    EXPECT_EQ(0x53u, switch_state);
}

class BridgeReports : public NamespaceTest {};

std::vector<int> reported_error_types;
void collect_error_type(unsigned char *data, int size, unsigned char *) {
    if (size > 0 && data[0] != 0) reported_error_types.push_back(data[0]);
    std::free(data);
}

TEST_F(BridgeReports, FrameNumberJumpReachesTheErrorHandler) {
    start_emulator();
    open_host_socket();
    set_send_crediting(0);
    ASSERT_EQ(0, register_err_frame_event_handler(collect_error_type));
    reported_error_types.clear();

    // Two packets take numbers 0 and 1; a frame numbered 5 then jumps by four.
    Bytes buffer(2000);
    unsigned char type = 0;
    const Bytes packet(10, 0x11);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(10, SpW_Send_Packet(socket_, packet.data(), 10, 1));
        ASSERT_EQ(10, receive(buffer, type));
    }
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t *raw = pcap_open_live(e2e::kHostLink, 65536, 1, 10, errbuf);
    ASSERT_NE(nullptr, raw) << errbuf;
    unsigned char frame[60] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0,  0, 0, 0,
                               0,    0,    0x06, 0xAB, 0x01, 5,    10, 0, 10};
    ASSERT_EQ(0, pcap_sendpacket(raw, frame, sizeof frame));
    pcap_close(raw);
    // The looped-back packet arrives; the error frame before it reaches the handler.
    ASSERT_EQ(10, receive(buffer, type));
    ASSERT_FALSE(reported_error_types.empty());
    EXPECT_EQ(2, reported_error_types.front());  // FEOF jumped; the previous frame was a FEOF
}

TEST_F(BridgeReports, FlagBitsReachThePacketFlags) {
    start_emulator({"--flags", "0xC0"});
    open_host_socket();
    const Bytes packet(20, 0x22);
    ASSERT_EQ(20, SpW_Send_Packet(socket_, packet.data(), 20, 1));
    Bytes buffer(100);
    unsigned char type = 0;
    ASSERT_EQ(20, receive(buffer, type));
    EXPECT_EQ(1, get_packet_has_comm_byte());
    EXPECT_EQ(1, get_packet_has_recv_timer());
}

}  // namespace

namespace {

// The wire, checked independently: tcpdump records the host's side during a
// session, and libpcap's own savefile reader reads it back.
class WireCapture : public NamespaceTest {
protected:
    void TearDown() override {
        NamespaceTest::TearDown();
        if (!capture_file_.empty()) std::remove(capture_file_.c_str());
    }
    std::string capture_file_;
};

struct SizeRuleViolation {
    std::size_t index;
    std::string what;
};

// Checks one frame the host sent against the frame size rules.
std::string host_frame_fault(const unsigned char *f, std::size_t length) {
    if (length < 19) return "runt";
    const unsigned type = f[14];
    const unsigned p = f[16] | (f[17] << 8);
    if (f[18] != 10) return "credits byte not 10";
    if (type <= 5) {
        if (p == 0 || p > 1495) return "data payload length out of range";
        const std::size_t expected = p <= 40 ? 60 : 19 + p;
        if (length != expected) return "data frame length";
        for (std::size_t i = 19 + p; i < length; ++i)
            if (f[i] != 0) return "non-zero fill";
    } else if (type == 6) {
        if (length != (p <= 43 ? 62u : 19u + p)) return "control-code frame length";
    } else if (type == 255) {
        if (length != 62 || p != 46) return "configuration frame length";
        if (std::memcmp(f + 19, "GE_SPW", 6) != 0) return "configuration marker";
    } else {
        return "type the host never sends";
    }
    return "";
}

TEST_F(WireCapture, EveryFrameOnTheWireKeepsTheSizeRules) {
    if (!e2e::run("command -v tcpdump >/dev/null")) GTEST_SKIP() << "tcpdump not installed";
    start_emulator({"--credits", "8", "--status-ms", "50"});
    capture_file_ = "/tmp/spweth-wire-" + std::to_string(getpid()) + ".pcap";
    // tcpdump says "listening on" once it captures: wait for that line.
    int said[2];
    ASSERT_EQ(0, pipe(said));
    const pid_t tcpdump = fork();
    if (tcpdump == 0) {
        e2e::die_with_parent();
        dup2(said[1], STDERR_FILENO);
        close(said[0]);
        execlp("tcpdump", "tcpdump", "-q", "-U", "--immediate-mode", "-s", "2048", "-B", "16384",
               "-Z", "root", "-i", e2e::kHostLink, "-w", capture_file_.c_str(), "ether", "proto",
               "0x06ab", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(said[1]);
    std::string banner;
    char c;
    while (banner.find("listening on") == std::string::npos && read(said[0], &c, 1) == 1)
        banner += c;
    ASSERT_NE(std::string::npos, banner.find("listening on")) << banner;
    open_host_socket();
    set_send_crediting(1);
    set_send_credit_limit(2);
    set_send_credit_wait(4);
    expect_round_trips(*this, socket_, [this](Bytes &b, unsigned char &t) { return receive(b, t); },
                       {1, 40, 41, 1495, 1496, 5000, 30000});
    const unsigned char codes[50] = {};
    ASSERT_EQ(0, SpW_Send_Time_Codes(socket_, codes, 50));
    ASSERT_EQ(0, SpW_Send_Time_Code(socket_, 1));
    ASSERT_EQ(0, SpW_Eth_Set_Status_Freq(socket_, 5));
    set_send_crediting(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(tcpdump, SIGINT);
    waitpid(tcpdump, nullptr, 0);
    close(said[0]);

    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t *savefile = pcap_open_offline(capture_file_.c_str(), errbuf);
    ASSERT_NE(nullptr, savefile) << errbuf;
    pcap_pkthdr *header;
    const u_char *data;
    int host_frames = 0, bridge_frames = 0;
    while (pcap_next_ex(savefile, &header, &data) == 1) {
        ASSERT_GE(header->caplen, 19u);
        ASSERT_EQ(header->caplen, header->len);
        EXPECT_EQ(0x06, data[12]);
        EXPECT_EQ(0xAB, data[13]);
        const bool from_bridge = std::memcmp(data + 6, e2e::kBridgeMac.bytes, 6) == 0;
        if (from_bridge) {
            ++bridge_frames;
            const unsigned p = data[16] | (data[17] << 8);
            EXPECT_GE(header->caplen, 19 + p) << "bridge frame " << bridge_frames;
            EXPECT_LE(header->caplen, 1514u);
        } else {
            ++host_frames;
            EXPECT_EQ("", host_frame_fault(data, header->caplen)) << "host frame " << host_frames;
        }
    }
    pcap_close(savefile);
    EXPECT_GT(host_frames, 30);
    EXPECT_GT(bridge_frames, 30);
}

}  // namespace
