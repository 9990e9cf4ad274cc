#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace gateway {

void log_line(const char *format, ...) {
    static std::mutex mutex;
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    const std::lock_guard lock(mutex);
    std::fprintf(stderr, "spweth-gateway: %s\n", text);
    std::fflush(stderr);
}

std::string counters_line(const Counters &counters) {
    std::string line = "counters:";
    for (const CounterField &f : kCounterFields)
        line += " " + std::string(f.name) + "=" +
                std::to_string((counters.*f.field).load(std::memory_order_relaxed));
    return line;
}

}  // namespace gateway
