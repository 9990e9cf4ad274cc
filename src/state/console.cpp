#include "state/console.h"

#include <cstdarg>
#include <cstdio>

namespace spweth {
namespace {

std::string *redirected_out = nullptr;
std::string *redirected_err = nullptr;
const char *redirected_input = nullptr;

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

void write_channel(std::string *redirect, FILE *stream, const char *format, va_list args) {
    if (redirect != nullptr)
        append_formatted(*redirect, format, args);
    else
        std::vfprintf(stream, format, args);
}

}  // namespace

void console_print(const char *format, ...) {
    va_list args;
    va_start(args, format);
    write_channel(redirected_out, stdout, format, args);
    va_end(args);
}

void console_error(const char *format, ...) {
    va_list args;
    va_start(args, format);
    write_channel(redirected_err, stderr, format, args);
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

}  // namespace spweth
