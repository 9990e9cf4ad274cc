#include "bridge_side.h"

#include <poll.h>
#include <sched.h>

#include <chrono>

#include "spweth.h"

namespace gateway {
namespace {

// A receive wakes at least this often to see whether the gateway stops.
inline constexpr int kReceiveSliceMs = 250;
inline constexpr unsigned char kEepTypeByte = 1;
inline constexpr int kEndWithEop = 1;
inline constexpr int kEndWithEep = 2;
// The library's credit settings, given explicitly so that the gateway knows
// when a send would wait: below kCreditLimit credits a send waits until the
// bridge reports kCreditWait.
inline constexpr int kCreditLimit = 10;
inline constexpr int kCreditWait = 15;
inline constexpr std::size_t kFramePayload = 1495;
inline constexpr unsigned char kCreditReportType = 0;  // the error type of a credit report

}  // namespace

BridgeSide::BridgeSide(const Options &options, Counters &counters)
    : options_(options), counters_(counters) {}

BridgeSide::~BridgeSide() { stop(); }

std::string BridgeSide::open(BridgeWatcher *watcher) {
    // Settings first, before any thread starts, as the library asks.
    set_thread_safe_mode(1);
    set_recv_idle_wait(1);
    set_send_crediting(options_.crediting ? 1 : 0);
    set_send_credit_limit(kCreditLimit);
    set_send_credit_wait(kCreditWait);
    set_send_credit_timeout(static_cast<int>(options_.send_timeout_ms));
    // While a send waits for credits, what the bridge sends meanwhile is set
    // aside: room for a largest packet and then some.
    const auto limit = std::min<std::uint64_t>(4 * options_.max_packet + (1u << 20), INT32_MAX);
    set_recv_buffer_limit(static_cast<int>(limit));

    const intptr_t s = SpW_Socket_Init_By_Name(options_.iface.c_str());
    if (s <= 0)
        return "cannot open adapter " + options_.iface + " (result " + std::to_string(s) +
               "; opening needs root or CAP_NET_RAW)";
    socket_ = reinterpret_cast<pcap *>(s);
    watcher_ = watcher;
    if (SpW_Socket_Set_Bridge_Address(socket_, options_.bridge.data()) != 0 ||
        SpW_Socket_Set_Handler(socket_, SPWETH_HANDLER_CCODE, &BridgeSide::on_codes, this) != 0 ||
        (watcher != nullptr && (SpW_Socket_Set_Handler(socket_, SPWETH_HANDLER_STATUS,
                                                       &BridgeSide::on_status, this) != 0 ||
                                SpW_Socket_Set_Handler(socket_, SPWETH_HANDLER_ERROR,
                                                       &BridgeSide::on_error, this) != 0))) {
        SpW_Socket_Close(socket_);
        socket_ = nullptr;
        return "cannot set up the socket on " + options_.iface;
    }
    return "";
}

void BridgeSide::start(BridgeSink &sink) {
    sink_ = &sink;
    set_wait_receive_active(1);
    receiver_ = std::thread([this] { receive_loop(); });
    sender_ = std::thread([this] { send_loop(); });
}

void BridgeSide::stop() {
    if (stopping_.exchange(true)) return;
    set_wait_receive_active(0);  // wakes every wait inside the library
    queue_changed_.notify_all();
    if (receiver_.joinable()) receiver_.join();
    if (sender_.joinable()) sender_.join();
    if (socket_ != nullptr) SpW_Socket_Close(socket_);
    socket_ = nullptr;
}

void BridgeSide::on_codes(pcap *, const unsigned char *data, int size, void *context) {
    auto *self = static_cast<BridgeSide *>(context);
    // Each code byte goes to the client as it came, its two flag bits included.
    for (int i = 0; i < size; ++i) self->sink_->time_code_from_bridge(data[i]);
}

void BridgeSide::on_status(pcap *socket, const unsigned char *data, int size, void *context) {
    auto *self = static_cast<BridgeSide *>(context);
    spweth_socket_counters counters{};
    SpW_Socket_Get_Counters(socket, &counters, sizeof counters);
    self->watcher_->status_from_bridge({data, static_cast<std::size_t>(size)}, counters);
}

void BridgeSide::on_error(pcap *, const unsigned char *data, int size, void *context) {
    auto *self = static_cast<BridgeSide *>(context);
    // Error type 0 is the bridge's credit report: no error.
    if (size < 1 || data[0] == kCreditReportType) return;
    std::string text = printed_by_library([&] { print_error_type(data[0]); });
    self->watcher_->error_from_bridge({data, static_cast<std::size_t>(size)}, std::move(text));
}

void BridgeSide::receive_loop() {
    std::vector<unsigned char> buffer(options_.max_packet);
    std::array<unsigned char, 6> from = options_.bridge;
    while (!stopping_.load()) {
        unsigned char type = 0;
        const int n = SpW_Recv_Packet_From_MAC_Timeout(socket_, buffer.data(),
                                                       static_cast<int>(buffer.size()), from.data(),
                                                       &type, kReceiveSliceMs);
        if (stopping_.load()) break;
        if (n == SPWETH_TIMED_OUT) continue;
        if (n < 0) {
            log_line("receive from the bridge failed (result %d)", n);
            std::this_thread::sleep_for(std::chrono::milliseconds(kReceiveSliceMs));
            continue;
        }
        if (n == 0) {
            count(counters_.empty_from_bridge);
            continue;
        }
        if (static_cast<std::uint64_t>(n) > buffer.size()) {
            count(counters_.oversized_from_bridge);
            log_line(
                "a packet of %d bytes from the bridge is above --max-packet %zu: not forwarded", n,
                buffer.size());
            continue;
        }
        sink_->packet_from_bridge({buffer.data(), static_cast<std::size_t>(n)},
                                  type == kEepTypeByte);
        spin_for_next_frame();
    }
}

// --spin-us: polls the capture without sleeping, yielding the core at each turn
// to any thread ready to run, until a frame is there, another thread (a sender
// in a credit wait) took frames from the adapter, or the time is up. An answer
// that follows at once is then taken without a wake-up of this thread, which
// on a virtual machine costs tens of microseconds.
void BridgeSide::spin_for_next_frame() const {
    if (options_.spin_us == 0) return;
    pollfd capture{pcap_get_selectable_fd(socket_), POLLIN, 0};
    if (capture.fd < 0) return;
    spweth_socket_counters before{}, now{};
    SpW_Socket_Get_Counters(socket_, &before, sizeof before);
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::microseconds(options_.spin_us);
    while (!stopping_.load(std::memory_order_relaxed) && poll(&capture, 1, 0) == 0) {
        SpW_Socket_Get_Counters(socket_, &now, sizeof now);
        if (now.frames_received != before.frames_received ||
            std::chrono::steady_clock::now() >= until)
            return;
        sched_yield();
    }
}

// True when every frame of the packet finds the credits above the limit, so
// that its send does not wait.
bool BridgeSide::credits_cover(std::size_t bytes) const {
    if (!options_.crediting) return true;
    const std::size_t frames = (bytes + kFramePayload - 1) / kFramePayload;
    const int credits = SpW_Socket_Get_Bridge_Credits(socket_);
    return credits >= kCreditLimit && static_cast<std::size_t>(credits - kCreditLimit) >= frames;
}

void BridgeSide::send_packet(std::vector<std::uint8_t> data, bool eep) {
    Outgoing packet{std::move(data), eep};
    {
        const std::lock_guard lock(queue_mutex_);
        // Only this thread adds to the queue: when it is empty and the sending
        // thread idle, nothing can go out before this packet.
        if (!queue_.empty() || sender_busy_ || !credits_cover(packet.data.size())) {
            queued_bytes_ += packet.data.size();
            queue_.push_back(std::move(packet));
            queue_changed_.notify_one();
            return;
        }
    }
    send_now(packet);
}

void BridgeSide::send_now(const Outgoing &packet) {
    const int length = static_cast<int>(packet.data.size());
    const int sent = SpW_Send_Packet_Timeout(socket_, packet.data.data(), length,
                                             packet.eep ? kEndWithEep : kEndWithEop,
                                             static_cast<int>(options_.send_timeout_ms));
    if (sent == length) {
        count(counters_.packets_to_bridge);
        count(counters_.bytes_to_bridge, packet.data.size());
    } else if (!stopping_.load()) {
        count(counters_.send_failures);
        log_line(
            "a packet of %d bytes was not sent whole to the bridge: %s", length,
            sent == SPWETH_TIMED_OUT ? "no credits within --send-timeout-ms" : "the send failed");
    }
}

void BridgeSide::send_time_code(std::uint8_t code) {
    if (SpW_Send_CCodes(socket_, &code, 1) == 0)
        count(counters_.time_codes_to_bridge);
    else
        log_line("time code 0x%02x not sent to the bridge: the adapter refused it", code);
}

bool BridgeSide::pause_if_full(std::function<void()> resume) {
    const std::lock_guard lock(queue_mutex_);
    if (queued_bytes_ <= kSendQueueHigh) return false;
    resume_ = std::move(resume);
    return true;
}

void BridgeSide::send_loop() {
    while (true) {
        Outgoing packet;
        {
            std::unique_lock lock(queue_mutex_);
            queue_changed_.wait(lock, [this] { return stopping_.load() || !queue_.empty(); });
            if (stopping_.load()) {
                if (!queue_.empty())
                    log_line("stopping: %zu packets (%zu bytes) for the bridge not sent",
                             queue_.size(), queued_bytes_);
                return;
            }
            packet = std::move(queue_.front());
            queue_.pop_front();
            sender_busy_ = true;
        }
        send_now(packet);
        std::function<void()> resume;
        {
            const std::lock_guard lock(queue_mutex_);
            sender_busy_ = false;
            queued_bytes_ -= packet.data.size();
            if (resume_ && queued_bytes_ <= kSendQueueHigh / 2) {
                resume = std::move(resume_);
                resume_ = nullptr;
            }
        }
        if (resume) resume();
    }
}

}  // namespace gateway
