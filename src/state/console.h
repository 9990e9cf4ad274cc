// The console channels: every message of the library goes through these.
#pragma once

#include <string>

namespace spweth {

// Formatted output to standard output (printf rules).
void console_print(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Formatted output to standard error.
void console_error(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Formatted input from standard input (scanf rules).
int console_scan(const char *format, ...) __attribute__((format(scanf, 1, 2)));

// Tests: send output to strings and read input from a string instead of the
// standard streams. Null pointers restore the streams.
void console_redirect(std::string *out, std::string *err, const char *input);

}  // namespace spweth
