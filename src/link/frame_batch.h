// A batch of frames laid out as sendmmsg takes them. Each socket keeps one
// for the frames of the packet it is sending (a socket has one sender at a
// time), its fixed parts laid once when it is made.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

namespace spweth {

// The most frames handed to the kernel at once.
inline constexpr int kMaxBatchFrames = 64;

// Each frame as up to three pieces: its header (with a leading channel byte
// when it has one) in the batch's own slot, its payload where the caller
// keeps it, and the zero fill of a short frame.
class FrameBatch {
public:
    // Room for a header and the channel byte that may follow it.
    static constexpr std::size_t kHeaderRoom = 20;
    static constexpr std::size_t kMaxFill = 64;
    // The bridge's and the source's address, 6 bytes each.
    static constexpr std::size_t kAddressBytes = 12;

    // Points each frame at its header slot and pieces; no address, no
    // control data, no flags (the kernel writes only each frame's msg_len).
    void prepare() {
        for (std::size_t i = 0; i < kMaxBatchFrames; ++i) {
            pieces_[i][0] = {headers_[i], 0};
            messages_[i] = {};
            messages_[i].msg_hdr.msg_iov = pieces_[i];
        }
    }

    std::uint8_t *header(int i) { return headers_[static_cast<std::size_t>(i)]; }

    // The addresses (kAddressBytes) that every header slot starts with, as
    // its sender last wrote them there.
    std::uint8_t *addresses() { return addresses_; }

    // Frame i: the first `header_size` bytes of its header slot, then
    // `payload_size` bytes (at least one) at `payload`, then `fill` zeros.
    void set(int i, std::size_t header_size, const std::uint8_t *payload, std::size_t payload_size,
             std::size_t fill) {
        static constexpr std::uint8_t kZeros[kMaxFill] = {};
        iovec *pieces = pieces_[static_cast<std::size_t>(i)];
        pieces[0].iov_len = header_size;
        pieces[1] = {const_cast<std::uint8_t *>(payload), payload_size};
        std::size_t count = 2;
        if (fill != 0) pieces[count++] = {const_cast<std::uint8_t *>(kZeros), fill};
        messages_[static_cast<std::size_t>(i)].msg_hdr.msg_iovlen = count;
    }

    mmsghdr *messages() { return messages_; }
    const msghdr &frame(int i) const { return messages_[static_cast<std::size_t>(i)].msg_hdr; }

private:
    mmsghdr messages_[kMaxBatchFrames];
    iovec pieces_[kMaxBatchFrames][3];
    std::uint8_t headers_[kMaxBatchFrames][kHeaderRoom];
    std::uint8_t addresses_[kAddressBytes];
};

}  // namespace spweth
