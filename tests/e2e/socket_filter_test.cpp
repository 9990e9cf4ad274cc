// A socket opened on a real adapter through libpcap: run by run_in_netns.sh
// inside a namespace of its own, it opens veth0 by its number in the adapter
// list, sends from veth1 one bridge frame and one frame of another EtherType,
// and checks that the socket is non-blocking and receives only the first.
#include <pcap/pcap.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "spweth.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr const char *kSocketAdapter = "veth0";
constexpr const char *kPeerAdapter = "veth1";

int failures = 0;

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

// A minimum-size Ethernet II frame of the given EtherType, marked by `marker`.
Bytes frame_of_type(std::uint16_t ether_type, std::uint8_t marker) {
    Bytes frame(60, 0);
    const std::array<std::uint8_t, 12> addresses = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                    0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    std::memcpy(frame.data(), addresses.data(), addresses.size());
    frame[12] = static_cast<std::uint8_t>(ether_type >> 8);
    frame[13] = static_cast<std::uint8_t>(ether_type & 0xFF);
    frame[14] = 0x01;  // FEOF
    frame[16] = 1;     // one payload byte
    frame[19] = marker;
    return frame;
}

// The number of the named adapter in the library's list, or -1.
int adapter_number(const char *name) {
    const std::intptr_t first = Create_List_Devices();
    if (first < 0) return -1;
    int number = 0;
    for (auto *entry = reinterpret_cast<const pcap_if_t *>(first); entry != nullptr;
         entry = entry->next, ++number)
        if (std::strcmp(entry->name, name) == 0) return number;
    return -1;
}

// Every frame the socket delivers until the deadline.
std::vector<Bytes> receive_until(pcap_t *socket, Clock::time_point deadline) {
    std::vector<Bytes> frames;
    while (Clock::now() < deadline) {
        pcap_pkthdr *header = nullptr;
        const u_char *data = nullptr;
        const int result = pcap_next_ex(socket, &header, &data);
        if (result == 1)
            frames.emplace_back(data, data + header->caplen);
        else if (result == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        else
            break;
    }
    return frames;
}

}  // namespace

int main() {
    if (std::getenv("SPWETH_TEST_NETNS") == nullptr) {
        std::fprintf(stderr, "run me through run_in_netns.sh: I open adapters\n");
        return 1;
    }
    const int number = adapter_number(kSocketAdapter);
    check(number >= 0, "veth0 is in the adapter list");
    if (number < 0) return 1;

    const std::intptr_t result = SpW_Socket_Init(number);
    check(result > 0, "SpW_Socket_Init opens veth0");
    if (result <= 0) return 1;
    auto *socket = reinterpret_cast<pcap_t *>(result);
    check(Get_Number_Chosen_Network_Device() == number, "the chosen adapter is veth0");

    char errbuf[PCAP_ERRBUF_SIZE] = {};
    check(pcap_getnonblock(socket, errbuf) == 1, "the socket is non-blocking");
    if (failures != 0) return 1;  // a blocking read below could wait for ever
    // Non-blocking: a read with nothing queued returns at once.
    const auto before = Clock::now();
    pcap_pkthdr *header = nullptr;
    const u_char *data = nullptr;
    while (pcap_next_ex(socket, &header, &data) == 1) {
    }
    check(Clock::now() - before < std::chrono::milliseconds(50), "an empty read does not wait");

    pcap_t *peer = pcap_open_live(kPeerAdapter, 65536, 1, 100, errbuf);
    check(peer != nullptr, "veth1 opens");
    if (peer == nullptr) return 1;
    const Bytes other = frame_of_type(0x0800, 0x11);
    const Bytes bridge = frame_of_type(0x06AB, 0x22);
    check(pcap_sendpacket(peer, other.data(), static_cast<int>(other.size())) == 0,
          "the IPv4 frame is sent");
    check(pcap_sendpacket(peer, bridge.data(), static_cast<int>(bridge.size())) == 0,
          "the bridge frame is sent");

    const std::vector<Bytes> received =
        receive_until(socket, Clock::now() + std::chrono::milliseconds(1500));
    check(received.size() == 1, "exactly one frame passes the filter");
    if (!received.empty()) check(received.front() == bridge, "it is the bridge frame, intact");
    for (const Bytes &frame : received)
        check(frame.size() >= 14 && frame[12] == 0x06 && frame[13] == 0xAB,
              "only EtherType 0x06AB is received");

    pcap_close(peer);
    check(SpW_Socket_Close(socket) == 0, "SpW_Socket_Close returns 0");
    std::printf("%s\n", failures == 0 ? "socket filter: passed" : "socket filter: FAILED");
    return failures == 0 ? 0 : 1;
}
