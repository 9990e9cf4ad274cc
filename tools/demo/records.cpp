#include "records.h"

#include <cstdio>

namespace demo {

void print_json(const nlohmann::json &object) {
    // Adapter descriptions are not always UTF-8: such bytes print as U+FFFD.
    std::fputs(object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str(),
               stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace demo
