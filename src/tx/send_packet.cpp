// SpaceWire packets out: cut into data frames, typed, paced by the bridge's credits.
#include <pcap/pcap.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <new>
#include <optional>

#include "link/frame.h"
#include "link/frame_batch.h"
#include "link/sockets.h"
#include "link/transmit.h"
#include "rx/rx.h"
#include "state/console.h"
#include "tx/tx.h"

namespace spweth {
namespace {

using frame::FrameType;
using frame::kHeaderSize;
using frame::kMaxPayload;

// clang-format off
// Fragment type by [first frame of the packet][last frame][EEP requested].
constexpr FrameType kFragmentType[2][2][2] = {
    //  with EOP          with EEP
    {{FrameType::mof,  FrameType::mof },    // between the first and the last
     {FrameType::eof,  FrameType::eef }},   // last of several
    {{FrameType::sof,  FrameType::sof },    // first of several
     {FrameType::feof, FrameType::feef}},   // the only frame
};
// clang-format on

// In thread-safe mode a credit wait that reads the socket itself sleeps at
// most this long at a time: another thread may begin to read meanwhile.
inline constexpr int kCreditPollSliceMs = 1;

constexpr bool requests_eep(int end_marker) { return end_marker == 2 || end_marker == 5; }

// What a packet's frames carry besides its data: a channel byte leading the
// first frame's payload, if any, and the end asked for.
struct PacketForm {
    bool with_channel;
    bool eep;
    unsigned char channel;
};

enum class Credits { ready, failed, timed_out };

// How many frames may go before the next credit check would wait (never
// more than frame by frame would send), at most one batch.
int frames_before_credit_wait(const frame::Route &route) {
    const LibraryState &s = library_state;
    if (s.send_crediting == 0) return kMaxBatchFrames;
    const int credits = route.bridge_credits->load(std::memory_order_relaxed);
    const int waits_at = std::min(s.send_credit_limit, s.send_credit_wait - 1);
    return std::clamp(credits - waits_at, 1, kMaxBatchFrames);
}

int frames_left(std::size_t remaining) {
    if (remaining <= kMaxPayload) return 1;
    return static_cast<int>(
        std::min<std::size_t>((remaining + kMaxPayload - 1) / kMaxPayload, kMaxBatchFrames));
}

// Before a frame: with crediting on and the credits down to the limit, reads
// the socket until the bridge reports enough. Failed when they cannot come:
// the wait was switched off, the socket has no read buffer to set frames aside
// in, or the credit time-out passed; timed out when the call's deadline
// passed. In thread-safe mode, while another thread reads the socket, it
// waits for that reader's credit news instead.
// Inline, so that a send without crediting pays one test per frame.
inline bool credits_needed(const frame::Route &route) {
    const LibraryState &s = library_state;
    const int credits = route.bridge_credits->load(std::memory_order_relaxed);
    return s.send_crediting != 0 && credits <= s.send_credit_limit && credits < s.send_credit_wait;
}

Credits await_credits(Socket socket, const frame::Route &route, const Deadline &call_deadline) {
    LibraryState &s = library_state;
    const std::atomic<int> &credits = *route.bridge_credits;
    const Deadline credit_deadline = Deadline::after_ms(s.send_credit_timeout_ms);
    const bool call_ends_first = call_deadline.no_later_than(credit_deadline);
    const Deadline &deadline = call_ends_first ? call_deadline : credit_deadline;
    const bool thread_safe = s.thread_safe_mode != 0;
    std::optional<credit_news::Waiter> waiter;
    if (thread_safe) waiter.emplace();
    unsigned char type = 0;
    for (;;) {
        if (s.wait_receive_active.load() == 0) {
            console_error(
                "\nError sending packet: credit wait stopped, wait_receive_active is 0\n");
            return Credits::failed;
        }
        const std::uint64_t seen = thread_safe ? credit_news::edition() : 0;
        const int read =
            SpW_Recv_Packet_uni(kRecvCreditWait, socket, nullptr, kMaxPayload, nullptr, &type, 0);
        if (read == kRecvNoSlot) {
            console_error(
                "\nError sending packet: no read buffer for the socket, credits cannot be read\n");
            return Credits::failed;
        }
        if (credits.load() >= s.send_credit_wait) return Credits::ready;
        if (deadline.passed()) {
            if (call_ends_first) return Credits::timed_out;
            console_error("\nError sending packet: no credits from the bridge within %d ms\n",
                          s.send_credit_timeout_ms);
            return Credits::failed;
        }
        if (read == kRecvReaderBusy)
            credit_news::wait_for_news(seen, deadline);
        else if (thread_safe)  // another thread may start reading, and take the credits
            wait_for_frame(socket, deadline.at_most_ms(kCreditPollSliceMs));
        else
            wait_for_frame(socket, deadline);
    }
}

// A short frame's fill: always as many zeros as the shortest payload needs
// (a fill of fixed size costs a few stores); what lies past the frame's end
// is not sent.
inline constexpr std::size_t kShortFill = frame::kMinDataFrameSize - kHeaderSize;

// One frame of `count` payload bytes (a leading channel byte among them when
// `lead` is 1, the rest from `data`), assembled whole: pcap_sendpacket takes
// it as it is. True when it went.
[[gnu::always_inline]] inline bool send_lone_frame(Socket socket, const frame::Route &route,
                                                   FrameType type, const unsigned char *data,
                                                   std::size_t count, std::size_t lead,
                                                   unsigned char channel) {
    std::array<std::uint8_t, frame::kMaxFrameSize> bytes;
    frame::write_header(bytes.data(), type, frame::take_data_frame_number(route),
                        static_cast<std::uint16_t>(count), route);
    if (lead != 0) bytes[kHeaderSize] = channel;
    if (count > lead) std::memcpy(bytes.data() + kHeaderSize + lead, data, count - lead);
    if (count <= frame::kShortPayloadBound)
        std::memset(bytes.data() + kHeaderSize + count, 0, kShortFill);
    const int size = static_cast<int>(frame::data_frame_size(count));
    return pcap_sendpacket(socket, bytes.data(), size) == 0;
}

// After `sent` of a batch of frames went: the credits and numbers of those
// that did not go back, and the refusal reported.
int refuse_rest(Socket socket, const frame::Route &route, int batch, int sent, bool crediting) {
    if (crediting) advance_shared(*route.bridge_credits, batch - sent);
    // The frames after the refused one were never sent: their numbers go
    // back, so that the bridge sees the gap of one refused frame.
    advance_shared(*route.data_frame_counter, static_cast<std::uint8_t>(-(batch - sent - 1)));
    console_error("\nError sending packet: %s\n",
                  batch == 1 ? pcap_geterr(socket) : transmit_error(socket));
    return kSendFailed;
}

static_assert(FrameBatch::kHeaderRoom >= kHeaderSize + 1, "a header and its channel byte");
static_assert(FrameBatch::kMaxFill >= frame::kMinDataFrameSize - kHeaderSize,
              "a short frame's fill");
static_assert(FrameBatch::kAddressBytes == 2 * frame::kMacSize, "the bridge's and the source's");

// Writes what every header in the batch holds the same: the route's
// addresses, the EtherType and the credits byte.
[[gnu::noinline]] void write_batch_headers(FrameBatch &frames, const frame::Route &route) {
    std::memcpy(frames.addresses(), route.bridge, frame::kMacSize);
    std::memcpy(frames.addresses() + frame::kMacSize, route.source, frame::kMacSize);
    for (int i = 0; i < kMaxBatchFrames; ++i) {
        frame::write_address_prefix(frames.header(i), route);
        frames.header(i)[frame::kCreditsOffset] = frame::kCreditsSent;
    }
}

// Each header slot keeps the addresses of the last packet of several frames:
// they are written again only when the route's have changed since.
inline void address_batch(FrameBatch &frames, const frame::Route &route) {
    const std::uint8_t *written = frames.addresses();
    if (std::memcmp(written, route.bridge, frame::kMacSize) != 0 ||
        std::memcmp(written + frame::kMacSize, route.source, frame::kMacSize) != 0) [[unlikely]]
        write_batch_headers(frames, route);
}

// Makes the socket's frame batch; null when no memory could be had for it.
[[gnu::noinline]] FrameBatch *make_batch(SocketRecord &record) {
    void *block = heap_allocate(sizeof(FrameBatch));
    if (block == nullptr) return nullptr;
    record.send_batch.reset(new (block) FrameBatch);
    record.send_batch->prepare();
    write_batch_headers(*record.send_batch, frame::route_of(record));
    return record.send_batch.get();
}

// The socket's frame batch, made at its first packet of several frames; null
// when no memory could be had for it (its frames then go one by one).
inline FrameBatch *batch_of(SocketRecord &record) {
    if (record.send_batch != nullptr) [[likely]]
        return record.send_batch.get();
    return make_batch(record);
}

// A packet of more than one frame (or one that waits for credits first), in
// batches. Inlined into the path of long packets; send_frames for the others.
[[gnu::always_inline]] inline int send_in_batches(Socket socket, SocketRecord &own,
                                                  const unsigned char *data, std::size_t total,
                                                  PacketForm form, const Deadline &deadline) {
    const frame::Route route = frame::route_of(own);
    FrameBatch *const frames = batch_of(own);
    if (frames != nullptr) address_batch(*frames, route);

    const unsigned char *next = data;
    std::size_t remaining = total;
    std::size_t lead_left = form.with_channel ? 1 : 0;  // until the first frame is made
    bool first = true;
    while (remaining > 0) {
        if (credits_needed(route)) {
            switch (await_credits(socket, route, deadline)) {
                case Credits::ready:
                    break;
                case Credits::failed:
                    return kSendFailed;
                case Credits::timed_out:
                    return SPWETH_TIMED_OUT;
            }
        }
        const int batch = frames == nullptr
                              ? 1
                              : std::min(frames_before_credit_wait(route), frames_left(remaining));
        // The batch's credits are taken before it goes: a report that the
        // receiving side records meanwhile then stands, as it would between
        // two frames sent one by one.
        const bool batch_crediting = library_state.send_crediting != 0;
        if (batch_crediting) advance_shared(*route.bridge_credits, -batch);
        int sent;
        if (batch == 1) {
            const bool last = remaining <= kMaxPayload;
            const std::size_t count = last ? remaining : kMaxPayload;
            sent = send_lone_frame(socket, route, kFragmentType[first][last][form.eep], next, count,
                                   lead_left, form.channel)
                       ? 1
                       : 0;
            next += count - lead_left;
            remaining -= count;
        } else {
            const std::uint8_t first_number =
                advance_shared(*route.data_frame_counter, static_cast<std::uint8_t>(batch));
            // Frame i of the batch, `count` payload bytes of the given type.
            const auto put = [&](int i, FrameType type, std::size_t count, std::size_t lead) {
                std::uint8_t *header = frames->header(i);
                frame::write_frame_fields(header, type, static_cast<std::uint8_t>(first_number + i),
                                          static_cast<std::uint16_t>(count));
                if (lead != 0) header[kHeaderSize] = form.channel;
                frames->set(i, kHeaderSize + lead, next, count - lead,
                            frame::data_frame_size(count) - kHeaderSize - count);
                next += count - lead;
            };
            // A batch of several frames starts with a full one, and only the
            // packet's last frame can be shorter: the full ones are middle
            // fragments but for the packet's first, typed after the loop.
            const bool ends_here = remaining <= static_cast<std::size_t>(batch) * kMaxPayload;
            const int full = ends_here ? batch - 1 : batch;
            int i = 0;
            if (lead_left != 0) put(i++, FrameType::sof, kMaxPayload, lead_left);
            for (; i < full; ++i) put(i, FrameType::mof, kMaxPayload, 0);
            if (first)
                frames->header(0)[frame::kTypeOffset] = static_cast<std::uint8_t>(FrameType::sof);
            remaining -= static_cast<std::size_t>(full) * kMaxPayload;
            if (ends_here) {
                put(full, kFragmentType[0][1][form.eep], remaining, 0);
                remaining = 0;
            }
            sent = transmit_frames(socket, own, *frames, batch);
        }
        lead_left = 0;
        first = false;
        if (sent != batch) return refuse_rest(socket, route, batch, sent, batch_crediting);
    }
    return static_cast<int>(total);
}

[[gnu::noinline]] int send_frames(Socket socket, SocketRecord &own, const unsigned char *data,
                                  std::size_t total, PacketForm form, const Deadline &deadline) {
    return send_in_batches(socket, own, data, total, form, deadline);
}

// A packet of `total` bytes (a leading channel byte among them), its
// arguments checked and its sender lock, if any, held. A caller that knows
// the packet is longer than a frame says so: the one-frame path, and its
// frame on the stack, are then left out.
[[gnu::always_inline]] inline int send_checked(Socket socket, SocketRecord &record,
                                               const unsigned char *data, int total,
                                               PacketForm form, const Deadline &deadline,
                                               bool may_fit_one_frame = true) {
    if (!may_fit_one_frame)
        return send_in_batches(socket, record, data, static_cast<std::size_t>(total), form,
                               deadline);
    if (static_cast<std::size_t>(total) > kMaxPayload || credits_needed(record.route))
        return send_frames(socket, record, data, static_cast<std::size_t>(total), form, deadline);
    // A packet of one frame takes the socket's route as it is: a snapshot
    // keeps the frames of a longer packet on one route.
    const frame::Route &route = frame::route_of(record);
    const bool crediting = library_state.send_crediting != 0;
    if (crediting) advance_shared(*route.bridge_credits, -1);
    if (!send_lone_frame(socket, route, kFragmentType[1][1][form.eep], data,
                         static_cast<std::size_t>(total), form.with_channel ? 1 : 0, form.channel))
        return refuse_rest(socket, route, 1, 0, crediting);
    return total;
}

// Thread-safe mode: the same under the socket's sender lock.
[[gnu::noinline]] int send_locked(Socket socket, SocketRecord &record, const unsigned char *data,
                                  int total, PacketForm form, const Deadline &deadline) {
    const SendLock lock(socket, &SocketLocks::sender, deadline);
    if (!lock.acquired()) return SPWETH_TIMED_OUT;
    return send_checked(socket, record, data, total, form, deadline);
}

enum class SendVariant { plain, from_channel };  // the latter: the channel byte first

// The most data bytes a packet of one frame holds.
constexpr int longest_in_one_frame(SendVariant variant) {
    return static_cast<int>(kMaxPayload) - (variant == SendVariant::from_channel ? 1 : 0);
}

// Checks the arguments and sends the packet (see send_any_packet).
template <SendVariant kVariant>
[[gnu::always_inline]] inline int send_packet(Socket socket, const unsigned char *data, int length,
                                              int end_marker, unsigned char channel,
                                              const Deadline &deadline, bool may_fit_one_frame) {
    constexpr bool kWithChannel = kVariant == SendVariant::from_channel;
    SocketRecord *record = find_socket(socket);
    if (record == nullptr || length < 0 || (length > 0 && data == nullptr) ||
        (kWithChannel && length == INT_MAX))
        return kSendFailed;
    const int total = length + (kWithChannel ? 1 : 0);
    if (total == 0) return 0;
    const PacketForm form{kWithChannel, requests_eep(end_marker), channel};
    if (library_state.thread_safe_mode != 0) [[unlikely]]
        return send_locked(socket, *record, data, total, form, deadline);
    return send_checked(socket, *record, data, total, form, deadline, may_fit_one_frame);
}

// A packet longer than a frame (or a length past any packet's): its call
// never sets up the one-frame path.
template <SendVariant kVariant>
[[gnu::noinline]] int send_long_packet(Socket socket, const unsigned char *data, int length,
                                       int end_marker, unsigned char channel,
                                       const Deadline &deadline) {
    if (length <= longest_in_one_frame(kVariant)) __builtin_unreachable();  // see send_any_packet
    return send_packet<kVariant>(socket, data, length, end_marker, channel, deadline, false);
}

// Any other: a packet that fits one frame, or a length that no packet has.
template <SendVariant kVariant>
[[gnu::noinline]] int send_short_packet(Socket socket, const unsigned char *data, int length,
                                        int end_marker, unsigned char channel,
                                        const Deadline &deadline) {
    if (length > longest_in_one_frame(kVariant)) __builtin_unreachable();  // see send_any_packet
    return send_packet<kVariant>(socket, data, length, end_marker, channel, deadline, true);
}

// Sends one SpaceWire packet as data frames. Returns the bytes sent (length,
// or length + 1), kSendFailed when the arguments are unusable, pcap refuses a
// frame or the credit wait cannot end, or SPWETH_TIMED_OUT when the deadline
// passes before the next frame can go. Inlined into each send export, which
// then sets up nothing itself: each path has the frame it needs.
template <SendVariant kVariant>
[[gnu::always_inline]] inline int send_any_packet(Socket socket, const unsigned char *data,
                                                  int length, int end_marker, unsigned char channel,
                                                  const Deadline &deadline) {
    if (length > longest_in_one_frame(kVariant))
        return send_long_packet<kVariant>(socket, data, length, end_marker, channel, deadline);
    return send_short_packet<kVariant>(socket, data, length, end_marker, channel, deadline);
}

}  // namespace

}  // namespace spweth

extern "C" {

using spweth::SendVariant;

SPWETH_API int SpW_Send_Packet(struct pcap *socket, const unsigned char *data, int length,
                               int end_marker) {
    return spweth::send_any_packet<SendVariant::plain>(socket, data, length, end_marker, 0,
                                                       spweth::kNoDeadline);
}

SPWETH_API int SpW_Send_Packet_Timeout(struct pcap *socket, const unsigned char *data, int length,
                                       int end_marker, int timeout_ms) {
    return spweth::send_any_packet<SendVariant::plain>(socket, data, length, end_marker, 0,
                                                       spweth::Deadline::after_ms(timeout_ms));
}

SPWETH_API int SpW_Send_Packet_From_Channel(struct pcap *socket, const unsigned char *data,
                                            int length, int end_marker, int channel) {
    return spweth::send_any_packet<SendVariant::from_channel>(
        socket, data, length, end_marker, static_cast<unsigned char>(channel & 0xFF),
        spweth::kNoDeadline);
}

}  // extern "C"
