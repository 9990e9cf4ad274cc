// Frames out to the kernel in batches: sendmmsg on the capture's own
// descriptor, or pcap_sendpacket frame by frame where that is missing.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

#include "state/state.h"

namespace spweth {

// The most frames handed to the kernel at once.
inline constexpr int kMaxBatchFrames = 64;

// One frame as up to three pieces: its header, its payload where the caller
// keeps it, and the zero fill of a short frame.
// No initialisers: a sender keeps a batch's worth of them and fills only what it sends.
struct OutFrame {
    iovec pieces[3];
    int piece_count;
    std::size_t size;
};

// Hands the frames to the kernel in order. Returns how many it took: all of
// them, or those before the one it refused (whose reason is then in
// transmit_error). The frames of a socket whose descriptor refuses sendmmsg
// (for good) go by pcap_sendpacket. Senders send a lone frame themselves: it
// costs the kernel less as one send than as a batch of one.
int transmit_frames(Socket socket, SocketRecord &record, OutFrame *frames, int count);

const char *transmit_error(Socket socket);

// The system's sendmmsg; tests may put the pcap double's in its place.
extern int (*send_messages)(int descriptor, mmsghdr *messages, unsigned count, int flags);

}  // namespace spweth
