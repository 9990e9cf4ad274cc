// Transmission: data frames with credit flow control, and control-code frames.
#pragma once

#include <cstdint>
#include <mutex>
#include <span>

#include "state/state.h"

namespace spweth {

// In thread-safe mode, holds one of the socket's send locks for its lifetime
// (no lock in the default mode). Taken by a thread that reads the socket (an
// event handler sending from inside a receive) while another thread's send
// waits for credits, it reads the credits for that send until the lock is free.
// The mode test is inline so that the default mode pays no call for it.
class SendLock {
public:
    SendLock(Socket socket, std::mutex SocketLocks::*which) {
        if (library_state.thread_safe_mode != 0) lock(socket, which);
    }
    ~SendLock() {
        if (mutex_ != nullptr) mutex_->unlock();
    }
    SendLock(const SendLock &) = delete;
    SendLock &operator=(const SendLock &) = delete;

private:
    void lock(Socket socket, std::mutex SocketLocks::*which);
    std::mutex *mutex_ = nullptr;
};

enum SendVariant : int { kSendPlain = 1, kSendFromChannel = 2 };
inline constexpr int kSendFailed = -2;

// Sends one SpaceWire packet as data frames (variant 2: the channel byte first).
// Returns the bytes sent (length, or length + 1), or kSendFailed when the
// arguments are unusable, pcap refuses a frame or the credit wait cannot end.
int SpW_Send_Packet_uni(int variant, Socket socket, const unsigned char *data, int length,
                        int end_marker, unsigned char channel);

// How a caller's value becomes a control-code byte.
enum class CodeEncoding {
    raw,
    time_code,
    interrupt,
    interrupt_five_bit,
    acknowledge,
    acknowledge_five_bit,
    cc01,
    cc11
};

// Sends one control-code frame carrying the values (at most 255), each encoded
// as given; returns pcap_sendpacket's result.
int send_ccode_frame(Socket socket, std::span<const std::uint8_t> values, CodeEncoding encoding);

}  // namespace spweth
