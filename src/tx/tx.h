// Transmission: data frames with credit flow control, and control-code frames.
#pragma once

#include <cstdint>
#include <mutex>
#include <span>

#include "state/state.h"
#include "state/waiting.h"

namespace spweth {

// In thread-safe mode, holds one of the socket's send locks for its lifetime
// (no lock in the default mode), waiting for it no longer than the deadline.
// Taken by a thread that reads the socket (an event handler sending from
// inside a receive) while another thread's send waits for credits, it reads
// the credits for that send until the lock is free. The mode test is inline
// so that the default mode pays no call for it.
class SendLock {
public:
    SendLock(Socket socket, FairLock SocketLocks::*which, const Deadline &deadline = kNoDeadline) {
        if (library_state.thread_safe_mode != 0) acquired_ = lock(socket, which, deadline);
    }
    ~SendLock() {
        if (lock_ != nullptr) lock_->unlock();
    }
    SendLock(const SendLock &) = delete;
    SendLock &operator=(const SendLock &) = delete;

    // False when the deadline passed (or the wait flag was cleared) first.
    bool acquired() const { return acquired_; }

private:
    bool lock(Socket socket, FairLock SocketLocks::*which, const Deadline &deadline);
    FairLock *lock_ = nullptr;
    bool acquired_ = true;
};

inline constexpr int kSendFailed = -2;

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
