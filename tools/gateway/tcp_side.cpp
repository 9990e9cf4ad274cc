#include "tcp_side.h"

#include <sys/socket.h>
#include <sys/uio.h>

namespace gateway {
namespace {

inline constexpr std::size_t kReadSize = 64u << 10;
// A write gathers at most this many queued frames.
inline constexpr std::size_t kMaxItemsPerWrite = 64;
inline constexpr int kAcceptRetryMs = 100;

std::string text_of(const asio::ip::tcp::endpoint &endpoint) {
    const asio::ip::address address = endpoint.address();
    const std::string host =
        address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    return host + ":" + std::to_string(endpoint.port());
}

}  // namespace

// ---------------------------------------------------------------- Session

Session::Session(asio::ip::tcp::socket socket, std::string peer, const Options &options,
                 BridgeSide &bridge, Counters &counters, Ended ended)
    : socket_(std::move(socket)),
      strand_(asio::make_strand(socket_.get_executor())),
      peer_(std::move(peer)),
      options_(options),
      bridge_(bridge),
      counters_(counters),
      ended_(std::move(ended)),
      decoder_(options.max_packet),
      read_buffer_(kReadSize) {}

void Session::start() {
    asio::error_code ignored;
    socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
    {
        const std::lock_guard lock(direct_mutex_);
        descriptor_ = socket_.native_handle();
        direct_ = queued_bytes_.load() == 0;  // not ahead of what was posted before now
    }
    asio::post(strand_, [self = shared_from_this()] { self->read_next(); });
}

void Session::close() {
    asio::post(strand_, [self = shared_from_this()] { self->finish("the gateway stops"); });
}

void Session::read_next() {
    if (closed_) return;
    socket_.async_read_some(
        asio::buffer(read_buffer_),
        asio::bind_executor(strand_,
                            [self = shared_from_this()](const asio::error_code &e, std::size_t n) {
                                self->on_read(e, n);
                            }));
}

void Session::on_read(const asio::error_code &error, std::size_t n) {
    if (closed_) return;
    if (error) {
        std::string why =
            error == asio::error::eof ? "left" : "connection lost: " + error.message();
        if (!decoder_.at_frame_boundary())
            why += " in the middle of a frame (" + std::to_string(decoder_.pending_bytes()) +
                   " bytes of a packet not sent)";
        finish(why);
        return;
    }
    messages_.clear();
    const auto refusal = decoder_.feed({read_buffer_.data(), n}, messages_);
    take(messages_);  // what came before the bad bytes is whole and goes on
    if (refusal) {
        count(counters_.closed_bad_input);
        finish("closed for bad input: " + ssdtp2::describe(*refusal, options_.max_packet));
        return;
    }
    // While the bridge is behind, the client waits in TCP's flow control.
    const bool paused = bridge_.pause_if_full(
        [self = shared_from_this()] { asio::post(self->strand_, [self] { self->read_next(); }); });
    if (!paused) read_next();
}

void Session::take(std::vector<ssdtp2::Message> &messages) {
    for (ssdtp2::Message &m : messages) {
        if (m.kind == ssdtp2::Message::Kind::time_code) {
            bridge_.send_time_code(m.code);
        } else if (m.data.empty()) {
            count(counters_.empty_from_client);  // a packet of no bytes: nothing goes on the link
        } else {
            bridge_.send_packet(std::move(m.data), m.eep);
        }
    }
}

void Session::deliver_packet(std::span<const std::uint8_t> data, bool eep) {
    const auto head = ssdtp2::packet_header(data.size(), eep);
    deliver({head, data});
}

void Session::deliver_time_code(std::uint8_t code) {
    const auto frame = ssdtp2::time_code_frame(code);
    deliver({frame, {}});
}

void Session::count_delivered(bool time_code, std::size_t bytes) {
    count(time_code ? counters_.time_codes_from_bridge : counters_.packets_from_bridge);
    if (!time_code) count(counters_.bytes_from_bridge, bytes);
}

void Session::uncount_delivered(bool time_code, std::size_t bytes) {
    (time_code ? counters_.time_codes_from_bridge : counters_.packets_from_bridge)
        .fetch_sub(1, std::memory_order_relaxed);
    if (!time_code) counters_.bytes_from_bridge.fetch_sub(bytes, std::memory_order_relaxed);
}

// With direct_mutex_ held and direct_ set: one non-blocking write of the whole
// frame; the bytes it took. Unless it took them all, direct writes stop.
std::size_t Session::write_directly(const Borrowed &frame) {
    iovec parts[2] = {{const_cast<std::uint8_t *>(frame.head.data()), frame.head.size()},
                      {const_cast<std::uint8_t *>(frame.data.data()), frame.data.size()}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = frame.data.empty() ? 1 : 2;
    // Counted before the write: the client may have the frame, and ask for
    // the counters, before this thread runs again.
    count_delivered(frame.time_code(), frame.data.size());
    const ssize_t sent = ::sendmsg(descriptor_, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent == static_cast<ssize_t>(frame.size())) return frame.size();
    direct_ = false;
    if (sent > 0) return static_cast<std::size_t>(sent);
    // EAGAIN, or an error that the strand's write will meet: it counts the frame then.
    uncount_delivered(frame.time_code(), frame.data.size());
    return 0;
}

void Session::deliver(Borrowed frame) {
    Outgoing item;
    {
        const std::lock_guard lock(direct_mutex_);
        const std::size_t written = direct_ ? write_directly(frame) : 0;
        if (written == frame.size()) return;
        if (written == 0) {  // the whole frame waits, copied
            std::copy(frame.head.begin(), frame.head.end(), item.head.begin());
            item.head_size = frame.head.size();
            item.data.assign(frame.data.begin(), frame.data.end());
            item.time_code = frame.time_code();
        } else {  // the rest of it goes through the strand, after nothing else
            item.data = ssdtp2::rest_of_frame(frame.head, frame.data, written);
            item.counted = true;
        }
        queued_bytes_.fetch_add(item.size());  // under the lock: the strand reads it there
    }
    asio::post(strand_, [self = shared_from_this(), item = std::move(item)]() mutable {
        if (self->closed_) {
            self->queued_bytes_.fetch_sub(item.size());
            if (!item.counted) count(self->counters_.dropped_queued);
            return;
        }
        if (!item.counted) self->count_delivered(item.time_code, item.data.size());
        self->queue_.push_back(std::move(item));
        const std::uint64_t queued = self->queued_bytes_.load();
        if (queued > self->options_.queue_bytes) {
            count(self->counters_.disconnected_slow);
            self->finish("reads too slowly: " + std::to_string(queued) +
                         " bytes queued, above --queue-bytes " +
                         std::to_string(self->options_.queue_bytes) + "; disconnected");
            return;
        }
        if (!self->writing_) self->write_next();
    });
}

void Session::allow_direct_writes_if_idle() {
    const std::lock_guard lock(direct_mutex_);
    if (!closed_ && queue_.empty() && queued_bytes_.load() == 0) direct_ = true;
}

void Session::write_next() {
    if (closed_ || queue_.empty()) return;
    write_buffers_.clear();
    std::size_t items = 0;
    for (const Outgoing &item : queue_) {
        if (items == kMaxItemsPerWrite) break;
        write_buffers_.push_back(asio::buffer(item.head.data(), item.head_size));
        if (!item.data.empty()) write_buffers_.push_back(asio::buffer(item.data));
        ++items;
    }
    writing_ = true;
    asio::async_write(socket_, write_buffers_,
                      asio::bind_executor(strand_, [self = shared_from_this(), items](
                                                       const asio::error_code &e, std::size_t) {
                          self->on_written(e, items);
                      }));
}

void Session::on_written(const asio::error_code &error, std::size_t items) {
    writing_ = false;
    if (closed_) return;
    if (error) {
        finish("connection lost while writing: " + error.message());
        return;
    }
    for (std::size_t i = 0; i < items; ++i) {
        queued_bytes_.fetch_sub(queue_.front().size());
        queue_.pop_front();
    }
    if (queue_.empty())
        allow_direct_writes_if_idle();
    else
        write_next();
}

void Session::finish(const std::string &why) {
    if (closed_) return;
    {
        const std::lock_guard lock(direct_mutex_);  // no direct write from here on
        closed_ = true;
        direct_ = false;
    }
    if (!queue_.empty()) {
        count(counters_.dropped_queued, queue_.size());
        log_line("client %s: %zu frames (%llu bytes) queued for it were not sent", peer_.c_str(),
                 queue_.size(), static_cast<unsigned long long>(queued_bytes_.load()));
    }
    log_line("client %s %s", peer_.c_str(), why.c_str());
    asio::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    // Buffers of a write still under way stay valid: the queue is kept until
    // this session goes, after that write's handler.
    ended_(this);
}

// ---------------------------------------------------------------- TcpSide

TcpSide::TcpSide(asio::io_context &io, const Options &options, BridgeSide &bridge,
                 Counters &counters)
    : io_(io),
      options_(options),
      bridge_(bridge),
      counters_(counters),
      acceptor_(io),
      retry_timer_(io),
      allow_(options.allow) {}

std::string TcpSide::listen() {
    asio::error_code error;
    const asio::ip::tcp::endpoint &at = options_.listen;
    acceptor_.open(at.protocol(), error);
    if (!error) acceptor_.set_option(asio::ip::tcp::acceptor::reuse_address(true), error);
    if (!error && at.address().is_v6())  // [::] takes IPv4 clients too
        acceptor_.set_option(asio::ip::v6_only(false), error);
    if (!error) acceptor_.bind(at, error);
    if (!error) acceptor_.listen(asio::socket_base::max_listen_connections, error);
    if (error) return "cannot listen on " + text_of(at) + ": " + error.message();
    log_line("listening on %s", text_of(acceptor_.local_endpoint()).c_str());
    accept_next();
    return "";
}

void TcpSide::stop() {
    asio::error_code ignored;
    acceptor_.close(ignored);
    retry_timer_.cancel();
    if (const auto session = current()) session->close();
}

void TcpSide::accept_next() {
    acceptor_.async_accept([this](const asio::error_code &error, asio::ip::tcp::socket socket) {
        on_accept(error, std::move(socket));
    });
}

void TcpSide::on_accept(const asio::error_code &error, asio::ip::tcp::socket socket) {
    if (error == asio::error::operation_aborted || !acceptor_.is_open()) return;
    if (error) {  // out of descriptors, for example: try again a little later
        log_line("accepting a connection failed: %s; trying again in %d ms",
                 error.message().c_str(), kAcceptRetryMs);
        retry_timer_.expires_after(std::chrono::milliseconds(kAcceptRetryMs));
        retry_timer_.async_wait([this](const asio::error_code &e) {
            if (!e && acceptor_.is_open()) accept_next();
        });
        return;
    }
    asio::error_code e;
    const asio::ip::tcp::endpoint remote = socket.remote_endpoint(e);
    const std::string peer = e ? "(address unknown)" : text_of(remote);
    const auto refuse = [&](const std::string &why) {
        count(counters_.refused_connections);
        log_line("refused %s: %s", peer.c_str(), why.c_str());
        asio::error_code ignored;
        socket.close(ignored);
    };
    if (e || !allow_.allows(remote.address())) {
        refuse("not inside any --allow range");
    } else if (const auto served = current()) {
        refuse("a client is already served (" + served->peer() + ")");
    } else {
        count(counters_.connections);
        log_line("client %s connected", peer.c_str());
        auto session = std::make_shared<Session>(std::move(socket), peer, options_, bridge_,
                                                 counters_, [this](const Session *ended) {
                                                     const std::lock_guard lock(session_mutex_);
                                                     if (session_.get() == ended) session_.reset();
                                                 });
        {
            const std::lock_guard lock(session_mutex_);
            session_ = session;
        }
        drop_reported_ = false;
        session->start();
    }
    accept_next();
}

std::shared_ptr<Session> TcpSide::current() {
    const std::lock_guard lock(session_mutex_);
    return session_;
}

void TcpSide::dropped_for_want_of_client() {
    count(counters_.dropped_no_client);
    if (!drop_reported_.exchange(true))
        log_line(
            "no client connected: what comes from the bridge is dropped and counted "
            "(dropped_no_client)");
}

void TcpSide::packet_from_bridge(std::span<const std::uint8_t> data, bool eep) {
    if (const auto session = current())
        session->deliver_packet(data, eep);
    else
        dropped_for_want_of_client();
}

void TcpSide::time_code_from_bridge(std::uint8_t code) {
    if (const auto session = current())
        session->deliver_time_code(code);
    else
        dropped_for_want_of_client();
}

}  // namespace gateway
