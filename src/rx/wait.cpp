// Waiting for frames: deadlines on the monotonic clock, and the idle wait that
// sleeps in poll() on the capture's descriptor beside the stop descriptor.
#include <poll.h>

#include <pcap/pcap.h>

#include <climits>
#include <cstdint>

#include "rx/rx.h"

namespace spweth {
namespace {

inline constexpr std::int64_t kNsPerMs = 1'000'000;

}  // namespace

Deadline Deadline::after_ms(int milliseconds) {
    Deadline deadline;
    if (milliseconds > 0) {
        deadline.set_ = true;
        deadline.at_ns_ = monotonic_now_ns() + static_cast<std::int64_t>(milliseconds) * kNsPerMs;
    }
    return deadline;
}

int Deadline::poll_timeout_ms() const {
    if (!set_) return -1;
    const std::int64_t left_ns = at_ns_ - monotonic_now_ns();
    if (left_ns <= 0) return 0;
    const std::int64_t left_ms = (left_ns + kNsPerMs - 1) / kNsPerMs;
    return left_ms > INT_MAX ? INT_MAX : static_cast<int>(left_ms);
}

void wait_for_frame(Socket socket, const Deadline &deadline) {
    if (library_state.recv_idle_wait == 0) return;
    const int capture = pcap_get_selectable_fd(socket);
    const int stop = wait_stop_descriptor();
    // Without a descriptor to sleep on, the wait spins as it does with idle waits off.
    if (capture < 0 || stop < 0) return;
    pollfd descriptors[2] = {{capture, POLLIN, 0}, {stop, POLLIN, 0}};
    poll(descriptors, 2, deadline.poll_timeout_ms());
}

}  // namespace spweth
