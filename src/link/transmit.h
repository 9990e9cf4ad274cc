// Frames out to the kernel in batches: sendmmsg on the capture's own
// descriptor, or pcap_sendpacket frame by frame where that is missing.
#pragma once

#include "link/frame_batch.h"
#include "state/state.h"

namespace spweth {

// The system's sendmmsg; tests may put the pcap double's in its place.
extern int (*send_messages)(int descriptor, mmsghdr *messages, unsigned count, int flags);

// What transmit_rest is given when the socket's descriptor takes no batches.
inline constexpr int kNotBatched = -2;

// The rest of transmit_frames once the kernel has not taken the whole batch
// at once (`taken`: what sendmmsg returned, or kNotBatched).
int transmit_rest(Socket socket, SocketRecord &record, FrameBatch &batch, int count, int taken);

// Hands the first `count` frames of the batch to the kernel in
// order. Returns how many it took: all of them, or those before the one it
// refused (whose reason is then in transmit_error). The frames of a socket
// whose descriptor refuses sendmmsg (for good) go by pcap_sendpacket. Senders
// send a lone frame themselves: it costs the kernel less as one send than as
// a batch of one. Inline: a batch that goes whole costs one call.
inline int transmit_frames(Socket socket, SocketRecord &record, FrameBatch &batch, int count) {
    if (record.batch_descriptor < 0)
        return transmit_rest(socket, record, batch, count, kNotBatched);
    const int taken =
        send_messages(record.batch_descriptor, batch.messages(), static_cast<unsigned>(count), 0);
    if (taken == count) [[likely]]
        return count;
    return transmit_rest(socket, record, batch, count, taken);
}

const char *transmit_error(Socket socket);

}  // namespace spweth
