// RMAP transactions. A command goes out with SpW_Send_Packet_Timeout; its
// reply is claimed off the socket by the socket's session, a PacketClaimer,
// whichever receive on the socket takes it: a transaction's own wait or an
// ordinary receive. A wait that finds another thread reading the socket sleeps
// until its reply has been claimed for it or the socket is free.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "link/sockets.h"
#include "rmap/codec.h"
#include "rx/rx.h"

namespace spweth::rmap {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSendFailed = -2;
constexpr int kEndWithEop = 1;
constexpr int kMaxInFlight = 128;
constexpr int kMaxTicketRounds = (1 << 30) / kMaxInFlight;
// How long a transaction's reply is recognised after the transaction ended:
// one that comes within it (late, or a second one) is dropped, not passed on.
constexpr auto kStaleReplyWindow = std::chrono::seconds(5);
constexpr std::size_t kMaxStaleReplies = 4 * kMaxInFlight;
// A wait that found the socket busy looks again at least this often.
constexpr auto kBusyRecheck = std::chrono::milliseconds(2);

// One counter for the whole process; a session skips identifiers that its
// transactions in flight, or its recent ones, hold.
std::atomic<std::uint16_t> next_transaction_id{0};
std::atomic<unsigned long> dropped_replies{0};

// Who a reply answers: the fields it must carry, and the bridge it comes from.
struct Expectation {
    ExpectedReply expected;
    Mac bridge{};
    bool answered_by(std::span<const std::uint8_t> packet, const std::uint8_t *source) const {
        return std::memcmp(source, bridge.data(), bridge.size()) == 0 && answers(packet, expected);
    }
};

struct InFlight {
    bool in_use = false;
    bool waits_for_reply = false;
    bool arrived = false;
    bool ended_by_eep = false;
    int round = 0;  // which ticket of this slot is in flight
    Expectation expectation;
    std::vector<std::uint8_t> reply;
};

struct StaleReply {
    Expectation expectation;
    Clock::time_point until;
};

// What a transaction's End does once its slot is settled.
struct Settled {
    bool arrived = false;
    bool ended_by_eep = false;
    ExpectedReply expected;
    std::vector<std::uint8_t> reply;
};

// A socket's transactions in flight, and the replies of its recent ones.
class Session final : public PacketClaimer {
public:
    // A fresh session for a record that has none (an opened socket, or after
    // the library's reset).
    void attach(SocketRecord &record) {
        std::lock_guard lock(mutex_);
        record_ = &record;
        for (InFlight &slot : slots_) slot = InFlight{};
        stale_.clear();
        interest_.store(0);
        ++generation_;
    }

    // A slot for a new transaction with a fresh identifier; its ticket, or -1.
    int reserve(bool waits_for_reply, int &transaction_id) {
        std::lock_guard lock(mutex_);
        const auto free = std::find_if(slots_.begin(), slots_.end(),
                                       [](const InFlight &slot) { return !slot.in_use; });
        if (free == slots_.end()) return kBadArgument;
        transaction_id = fresh_transaction_id();
        free->in_use = true;
        free->waits_for_reply = waits_for_reply;
        free->arrived = false;
        free->reply.clear();
        free->round = (free->round + 1) % kMaxTicketRounds;
        const int index = static_cast<int>(free - slots_.begin());
        return free->round * kMaxInFlight + index;
    }

    // Fills in what the reserved transaction's reply must carry; from now on
    // receives claim it.
    void expect(int ticket, const Expectation &expectation) {
        std::lock_guard lock(mutex_);
        InFlight &slot = slots_[static_cast<std::size_t>(ticket % kMaxInFlight)];
        slot.expectation = expectation;
        if (slot.waits_for_reply) interest_.fetch_add(1);
    }

    // A transaction whose command did not go out.
    void cancel(int ticket) {
        std::lock_guard lock(mutex_);
        InFlight &slot = slots_[static_cast<std::size_t>(ticket % kMaxInFlight)];
        if (slot.waits_for_reply) interest_.fetch_sub(1);
        slot.in_use = false;
    }

    int end(Socket socket, int ticket, std::span<std::uint8_t> data, const Deadline &deadline);

    // --- PacketClaimer: called by receives, under the socket's reader lock.
    bool wants(std::span<const std::uint8_t> start, const std::uint8_t *source) override {
        if (interest_.load(std::memory_order_acquire) == 0) return false;
        std::lock_guard lock(mutex_);
        return find_in_flight(start, source) != nullptr || is_stale(start, source);
    }

    Claim claim(std::span<const std::uint8_t> packet, bool ended_by_eep,
                const std::uint8_t *source) override {
        if (interest_.load(std::memory_order_acquire) == 0) return Claim::not_mine;
        std::lock_guard lock(mutex_);
        if (InFlight *slot = find_in_flight(packet, source)) {
            slot->reply.assign(packet.begin(), packet.end());
            slot->ended_by_eep = ended_by_eep;
            slot->arrived = true;
            changed_.notify_all();
            return Claim::taken;
        }
        if (!is_stale(packet, source)) return Claim::not_mine;
        dropped_replies.fetch_add(1);
        record_->counters.rmap_replies_dropped.add_shared();
        return Claim::dropped;
    }

    void reader_released() override {
        std::lock_guard lock(mutex_);
        ++releases_;
        changed_.notify_all();
    }

    void socket_closed() override {
        std::lock_guard lock(mutex_);
        for (InFlight &slot : slots_) slot.in_use = false;
        stale_.clear();
        interest_.store(0);
        ++generation_;
        changed_.notify_all();
    }

private:
    InFlight *slot_of(int ticket) {
        if (ticket < 0) return nullptr;
        InFlight &slot = slots_[static_cast<std::size_t>(ticket % kMaxInFlight)];
        return slot.in_use && slot.round == ticket / kMaxInFlight ? &slot : nullptr;
    }

    InFlight *find_in_flight(std::span<const std::uint8_t> packet, const std::uint8_t *source) {
        for (InFlight &slot : slots_)
            if (slot.in_use && slot.waits_for_reply && !slot.arrived &&
                slot.expectation.answered_by(packet, source))
                return &slot;
        return nullptr;
    }

    bool is_stale(std::span<const std::uint8_t> packet, const std::uint8_t *source) {
        forget_old_stale_replies();
        return std::any_of(stale_.begin(), stale_.end(), [&](const StaleReply &stale) {
            return stale.expectation.answered_by(packet, source);
        });
    }

    void forget_old_stale_replies() {
        const Clock::time_point now = Clock::now();
        while (!stale_.empty() &&
               (stale_.front().until <= now || stale_.size() > kMaxStaleReplies)) {
            stale_.pop_front();
            interest_.fetch_sub(1);
        }
    }

    bool transaction_id_in_use(std::uint16_t id) const {
        const auto holds = [id](const Expectation &e) { return e.expected.transaction_id == id; };
        return std::any_of(
                   slots_.begin(), slots_.end(),
                   [&](const InFlight &slot) { return slot.in_use && holds(slot.expectation); }) ||
               std::any_of(stale_.begin(), stale_.end(),
                           [&](const StaleReply &stale) { return holds(stale.expectation); });
    }

    int fresh_transaction_id() {
        forget_old_stale_replies();
        std::uint16_t id = next_transaction_id.fetch_add(1);
        // At most 128 in flight and 512 recent: a free identifier is near.
        while (transaction_id_in_use(id)) id = next_transaction_id.fetch_add(1);
        return id;
    }

    // Ends a transaction: its reply (if any) is then recognised as stale for a while.
    Settled settle(InFlight &slot) {
        Settled settled;
        settled.arrived = slot.arrived;
        settled.ended_by_eep = slot.ended_by_eep;
        settled.expected = slot.expectation.expected;
        settled.reply.swap(slot.reply);
        slot.in_use = false;
        if (slot.waits_for_reply) {
            stale_.push_back({slot.expectation, Clock::now() + kStaleReplyWindow});
            forget_old_stale_replies();  // the interest moves from the slot to the stale entry
        }
        return settled;
    }

    std::mutex mutex_;
    std::condition_variable
        changed_;  // a reply arrived, the reader was released, or the socket closed
    SocketRecord *record_ = nullptr;
    std::array<InFlight, kMaxInFlight> slots_{};
    std::deque<StaleReply> stale_;
    // Slots waiting for a reply plus stale entries: receives ask nothing while it is 0.
    std::atomic<int> interest_{0};
    std::uint64_t releases_ = 0;
    std::uint64_t generation_ = 0;  // a new one when the socket closes
};

std::array<Session, kMaxSockets> sessions;

// The socket's session, made fresh at its first transaction.
Session *session_of(Socket socket) {
    SocketRecord *record = find_socket(socket);
    if (record == nullptr) return nullptr;
    SocketTable &table = library_state.sockets;
    Session &session = sessions[static_cast<std::size_t>(record - table.records.data())];
    if (record->claimer.load(std::memory_order_acquire) == nullptr) {
        std::lock_guard lock(table.changes);
        if (record->claimer.load(std::memory_order_relaxed) == nullptr) {
            session.attach(*record);
            record->claimer.store(&session, std::memory_order_release);
        }
    }
    return &session;
}

// What the blocking calls return for a reply.
int result_of(const Settled &settled, std::span<std::uint8_t> data) {
    Reply reply;
    if (parse_reply(settled.reply, settled.expected, reply) != ReplyMatch::accepted ||
        settled.ended_by_eep)
        return SPW_RMAP_BAD_REPLY;
    if (reply.status != 0) return reply.status;
    const std::size_t count = std::min(data.size(), reply.data.size());
    std::copy_n(reply.data.begin(), count, data.begin());
    return 0;
}

int Session::end(Socket socket, int ticket, std::span<std::uint8_t> data,
                 const Deadline &deadline) {
    std::unique_lock lock(mutex_);
    InFlight *slot = slot_of(ticket);
    if (slot == nullptr) return kBadArgument;
    if (!slot->waits_for_reply) {
        settle(*slot);
        return 0;
    }
    const std::uint64_t generation = generation_;
    for (;;) {
        if (generation_ != generation) return kBadArgument;  // the socket was closed
        if (slot->arrived) {
            const Settled settled = settle(*slot);
            lock.unlock();
            return result_of(settled, data);
        }
        if (library_state.wait_receive_active.load() == 0 || deadline.passed()) {
            settle(*slot);
            return SPWETH_TIMED_OUT;
        }
        const std::uint64_t releases = releases_;
        lock.unlock();
        const int step = receive_for_claimer(socket, deadline);
        lock.lock();
        if (step == kRecvReaderBusy) {
            // Another thread reads the socket and claims for us meanwhile.
            changed_.wait_for(lock, kBusyRecheck, [&] {
                return slot->arrived || releases_ != releases || generation_ != generation;
            });
        } else if (step < 0 && step != kRecvTimedOut) {
            if (generation_ == generation) settle(*slot);
            return kBadArgument;  // the socket cannot be read
        }
    }
}

std::span<std::uint8_t> buffer_of(unsigned char *data, int length) {
    return {data, data == nullptr || length < 0 ? 0 : static_cast<std::size_t>(length)};
}

std::optional<Command> command_of(const spw_rmap_target *target, const spw_rmap_request &request,
                                  int transaction_id) {
    switch (request.kind) {
        case SPW_RMAP_KIND_WRITE:
            return write_command(target, transaction_id, request.extended_address, request.address,
                                 request.data, request.length, request.flags);
        case SPW_RMAP_KIND_READ:
            return read_command(target, transaction_id, request.extended_address, request.address,
                                request.length, request.flags);
        case SPW_RMAP_KIND_RMW:
            if (request.flags != 0) return std::nullopt;
            return rmw_command(target, transaction_id, request.extended_address, request.address,
                               request.data, request.mask, request.length);
        default:
            return std::nullopt;
    }
}

// Sends the request's command within timeout_ms (<= 0: no deadline); its ticket.
int begin(Socket socket, const spw_rmap_target *target, const spw_rmap_request *request,
          int timeout_ms) {
    Session *session = session_of(socket);
    if (session == nullptr || request == nullptr) return kBadArgument;
    // Checked before a slot is taken: an argument error reserves nothing.
    const std::optional<Command> checked = command_of(target, *request, 0);
    if (!checked) return kBadArgument;
    Expectation expectation;
    if (SpW_Socket_Get_Bridge_Address(socket, expectation.bridge.data()) != 0) return kBadArgument;

    const bool waits_for_reply = (checked->instruction & instruction::kReply) != 0;
    int transaction_id = 0;
    const int ticket = session->reserve(waits_for_reply, transaction_id);
    if (ticket < 0) return ticket;
    const Command command = *command_of(target, *request, transaction_id);
    std::vector<std::uint8_t> packet(command_size(command));
    const int length = build(command, packet);
    expectation.expected = expected_reply(command);
    // Expected before the command goes out: the reply may come at once.
    session->expect(ticket, expectation);
    const int sent = length < 0 ? kBadArgument
                                : SpW_Send_Packet_Timeout(socket, packet.data(), length,
                                                          kEndWithEop, timeout_ms);
    if (sent == length) return ticket;
    session->cancel(ticket);
    if (sent == SPWETH_TIMED_OUT) return SPWETH_TIMED_OUT;
    return length < 0 ? kBadArgument : kSendFailed;
}

int end(Socket socket, int ticket, unsigned char *data, int length, const Deadline &deadline) {
    if (data == nullptr && length > 0) return kBadArgument;
    Session *session = session_of(socket);
    if (session == nullptr) return kBadArgument;
    return session->end(socket, ticket, buffer_of(data, length), deadline);
}

// A blocking call: Begin and End under one deadline.
int transact(Socket socket, const spw_rmap_target *target, const spw_rmap_request &request,
             unsigned char *data, int length, int timeout_ms) {
    const Deadline deadline = Deadline::after_ms(timeout_ms);
    const int ticket = begin(socket, target, &request, timeout_ms);
    if (ticket < 0) return ticket;
    return end(socket, ticket, data, length, deadline);
}

}  // namespace
}  // namespace spweth::rmap

namespace rmap = spweth::rmap;

extern "C" {

SPWETH_API int SpW_RMAP_Begin(struct pcap *socket, const spw_rmap_target *target,
                              const spw_rmap_request *request) {
    return rmap::begin(socket, target, request, 0);
}

SPWETH_API int SpW_RMAP_End(struct pcap *socket, int ticket, unsigned char *data, int length,
                            int timeout_ms) {
    return rmap::end(socket, ticket, data, length, spweth::Deadline::after_ms(timeout_ms));
}

SPWETH_API int SpW_RMAP_Write(struct pcap *socket, const spw_rmap_target *target,
                              unsigned char extended_address, unsigned int address,
                              const unsigned char *data, int length, int flags, int timeout_ms) {
    const spw_rmap_request request{
        SPW_RMAP_KIND_WRITE, extended_address, address, data, nullptr, length, flags};
    return rmap::transact(socket, target, request, nullptr, 0, timeout_ms);
}

SPWETH_API int SpW_RMAP_Read(struct pcap *socket, const spw_rmap_target *target,
                             unsigned char extended_address, unsigned int address,
                             unsigned char *data, int length, int flags, int timeout_ms) {
    if (data == nullptr && length > 0) return rmap::kBadArgument;
    const spw_rmap_request request{
        SPW_RMAP_KIND_READ, extended_address, address, nullptr, nullptr, length, flags};
    return rmap::transact(socket, target, request, data, length, timeout_ms);
}

SPWETH_API int SpW_RMAP_Read_Modify_Write(struct pcap *socket, const spw_rmap_target *target,
                                          unsigned char extended_address, unsigned int address,
                                          const unsigned char *data, const unsigned char *mask,
                                          int length, unsigned char *old_data, int timeout_ms) {
    const spw_rmap_request request{
        SPW_RMAP_KIND_RMW, extended_address, address, data, mask, length, 0};
    return rmap::transact(socket, target, request, old_data, old_data == nullptr ? 0 : length,
                          timeout_ms);
}

SPWETH_API unsigned long SpW_RMAP_Get_Dropped_Count(void) { return rmap::dropped_replies.load(); }

}  // extern "C"
