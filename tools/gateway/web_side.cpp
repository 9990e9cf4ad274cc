#include "web_side.h"

#include <httplib.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "web_assets.h"

namespace gateway {
namespace {

// Where Debian's libjs-chart.js installs Chart.js.
constexpr const char *kChartJsPath = "/usr/share/javascript/chart.js/chart.min.js";
// Event streams, and room for the page's other requests beside them.
constexpr std::size_t kWebThreads = WebSide::kMaxStreams + 4;
constexpr std::size_t kMaxRequestBytes = 8u << 10;  // GET requests only: no body
// An event stream wakes this often to see whether its client is still there,
// and sends a comment when nothing else went for this long.
constexpr auto kStreamWake = std::chrono::milliseconds(500);
constexpr auto kStreamKeepAlive = std::chrono::seconds(15);
constexpr const char *kPolicy =
    "default-src 'self'; object-src 'none'; base-uri 'none'; frame-ancestors 'none'";

std::string read_file(const char *path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string text_of(const asio::ip::tcp::endpoint &endpoint) {
    const asio::ip::address address = endpoint.address();
    const std::string host =
        address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    return host + ":" + std::to_string(endpoint.port());
}

void serve(httplib::Response &response, std::string_view body, const char *type) {
    response.set_content(body.data(), body.size(), type);
}

}  // namespace

WebSide::WebSide(const Options &options, Monitor &monitor, Counters &counters)
    : options_(options),
      monitor_(monitor),
      counters_(counters),
      allow_(options.allow),
      server_(std::make_unique<httplib::Server>()) {}

WebSide::~WebSide() { stop(); }

std::string WebSide::listen() {
    const asio::ip::tcp::endpoint &at = *options_.http;
    chart_js_ = read_file(kChartJsPath);
    if (chart_js_.empty())
        log_line("web view: no Chart.js at %s (package libjs-chart.js): the page draws no chart",
                 kChartJsPath);
    routes();
    if (!server_->bind_to_port(at.address().to_string(), at.port()))
        return "web view: cannot listen on " + text_of(at);
    log_line("web view on http://%s/", text_of(at).c_str());
    return "";
}

void WebSide::start() {
    thread_ = std::thread([this] { server_->listen_after_bind(); });
}

void WebSide::stop() {
    monitor_.close();  // ends the event streams
    if (server_) server_->stop();
    if (thread_.joinable()) thread_.join();
}

bool WebSide::allowed(const std::string &remote, const std::string &path) {
    asio::error_code error;
    const asio::ip::address address = asio::ip::make_address(remote, error);
    if (!error && allow_.allows(address)) return true;
    count(counters_.refused_web_requests);
    log_line("web view: refused %s (GET %s): not inside any --allow range", remote.c_str(),
             path.c_str());
    return false;
}

void WebSide::routes() {
    httplib::Server &s = *server_;
    s.new_task_queue = [] { return new httplib::ThreadPool(kWebThreads); };
    s.set_payload_max_length(kMaxRequestBytes);
    s.set_default_headers({{"Content-Security-Policy", kPolicy},
                           {"X-Content-Type-Options", "nosniff"},
                           {"Referrer-Policy", "no-referrer"}});
    // Who may connect is checked before any route: the same --allow as the TCP side.
    s.set_pre_routing_handler([this](const httplib::Request &request, httplib::Response &response) {
        if (allowed(request.remote_addr, request.path))
            return httplib::Server::HandlerResponse::Unhandled;
        response.status = 403;
        serve(response, "not inside any --allow range\n", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    });

    s.Get("/", [](const httplib::Request &, httplib::Response &response) {
        serve(response, web::kMonitorHtml, "text/html; charset=utf-8");
    });
    s.Get("/monitor.js", [](const httplib::Request &, httplib::Response &response) {
        serve(response, web::kMonitorJs, "text/javascript; charset=utf-8");
    });
    s.Get("/monitor.css", [](const httplib::Request &, httplib::Response &response) {
        serve(response, web::kMonitorCss, "text/css; charset=utf-8");
    });
    s.Get("/chart.js", [this](const httplib::Request &, httplib::Response &response) {
        if (chart_js_.empty()) {
            response.status = 404;
            serve(response, "Chart.js is not installed (libjs-chart.js)\n", "text/plain");
            return;
        }
        response.set_header("Cache-Control", "max-age=86400");
        serve(response, chart_js_, "text/javascript; charset=utf-8");
    });
    s.Get("/api/status", [this](const httplib::Request &, httplib::Response &response) {
        response.set_header("Cache-Control", "no-store");
        response.set_content(monitor_.status_json(), "application/json");
    });
    s.Get("/api/history", [this](const httplib::Request &, httplib::Response &response) {
        response.set_header("Cache-Control", "no-store");
        response.set_content(monitor_.history_json(), "application/json");
    });
    s.Get("/api/events", [this](const httplib::Request &request, httplib::Response &response) {
        if (streams_.fetch_add(1) >= kMaxStreams) {
            streams_.fetch_sub(1);
            count(counters_.refused_web_requests);
            log_line("web view: refused an event stream to %s: %d are served already",
                     request.remote_addr.c_str(), kMaxStreams);
            response.status = 503;
            serve(response, "too many event streams\n", "text/plain");
            return;
        }
        // A reconnecting EventSource says the last id it saw: it gets what came after.
        auto cursor = std::make_shared<std::optional<std::uint64_t>>();
        if (const std::string last = request.get_header_value("Last-Event-ID"); !last.empty()) {
            try {
                *cursor = std::stoull(last);
            } catch (const std::exception &) {
            }
        }
        auto quiet_since = std::make_shared<std::chrono::steady_clock::time_point>(
            std::chrono::steady_clock::now());
        response.set_header("Cache-Control", "no-store");
        response.set_chunked_content_provider(
            "text/event-stream",
            [this, cursor, quiet_since](std::size_t, httplib::DataSink &sink) {
                if (monitor_.closed()) {
                    sink.done();
                    return true;
                }
                std::string out;
                for (const Monitor::Item &item : monitor_.next(*cursor, kStreamWake))
                    out += "id: " + std::to_string(item.id) + "\ndata: " + item.json + "\n\n";
                const auto now = std::chrono::steady_clock::now();
                if (out.empty() && now - *quiet_since >= kStreamKeepAlive) out = ": still here\n\n";
                if (out.empty()) return sink.is_writable();
                *quiet_since = now;
                return sink.write(out.data(), out.size());
            },
            [this](bool) { streams_.fetch_sub(1); });
    });
}

}  // namespace gateway
