#include "state/console.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace spweth {
namespace {

std::string *redirected_out = nullptr;
std::string *redirected_err = nullptr;
const char *redirected_input = nullptr;

// The application's handler and its context, always read and written together.
struct ConsoleHandler {
    spweth_console_handler handler = nullptr;
    void *context = nullptr;
};
std::mutex handler_mutex;
ConsoleHandler console_handler;

ConsoleHandler current_handler() {
    const std::lock_guard lock(handler_mutex);
    return console_handler;
}

// Messages this long or shorter are formatted on the stack; longer ones on the heap.
constexpr std::size_t kStackMessageSize = 1024;

// Formats the message and hands it to the handler in one call. When the heap
// has no room for a long message, the handler gets its first bytes.
void call_handler(const ConsoleHandler &to, ConsoleStream stream, const char *format,
                  va_list args) {
    std::array<char, kStackMessageSize> text;
    va_list measure;
    va_copy(measure, args);
    const int needed = std::vsnprintf(text.data(), text.size(), format, measure);
    va_end(measure);
    if (needed < 0) return;
    char *long_text = nullptr;
    if (static_cast<std::size_t>(needed) >= text.size()) {
        const std::size_t size = static_cast<std::size_t>(needed) + 1;
        long_text = static_cast<char *>(std::malloc(size));
        if (long_text != nullptr) std::vsnprintf(long_text, size, format, args);
    }
    to.handler(static_cast<int>(stream), long_text != nullptr ? long_text : text.data(),
               to.context);
    std::free(long_text);
}

void append_formatted(std::string &sink, const char *format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    const int needed = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (needed <= 0) return;
    const std::size_t at = sink.size();
    sink.resize(at + static_cast<std::size_t>(needed) + 1);
    std::vsnprintf(sink.data() + at, static_cast<std::size_t>(needed) + 1, format, args);
    sink.resize(at + static_cast<std::size_t>(needed));
}

// The handler first; else the test's string, else the standard stream.
void write_channel(ConsoleStream stream, const char *format, va_list args) {
    if (const ConsoleHandler to = current_handler(); to.handler != nullptr) {
        call_handler(to, stream, format, args);
        return;
    }
    const bool out = stream == ConsoleStream::out;
    if (std::string *redirect = out ? redirected_out : redirected_err; redirect != nullptr)
        append_formatted(*redirect, format, args);
    else
        std::vfprintf(out ? stdout : stderr, format, args);
}

}  // namespace

void console_print(const char *format, ...) {
    va_list args;
    va_start(args, format);
    write_channel(ConsoleStream::out, format, args);
    va_end(args);
}

void console_error(const char *format, ...) {
    va_list args;
    va_start(args, format);
    write_channel(ConsoleStream::err, format, args);
    va_end(args);
}

int console_scan(const char *format, ...) {
    va_list args;
    va_start(args, format);
    const int result = redirected_input != nullptr ? std::vsscanf(redirected_input, format, args)
                                                   : std::vscanf(format, args);
    va_end(args);
    return result;
}

void console_redirect(std::string *out, std::string *err, const char *input) {
    redirected_out = out;
    redirected_err = err;
    redirected_input = input;
}

void set_handler(spweth_console_handler handler, void *context) {
    const std::lock_guard lock(handler_mutex);
    console_handler = {handler, handler != nullptr ? context : nullptr};
}

}  // namespace spweth

extern "C" {

SPWETH_API void set_console_handler(spweth_console_handler handler, void *context) {
    spweth::set_handler(handler, context);
}

}  // extern "C"
