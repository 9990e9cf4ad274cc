#include "link/transmit.h"

#include <pcap/pcap.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace spweth {
namespace {

int system_sendmmsg(int descriptor, mmsghdr *messages, unsigned count, int flags) {
    return ::sendmmsg(descriptor, messages, count, flags);
}

// The reason of the last refusal by sendmmsg, for transmit_error (one per
// thread: each socket has one sender at a time).
thread_local char batch_error[PCAP_ERRBUF_SIZE];
thread_local bool batch_refused = false;

// A descriptor that cannot take a batch at all, as opposed to one frame refused.
bool batching_unsupported(int error) {
    return error == ENOSYS || error == EOPNOTSUPP || error == ENOTSOCK || error == EBADF;
}

void refused(int error) {
    std::snprintf(batch_error, sizeof batch_error, "send: %s", std::strerror(error));
    batch_refused = true;
}

int pending_error(int descriptor) {
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error == 0) return EIO;
    return error;
}

// Frame by frame, each assembled in one buffer.
int send_one_by_one(Socket socket, const FrameBatch &batch, int count) {
    batch_refused = false;  // a refusal's reason is pcap's
    std::array<std::uint8_t, 2048> buffer;
    for (int i = 0; i < count; ++i) {
        const msghdr &frame = batch.frame(i);
        std::size_t at = 0;
        for (std::size_t p = 0; p < frame.msg_iovlen; ++p) {
            std::memcpy(buffer.data() + at, frame.msg_iov[p].iov_base, frame.msg_iov[p].iov_len);
            at += frame.msg_iov[p].iov_len;
        }
        if (pcap_sendpacket(socket, buffer.data(), static_cast<int>(at)) != 0) return i;
    }
    return count;
}

}  // namespace

int (*send_messages)(int descriptor, mmsghdr *messages, unsigned count,
                     int flags) = &system_sendmmsg;

int transmit_rest(Socket socket, SocketRecord &record, FrameBatch &batch, int count, int taken) {
    if (taken == kNotBatched) return send_one_by_one(socket, batch, count);
    int sent = 0;
    for (;;) {
        if (taken > 0) {
            sent += taken;
            if (sent == count) return sent;
            // The kernel stopped at a refused frame: its reason is pending on
            // the descriptor (sending it again would retry the frame).
            refused(pending_error(record.batch_descriptor));
            return sent;
        }
        const int error = taken < 0 ? errno : EIO;
        if (error != EINTR) {
            if (sent == 0 && batching_unsupported(error)) {
                record.batch_descriptor = -1;  // for good: pcap_sendpacket from now on
                return send_one_by_one(socket, batch, count);
            }
            refused(error);
            return sent;
        }
        taken = send_messages(record.batch_descriptor, batch.messages() + sent,
                              static_cast<unsigned>(count - sent), 0);
    }
}

const char *transmit_error(Socket socket) {
    return batch_refused ? batch_error : pcap_geterr(socket);
}

}  // namespace spweth
