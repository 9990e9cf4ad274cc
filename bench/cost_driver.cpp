// The library's own work per frame, without the kernel: the library's objects
// over the pcap test double, run under callgrind by run.sh with
//   --toggle-collect=SpW_Send_Packet   or   --toggle-collect=SpW_Recv_Packet
// so that only those calls (and what they call) are counted.
//
//   cost_driver send|recv SIZE [FRAMES]
//
// sends (or receives) packets of SIZE bytes until about FRAMES frames have
// passed, and prints "frames N" on standard error.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fake_pcap.h"
#include "link/transmit.h"
#include "spweth.h"

namespace {

constexpr mac_address kBridgeAddress{{0x00, 0x01, 0x02, 0x03, 0x04, 0x05}};
constexpr mac_address kZeroAddress{};
constexpr int kEndWithEop = 1;

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "cost_driver: %s\n", what.c_str());
    std::exit(1);
}

std::vector<unsigned char> pattern(std::size_t size) {
    std::vector<unsigned char> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + (i >> 8));
    return bytes;
}

// The frames of one packet as the library sends them, from the given source.
std::vector<fake_pcap::Bytes> frames_of(pcap_t *socket, const std::vector<unsigned char> &packet,
                                        const mac_address &source) {
    const std::size_t before = fake_pcap::sent_frames().size();
    set_source_mac_address(source.bytes, 6);
    SpW_Send_Packet(socket, packet.data(), static_cast<int>(packet.size()), kEndWithEop);
    set_source_mac_address(kZeroAddress.bytes, 6);
    std::vector<fake_pcap::Bytes> frames;
    for (std::size_t i = before; i < fake_pcap::sent_frames().size(); ++i)
        frames.push_back(fake_pcap::sent_frames()[i].bytes);
    return frames;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) fail("usage: cost_driver send|recv SIZE [FRAMES]");
    const std::string path = argv[1];
    const int size = std::atoi(argv[2]);
    const long wanted_frames = argc > 3 ? std::atol(argv[3]) : 3000;
    if (size <= 0 || (path != "send" && path != "recv")) fail("bad arguments");

    fake_pcap::set_adapters({{"bench0", "bench adapter"}});
    // Frames leave in batches, as over an adapter: the double's sendmmsg takes them.
    fake_pcap::set_batching(true);
    spweth::send_messages = &fake_pcap::sendmmsg;
    const std::intptr_t opened = SpW_Socket_Init(0);
    if (opened < 0) fail("SpW_Socket_Init");
    auto *socket = reinterpret_cast<pcap_t *>(opened);
    const std::vector<unsigned char> packet = pattern(static_cast<std::size_t>(size));

    // One packet's frames. On the send path this first send is counted like
    // the others: it is the same packet.
    const auto frames = frames_of(socket, packet, path == "send" ? kZeroAddress : kBridgeAddress);
    const long per_packet = static_cast<long>(frames.size());
    const long packets = std::max(2L, wanted_frames / per_packet);
    const long counted_packets = path == "send" ? packets + 1 : packets;

    if (path == "send") {
        for (long p = 0; p < packets; ++p)
            if (SpW_Send_Packet(socket, packet.data(), size, kEndWithEop) != size)
                fail("SpW_Send_Packet");
    } else {
        for (long p = 0; p < packets; ++p)
            for (const auto &frame : frames) fake_pcap::push_inbound(socket, frame);
        std::vector<unsigned char> buffer(static_cast<std::size_t>(size));
        mac_address source{};
        unsigned char type = 0;
        for (long p = 0; p < packets; ++p)
            if (SpW_Recv_Packet(socket, buffer.data(), size, source.bytes, &type) != size ||
                std::memcmp(buffer.data(), packet.data(), buffer.size()) != 0)
                fail("SpW_Recv_Packet");
    }
    std::fprintf(stderr, "frames %ld\n", counted_packets * per_packet);
    return 0;
}
