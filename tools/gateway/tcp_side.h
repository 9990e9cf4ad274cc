// The network side of the gateway: an Asio TCP server that serves one client
// at a time in the SSDTP2 framing. Each client has a strand of its own; what
// comes from the bridge is written straight to an idle client's socket by the
// receiving thread, or else posted onto the strand and queued, up to --queue-bytes.
// The io_context may also carry other servers (a web view), since nothing
// here blocks it.
#pragma once

#include <asio.hpp>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "bridge_side.h"
#include "log.h"
#include "options.h"
#include "ssdtp2.h"

namespace gateway {

class Session : public std::enable_shared_from_this<Session> {
public:
    using Ended = std::function<void(const Session *)>;
    Session(asio::ip::tcp::socket socket, std::string peer, const Options &options,
            BridgeSide &bridge, Counters &counters, Ended ended);

    void start();
    // Any thread: queue for the client, in the order of the calls. The
    // packet's bytes are copied only when they cannot be written at once.
    void deliver_packet(std::span<const std::uint8_t> data, bool eep);
    void deliver_time_code(std::uint8_t code);
    // Any thread: closes the connection (the gateway stops).
    void close();
    const std::string &peer() const { return peer_; }

private:
    struct Outgoing {
        std::array<std::uint8_t, ssdtp2::kTimeCodeFrameSize> head{};
        std::size_t head_size = 0;
        std::vector<std::uint8_t> data;
        bool time_code = false;
        bool counted = false;  // the rest of a frame written in part directly
        std::size_t size() const { return head_size + data.size(); }
    };
    // A frame to deliver: its header (a time code's whole frame) and its data,
    // both borrowed for the call.
    struct Borrowed {
        std::span<const std::uint8_t> head, data;
        bool time_code() const { return data.empty(); }
        std::size_t size() const { return head.size() + data.size(); }
    };
    void deliver(Borrowed frame);
    std::size_t write_directly(const Borrowed &frame);
    void count_delivered(bool time_code, std::size_t bytes);
    void uncount_delivered(bool time_code, std::size_t bytes);
    void allow_direct_writes_if_idle();
    void read_next();
    void on_read(const asio::error_code &error, std::size_t n);
    void take(std::vector<ssdtp2::Message> &messages);
    void write_next();
    void on_written(const asio::error_code &error, std::size_t items);
    void finish(const std::string &why);

    asio::ip::tcp::socket socket_;
    asio::strand<asio::any_io_executor> strand_;
    const std::string peer_;
    const Options &options_;
    BridgeSide &bridge_;
    Counters &counters_;
    Ended ended_;
    ssdtp2::Decoder decoder_;
    std::vector<std::uint8_t> read_buffer_;
    std::vector<ssdtp2::Message> messages_;
    // Delivered and not yet written: counted when delivered, on any thread.
    std::atomic<std::uint64_t> queued_bytes_{0};
    std::deque<Outgoing> queue_;  // strand only from here on
    std::vector<asio::const_buffer> write_buffers_;
    bool writing_ = false;
    bool closed_ = false;
    // The bridge's receiving thread writes a frame to the client's socket
    // itself (no hand-off to the network thread) while direct_ is set:
    // nothing is queued, posted or being written for the client, and the
    // connection is open. The strand clears it by the receiving thread's
    // own fallback (under direct_mutex_) and sets it again once everything
    // delivered is written; finish() clears it before the socket closes.
    std::mutex direct_mutex_;
    bool direct_ = false;
    int descriptor_ = -1;
};

class TcpSide : public BridgeSink {
public:
    TcpSide(asio::io_context &io, const Options &options, BridgeSide &bridge, Counters &counters);

    // Opens the listener; an error text, or "" on success.
    std::string listen();
    // Stops listening and closes the client's connection.
    void stop();
    asio::ip::tcp::endpoint local_endpoint() const { return acceptor_.local_endpoint(); }

    void packet_from_bridge(std::span<const std::uint8_t> data, bool eep) override;
    void time_code_from_bridge(std::uint8_t code) override;

private:
    void accept_next();
    void on_accept(const asio::error_code &error, asio::ip::tcp::socket socket);
    std::shared_ptr<Session> current();
    void dropped_for_want_of_client();

    asio::io_context &io_;
    const Options &options_;
    BridgeSide &bridge_;
    Counters &counters_;
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer retry_timer_;
    AllowList allow_;
    std::mutex session_mutex_;  // the bridge's receiving thread reads session_
    std::shared_ptr<Session> session_;
    std::atomic<bool> drop_reported_{false};
};

}  // namespace gateway
