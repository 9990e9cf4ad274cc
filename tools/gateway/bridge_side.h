// The bridge side of the gateway: one socket of the library on the adapter,
// used through the public calls only, in thread-safe mode with idle waits.
// A receiving thread takes packets and control codes from the bridge and
// hands them to a sink; a sending thread sends the clients' packets in order,
// so that no credit wait ever blocks the network side.
#pragma once

#include <pcap/pcap.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include "options.h"
#include "spweth.h"

namespace gateway {

// Where what comes from the bridge goes; called on the receiving thread, in
// the order it arrived. A packet's bytes are borrowed for the call: a sink
// that keeps them copies them.
class BridgeSink {
public:
    virtual ~BridgeSink() = default;
    virtual void packet_from_bridge(std::span<const std::uint8_t> data, bool eep) = 0;
    virtual void time_code_from_bridge(std::uint8_t code) = 0;
};

// Who watches the bridge's status and error frames (the web view); called on
// the receiving thread, inside its receive call. Credit reports are not errors
// and do not come here.
class BridgeWatcher {
public:
    virtual ~BridgeWatcher() = default;
    // The status frame's payload (its 88-byte record), and the socket's
    // counters at the time.
    virtual void status_from_bridge(std::span<const std::uint8_t> record,
                                    const spweth_socket_counters &counters) = 0;
    // The error record (error type, then its data) and the text that the
    // library's print_error_type prints for its type.
    virtual void error_from_bridge(std::span<const std::uint8_t> record, std::string text) = 0;
};

class BridgeSide {
public:
    // Packets waiting to be sent beyond this many bytes make the network side
    // stop reading its client until they are down to half of it.
    static constexpr std::size_t kSendQueueHigh = 8u << 20;

    BridgeSide(const Options &options, Counters &counters);
    ~BridgeSide();
    BridgeSide(const BridgeSide &) = delete;
    BridgeSide &operator=(const BridgeSide &) = delete;

    // Opens the adapter and sets the library up; an error text, or "" on success.
    // With a watcher, its handlers for status and error frames are set too.
    std::string open(BridgeWatcher *watcher = nullptr);
    void start(BridgeSink &sink);
    // Ends both threads (every wait in the library wakes) and closes the socket.
    void stop();

    // Sends a packet to the bridge from one thread, the network side's: at
    // once when nothing waits before it and the bridge's credits cover all of
    // its frames (so that no credit wait can hold that thread), else queued
    // for the sending thread. Packets leave in the order of the calls.
    void send_packet(std::vector<std::uint8_t> data, bool eep);
    // Sends a code byte at once, flags as they are (any thread).
    void send_time_code(std::uint8_t code);

    // True when the send queue is above kSendQueueHigh: `resume` is then
    // called once, on the sending thread, when it is down to half of that.
    bool pause_if_full(std::function<void()> resume);

private:
    struct Outgoing {
        std::vector<std::uint8_t> data;
        bool eep;
    };
    void receive_loop();
    void spin_for_next_frame() const;
    void send_loop();
    bool credits_cover(std::size_t bytes) const;
    void send_now(const Outgoing &packet);
    static void on_codes(pcap *socket, const unsigned char *data, int size, void *context);
    static void on_status(pcap *socket, const unsigned char *data, int size, void *context);
    static void on_error(pcap *socket, const unsigned char *data, int size, void *context);

    const Options &options_;
    Counters &counters_;
    pcap *socket_ = nullptr;
    BridgeSink *sink_ = nullptr;
    BridgeWatcher *watcher_ = nullptr;
    std::atomic<bool> stopping_{false};
    std::thread receiver_, sender_;

    std::mutex queue_mutex_;
    std::condition_variable queue_changed_;
    std::deque<Outgoing> queue_;
    std::size_t queued_bytes_ = 0;
    bool sender_busy_ = false;  // the sending thread has a packet out of the queue
    std::function<void()> resume_;
};

}  // namespace gateway
