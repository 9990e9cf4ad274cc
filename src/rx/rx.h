// Reception: the receive engine, the per-socket read buffers and the event handlers.
#pragma once

#include <cstdint>

#include "link/sockets.h"
#include "state/state.h"
#include "state/waiting.h"

namespace spweth {

// The engine's receive modes.
enum RecvMode : int {
    kRecvPacket = 1,
    kRecvPacketFromMac = 2,
    kRecvFrameType = 3,
    kRecvPacketExtended = 4,
    kRecvPacketFromMacExtended = 5,
    kRecvFrameTypeFromMac = 6,
    kRecvState = 7,
    kRecvStateFromMac = 8,
    kRecvCreditWait = 10,
};

// Engine results besides lengths and 0.
inline constexpr int kRecvNoSlot = -1;          // buffering on and the socket has no read buffer
inline constexpr int kRecvBadArgument = -1;     // a record the mode needs is missing
inline constexpr int kRecvBufferTooSmall = -1;  // a state mode was given less than 88 bytes
inline constexpr int kRecvTimedOut = SPWETH_TIMED_OUT;  // the call's deadline passed first
inline constexpr int kRecvReaderBusy = -3;  // thread-safe mode: a credit wait found another reader

// The status record that a state mode copies: payload bytes 0..87 of a status frame.
inline constexpr int kStateRecordSize = 88;

// What a receive does when pcap has nothing: returns at once (the wait spins)
// unless idle waits are on; then sleeps in the kernel until the socket's
// capture has a frame, the deadline passes or the wait flag is cleared.
void wait_for_frame(Socket socket, const Deadline &deadline);

// The receive engine behind every receive call, state query and credit wait.
// The credit wait (mode 10) needs no buffer and no address record; every mode
// needs a socket and a type byte. With a deadline set, a call that has not
// returned by then returns kRecvTimedOut (the credit wait returns whenever
// pcap is empty and takes none). In thread-safe mode every call holds the
// socket's reader lock; a credit wait that finds it held by another thread
// returns kRecvReaderBusy at once.
int SpW_Recv_Packet_uni(int recv_mode, Socket socket, unsigned char *buffer, int length,
                        unsigned char *mac, unsigned char *type, int frame_mask,
                        const Deadline &deadline = kNoDeadline);

// One turn of a wait for claimed packets (see PacketClaimer): receives until
// a whole packet has been claimed or kept for the socket's ordinary receives,
// gathering every packet. Returns kRecvClaimed or kRecvKept; kRecvTimedOut, or
// 0 when the wait flag was cleared; kRecvBadArgument for an unknown socket or
// kRecvNoSlot. In thread-safe mode kRecvReaderBusy when another thread reads
// the socket: that thread hands the claimer its packets meanwhile.
inline constexpr int kRecvClaimed = 1;
inline constexpr int kRecvKept = 2;
int receive_for_claimer(Socket socket, const Deadline &deadline);

// Read buffers (a socket's is found with read_buffer_find, link/sockets.h).

// Sets a frame aside. A ring without room doubles, up to the larger of the
// buffer limit and the buffer size; a frame that still does not fit is lost,
// and a gap mark (one for a run of lost frames) takes its place in the ring.
struct PutResult {
    int growths = 0;
    bool lost = false;
};
PutResult read_buffer_put(ReadBuffer &slot, const std::uint8_t *frame, std::uint32_t length,
                          std::int64_t time_ns = 0);
void read_buffer_flush(ReadBuffer &slot);
inline constexpr std::uint32_t kGapMark = 0x80000000;  // the length prefix of a gap mark
// A record's length prefix and capture time before its frame; a gap mark is a
// length prefix alone.
inline constexpr std::uint32_t kRecordHeaderSize = 12;
inline constexpr std::uint32_t kGapMarkSize = 4;

// The receive engine's copy of the record last taken; grows to the largest record.
struct RecordCopy {
    std::uint8_t *data = nullptr;
    int size = 0;
    std::int64_t time_ns = 0;  // the capture time of the record last taken
    // Inline: the engine releases before every pcap read, and there is rarely a copy.
    void release() {
        if (data != nullptr) free_data();
    }
    ~RecordCopy() { release(); }

private:
    void free_data();
};

// Takes the next record (fill must be above 0). Returns its length; -1 when
// the ring was damaged (it is then flushed); kRecordGap for a gap mark, or a
// record dropped for want of memory for its copy. Either way frames are lost.
inline constexpr int kRecordGap = -2;
int read_buffer_take(ReadBuffer &slot, RecordCopy &copy);

}  // namespace spweth
