// The receive engine: one polling loop behind every receive call, state query
// and credit wait. Frames come from the socket's held frame and read buffer
// first, then from pcap (examined in pcap's own buffer); each is decoded by
// decode_frame and then handled as the action table says for its type and the
// call's mode.
//
// A packet is returned whole only when it is whole. In the packet modes:
// - a packet that loses frames (a gap in the read buffer, or the start of
//   another packet before its end) is returned with what it has, ended by
//   EEP, and counted as cut; the frame that showed the loss is held for the
//   next receive;
// - middle and end fragments with no packet open are discarded (and counted)
//   up to and including their end fragment;
// - a call that returns with a packet open (deadline, wait flag, or an
//   extended receive's other frame) leaves the rest of that packet to be
//   discarded by the next receive.
// A socket with a claimer (the RMAP initiator) is asked about each packet's
// first frame; a packet it wants is gathered in the socket's record (open
// across calls, never cut by a call's end) and offered to it whole. What it
// does not take goes to the caller, or with the packets that a claimer's wait
// gathered and kept, to the socket's next ordinary receives, in order.
#include <pcap/pcap.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <optional>

#include "link/frame.h"
#include "link/sockets.h"
#include "rx/rx.h"
#include "state/console.h"

namespace spweth {
namespace {

using frame::DecodedFrame;
using frame::FrameType;
using frame::FrameView;
using frame::kMacSize;

inline constexpr unsigned char kEepTypeByte = 1;  // a packet ended by EEP (EEF or FEEF)
inline constexpr std::size_t kEmptyErrorRecordSize = 2;

// What a mode does with a frame that has passed decoding and the address step.
enum class Action : std::uint8_t {
    start_packet,            // opens a packet: payload to the buffer's start, the offset P
    append,                  // payload at the running offset; the offset grows by P
    finish,                  // append, then return the packet's length; the type byte stays 0
    finish_with_eep,         // the type byte becomes 1, then finish
    whole,                   // a packet in one frame: start_packet, then finish
    whole_with_eep,          // start_packet, then finish_with_eep
    deliver_if_masked,       // type byte := type, payload to the buffer's start, return P
    error_record_if_masked,  // type byte := 7, the error record to the buffer, return n
    ccode_handler,           // a heap copy of the payload to the registered handler
    err_frame_handler,       // a heap copy of the error record to the registered handler
    status_handler,          // a heap copy of the payload to the registered handler
    state_copy,              // a type byte of exactly 8: the 88-byte record, return P
    set_aside,               // the whole frame into the socket's read buffer
    drop,
    ignore,
};

// The mode groups, in the order of the action table's columns.
enum Column : std::size_t {
    kPacketModes,     // 1, 2
    kExtendedModes,   // 4, 5
    kFrameTypeModes,  // 3, 6
    kStateModes,      // 7, 8
    kCreditWait,      // 10
    kColumns,
};

struct ActionRow {
    FrameType type;
    std::uint32_t mask_bit;  // the frame_mask bit that selects the type
    std::array<Action, kColumns> actions;
};

using enum Action;

// clang-format off
constexpr ActionRow kActionTable[] = {
    // type                    mask bit     modes 1, 2         modes 4, 5              modes 3, 6              modes 7, 8  mode 10
    {FrameType::sof,           0x8,        {start_packet,      start_packet,           deliver_if_masked,      ignore,     set_aside}},
    {FrameType::mof,           0x1,        {append,            append,                 deliver_if_masked,      ignore,     set_aside}},
    {FrameType::eof,           0x10,       {finish,            finish,                 deliver_if_masked,      ignore,     set_aside}},
    {FrameType::feof,          0x2,        {whole,             whole,                  deliver_if_masked,      ignore,     set_aside}},
    {FrameType::eef,           0x20,       {finish_with_eep,   finish_with_eep,        deliver_if_masked,      ignore,     set_aside}},
    {FrameType::feef,          0x4,        {whole_with_eep,    whole_with_eep,         deliver_if_masked,      ignore,     set_aside}},
    {FrameType::control_codes, 0x40,       {ccode_handler,     deliver_if_masked,      deliver_if_masked,      ignore,     set_aside}},
    {FrameType::errors,        0x80,       {err_frame_handler, error_record_if_masked, error_record_if_masked, ignore,     drop}},
    {FrameType::status,        0x100,      {status_handler,    deliver_if_masked,      deliver_if_masked,      state_copy, drop}},
    {FrameType::type_136,      0x20000000, {ignore,            ignore,                 deliver_if_masked,      ignore,     set_aside}},
    {FrameType::configuration, 0x80000000, {ignore,            ignore,                 deliver_if_masked,      ignore,     set_aside}},
};
// clang-format on

// The table's row for each type value, found once at compile time: the
// engine looks a row up for every frame.
constexpr auto kRowOfType = [] {
    std::array<std::int8_t, 256> rows{};
    rows.fill(-1);
    for (std::size_t i = 0; i < std::size(kActionTable); ++i)
        rows[static_cast<std::uint8_t>(kActionTable[i].type)] = static_cast<std::int8_t>(i);
    return rows;
}();

// Frame types whose actions in some mode call an event handler (flag bits aside).
constexpr bool is_handler_type(std::uint8_t type_byte) {
    const unsigned type = type_byte & 0x3F;
    return type == static_cast<unsigned>(FrameType::control_codes) ||
           type == static_cast<unsigned>(FrameType::errors) ||
           type == static_cast<unsigned>(FrameType::status);
}

const ActionRow *row_of(FrameType type) {
    const int row = kRowOfType[static_cast<std::uint8_t>(type)];
    return row < 0 ? nullptr : &kActionTable[row];
}

// What each data frame type does in a packet receive (modes 1, 2), read off
// the action table for the quick turns.
enum PacketRole : std::uint8_t {
    kStarts = 1,  // opens a packet: taken only when none is open
    kEnds = 2,    // ends it: the call returns
    kEndsByEep = 4,
};
constexpr auto kPacketRoles = [] {
    std::array<std::uint8_t, static_cast<std::size_t>(FrameType::eef) + 1> roles{};
    for (std::size_t type = 0; type < roles.size(); ++type) {
        const Action action = kActionTable[kRowOfType[type]].actions[kPacketModes];
        roles[type] = static_cast<std::uint8_t>(
            (action == start_packet || action == whole || action == whole_with_eep ? kStarts : 0) |
            (action != start_packet && action != append ? kEnds : 0) |
            (action == finish_with_eep || action == whole_with_eep ? kEndsByEep : 0));
    }
    return roles;
}();

// What a mode does with the caller's address record.
enum class AddressUse : std::uint8_t {
    report_source,   // modes 1, 3, 4, 7: receives the source of each frame examined
    require_source,  // modes 2, 5, 6, 8: frames from any other source are ignored
    none,            // mode 10
};

struct ModeTraits {
    Column column;
    AddressUse address;
};

// clang-format off
constexpr std::optional<ModeTraits> traits_of(int recv_mode) {
    using enum AddressUse;
    switch (recv_mode) {
        case kRecvPacket:                return ModeTraits{kPacketModes,    report_source};
        case kRecvPacketFromMac:         return ModeTraits{kPacketModes,    require_source};
        case kRecvFrameType:             return ModeTraits{kFrameTypeModes, report_source};
        case kRecvPacketExtended:        return ModeTraits{kExtendedModes,  report_source};
        case kRecvPacketFromMacExtended: return ModeTraits{kExtendedModes,  require_source};
        case kRecvFrameTypeFromMac:      return ModeTraits{kFrameTypeModes, require_source};
        case kRecvState:                 return ModeTraits{kStateModes,     report_source};
        case kRecvStateFromMac:          return ModeTraits{kStateModes,     require_source};
        case kRecvCreditWait:            return ModeTraits{kCreditWait,     none};
        default:                         return std::nullopt;  // there is no mode 9
    }
}
// clang-format on

// The error record: n = P, or 2 when P is 0. For error type 0 (the credit
// report, a first payload byte of 0) it starts with 0 and the frame's credits
// byte. Payload bytes that the frame does not hold count as 0.
std::size_t error_record_size(std::size_t payload_length) {
    return payload_length == 0 ? kEmptyErrorRecordSize : payload_length;
}

bool is_credit_report(const FrameView &frame) {
    return frame.length() == frame::kHeaderSize || frame.payload()[0] == 0;
}

// Writes the first `count` bytes of the record.
void write_error_record(const FrameView &frame, std::uint8_t *record, std::size_t count) {
    const std::size_t held = std::min(count, frame.length() - frame::kHeaderSize);
    if (held != 0) std::memcpy(record, frame.payload(), held);
    std::fill(record + held, record + count, std::uint8_t{0});
    if (is_credit_report(frame)) {
        if (count > 0) record[0] = 0;
        if (count > 1) record[1] = frame.credits();
    }
}

// A clock reading costs about as much as taking a small frame: a timed
// receive reads it once per this many frames (a few microseconds of work).
inline constexpr int kFramesPerClockReading = 16;

int saturated(std::int64_t length) {
    return static_cast<int>(std::min<std::int64_t>(length, INT_MAX));
}

// A receive's buffer length, a negative one counting as 0.
std::size_t capacity_of(int length) { return length > 0 ? static_cast<std::size_t>(length) : 0; }

std::int64_t capture_time_ns(const pcap_pkthdr &header, std::int64_t ns_per_subsecond) {
    return std::int64_t{header.ts.tv_sec} * 1000000000 +
           std::int64_t{header.ts.tv_usec} * ns_per_subsecond;
}

// Copies up to `count` payload bytes to `at`, never past the buffer's capacity.
void copy_within(unsigned char *buffer, std::size_t capacity, std::int64_t at,
                 const std::uint8_t *payload, std::size_t count) {
    if (at >= static_cast<std::int64_t>(capacity)) return;
    // The buffer is there (the capacity is not 0), so a copy of no bytes is sound too.
    std::memcpy(buffer + at, payload, std::min(count, capacity - static_cast<std::size_t>(at)));
}

// One receive call: its arguments, running offset and record copy.
class ReceiveCall {
public:
    ReceiveCall(ModeTraits traits, Socket socket, SocketRecord &record, unsigned char *buffer,
                int length, unsigned char *mac, unsigned char *type, int frame_mask,
                const Deadline &deadline, bool for_claimer = false)
        : traits_(traits),
          socket_(socket),
          record_(record),
          route_(frame::route_of(record)),
          buffer_(buffer),
          capacity_(capacity_of(length)),
          mac_(mac),
          type_(type),
          mask_(static_cast<std::uint32_t>(frame_mask)),
          deadline_(deadline),
          for_claimer_(for_claimer),
          ns_per_subsecond_(record.ns_per_subsecond) {}

    // Clears the type byte and the packet flags, then runs the call. Packet
    // receives first return a kept packet, or go on with a gathered one.
    int start() {
        *type_ = 0;
        library_state.packet_has_comm_byte.store(0, std::memory_order_relaxed);
        library_state.packet_has_recv_timer.store(0, std::memory_order_relaxed);
        if (traits_.column == kPacketModes || traits_.column == kExtendedModes) {
            if (!record_.kept.empty() && !for_claimer_) [[unlikely]]
                if (const std::optional<int> kept = deliver_kept()) return *kept;
            if (record_.gathering) [[unlikely]] {
                packet_open_ = true;
                gathering_ = true;
                offset_ = static_cast<std::int64_t>(record_.gathered.size());
            }
        }
        return run();
    }

    // For a packet receive's quick turns (see QuickTurn), which have done
    // what start() does: examines a frame from pcap as the engine's own
    // capture callback would, and goes on with the call; `pcap_was_empty`: the
    // turn found no frame.
    void captured(const pcap_pkthdr *header, const u_char *bytes);
    // Goes on with a packet that the quick turn began: `offset` bytes so far,
    // the last of its frames taken at `kept_time_ns`.
    void continue_packet(std::int64_t offset, std::int64_t kept_time_ns) {
        packet_open_ = true;
        offset_ = offset;
        kept_time_ns_ = kept_time_ns;
    }
    int resume(bool pcap_was_empty) {
        if (pcap_was_empty) wait_for_frame(socket_, deadline_);
        if (captured_result_) return finish_call(*captured_result_);
        return run();
    }

private:
    int run();
    enum class Take { frame, examined, next_turn, frames_lost, pcap_empty, no_slot };

    Take take_frame(FrameView &frame);
    static void on_captured(u_char *user, const pcap_pkthdr *header, const u_char *bytes);
    std::optional<int> examine(const FrameView &frame);
    int finish_call(int result);
    std::optional<int> packet_end(std::int64_t length);
    std::optional<int> cut_packet();
    void open_packet(const FrameView &frame, std::size_t payload_length);
    void store_packet(std::int64_t at, const FrameView &frame, std::size_t payload_length) {
        if (!gathering_) [[likely]]
            store(at, frame, payload_length);
        else
            gather(frame, payload_length);
    }
    void gather(const FrameView &frame, std::size_t payload_length);
    std::optional<int> gathered_packet_end();
    void keep_gathered();
    std::optional<int> deliver_kept();
    void hold(const FrameView &frame);
    void discard_fragment();
    void abandon_open_packet();
    void store(std::int64_t at, const FrameView &frame, std::size_t payload_length);
    int deliver_error_record(const FrameView &frame, std::size_t payload_length);
    void call_handler(int kind, event_handler classic, const FrameView &frame, std::size_t size,
                      bool error_record);
    std::optional<int> copy_state(const FrameView &frame, std::size_t payload_length);
    void set_aside_frame(const FrameView &frame);

    const ModeTraits traits_;
    const Socket socket_;
    SocketRecord &record_;
    const frame::Route route_;  // the socket's bridge address and credit count
    unsigned char *const buffer_;
    const std::size_t capacity_;  // length, a negative one counting as 0
    unsigned char *const mac_;
    unsigned char *const type_;
    const std::uint32_t mask_;
    const Deadline deadline_;
    const bool for_claimer_;               // a claimer's wait: every packet is gathered
    const std::int64_t ns_per_subsecond_;  // of pcap's time stamps: nano- or microseconds
    bool gathering_ = false;               // the open packet is gathered in the record
    std::int64_t frame_time_ns_ = 0;       // the capture time of the frame taken last
    std::int64_t kept_time_ns_ = 0;        // that of the last frame the call's result holds
    std::int64_t offset_ = 0;              // packet bytes so far, counted whether copied or not
    bool packet_open_ = false;             // a start fragment was taken and no end yet
    ReadBuffer *slot_ = nullptr;           // the socket's read buffer as found this turn
    RecordCopy copy_;                      // released before every pcap read and on return
    std::optional<int> captured_result_;   // what examining a frame from pcap gave
    int frames_before_clock_reading_ = 0;  // the first turn reads it
};

// Out of line and flattened: one body of the loop serves every entry.
[[gnu::noinline, gnu::flatten]] int ReceiveCall::run() {
    for (;;) {
        if (library_state.wait_receive_active.load() == 0) {
            abandon_open_packet();
            return 0;
        }
        // Checked between frames too, so that a stream of frames that never
        // completes a packet cannot hold the call past its deadline; the clock
        // is read after every kFramesPerClockReading frames taken, and always
        // after an empty poll.
        if (deadline_.is_set() && --frames_before_clock_reading_ <= 0) {
            frames_before_clock_reading_ = kFramesPerClockReading;
            if (deadline_.passed()) {
                abandon_open_packet();
                return kRecvTimedOut;
            }
        }
        FrameView frame(nullptr, 0);
        switch (take_frame(frame)) {
            case Take::no_slot:
                return kRecvNoSlot;
            case Take::frames_lost:
                if (packet_open_)
                    if (const std::optional<int> result = cut_packet()) return finish_call(*result);
                continue;
            case Take::pcap_empty:
                if (traits_.column == kCreditWait) return 0;
                wait_for_frame(socket_, deadline_);
                frames_before_clock_reading_ = 0;
                continue;
            case Take::next_turn:
                continue;
            case Take::examined:
                if (captured_result_) return finish_call(*captured_result_);
                continue;
            case Take::frame:
                break;
        }
        if (const std::optional<int> result = examine(frame)) return finish_call(*result);
    }
}

int ReceiveCall::finish_call(int result) {
    if (result >= 0 && !for_claimer_)
        record_.last_time_ns.store(kept_time_ns_, std::memory_order_relaxed);
    return result;
}

ReceiveCall::Take ReceiveCall::take_frame(FrameView &frame) {
    slot_ = nullptr;
    if (library_state.recv_buffering != 0) {
        slot_ = record_.read_buffer;
        if (slot_ == nullptr && traits_.column != kStateModes) return Take::no_slot;
    }
    // The credit wait leaves the held frame and the read buffer alone: what it
    // sets aside must come after them.
    const bool held = record_.held.length != 0;
    if ((held || (slot_ != nullptr && slot_->fill != 0)) && traits_.column != kCreditWait)
        [[unlikely]] {
        if (held) {
            // Held frames are taken only first in a call, before any can be held again.
            frame = FrameView(record_.held.bytes.data(), record_.held.length);
            frame_time_ns_ = record_.held.time_ns;
            record_.held.length = 0;
            return Take::frame;
        }
        const int length = read_buffer_take(*slot_, copy_);
        if (length < 0) return Take::frames_lost;
        if (length == 0) return Take::next_turn;
        frame = FrameView(copy_.data, static_cast<std::size_t>(length));
        frame_time_ns_ = copy_.time_ns;
        return Take::frame;
    }
    copy_.release();
    // One frame, examined where pcap keeps it (pcap_next_ex would copy it out first).
    captured_result_.reset();
    if (pcap_dispatch(socket_, 1, &ReceiveCall::on_captured, reinterpret_cast<u_char *>(this)) <= 0)
        return Take::pcap_empty;
    return Take::examined;
}

// Flattened, as is SpW_Recv_Packet_uni: the engine's steps become one body per
// entry, which takes a tenth of the instructions off every frame.
[[gnu::flatten]] void ReceiveCall::on_captured(u_char *user, const pcap_pkthdr *header,
                                               const u_char *bytes) {
    reinterpret_cast<ReceiveCall *>(user)->captured(header, bytes);
}

void ReceiveCall::captured(const pcap_pkthdr *header, const u_char *bytes) {
    record_.counters.frames_received.add();
    frame_time_ns_ = capture_time_ns(*header, ns_per_subsecond_);
    const FrameView frame(bytes, header->caplen);  // only the captured bytes are there
    // A handler may call the library, a receive on this socket among them,
    // which must not run inside pcap's dispatch: such a frame is held and
    // examined once the dispatch has returned.
    if (traits_.column == kPacketModes && frame.has_header() && is_handler_type(frame.type_byte()))
        [[unlikely]] {
        hold(frame);
        return;
    }
    captured_result_ = examine(frame);
}

std::optional<int> ReceiveCall::examine(const FrameView &frame) {
    DecodedFrame decoded{};
    if (!frame::decode_frame(frame, decoded, route_)) return std::nullopt;

    switch (traits_.address) {
        case AddressUse::require_source:
            if (std::memcmp(frame.source(), mac_, kMacSize) != 0) return std::nullopt;
            break;
        case AddressUse::report_source:
            std::memcpy(mac_, frame.source(), kMacSize);
            break;
        case AddressUse::none:
            break;
    }

    const ActionRow *row = row_of(decoded.type);
    if (row == nullptr) return std::nullopt;
    const std::size_t payload_length = decoded.payload_length;
    const auto masked = [&] { return (mask_ & row->mask_bit) != 0; };

    const Action action = row->actions[traits_.column];
    switch (action) {
        case start_packet:
        case whole:
        case whole_with_eep:
            if (packet_open_) {  // the open packet's end was lost
                hold(frame);
                return cut_packet();
            }
            open_packet(frame, payload_length);
            store_packet(0, frame, payload_length);
            offset_ = static_cast<std::int64_t>(payload_length);
            packet_open_ = true;
            if (action == start_packet) return std::nullopt;
            if (action == whole_with_eep) *type_ = kEepTypeByte;
            return packet_end(offset_);
        case append:
            if (!packet_open_) {
                discard_fragment();
                return std::nullopt;
            }
            store_packet(offset_, frame, payload_length);
            offset_ += static_cast<std::int64_t>(payload_length);
            return std::nullopt;
        case finish_with_eep:
        case finish:
            if (!packet_open_) {
                discard_fragment();
                return std::nullopt;
            }
            if (action == finish_with_eep) *type_ = kEepTypeByte;
            store_packet(offset_, frame, payload_length);
            return packet_end(offset_ + static_cast<std::int64_t>(payload_length));
        case deliver_if_masked:
            if (!masked()) return std::nullopt;
            if (packet_open_ &&
                !gathering_) {  // an extended receive: the packet first, this frame next
                hold(frame);
                return cut_packet();
            }
            *type_ = static_cast<unsigned char>(decoded.type);
            store(0, frame, payload_length);
            return static_cast<int>(payload_length);
        case error_record_if_masked:
            if (!masked()) return std::nullopt;
            if (packet_open_ && !gathering_) {
                hold(frame);
                return cut_packet();
            }
            return deliver_error_record(frame, payload_length);
        case ccode_handler:
            call_handler(SPWETH_HANDLER_CCODE, library_state.ccode_handler, frame, payload_length,
                         false);
            return std::nullopt;
        case err_frame_handler:
            call_handler(SPWETH_HANDLER_ERROR, library_state.err_frame_handler, frame,
                         error_record_size(payload_length), true);
            return std::nullopt;
        case status_handler:
            call_handler(SPWETH_HANDLER_STATUS, library_state.status_handler, frame, payload_length,
                         false);
            return std::nullopt;
        case state_copy:
            return copy_state(frame, payload_length);
        case set_aside:
            set_aside_frame(frame);
            return std::nullopt;
        case drop:
        case ignore:
            return std::nullopt;
    }
    return std::nullopt;
}

std::optional<int> ReceiveCall::packet_end(std::int64_t length) {
    packet_open_ = false;
    record_.counters.packets_received.add();
    if (gathering_) return gathered_packet_end();
    return saturated(length);
}

// A packet is gathered when the call is a claimer's wait, or when the
// socket's claimer wants it.
void ReceiveCall::open_packet(const FrameView &frame, std::size_t payload_length) {
    PacketClaimer *claimer = record_.claimer.load(std::memory_order_acquire);
    if (claimer == nullptr && !for_claimer_) [[likely]]
        return;
    gathering_ = for_claimer_ || claimer->wants({frame.payload(), payload_length}, frame.source());
    if (!gathering_) return;
    record_.gathering = true;
    record_.gathered.clear();
    std::memcpy(record_.gathered_source.data(), frame.source(), kMacSize);
}

void ReceiveCall::gather(const FrameView &frame, std::size_t payload_length) {
    kept_time_ns_ = frame_time_ns_;
    record_.gathered.insert(record_.gathered.end(), frame.payload(),
                            frame.payload() + payload_length);
}

// The claimer's packet, or else the caller's (a claimer's wait keeps it).
std::optional<int> ReceiveCall::gathered_packet_end() {
    gathering_ = false;
    record_.gathering = false;
    const bool ended_by_eep = *type_ == kEepTypeByte;
    PacketClaimer *claimer = record_.claimer.load(std::memory_order_acquire);
    const PacketClaimer::Claim claim =
        claimer != nullptr
            ? claimer->claim(record_.gathered, ended_by_eep, record_.gathered_source.data())
            : PacketClaimer::Claim::not_mine;
    if (claim != PacketClaimer::Claim::not_mine) {
        if (for_claimer_) return kRecvClaimed;
        *type_ = 0;  // the receive goes on for a packet of its own
        offset_ = 0;
        return std::nullopt;
    }
    if (for_claimer_) {
        keep_gathered();
        return kRecvKept;
    }
    const std::vector<std::uint8_t> &packet = record_.gathered;
    const std::size_t count = std::min(packet.size(), capacity_);
    if (count != 0) std::memcpy(buffer_, packet.data(), count);
    if (traits_.address == AddressUse::report_source)
        std::memcpy(mac_, record_.gathered_source.data(), kMacSize);
    return saturated(static_cast<std::int64_t>(packet.size()));
}

// Kept packets past the read-buffer limit push the oldest out (counted as overflows).
void ReceiveCall::keep_gathered() {
    KeptPacket &kept = record_.kept.emplace_back();
    kept.bytes = std::move(record_.gathered);
    record_.gathered = {};
    kept.ended_by_eep = *type_ == kEepTypeByte;
    kept.source = record_.gathered_source;
    kept.time_ns = kept_time_ns_;
    record_.kept_bytes += kept.bytes.size();
    const auto limit = static_cast<std::size_t>(
        std::max(library_state.recv_buffer_limit, library_state.recv_buffer_size));
    while (record_.kept_bytes > limit && record_.kept.size() > 1) {
        record_.kept_bytes -= record_.kept.front().bytes.size();
        record_.kept.pop_front();
        record_.counters.read_buffer_overflows.add();
    }
}

// The oldest kept packet (packets from other sources are passed over by the
// receives from one address, as their frames would be).
std::optional<int> ReceiveCall::deliver_kept() {
    while (!record_.kept.empty()) {
        const KeptPacket packet = std::move(record_.kept.front());
        record_.kept.pop_front();
        record_.kept_bytes -= packet.bytes.size();
        if (traits_.address == AddressUse::require_source &&
            std::memcmp(packet.source.data(), mac_, kMacSize) != 0)
            continue;
        if (traits_.address == AddressUse::report_source)
            std::memcpy(mac_, packet.source.data(), kMacSize);
        const std::size_t count = std::min(packet.bytes.size(), capacity_);
        if (count != 0) std::memcpy(buffer_, packet.bytes.data(), count);
        if (packet.ended_by_eep) *type_ = kEepTypeByte;
        record_.last_time_ns.store(packet.time_ns, std::memory_order_relaxed);
        return saturated(static_cast<std::int64_t>(packet.bytes.size()));
    }
    return std::nullopt;
}

// The open packet with what it has, ended by EEP.
std::optional<int> ReceiveCall::cut_packet() {
    *type_ = kEepTypeByte;
    record_.counters.packets_cut.add();
    return packet_end(offset_);
}

// Keeps a copy of the frame for the socket's next receive.
void ReceiveCall::hold(const FrameView &frame) {
    HeldFrame &held = record_.held;
    if (frame.length() > held.bytes.size()) {  // longer than any capture: cannot be kept
        discard_fragment();
        return;
    }
    std::memcpy(held.bytes.data(), frame.bytes(), frame.length());
    held.length = frame.length();
    held.time_ns = frame_time_ns_;
}

void ReceiveCall::discard_fragment() { record_.counters.fragments_discarded.add(); }

// The call ends without its packet: what follows of it will be discarded.
// A gathered packet stays open for the socket's next packet receive.
void ReceiveCall::abandon_open_packet() {
    if (packet_open_ && !gathering_) record_.counters.packets_cut.add();
}

// Copies up to payload_length bytes at `at`, never past the buffer's length.
void ReceiveCall::store(std::int64_t at, const FrameView &frame, std::size_t payload_length) {
    kept_time_ns_ = frame_time_ns_;
    copy_within(buffer_, capacity_, at, frame.payload(), payload_length);
}

int ReceiveCall::deliver_error_record(const FrameView &frame, std::size_t payload_length) {
    const std::size_t size = error_record_size(payload_length);
    // A credit report gives the caller its two defined bytes only.
    const std::size_t written = is_credit_report(frame) ? kEmptyErrorRecordSize : size;
    kept_time_ns_ = frame_time_ns_;
    write_error_record(frame, buffer_, std::min(written, capacity_));
    *type_ = static_cast<unsigned char>(FrameType::errors);
    return static_cast<int>(size);
}

// The socket's own handler of the kind borrows the bytes; else the classic
// handler owns a heap block of them. Without memory for it the frame is
// dropped and the receive goes on.
void ReceiveCall::call_handler(int kind, event_handler classic, const FrameView &frame,
                               std::size_t size, bool error_record) {
    if (const SocketHandler own = record_.handlers[static_cast<std::size_t>(kind - 1)];
        own.function != nullptr) {
        if (!error_record) {
            own.function(socket_, frame.payload(), static_cast<int>(size), own.context);
            return;
        }
        std::array<std::uint8_t, kMaxCapturedFrame> record;
        const std::size_t count = std::min(size, record.size());
        write_error_record(frame, record.data(), count);
        own.function(socket_, record.data(), static_cast<int>(count), own.context);
        return;
    }
    event_handler handler = classic;
    if (handler == nullptr) return;
    auto *block = static_cast<unsigned char *>(heap_allocate(std::max<std::size_t>(size, 1)));
    if (block == nullptr) return;
    if (error_record)
        write_error_record(frame, block, size);
    else if (size != 0)
        std::memcpy(block, frame.payload(), size);
    handler(block, static_cast<int>(size), mac_);
}

std::optional<int> ReceiveCall::copy_state(const FrameView &frame, std::size_t payload_length) {
    // Flag bits over a type of 8 do not make a status frame here.
    if (frame.type_byte() != static_cast<std::uint8_t>(FrameType::status)) return std::nullopt;
    // A status payload too short to hold the record is passed over.
    if (payload_length < static_cast<std::size_t>(kStateRecordSize)) return std::nullopt;
    if (capacity_ < static_cast<std::size_t>(kStateRecordSize)) {
        console_error("\nError: buffer too small for state data. Required: %d bytes\n",
                      kStateRecordSize);
        return kRecvBufferTooSmall;
    }
    std::memcpy(buffer_, frame.payload(), kStateRecordSize);
    kept_time_ns_ = frame_time_ns_;
    return static_cast<int>(payload_length);
}

// A frame that cannot be set aside is lost, and counted.
void ReceiveCall::set_aside_frame(const FrameView &frame) {
    SocketCounters &counters = record_.counters;
    if (library_state.recv_buffering == 0) {
        counters.read_buffer_overflows.add();
        return;
    }
    if (slot_ == nullptr) {
        console_error("SpW_Recv_Packet_uni. Error getting read buffer for socket.\n");
        counters.read_buffer_overflows.add();
        return;
    }
    const PutResult put = read_buffer_put(
        *slot_, frame.bytes(), static_cast<std::uint32_t>(frame.length()), frame_time_ns_);
    if (put.growths != 0) counters.read_buffer_growths.add(static_cast<std::uint64_t>(put.growths));
    if (put.lost) counters.read_buffer_overflows.add();
}

// Whether a packet receive's engine would go to pcap at once: a quick turn may
// take the call.
[[gnu::always_inline]] inline bool quick_turn_applies(const SocketRecord &record,
                                                      const Deadline &deadline) {
    const LibraryState &s = library_state;
    if (record.held.length != 0 || record.gathering || !record.kept.empty() ||
        s.wait_receive_active.load() == 0)
        return false;
    if (s.recv_buffering != 0 && (record.read_buffer == nullptr || record.read_buffer->fill != 0))
        return false;
    return !deadline.passed();
}

// The first turns of a packet receive (modes 1, 2) on a socket with nothing
// held, set aside, kept or gathered: frames from pcap, one at a time, as long
// as each is the next data frame of a plain packet (a start fragment or a
// packet of one frame first, then middle fragments and the end) that passes
// decoding and the address step; its end ends the call without the engine's
// set-up. Any other frame is handed to the engine as it came from pcap, with
// the packet so far, and the engine goes on with the call; so it does when
// pcap has no frame, when the wait flag is cleared, and when the deadline has
// passed (read as often as the engine reads it). One class per use of the
// caller's address record, so that each frame's callback has it as a constant.
template <AddressUse kAddress>
class QuickTurn {
public:
    QuickTurn(Socket socket, SocketRecord &record, unsigned char *buffer, int length,
              unsigned char *mac, unsigned char *type, const Deadline &deadline)
        : socket_(socket),
          record_(record),
          buffer_(buffer),
          capacity_(capacity_of(length)),
          mac_(mac),
          type_(type),
          deadline_(deadline) {}

    [[gnu::always_inline]] int run() {
        *type_ = 0;
        library_state.packet_has_comm_byte.store(0, std::memory_order_relaxed);
        library_state.packet_has_recv_timer.store(0, std::memory_order_relaxed);
        for (int frames_before_clock_reading = kFramesPerClockReading;;) {
            const bool taken = pcap_dispatch(socket_, 1, &QuickTurn::on_captured,
                                             reinterpret_cast<u_char *>(this)) > 0;
            if (result_ >= 0) {
                // Only a call that went to the engine is made, and it never ends here.
                if (call_) __builtin_unreachable();
                return result_;
            }
            if (!taken || call_) return hand_over(!taken);
            if (library_state.wait_receive_active.load() == 0) return hand_over(false);
            if (--frames_before_clock_reading == 0) {
                if (deadline_.passed()) return hand_over(false);
                frames_before_clock_reading = kFramesPerClockReading;
            }
        }
    }

private:
    // The engine, made when a frame or the rest of the call is handed over.
    void make_call() {
        call_.emplace(kTraits, socket_, record_, buffer_, static_cast<int>(capacity_), mac_, type_,
                      0, deadline_);
        if (open_) call_->continue_packet(offset_, kept_time_ns_);
    }

    // Out of line, as is the engine's set-up, which a packet taken here never pays.
    [[gnu::noinline]] int hand_over(bool pcap_was_empty) {
        if (!call_) make_call();
        return call_->resume(pcap_was_empty);
    }

    // Flattened: decoding is inlined here, the engine's set-up is not. The
    // payload is copied last, when all else is done (a copy in tail position
    // leaves fewer values to keep across it).
    [[gnu::flatten]] static void on_captured(u_char *user, const pcap_pkthdr *header,
                                             const u_char *bytes) {
        auto &turn = *reinterpret_cast<QuickTurn *>(user);
        const FrameView frame(bytes, header->caplen);
        const std::int64_t at = turn.offset_;
        const int payload_length = turn.take_data_frame(*header, frame);
        if (payload_length < 0) return turn.hand_over_frame(header, bytes);
        copy_within(turn.buffer_, turn.capacity_, at, frame.payload(),
                    static_cast<std::size_t>(payload_length));
    }

    // Flattened, as the engine's own callback is.
    [[gnu::noinline, gnu::flatten]] void hand_over_frame(const pcap_pkthdr *header,
                                                         const u_char *bytes) {
        make_call();
        call_->captured(header, bytes);
    }

    // The payload length of the frame when it is taken here, the next data
    // frame of the packet (the caller copies its payload), else -1.
    int take_data_frame(const pcap_pkthdr &header, const FrameView &frame) {
        // A data type byte without flag bits; one that starts a packet only
        // when none is open, one that goes on with it only when one is (a cut
        // packet and a stray fragment are the engine's to handle).
        if (!frame.has_header() || frame.type_byte() >= kPacketRoles.size()) return -1;
        const unsigned role = kPacketRoles[frame.type_byte()];
        if (((role & kStarts) != 0) == open_) return -1;
        SocketRecord &record = record_;
        DecodedFrame decoded{};
        if (!frame::decode_frame(frame, decoded, frame::route_of(record))) return -1;
        if (record.claimer.load(std::memory_order_acquire) != nullptr) return -1;
        if constexpr (kAddress == AddressUse::require_source) {
            if (std::memcmp(frame.source(), mac_, kMacSize) != 0) return -1;
        } else {
            std::memcpy(mac_, frame.source(), kMacSize);
        }
        record.counters.frames_received.add();
        const std::int64_t length = offset_ + decoded.payload_length;
        const std::int64_t time_ns = capture_time_ns(header, record.ns_per_subsecond);
        if ((role & kEnds) == 0) {
            open_ = true;
            offset_ = length;
            kept_time_ns_ = time_ns;
            return decoded.payload_length;
        }
        if ((role & kEndsByEep) != 0) *type_ = kEepTypeByte;
        record.counters.packets_received.add();
        record.last_time_ns.store(time_ns, std::memory_order_relaxed);
        result_ = saturated(length);
        return decoded.payload_length;
    }

    static constexpr ModeTraits kTraits{kPacketModes, kAddress};
    const Socket socket_;
    SocketRecord &record_;
    unsigned char *const buffer_;
    const std::size_t capacity_;
    unsigned char *const mac_;
    unsigned char *const type_;
    const Deadline &deadline_;
    bool open_ = false;                // a start fragment was taken and no end yet
    std::int64_t offset_ = 0;          // packet bytes so far, counted whether copied or not
    std::int64_t kept_time_ns_ = 0;    // the capture time of the last frame taken
    int result_ = -1;                  // the packet's length once its end is taken
    std::optional<ReceiveCall> call_;  // made only when the turn hands the call over
};

// A call that the quick turn cannot begin.
[[gnu::noinline]] int run_engine_call(ModeTraits traits, Socket socket, SocketRecord &record,
                                      unsigned char *buffer, int length, unsigned char *mac,
                                      unsigned char *type, int frame_mask,
                                      const Deadline &deadline) {
    ReceiveCall call(traits, socket, record, buffer, length, mac, type, frame_mask, deadline);
    return call.start();
}

// Runs a receive call.
[[gnu::always_inline]] inline int run_call(ModeTraits traits, Socket socket, SocketRecord &record,
                                           unsigned char *buffer, int length, unsigned char *mac,
                                           unsigned char *type, int frame_mask,
                                           const Deadline &deadline) {
    using enum AddressUse;
    if (traits.column == kPacketModes && quick_turn_applies(record, deadline)) [[likely]] {
        if (traits.address == require_source)
            return QuickTurn<require_source>(socket, record, buffer, length, mac, type, deadline)
                .run();
        return QuickTurn<report_source>(socket, record, buffer, length, mac, type, deadline).run();
    }
    return run_engine_call(traits, socket, record, buffer, length, mac, type, frame_mask, deadline);
}

// Thread-safe mode: gives the socket up to the threads that wait to read it.
void release_reader(SocketRecord &record) {
    record.locks.reader.unlock();
    credit_news::announce();  // a sender waiting for credits may read the socket now
    if (PacketClaimer *claimer = record.claimer.load(std::memory_order_acquire))
        claimer->reader_released();
}

// Thread-safe mode: the call under the socket's reader lock.
[[gnu::noinline]] int run_locked_call(ModeTraits traits, Socket socket, SocketRecord &record,
                                      unsigned char *buffer, int length, unsigned char *mac,
                                      unsigned char *type, int frame_mask,
                                      const Deadline &deadline) {
    FairLock &reader = record.locks.reader;
    if (traits.column == kCreditWait) {
        if (!reader.try_lock()) return kRecvReaderBusy;
    } else if (!reader.lock(deadline)) {
        *type = 0;
        return library_state.wait_receive_active.load() == 0 ? 0 : kRecvTimedOut;
    }
    const int result =
        run_call(traits, socket, record, buffer, length, mac, type, frame_mask, deadline);
    release_reader(record);
    return result;
}

// Every receive's body, inlined into each export so that its mode is a constant.
[[gnu::always_inline]] inline int receive(int recv_mode, Socket socket, unsigned char *buffer,
                                          int length, unsigned char *mac, unsigned char *type,
                                          int frame_mask, const Deadline &deadline) {
    const std::optional<ModeTraits> traits = traits_of(recv_mode);
    SocketRecord *record = find_socket(socket);
    if (!traits || record == nullptr || type == nullptr) return kRecvBadArgument;
    if (traits->column != kCreditWait && (mac == nullptr || (buffer == nullptr && length > 0)))
        return kRecvBadArgument;
    if (library_state.thread_safe_mode != 0) [[unlikely]]
        return run_locked_call(*traits, socket, *record, buffer, length, mac, type, frame_mask,
                               deadline);
    return run_call(*traits, socket, *record, buffer, length, mac, type, frame_mask, deadline);
}

// The frame-type receives give the engine a type byte of their own and widen it.
int receive_frame_type(RecvMode mode, Socket socket, unsigned char *buffer, int length,
                       int frame_mask, int *type, unsigned char *mac) {
    if (type == nullptr) return kRecvBadArgument;
    unsigned char type_byte = 0;
    const int result =
        receive(mode, socket, buffer, length, mac, &type_byte, frame_mask, kNoDeadline);
    *type = type_byte;
    return result;
}

}  // namespace

int SpW_Recv_Packet_uni(int recv_mode, Socket socket, unsigned char *buffer, int length,
                        unsigned char *mac, unsigned char *type, int frame_mask,
                        const Deadline &deadline) {
    return receive(recv_mode, socket, buffer, length, mac, type, frame_mask, deadline);
}

int receive_for_claimer(Socket socket, const Deadline &deadline) {
    SocketRecord *record = find_socket(socket);
    if (record == nullptr) return kRecvBadArgument;
    unsigned char type = 0;
    std::array<unsigned char, kMacSize> source{};
    ReceiveCall call(*traits_of(kRecvPacket), socket, *record, nullptr, 0, source.data(), &type, 0,
                     deadline, true);
    if (library_state.thread_safe_mode == 0) return call.start();
    FairLock &reader = record->locks.reader;
    if (!reader.try_lock()) return kRecvReaderBusy;
    const int result = call.start();
    release_reader(*record);
    return result;
}

}  // namespace spweth

using spweth::receive;

extern "C" {

SPWETH_API int SpW_Recv_Packet(struct pcap *socket, unsigned char *buffer, int length,
                               unsigned char *mac, unsigned char *type) {
    return receive(spweth::kRecvPacket, socket, buffer, length, mac, type, 0, spweth::kNoDeadline);
}

SPWETH_API int SpW_Recv_Packet_From_MAC(struct pcap *socket, unsigned char *buffer, int length,
                                        unsigned char *mac, unsigned char *type) {
    return receive(spweth::kRecvPacketFromMac, socket, buffer, length, mac, type, 0,
                   spweth::kNoDeadline);
}

SPWETH_API int SpW_Recv_Packet_Timeout(struct pcap *socket, unsigned char *buffer, int length,
                                       unsigned char *mac, unsigned char *type, int timeout_ms) {
    return receive(spweth::kRecvPacket, socket, buffer, length, mac, type, 0,
                   spweth::Deadline::after_ms(timeout_ms));
}

SPWETH_API int SpW_Recv_Packet_From_MAC_Timeout(struct pcap *socket, unsigned char *buffer,
                                                int length, unsigned char *mac, unsigned char *type,
                                                int timeout_ms) {
    return receive(spweth::kRecvPacketFromMac, socket, buffer, length, mac, type, 0,
                   spweth::Deadline::after_ms(timeout_ms));
}

SPWETH_API int SpW_Recv_Packet_extended(struct pcap *socket, unsigned char *buffer, int length,
                                        unsigned char *mac, unsigned char *type, int frame_mask) {
    return receive(spweth::kRecvPacketExtended, socket, buffer, length, mac, type, frame_mask,
                   spweth::kNoDeadline);
}

SPWETH_API int SpW_Recv_Packet_From_MAC_extended(struct pcap *socket, unsigned char *buffer,
                                                 int length, unsigned char *mac,
                                                 unsigned char *type, int frame_mask) {
    return receive(spweth::kRecvPacketFromMacExtended, socket, buffer, length, mac, type,
                   frame_mask, spweth::kNoDeadline);
}

SPWETH_API int SpW_Recv_Frame_Type(struct pcap *socket, unsigned char *buffer, int length,
                                   int frame_mask, int *type, unsigned char *mac) {
    return spweth::receive_frame_type(spweth::kRecvFrameType, socket, buffer, length, frame_mask,
                                      type, mac);
}

SPWETH_API int SpW_Recv_Frame_Type_From_MAC(struct pcap *socket, unsigned char *buffer, int length,
                                            int frame_mask, int *type, unsigned char *mac) {
    return spweth::receive_frame_type(spweth::kRecvFrameTypeFromMac, socket, buffer, length,
                                      frame_mask, type, mac);
}

}  // extern "C"
