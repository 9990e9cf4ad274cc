// Control-code frames: time codes, interrupt and acknowledgement codes, the
// other control codes and raw code bytes, one frame per call, sent at once
// without waiting for credits.
#include <pcap/pcap.h>

#include <algorithm>
#include <array>

#include "link/frame.h"
#include "link/sockets.h"
#include "tx/tx.h"

namespace spweth {
namespace {

// A code byte is (value AND mask) OR flags.
struct CodePattern {
    std::uint8_t mask;
    std::uint8_t flags;
};

constexpr CodePattern pattern_of(CodeEncoding encoding) {
    // clang-format off
    switch (encoding) {
        case CodeEncoding::raw:                  return {0xFF, 0x00};  // any
        case CodeEncoding::time_code:            return {0x3F, 0x00};  // 00vvvvvv
        case CodeEncoding::interrupt:            return {0x3F, 0x40};  // 01vvvvvv
        case CodeEncoding::interrupt_five_bit:   return {0x1F, 0x80};  // 100iiiii
        case CodeEncoding::acknowledge:          return {0x3F, 0x80};  // 10vvvvvv
        case CodeEncoding::acknowledge_five_bit: return {0x1F, 0xA0};  // 101iiiii
        case CodeEncoding::cc01:                 return {0x1F, 0x40};  // 010vvvvv
        case CodeEncoding::cc11:                 return {0x1F, 0xC0};  // 110vvvvv
    }
    // clang-format on
    return {0xFF, 0x00};
}

constexpr std::uint8_t encode(std::uint8_t value, CodeEncoding encoding) {
    const CodePattern pattern = pattern_of(encoding);
    return static_cast<std::uint8_t>((value & pattern.mask) | pattern.flags);
}

// five_bit_id counts as set for any non-zero value.
constexpr CodeEncoding interrupt_encoding(int five_bit_id) {
    return five_bit_id != 0 ? CodeEncoding::interrupt_five_bit : CodeEncoding::interrupt;
}
constexpr CodeEncoding acknowledge_encoding(int five_bit_id) {
    return five_bit_id != 0 ? CodeEncoding::acknowledge_five_bit : CodeEncoding::acknowledge;
}

// The many-codes senders take the first (count mod 256) bytes at codes. A
// negative count, or no bytes to take the codes from, sends nothing and uses
// no frame number.
int send_codes(Socket socket, const unsigned char *codes, int count, CodeEncoding encoding) {
    if (count < 0) return frame::kFrameRefused;
    const auto n = static_cast<std::size_t>(count & 0xFF);
    if (codes == nullptr && n != 0) return frame::kFrameRefused;
    return send_ccode_frame(socket, {codes, n}, encoding);
}

// The one-code senders use the low byte of code.
int send_code(Socket socket, int code, CodeEncoding encoding) {
    const auto value = static_cast<std::uint8_t>(code & 0xFF);
    return send_ccode_frame(socket, {&value, 1}, encoding);
}

}  // namespace

int send_ccode_frame(Socket socket, std::span<const std::uint8_t> values, CodeEncoding encoding) {
    const SocketRecord *record = find_socket(socket);
    if (record == nullptr) return frame::kFrameRefused;
    const std::span<const std::uint8_t> codes =
        values.first(std::min(values.size(), frame::kMaxCodes));
    std::array<std::uint8_t, frame::kMaxCodeFrameSize> bytes{};
    const SendLock lock(socket, &SocketLocks::code_sender);  // numbers go out in order
    if (!lock.acquired()) return frame::kFrameRefused;       // the wait flag was cleared
    const frame::Route route = frame::route_of(*record);
    frame::write_header(bytes.data(), frame::FrameType::control_codes,
                        frame::take_ccode_frame_number(route),
                        static_cast<std::uint16_t>(codes.size()), route);
    std::ranges::transform(codes, bytes.begin() + frame::kHeaderSize,
                           [encoding](std::uint8_t value) { return encode(value, encoding); });
    return pcap_sendpacket(socket, bytes.data(),
                           static_cast<int>(frame::code_frame_size(codes.size())));
}

}  // namespace spweth

using spweth::CodeEncoding;

extern "C" {

SPWETH_API int SpW_Send_CCodes(struct pcap *socket, const unsigned char *codes, int count) {
    return spweth::send_codes(socket, codes, count, CodeEncoding::raw);
}
SPWETH_API int SpW_Send_Time_Codes(struct pcap *socket, const unsigned char *codes, int count) {
    return spweth::send_codes(socket, codes, count, CodeEncoding::time_code);
}
SPWETH_API int SpW_Send_INT_Codes(struct pcap *socket, const unsigned char *codes, int count,
                                  int five_bit_id) {
    return spweth::send_codes(socket, codes, count, spweth::interrupt_encoding(five_bit_id));
}
SPWETH_API int SpW_Send_ACK_Codes(struct pcap *socket, const unsigned char *codes, int count,
                                  int five_bit_id) {
    return spweth::send_codes(socket, codes, count, spweth::acknowledge_encoding(five_bit_id));
}
SPWETH_API int SpW_Send_CC01_Codes(struct pcap *socket, const unsigned char *codes, int count) {
    return spweth::send_codes(socket, codes, count, CodeEncoding::cc01);
}
SPWETH_API int SpW_Send_CC11_Codes(struct pcap *socket, const unsigned char *codes, int count) {
    return spweth::send_codes(socket, codes, count, CodeEncoding::cc11);
}

SPWETH_API int SpW_Send_Time_Code(struct pcap *socket, int code) {
    return spweth::send_code(socket, code, CodeEncoding::time_code);
}
SPWETH_API int SpW_Send_INT_Code(struct pcap *socket, int code, int five_bit_id) {
    return spweth::send_code(socket, code, spweth::interrupt_encoding(five_bit_id));
}
SPWETH_API int SpW_Send_ACK_Code(struct pcap *socket, int code, int five_bit_id) {
    return spweth::send_code(socket, code, spweth::acknowledge_encoding(five_bit_id));
}
SPWETH_API int SpW_Send_CC01_Code(struct pcap *socket, int code) {
    return spweth::send_code(socket, code, CodeEncoding::cc01);
}
SPWETH_API int SpW_Send_CC11_Code(struct pcap *socket, int code) {
    return spweth::send_code(socket, code, CodeEncoding::cc11);
}

}  // extern "C"
