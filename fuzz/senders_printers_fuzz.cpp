// Fuzz target: every sender and printer with any arguments the interface allows.
//
// The input is a script of calls. Each starts with a byte that picks the call,
// followed by its arguments: ints as 4 little-endian bytes, bytes as bytes,
// code arrays as exactly (count mod 256) bytes in a heap block of that size,
// a dump as a 2-byte count then the bytes, records and bodies as their bytes.
// Pointers are valid and sized to match; a null pointer is passed where the
// interface allows one (a code array or an address of a refused call, a dump
// title). Sends go to a socket of the pcap double; printers to a redirected
// console. Each frame sent is checked against the frame format, each dump
// against its row layout.
#include <string>

#include "fuzz_support.h"
#include "link/frame.h"
#include "spweth.h"

namespace {

using fuzz::Bytes;
using fuzz::check;
namespace frame = spweth::frame;

enum class Kind { codes, configuration };

// The frame that the last call sent: one frame of the given kind, with the
// library's addresses and the counter value taken before the call.
void check_sent(std::size_t before, int result, Kind kind, std::uint8_t number,
                std::size_t payload) {
    const auto &frames = fake_pcap::sent_frames();
    check(frames.size() == before + 1, "a sender sent no frame or several");
    const auto &sent = frames.back();
    check(result == (sent.accepted ? 0 : -1), "result is not pcap's");
    const frame::FrameView view(sent.bytes.data(), sent.bytes.size());
    check(view.has_header() && view.has_bridge_ether_type(), "frame without the bridge header");
    const auto &state = spweth::library_state;
    check(std::memcmp(view.bytes(), state.dest_mac_address.data(), 6) == 0, "destination");
    check(std::memcmp(view.source(), state.source_mac_address.data(), 6) == 0, "source");
    check(view.bytes()[frame::kNumberOffset] == number, "frame number");
    check(view.credits() == frame::kCreditsSent, "credits byte");
    if (kind == Kind::codes) {
        check(view.type_byte() == 6, "control-code frame type");
        check(view.payload_length() == payload, "code count");
        check(view.length() == frame::code_frame_size(payload), "control-code frame size");
    } else {
        check(view.type_byte() == 255, "configuration frame type");
        check(view.payload_length() == 46, "configuration length field");
        check(view.length() == 62, "configuration frame size");
        check(std::memcmp(view.payload(), "GE_SPW", 6) == 0, "marker");
        check((view.payload()[6] & 0x80) != 0, "edit0 bit 0x80");
    }
    for (std::size_t i = frame::kHeaderSize + payload; i < view.length(); ++i)
        check(kind == Kind::configuration || view.bytes()[i] == 0, "fill byte not zero");
}

// A dump: the title line, then one row per 16 bytes, each 59 + n characters
// and a line end while the offset has four digits.
void check_dump(const std::string &out, const std::string &title, std::size_t count) {
    const std::string title_line = title + ": " + std::to_string(count) + " bytes \n";
    check(out.starts_with(title_line), "dump title line", out.substr(0, 40));
    std::size_t rows = 0;
    for (std::size_t at = title_line.size(); at < out.size(); ++rows) {
        const std::size_t end = out.find('\n', at);
        check(end != std::string::npos, "dump row without line end");
        const std::size_t n = std::min<std::size_t>(16, count - rows * 16);
        if (rows * 16 <= 0xFFFF)
            check(end - at == 59 + n, "dump row width", out.substr(at, end - at));
        at = end + 1;
    }
    check(rows == (count + 15) / 16, "dump row count");
}

class Script {
public:
    Script(fuzz::CleanLibrary &library, fuzz::Input &in)
        : lib_(library), in_(in), socket_(fuzz::open_fake_handle()) {}

    void run() {
        while (!in_.empty()) {
            const std::uint8_t op = in_.byte();
            if (op < 0x80)
                send(op % 32);
            else
                print(op % 16);
        }
    }

private:
    int integer() { return static_cast<int>(in_.u32()); }

    // Exactly (count mod 256) code bytes in a block of that size; null when empty and asked.
    Bytes codes(int count) {
        Bytes values(static_cast<std::size_t>(count & 0xFF));
        const auto taken = in_.bytes(values.size());
        std::copy(taken.begin(), taken.end(), values.begin());
        return values;
    }

    template <typename T>
    T record() {
        T value{};
        const auto taken = in_.bytes(sizeof(T));
        std::memcpy(&value, taken.data(), taken.size());
        return value;
    }

    void many_codes(int (*sender)(pcap *, const unsigned char *, int), bool null_when_empty) {
        const int count = integer();
        const Bytes values = codes(count);
        const unsigned char *data = values.empty() && null_when_empty ? nullptr : values.data();
        const std::size_t before = fake_pcap::sent_frames().size();
        const std::uint8_t number = spweth::library_state.ccode_frame_counter;
        check_sent(before, sender(socket_, data, count), Kind::codes, number, values.size());
    }

    void many_codes_id(int (*sender)(pcap *, const unsigned char *, int, int)) {
        const int count = integer();
        const int five_bit_id = integer();
        const Bytes values = codes(count);
        const std::size_t before = fake_pcap::sent_frames().size();
        const std::uint8_t number = spweth::library_state.ccode_frame_counter;
        check_sent(before, sender(socket_, values.data(), count, five_bit_id), Kind::codes, number,
                   values.size());
    }

    template <typename Call>
    void one_frame(Kind kind, std::size_t payload, Call call) {
        const std::size_t before = fake_pcap::sent_frames().size();
        const std::uint8_t number = kind == Kind::codes ? spweth::library_state.ccode_frame_counter
                                                        : spweth::library_state.data_frame_counter;
        check_sent(before, call(), kind, number, payload);
    }

    // A null address is refused: nothing is sent and no frame number is used.
    void address_command(int (*command)(pcap *, const mac_address *)) {
        const bool null = in_.byte() & 1;
        const auto address = record<mac_address>();
        if (null) {
            const std::size_t before = fake_pcap::sent_frames().size();
            const std::uint8_t number = spweth::library_state.data_frame_counter;
            check(command(socket_, nullptr) == -1, "null address not refused");
            check(fake_pcap::sent_frames().size() == before, "null address sent a frame");
            check(spweth::library_state.data_frame_counter == number, "null address used a number");
            return;
        }
        one_frame(Kind::configuration, 46, [&] { return command(socket_, &address); });
    }

    void send(int call) {
        const auto conf = [&](auto command) { one_frame(Kind::configuration, 46, command); };
        const auto code = [&](auto command) { one_frame(Kind::codes, 1, command); };
        switch (call) {
            case 0:
                many_codes(&SpW_Send_CCodes, true);
                break;
            case 1:
                many_codes(&SpW_Send_Time_Codes, false);
                break;
            case 2:
                many_codes_id(&SpW_Send_INT_Codes);
                break;
            case 3:
                many_codes_id(&SpW_Send_ACK_Codes);
                break;
            case 4:
                many_codes(&SpW_Send_CC01_Codes, true);
                break;
            case 5:
                many_codes(&SpW_Send_CC11_Codes, false);
                break;
            case 6: {
                const int c = integer();
                code([&] { return SpW_Send_Time_Code(socket_, c); });
                break;
            }
            case 7: {
                const int c = integer(), id = integer();
                code([&] { return SpW_Send_INT_Code(socket_, c, id); });
                break;
            }
            case 8: {
                const int c = integer(), id = integer();
                code([&] { return SpW_Send_ACK_Code(socket_, c, id); });
                break;
            }
            case 9: {
                const int c = integer();
                code([&] { return SpW_Send_CC01_Code(socket_, c); });
                break;
            }
            case 10: {
                const int c = integer();
                code([&] { return SpW_Send_CC11_Code(socket_, c); });
                break;
            }
            case 11:
                address_command(&SpW_Eth_Set_MAC_Source);
                break;
            case 12:
                address_command(&SpW_Eth_Set_MAC_Dest);
                break;
            case 13: {
                const unsigned r = in_.u32();
                conf([&] { return SpW_Eth_Set_SpW_Speed(socket_, r); });
                break;
            }
            case 14: {
                const unsigned r = in_.u32();
                conf([&] { return SpW_Eth_set_SpW_Speed(socket_, r); });
                break;
            }
            case 15: {
                const auto b = in_.byte();
                conf([&] { return SpW_Eth_Set_Filtr(socket_, b); });
                break;
            }
            case 16:
                conf([&] { return SpW_Eth_Set_Auto_MAC_Source(socket_); });
                break;
            case 17:
                conf([&] { return SpW_Eth_Set_Auto_MAC_Dest(socket_); });
                break;
            case 18:
                conf([&] { return SpW_Eth_Reset(socket_); });
                break;
            case 19: {
                const auto d = in_.byte(), c = in_.byte();
                conf([&] { return SpW_Eth_Set_Switch_Mode(socket_, d, c); });
                break;
            }
            case 20: {
                const auto b = in_.byte();
                conf([&] { return SpW_Eth_Set_Status_Freq(socket_, b); });
                break;
            }
            case 21: {
                const auto b = in_.byte();
                conf([&] { return SpW_Eth_Set_Status_freq(socket_, b); });
                break;
            }
            case 22: {
                const auto b = in_.byte();
                conf([&] { return SpW_Eth_Set_Receive_Timer(socket_, b); });
                break;
            }
            case 23: {
                const auto f = in_.byte(), m = in_.byte();
                conf([&] { return SpW_Eth_Set_Data_Filtr(socket_, f, m); });
                break;
            }
            case 24:
                conf([&] { return SpW_Eth_Set_Hardware_Reset(socket_); });
                break;
            case 25: {
                const auto body = record<spw_eth_conf_header_2>();
                conf([&] { return SpW_Eth_Send_Conf_Packet(socket_, body); });
                break;
            }
            case 26:
                fake_pcap::fail_next(fake_pcap::Call::sendpacket);
                break;
            case 27: {
                const auto mac = record<mac_address>();
                set_source_mac_address(mac.bytes, in_.byte() % 8);
                break;
            }
            case 28: {
                const auto mac = record<mac_address>();
                set_dest_mac_address(mac.bytes, in_.byte() % 8);
                break;
            }
            default:
                break;
        }
        check(lib_.out.empty() && lib_.err.empty(), "a sender printed", lib_.out + lib_.err);
    }

    void print(int call) {
        lib_.out.clear();
        switch (call) {
            case 0:
                print_frame_type(integer());
                break;
            case 1:
                print_error_type(integer());
                break;
            case 2:
                dump();
                break;
            case 3: {
                const int key = integer();
                check(menu_select_valid(key) <= 1, "menu key");
                break;
            }
            case 4:
                Display_SDK_and_demo_information();
                break;
            case 5:
                set_receive_timeout(integer());
                break;
            case 6: {
                auto state = record<spw_eth_state>();
                print_spw_eth_state(&state);
                break;
            }
            case 7:
                print_conn_state(in_.byte());
                break;
            case 8:
                print_speed(in_.byte());
                break;
            case 9:
                print_switch_mode(in_.byte());
                break;
            case 10:
                print_switch_mode_ccode(in_.byte());
                break;
            case 11:
                Show_Conf_Header(record<spw_eth_conf_header_2>());
                break;
            default:
                break;
        }
        check(lib_.err.empty(), "a printer wrote to standard error", lib_.err);
        check(call == 3 || call > 11 || !lib_.out.empty(), "a printer printed nothing");
        lib_.out.clear();
    }

    // A title of up to 15 characters or none, and up to 65535 bytes.
    void dump() {
        const std::uint8_t title_length = in_.byte();
        const auto title_bytes = in_.bytes(title_length & 0x0F);
        const std::string title(title_bytes.begin(), title_bytes.end());
        const std::size_t count = in_.u16();
        Bytes bytes(count);
        const auto taken = in_.bytes(count);
        std::copy(taken.begin(), taken.end(), bytes.begin());
        const bool no_title = title_length & 0x80;
        debug_dump(no_title ? nullptr : title.c_str(), count ? bytes.data() : nullptr,
                   static_cast<unsigned int>(count));
        check_dump(lib_.out, no_title ? "" : title.c_str(), count);
    }

    fuzz::CleanLibrary &lib_;
    fuzz::Input &in_;
    pcap_t *socket_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzz::CleanLibrary library;
    fuzz::Input in(data, size);
    Script(library, in).run();
    return 0;
}
