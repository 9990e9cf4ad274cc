// Frames out to the kernel in batches: sendmmsg on the capture's own
// descriptor, or pcap_sendpacket frame by frame where that is missing.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

#include "link/frame.h"
#include "state/state.h"

namespace spweth {

// The most frames handed to the kernel at once.
inline constexpr int kMaxBatchFrames = 64;

// Frames laid out as sendmmsg takes them, each as up to three pieces: its
// header, its payload where the caller keeps it, and the zero fill of a short
// frame. No initialisers: a sender keeps a batch's worth and fills only what
// it sends, frame 0 first.
class FrameBatch {
public:
    void set(int i, const std::uint8_t *header, std::size_t header_size,
             const std::uint8_t *payload, std::size_t payload_size, std::size_t fill) {
        static constexpr std::uint8_t kZeros[frame::kMinDataFrameSize] = {};
        iovec *pieces = pieces_[static_cast<std::size_t>(i)];
        std::size_t count = 0;
        pieces[count++] = {const_cast<std::uint8_t *>(header), header_size};
        if (payload_size != 0)
            pieces[count++] = {const_cast<std::uint8_t *>(payload), payload_size};
        if (fill != 0) pieces[count++] = {const_cast<std::uint8_t *>(kZeros), fill};
        msghdr &message = messages_[static_cast<std::size_t>(i)].msg_hdr;
        message.msg_name = nullptr;
        message.msg_namelen = 0;
        message.msg_iov = pieces;
        message.msg_iovlen = count;
        message.msg_control = nullptr;
        message.msg_controllen = 0;
        message.msg_flags = 0;
    }
    mmsghdr *messages() { return messages_; }
    const msghdr &frame(int i) const { return messages_[static_cast<std::size_t>(i)].msg_hdr; }

private:
    mmsghdr messages_[kMaxBatchFrames];
    iovec pieces_[kMaxBatchFrames][3];
};

// Hands the first `count` frames of the batch to the kernel in order.
// Returns how many it took: all of them, or those before the one it refused
// (whose reason is then in transmit_error). The frames of a socket whose
// descriptor refuses sendmmsg (for good) go by pcap_sendpacket. Senders send a
// lone frame themselves: it costs the kernel less as one send than as a batch
// of one.
int transmit_frames(Socket socket, SocketRecord &record, FrameBatch &batch, int count);

const char *transmit_error(Socket socket);

// The system's sendmmsg; tests may put the pcap double's in its place.
extern int (*send_messages)(int descriptor, mmsghdr *messages, unsigned count, int flags);

}  // namespace spweth
