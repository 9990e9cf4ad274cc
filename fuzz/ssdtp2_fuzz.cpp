// The gateway's SSDTP2 decoder on arbitrary bytes. The first byte chooses how
// the rest is cut into reads (as TCP may cut it) and the packet limit; the
// bytes fed whole and fed in those pieces must give the same messages and the
// same refusal, every packet must be within the limit, and every packet the
// gateway would write back must decode to itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "ssdtp2.h"

namespace {

struct Result {
    std::vector<ssdtp2::Message> messages;
    std::optional<ssdtp2::Refusal> refusal;
};

bool same(const Result &a, const Result &b) {
    if (a.messages.size() != b.messages.size()) return false;
    for (std::size_t i = 0; i < a.messages.size(); ++i) {
        const auto &x = a.messages[i], &y = b.messages[i];
        if (x.kind != y.kind || x.eep != y.eep || x.code != y.code || x.data != y.data)
            return false;
    }
    if (a.refusal.has_value() != b.refusal.has_value()) return false;
    return !a.refusal ||
           (a.refusal->reason == b.refusal->reason && a.refusal->value == b.refusal->value);
}

Result decode(const std::uint8_t *data, std::size_t size, std::size_t chunk, std::uint64_t max) {
    ssdtp2::Decoder decoder(max);
    Result r;
    for (std::size_t at = 0; at < size && !r.refusal; at += chunk)
        r.refusal = decoder.feed({data + at, std::min(chunk, size - at)}, r.messages);
    if (r.refusal) (void)ssdtp2::describe(*r.refusal, max);
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t chunk = 1 + (data[0] & 0x1F);
    const std::uint64_t max = (data[0] & 0x80) ? 64 : 4096;
    ++data;
    --size;
    const Result whole = decode(data, size, size == 0 ? 1 : size, max);
    const Result cut = decode(data, size, chunk, max);
    if (!same(whole, cut)) std::abort();
    for (const ssdtp2::Message &m : whole.messages) {
        if (m.data.size() > max) std::abort();
        if (m.kind != ssdtp2::Message::Kind::packet) continue;
        std::vector<std::uint8_t> frame;
        const auto head = ssdtp2::packet_header(m.data.size(), m.eep);
        frame.insert(frame.end(), head.begin(), head.end());
        frame.insert(frame.end(), m.data.begin(), m.data.end());
        const Result again = decode(frame.data(), frame.size(), frame.size(), max);
        if (again.refusal || again.messages.size() != 1 || again.messages[0].data != m.data ||
            again.messages[0].eep != m.eep)
            std::abort();
    }
    return 0;
}
