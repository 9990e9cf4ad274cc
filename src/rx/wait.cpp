// The idle wait: sleeps in poll() on the capture's descriptor beside the stop descriptor.
#include <poll.h>

#include <pcap/pcap.h>

#include "rx/rx.h"

namespace spweth {
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
