// Shared pieces of the fuzz targets: an input reader, a clean library per
// input, and a check that stops the run with a message.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "fake_pcap.h"
#include "link/transmit.h"
#include "state/console.h"
#include "state/state.h"

namespace fuzz {

using Bytes = std::vector<std::uint8_t>;

// Reads the fuzz input front to back; past its end every value reads as 0.
class Input {
public:
    Input(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return at_ >= size_; }
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(byte() | (byte() << 8)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(u16() | (std::uint32_t{u16()} << 16)); }
    // Up to `count` bytes, fewer when the input ends first.
    std::span<const std::uint8_t> bytes(std::size_t count) {
        const std::size_t n = std::min(count, size_ - std::min(at_, size_));
        std::span<const std::uint8_t> taken(data_ + at_, n);
        at_ += n;
        return taken;
    }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// Fails the run: libFuzzer keeps the input that led here.
[[noreturn]] inline void fail(const char *what, const std::string &detail = {}) {
    std::fprintf(stderr, "fuzz check failed: %s %s\n", what, detail.c_str());
    std::abort();
}

inline void check(bool ok, const char *what, const std::string &detail = {}) {
    if (!ok) fail(what, detail);
}

// The library at its load defaults, the pcap double empty, the console captured.
class CleanLibrary {
public:
    CleanLibrary() {
        spweth::reset_library_state();
        fake_pcap::reset();
        fake_pcap::set_batching(true);  // frames go out in batches, as over an adapter
        spweth::send_messages = &fake_pcap::sendmmsg;
        spweth::console_redirect(&out, &err, nullptr);
    }
    ~CleanLibrary() {
        spweth::console_redirect(nullptr, nullptr, nullptr);
        spweth::reset_library_state();
        fake_pcap::reset();
    }
    CleanLibrary(const CleanLibrary &) = delete;
    CleanLibrary &operator=(const CleanLibrary &) = delete;

    std::string out;
    std::string err;
};

// A pcap handle of the double, opened as the library would open an adapter.
inline pcap_t *open_fake_handle() {
    char errbuf[PCAP_ERRBUF_SIZE];
    return pcap_open_live("fuzz0", 65536, 1, 100, errbuf);
}

}  // namespace fuzz
