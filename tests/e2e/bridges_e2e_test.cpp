// Two bridges from one process: two emulators with their own addresses on
// two veth pairs, each socket opened by name with its own bridge address, and
// packets and RMAP reads alternated between them with no process-wide
// address set in between.
#include <fstream>
#include <vector>

#include "e2e_support.h"
#include "spweth_rmap.h"

namespace {

using e2e::Bytes;
using namespace std::chrono_literals;

constexpr const char *kHost2 = "spw-host2";
constexpr const char *kBridge2 = "spw-bridge2";
constexpr unsigned char kMacA[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x0A};
constexpr unsigned char kMacB[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x0B};
constexpr unsigned kMemory = 4096;

class TwoBridges : public e2e::NamespaceTest {
protected:
    void SetUp() override {
        NamespaceTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(
            e2e::run(std::string("ip link add ") + kHost2 + " type veth peer name " + kBridge2));
        for (const char *link : {kHost2, kBridge2})
            ASSERT_TRUE(e2e::run(std::string("ip link set ") + link + " up"));
    }
    void TearDown() override {
        if (second_ != nullptr) SpW_Socket_Close(second_);
        stop_second();
        NamespaceTest::TearDown();
        std::remove(second_summary_.c_str());
    }

    void start_second(const std::vector<std::string> &options) {
        second_emulator_ = spawn_emulator(kBridge2, options, second_summary_);
    }
    void stop_second() {
        if (second_emulator_ <= 0) return;
        kill(second_emulator_, SIGTERM);
        int status = 0;
        waitpid(second_emulator_, &status, 0);
        second_emulator_ = -1;
    }

    // The sum of the summary's "number jumps" lines.
    static std::uint64_t number_jumps(const std::string &summary) {
        std::ifstream in(summary);
        std::string line;
        std::uint64_t jumps = 0, lines = 0;
        while (std::getline(in, line)) {
            if (line.find("number jumps") == std::string::npos) continue;
            ++lines;
            jumps += std::strtoull(line.c_str() + line.find(':') + 1, nullptr, 10);
        }
        EXPECT_GT(lines, 0u) << "no number jumps in " << summary;
        return jumps;
    }

    static pcap *open_by_name(const char *name, const unsigned char *bridge) {
        const intptr_t socket = SpW_Socket_Init_By_Name(name);
        EXPECT_GT(socket, 0) << name;
        auto *handle = reinterpret_cast<pcap *>(socket);
        EXPECT_EQ(0, SpW_Socket_Set_Bridge_Address(handle, bridge));
        return handle;
    }

    pcap *second_ = nullptr;
    pid_t second_emulator_ = -1;
    std::string second_summary_ = "/tmp/spweth-bridge2-" + std::to_string(getpid()) + ".txt";
};

TEST_F(TwoBridges, PacketsAndRmapReadsAlternateWithUnbrokenNumbering) {
    const std::vector<std::string> target{"--rmap-target", "0xFE,0x20," + std::to_string(kMemory),
                                          "--status-ms", "0"};
    std::vector<std::string> a{"--mac", "02:00:00:00:00:0a"}, b{"--mac", "02:00:00:00:00:0b"};
    a.insert(a.end(), target.begin(), target.end());
    b.insert(b.end(), target.begin(), target.end());
    start_emulator_with_summary(a);
    start_second(b);
    socket_ = open_by_name(e2e::kHostLink, kMacA);
    second_ = open_by_name(kHost2, kMacB);

    spw_rmap_target rmap{};
    rmap.target_logical_address = 0xFE;
    rmap.key = 0x20;
    rmap.initiator_logical_address = 0x67;
    // Each bridge's target memory holds its own pattern.
    std::uint64_t seed = 0xB41D;
    std::vector<Bytes> memory;
    pcap *sockets[2] = {socket_, second_};
    for (pcap *socket : sockets) {
        memory.push_back(e2e::random_bytes(kMemory, seed));
        ASSERT_EQ(0, SpW_RMAP_Write(socket, &rmap, 0, 0, memory.back().data(), kMemory,
                                    SPW_RMAP_INCREMENT | SPW_RMAP_REPLY, 3000));
    }

    Bytes buffer(4000);
    for (int i = 0; i < 1000; ++i) {
        const int which = i % 2;
        pcap *socket = sockets[which];
        Bytes packet = e2e::random_bytes(1 + (i * 37) % 3000, seed);
        if (packet.size() > 1) packet[1] = 0x00;  // never an RMAP command for the target
        ASSERT_EQ(static_cast<int>(packet.size()),
                  SpW_Send_Packet(socket, packet.data(), static_cast<int>(packet.size()), 1));
        unsigned char type = 0xEE;
        unsigned char from[6];
        SpW_Socket_Get_Bridge_Address(socket, from);
        const int length = SpW_Recv_Packet_From_MAC_Timeout(
            socket, buffer.data(), static_cast<int>(buffer.size()), from, &type, 3000);
        ASSERT_EQ(static_cast<int>(packet.size()), length) << "packet " << i;
        ASSERT_EQ(0, type);
        ASSERT_EQ(0, std::memcmp(packet.data(), buffer.data(), packet.size())) << "packet " << i;

        const unsigned address = static_cast<unsigned>(i * 131) % (kMemory - 64);
        Bytes data(4 + i % 60);
        ASSERT_EQ(0, SpW_RMAP_Read(socket, &rmap, 0, address, data.data(),
                                   static_cast<int>(data.size()), SPW_RMAP_INCREMENT, 3000))
            << "read " << i;
        ASSERT_EQ(0, std::memcmp(memory[which].data() + address, data.data(), data.size()));
    }
    SpW_Socket_Close(second_);
    second_ = nullptr;
    stop_second();
    stop_emulator();
    EXPECT_EQ(0u, number_jumps(summary_file_));
    EXPECT_EQ(0u, number_jumps(second_summary_));
    EXPECT_GE(bridge_counter("data frames from host:"), 1000u);  // half the packets, all the reads
}

}  // namespace
