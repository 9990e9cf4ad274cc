// The console channels: every message of the library goes through these, to
// the application's handler (set_console_handler) when one is set, else to
// the standard streams.
#pragma once

#include <string>

#include "spweth.h"

namespace spweth {

// The stream numbers a console handler is given.
enum class ConsoleStream : int { out = 1, err = 2 };

// Formatted output to standard output (printf rules).
void console_print(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Formatted output to standard error.
void console_error(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Formatted input from standard input (scanf rules).
int console_scan(const char *format, ...) __attribute__((format(scanf, 1, 2)));

// set_console_handler: null restores the streams.
void set_handler(spweth_console_handler handler, void *context);

// Tests: send output to strings and read input from a string instead of the
// standard streams. Null pointers restore the streams. A console handler,
// while set, still comes first.
void console_redirect(std::string *out, std::string *err, const char *input);

}  // namespace spweth
