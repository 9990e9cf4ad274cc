// Fuzz target: the receive engine in every mode and mask, fed any frames.
//
// Input: a settings byte (bit 0 read buffers on, bit 1 skip-out filter, bits
// 2-4 ccode / err_frame / status handlers registered, bit 5 a handler ends
// the wait, bit 6 the socket is opened while buffering is off, bit 7 a handler
// sends a two-frame packet under credit flow control), a byte for the
// read buffer size (1500 + 64 n), then a script of operations, each a byte
// whose low four bits pick it:
//   0 raw frame: 2-byte length (mod 4096), a byte (bit 0: wire length larger
//     than captured), the bytes
//   1 built frame: type byte, 2-byte length field, 2-byte payload size
//     (mod 2048), credits, source (0 bridge, 1 zero, 2 other), the payload
//   2 receive: mode (one of 1-8, 10), 4-byte mask, 2-byte signed buffer length,
//     required source (as above)
//   3 buffering on/off   4 read buffer size (2-byte signed)
//   5 bridge address: one of three   6 allocations fail on/off
//   7 skip-out filter on/off   8 a whole packet as fragments: 2-byte size,
//     end byte (bit 0 EEP), source
//   9 damage the read buffer: 2-byte position, value
// Frames queue on a socket of the pcap double; a receive ends when the queue
// runs dry (the wait flag is cleared then). Each buffer, address record and
// type byte is a heap block of exactly its size. Checked after every receive:
// the result and type byte that the mode can give, the read buffer's
// invariants, and that each handler's block holds exactly its size.
#include <array>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "link/frame.h"
#include "rx/rx.h"
#include "spweth.h"

namespace {

using fuzz::Bytes;
using fuzz::check;
using spweth::Mac;

constexpr std::array<int, 9> kModes{1, 2, 3, 4, 5, 6, 7, 8, 10};
constexpr Mac kZero{};
constexpr Mac kOther{0x02, 0x00, 0x00, 0x00, 0x00, 0x99};
constexpr std::array<Mac, 3> kBridgeAddresses{Mac{0x00, 0x01, 0x02, 0x03, 0x04, 0x05}, kOther,
                                              Mac{0x00, 0x01, 0x02, 0x03, 0x04, 0x06}};

bool allocations_fail = false;
void *fuzz_allocate(std::size_t size) { return allocations_fail ? nullptr : std::malloc(size); }

bool handler_ends_wait = false;
pcap_t *handler_sends_on = nullptr;    // the socket a handler sends a packet on, if any
unsigned char *receive_mac = nullptr;  // the address record of the receive in progress

// Reads the whole block, so that a block shorter than its size shows, then frees it.
void handler(unsigned char *data, int size, unsigned char *mac) {
    check(data != nullptr && size >= 0, "handler block");
    check(mac == receive_mac, "handler not given the caller's address record");
    unsigned sum = 0;
    for (int i = 0; i < size; ++i) sum += data[i];
    (void)sum;
    std::free(data);
    if (handler_sends_on != nullptr) {
        // Its credit wait sets frames aside in the read buffer of the receive in progress.
        std::array<unsigned char, 2000> packet{};
        set_send_crediting(1);
        SpW_Send_Packet(handler_sends_on, packet.data(), static_cast<int>(packet.size()), 1);
        set_send_crediting(0);
    }
    if (handler_ends_wait) set_wait_receive_active(0);
}

Mac source_of(std::uint8_t selector) {
    switch (selector % 3) {
        case 0:
            return spweth::library_state.dest_mac_address;
        case 1:
            return kZero;
        default:
            return kOther;
    }
}

Bytes header(std::uint8_t type, std::uint16_t length_field, std::uint8_t credits, const Mac &from) {
    Bytes frame(spweth::frame::kHeaderSize, 0);
    std::copy(from.begin(), from.end(), frame.begin() + spweth::frame::kSourceOffset);
    frame[12] = 0x06;
    frame[13] = 0xAB;
    frame[14] = type;
    frame[16] = static_cast<std::uint8_t>(length_field & 0xFF);
    frame[17] = static_cast<std::uint8_t>(length_field >> 8);
    frame[18] = credits;
    return frame;
}

class Script {
public:
    Script(fuzz::CleanLibrary &library, fuzz::Input &in) : lib_(library), in_(in) {}
    ~Script() {
        allocations_fail = false;
        handler_ends_wait = false;
        handler_sends_on = nullptr;
        receive_mac = nullptr;
    }

    void run() {
        const std::uint8_t settings = in_.byte();
        set_recv_buffer_size(1500 + in_.byte() * 64);
        set_recv_skip_out_frames(settings & 0x02);
        if (settings & 0x04) register_ccode_event_handler(&handler);
        if (settings & 0x08) register_err_frame_event_handler(&handler);
        if (settings & 0x10) register_status_event_handler(&handler);
        handler_ends_wait = settings & 0x20;
        set_recv_buffering((settings & 0x40) ? 0 : 1);
        fake_pcap::set_adapters({{"fuzz0", "Fuzz adapter"}});
        const std::intptr_t opened = SpW_Socket_Init(0);
        check(opened > 0, "socket not opened", lib_.out + lib_.err);
        socket_ = reinterpret_cast<pcap_t *>(opened);
        set_recv_buffering(settings & 0x01);
        if (settings & 0x80) handler_sends_on = socket_;
        spweth::heap_allocate = &fuzz_allocate;
        fake_pcap::on_empty_poll([](pcap_t *) { set_wait_receive_active(0); });
        lib_.out.clear();
        lib_.err.clear();

        while (!in_.empty()) {
            switch (in_.byte() & 0x0F) {
                case 0:
                    push_raw();
                    break;
                case 1:
                    push_built();
                    break;
                case 2:
                    receive();
                    break;
                case 3:
                    set_recv_buffering(spweth::library_state.recv_buffering ? 0 : 1);
                    break;
                case 4:
                    set_recv_buffer_size(static_cast<std::int16_t>(in_.u16()));
                    break;
                case 5:
                    spweth::library_state.dest_mac_address = kBridgeAddresses[in_.byte() % 3];
                    break;
                case 6:
                    allocations_fail = !allocations_fail;
                    break;
                case 7:
                    set_recv_skip_out_frames(spweth::library_state.recv_skip_out_frames ? 0 : 1);
                    break;
                case 8:
                    push_packet();
                    break;
                case 9:
                    damage_ring();
                    break;
                default:
                    break;
            }
        }
    }

private:
    void push(Bytes frame, std::uint32_t wire_length = 0) {
        fake_pcap::push_inbound(socket_, std::move(frame), wire_length);
    }

    void push_raw() {
        const std::size_t length = in_.u16() % 4096;
        const bool truncated = in_.byte() & 1;
        const auto bytes = in_.bytes(length);
        push(Bytes(bytes.begin(), bytes.end()),
             truncated ? static_cast<std::uint32_t>(bytes.size() + 100) : 0);
    }

    void push_built() {
        const std::uint8_t type = in_.byte();
        const std::uint16_t length_field = in_.u16();
        const std::size_t payload = in_.u16() % 2048;
        const std::uint8_t credits = in_.byte();
        Bytes frame = header(type, length_field, credits, source_of(in_.byte()));
        const auto bytes = in_.bytes(payload);
        frame.insert(frame.end(), bytes.begin(), bytes.end());
        frame.resize(spweth::frame::kHeaderSize + payload, 0);
        push(std::move(frame));
    }

    // SOF, MOF..., EOF/EEF of up to 1495 bytes each, or one FEOF/FEEF.
    void push_packet() {
        std::size_t size = in_.u16() % 8192;
        const bool eep = in_.byte() & 1;
        const Mac from = source_of(in_.byte());
        constexpr std::size_t kPiece = spweth::frame::kMaxPayload;
        std::uint8_t seed = 0;
        for (bool first = true; first || size > 0; first = false) {
            const std::size_t piece = std::min(size, kPiece);
            size -= piece;
            const bool last = size == 0;
            const std::uint8_t type = first && last ? (eep ? 2 : 1)
                                      : first       ? 3
                                      : last        ? (eep ? 5 : 4)
                                                    : 0;
            Bytes frame = header(type, static_cast<std::uint16_t>(piece), 20, from);
            for (std::size_t i = 0; i < piece; ++i) frame.push_back(seed++);
            if (frame.size() < 60) frame.resize(60, 0);
            push(std::move(frame));
        }
    }

    void damage_ring() {
        const std::uint16_t at = in_.u16();
        const std::uint8_t value = in_.byte();
        spweth::ReadBuffer *slot = spweth::read_buffer_find(socket_);
        if (slot == nullptr || slot->fill == 0) return;
        slot->storage[(slot->read_pos + at % slot->fill) % slot->capacity] = value;
    }

    void receive() {
        const int mode = kModes[in_.byte() % kModes.size()];
        const int mask = static_cast<int>(in_.u32());
        const int length = static_cast<std::int16_t>(in_.u16());
        const Mac wanted = source_of(in_.byte());

        const std::size_t size = length > 0 ? static_cast<std::size_t>(length) : 0;
        const auto buffer = std::make_unique<unsigned char[]>(size);
        const auto mac = std::make_unique<unsigned char[]>(6);
        const auto type = std::make_unique<unsigned char[]>(1);
        std::copy(wanted.begin(), wanted.end(), mac.get());
        receive_mac = mac.get();
        set_wait_receive_active(1);
        const bool had_slot = spweth::read_buffer_find(socket_) != nullptr;
        const bool buffering = spweth::library_state.recv_buffering != 0;
        int type_int = -1;

        int result;
        switch (mode) {
            case 1:
                result = SpW_Recv_Packet(socket_, buffer.get(), length, mac.get(), type.get());
                break;
            case 2:
                result =
                    SpW_Recv_Packet_From_MAC(socket_, buffer.get(), length, mac.get(), type.get());
                break;
            case 3:
                result =
                    SpW_Recv_Frame_Type(socket_, buffer.get(), length, mask, &type_int, mac.get());
                break;
            case 4:
                result = SpW_Recv_Packet_extended(socket_, buffer.get(), length, mac.get(),
                                                  type.get(), mask);
                break;
            case 5:
                result = SpW_Recv_Packet_From_MAC_extended(socket_, buffer.get(), length, mac.get(),
                                                           type.get(), mask);
                break;
            case 6:
                result = SpW_Recv_Frame_Type_From_MAC(socket_, buffer.get(), length, mask,
                                                      &type_int, mac.get());
                break;
            case 10:
                result = spweth::SpW_Recv_Packet_uni(mode, socket_, nullptr, 1495, nullptr,
                                                     type.get(), 0);
                break;
            default:
                result = spweth::SpW_Recv_Packet_uni(mode, socket_, buffer.get(), length, mac.get(),
                                                     type.get(), 0);
                break;
        }
        receive_mac = nullptr;
        const int type_byte = (mode == 3 || mode == 6) ? type_int : *type.get();
        const std::string what = "mode " + std::to_string(mode) + " result " +
                                 std::to_string(result) + " type " + std::to_string(type_byte);

        if (trace_) std::fprintf(stderr, "%s\n", what.c_str());
        const bool state_mode = mode == 7 || mode == 8;
        if (buffering && !had_slot && !state_mode) {
            check(result == -1, "socket without a read buffer not refused", what);
            return;
        }
        check(result >= -1, "result below -1", what);
        if (result == -1) {
            check(state_mode && length < 88, "-1 without a cause", what);
            check(lib_.err == "\nError: buffer too small for state data. Required: 88 bytes\n",
                  "buffer too small message", lib_.err);
        }
        switch (mode) {
            case 1:
            case 2:
                check(type_byte == 0 || type_byte == 1, "packet mode type byte", what);
                break;
            case 4:
            case 5:
                check(type_byte <= 1 || (type_byte >= 6 && type_byte <= 8),
                      "extended mode type byte", what);
                break;
            case 3:
            case 6:
                check(type_byte <= 8 || type_byte == 136 || type_byte == 255,
                      "frame-type mode type", what);
                check(result <= 0xFFFF, "frame-type mode result above any payload length", what);
                break;
            default:
                check(type_byte == 0, "state or credit-wait type byte", what);
                check(mode != 10 || result <= 0, "credit wait delivered", what);
                break;
        }
        const std::uint32_t bits = static_cast<std::uint32_t>(mask);
        if ((mode == 3 || mode == 6) && result >= 0 && type_byte != 0)
            check(type_byte == 136   ? (bits & 0x20000000)
                  : type_byte == 255 ? (bits & 0x80000000)
                                     : (bits >> type_byte) & 1,
                  "frame delivered without its mask bit", what);
        if ((mode == 4 || mode == 5) && type_byte >= 6)
            check((bits >> type_byte) & 1, "extended mode delivered without its mask bit", what);
        check_ring();
        lib_.out.clear();
        lib_.err.clear();
    }

    void check_ring() {
        const spweth::ReadBuffer *slot = spweth::read_buffer_find(socket_);
        if (slot == nullptr || slot->capacity == 0) return;
        check(slot->fill <= slot->capacity, "ring fill above capacity");
        check(slot->read_pos < slot->capacity && slot->write_pos < slot->capacity,
              "ring position outside the ring");
        check(slot->write_pos == (slot->read_pos + slot->fill) % slot->capacity,
              "ring positions inconsistent");
    }

    fuzz::CleanLibrary &lib_;
    fuzz::Input &in_;
    pcap_t *socket_ = nullptr;
    const bool trace_ = std::getenv("SPWETH_FUZZ_TRACE") != nullptr;  // print each receive
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzz::CleanLibrary library;
    fuzz::Input in(data, size);
    Script(library, in).run();
    return 0;
}
