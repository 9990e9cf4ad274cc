// The web view (--http): a small read-only HTTP server beside the TCP side,
// with cpp-httplib's own threads. It serves the page and its script and style
// (built into the program), Chart.js from where Debian's libjs-chart.js puts
// it, and the Monitor's JSON: /api/status, /api/history and the event stream
// /api/events. Nothing it serves changes anything on the bridge.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "access.h"
#include "log.h"
#include "monitor.h"
#include "options.h"

namespace httplib {
class Server;
}

namespace gateway {

class WebSide {
public:
    // Event streams served at once; more are refused (503).
    static constexpr int kMaxStreams = 8;

    WebSide(const Options &options, Monitor &monitor, Counters &counters);
    ~WebSide();
    WebSide(const WebSide &) = delete;
    WebSide &operator=(const WebSide &) = delete;

    // Binds to --http; an error text, or "" on success.
    std::string listen();
    // Serves on a thread of its own until stop().
    void start();
    // Ends the event streams, closes every connection and joins the threads.
    void stop();

private:
    void routes();
    bool allowed(const std::string &remote, const std::string &path);

    const Options &options_;
    Monitor &monitor_;
    Counters &counters_;
    AllowList allow_;
    std::unique_ptr<httplib::Server> server_;
    std::string chart_js_;  // empty when the package is not installed
    std::atomic<int> streams_{0};
    std::thread thread_;
};

}  // namespace gateway
