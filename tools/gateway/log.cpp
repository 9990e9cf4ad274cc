#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace gateway {
namespace {

std::mutex log_mutex;
std::function<void(std::string_view)> log_observer;  // set while no other thread logs
thread_local std::string *library_capture = nullptr;

void write_line(const char *text) {
    const std::lock_guard lock(log_mutex);
    std::fprintf(stderr, "spweth-gateway: %s\n", text);
    std::fflush(stderr);
}

}  // namespace

void log_line(const char *format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    write_line(text);
    if (log_observer) log_observer(text);
}

void observe_log(std::function<void(std::string_view line)> observer) {
    log_observer = std::move(observer);
}

void library_message(int stream, const char *text, void *context) {
    if (library_capture != nullptr) {
        *library_capture += text;
        return;
    }
    const bool verbose = *static_cast<const bool *>(context);
    if (stream != 2 && !verbose) return;
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.front() == '\n'))
        line.erase(line.back() == '\n' ? line.size() - 1 : 0, 1);
    if (!line.empty()) log_line("spweth: %s", line.c_str());
}

std::string printed_by_library(const std::function<void()> &print) {
    std::string text;
    library_capture = &text;
    print();
    library_capture = nullptr;
    return text;
}

std::string counters_line(const Counters &counters) {
    std::string line = "counters:";
    for (const CounterField &f : kCounterFields)
        line += " " + std::string(f.name) + "=" +
                std::to_string((counters.*f.field).load(std::memory_order_relaxed));
    return line;
}

void log_counters(const Counters &counters) { write_line(counters_line(counters).c_str()); }

}  // namespace gateway
