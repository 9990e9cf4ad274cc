#include "wire.h"

#include <cstdio>

namespace bridge_emu::wire {

std::optional<Mac> Mac::parse(std::string_view text) {
    Mac mac;
    std::size_t at = 0;
    for (std::size_t i = 0; i < 6; ++i) {
        if (i > 0) {
            if (at >= text.size() || (text[at] != ':' && text[at] != '-')) return std::nullopt;
            ++at;
        }
        unsigned value = 0;
        for (int digit = 0; digit < 2; ++digit, ++at) {
            if (at >= text.size()) return std::nullopt;
            const char c = text[at];
            unsigned nibble;
            if (c >= '0' && c <= '9')
                nibble = static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                nibble = static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                nibble = static_cast<unsigned>(c - 'A' + 10);
            else
                return std::nullopt;
            value = value * 16 + nibble;
        }
        mac.bytes[i] = static_cast<std::uint8_t>(value);
    }
    if (at != text.size()) return std::nullopt;
    return mac;
}

std::string Mac::text() const {
    char out[18];
    std::snprintf(out, sizeof out, "%02x:%02x:%02x:%02x:%02x:%02x", bytes[0], bytes[1], bytes[2],
                  bytes[3], bytes[4], bytes[5]);
    return out;
}

}  // namespace bridge_emu::wire
