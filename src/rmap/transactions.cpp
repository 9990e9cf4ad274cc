// RMAP transactions: the command goes out with SpW_Send_Packet and its reply
// comes back with SpW_Recv_Packet_From_MAC_Timeout from the bridge's address,
// through the public calls only, as an application would use them.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <vector>

#include "link/sockets.h"
#include "rmap/codec.h"

namespace spweth::rmap {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSendFailed = -2;
constexpr int kEndWithEop = 1;
constexpr unsigned char kEepTypeByte = 1;  // the receive's type byte for a packet ended by EEP
constexpr std::size_t kMacSize = 6;
constexpr int kNoDeadline = 0;

// One counter for the whole process, so that no two transactions in flight
// share an identifier (until 65536 later).
std::atomic<std::uint16_t> next_transaction_id{0};
std::atomic<unsigned long> dropped_packets{0};

int take_transaction_id() { return next_transaction_id.fetch_add(1); }

// Milliseconds left until the deadline, rounded up; 0 once it has passed.
int milliseconds_left(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Sends the command and, when it asks for one, waits for its reply; one
// deadline, timeout_ms after the call (none for <= 0), bounds both. A successful reply's data goes
// to `data` (which may be empty to drop it).
int transact(pcap *socket, const std::optional<Command> &command, std::span<std::uint8_t> data,
             int timeout_ms) {
    if (!command || !is_socket(socket)) return kBadArgument;
    std::vector<std::uint8_t> packet(command_size(*command));
    const int length = build(*command, packet);
    if (length < 0) return kBadArgument;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
    const int sent =
        SpW_Send_Packet_Timeout(socket, packet.data(), length, kEndWithEop, timeout_ms);
    if (sent == SPWETH_TIMED_OUT) return SPWETH_TIMED_OUT;
    if (sent != length) return kSendFailed;
    if ((command->instruction & instruction::kReply) == 0) return 0;

    const ExpectedReply expected = expected_reply(*command);
    // One byte more than the reply, so that a longer packet shows as longer.
    std::vector<std::uint8_t> received(reply_size(expected) + 1);
    unsigned char bridge[kMacSize];
    if (SpW_Socket_Get_Bridge_Address(socket, bridge) != 0) return kBadArgument;
    for (;;) {
        int wait_ms = kNoDeadline;
        if (timeout_ms > 0) {
            wait_ms = milliseconds_left(deadline);
            if (wait_ms == 0) return SPWETH_TIMED_OUT;
        }
        unsigned char type = 0;
        const int result = SpW_Recv_Packet_From_MAC_Timeout(
            socket, received.data(), static_cast<int>(received.size()), bridge, &type, wait_ms);
        if (result == SPWETH_TIMED_OUT) return SPWETH_TIMED_OUT;
        if (result < 0) return kBadArgument;  // the socket cannot be read
        // Cleared wait flag: the wait has ended without a reply.
        if (result == 0 && get_wait_receive_status() == 0) return SPWETH_TIMED_OUT;

        const std::size_t held = std::min(static_cast<std::size_t>(result), received.size());
        Reply reply;
        switch (parse_reply({received.data(), held}, expected, reply)) {
            case ReplyMatch::other_packet:
                dropped_packets.fetch_add(1);
                count_rmap_reply_dropped(socket);
                continue;
            case ReplyMatch::bad_reply:
                return SPW_RMAP_BAD_REPLY;
            case ReplyMatch::accepted:
                break;
        }
        if (type == kEepTypeByte) return SPW_RMAP_BAD_REPLY;
        if (reply.status != 0) return reply.status;
        if (!data.empty()) std::copy(reply.data.begin(), reply.data.end(), data.begin());
        return 0;
    }
}

std::span<std::uint8_t> buffer_of(unsigned char *data, int length) {
    return {data, data == nullptr || length < 0 ? 0 : static_cast<std::size_t>(length)};
}

}  // namespace
}  // namespace spweth::rmap

namespace rmap = spweth::rmap;

extern "C" {

SPWETH_API int SpW_RMAP_Write(struct pcap *socket, const spw_rmap_target *target,
                              unsigned char extended_address, unsigned int address,
                              const unsigned char *data, int length, int flags, int timeout_ms) {
    return rmap::transact(socket,
                          rmap::write_command(target, rmap::take_transaction_id(), extended_address,
                                              address, data, length, flags),
                          {}, timeout_ms);
}

SPWETH_API int SpW_RMAP_Read(struct pcap *socket, const spw_rmap_target *target,
                             unsigned char extended_address, unsigned int address,
                             unsigned char *data, int length, int flags, int timeout_ms) {
    if (data == nullptr && length > 0) return rmap::kBadArgument;
    return rmap::transact(socket,
                          rmap::read_command(target, rmap::take_transaction_id(), extended_address,
                                             address, length, flags),
                          rmap::buffer_of(data, length), timeout_ms);
}

SPWETH_API int SpW_RMAP_Read_Modify_Write(struct pcap *socket, const spw_rmap_target *target,
                                          unsigned char extended_address, unsigned int address,
                                          const unsigned char *data, const unsigned char *mask,
                                          int length, unsigned char *old_data, int timeout_ms) {
    return rmap::transact(socket,
                          rmap::rmw_command(target, rmap::take_transaction_id(), extended_address,
                                            address, data, mask, length),
                          rmap::buffer_of(old_data, length), timeout_ms);
}

SPWETH_API unsigned long SpW_RMAP_Get_Dropped_Count(void) { return rmap::dropped_packets.load(); }

}  // extern "C"
