// Fuzz target: every sender and printer with any arguments the interface allows.
//
// The input is a script of calls. Each starts with a byte that picks the call,
// followed by its arguments: ints as 4 little-endian bytes, bytes as bytes,
// code arrays as exactly (count mod 256) bytes in a heap block of that size
// (none for a negative count, which is refused),
// packets as a 2-byte length (mod 8192), end marker, channel, a byte of
// options (bit 0 credit flow control, bit 1 the bridge stays silent) and the
// data, a dump as a 2-byte count then the bytes, records and bodies as their
// bytes. Pointers are valid and sized to match; a null pointer is passed where
// the interface allows one (a code array or an address of a refused call, a
// dump title). Sends go to a socket of the pcap double, whose bridge answers
// each credit wait with a credit report unless it stays silent; printers go
// to a redirected console. Each frame sent is checked against the frame
// format, each packet against its fragments, each dump against its row layout.
#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
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

// A refused call: nothing sent, no frame number used, nothing printed.
void check_refused(std::size_t before, int result, const std::atomic<std::uint8_t> &counter,
                   std::uint8_t number, const char *what) {
    check(result == -1, what);
    check(fake_pcap::sent_frames().size() == before, "a refused call sent a frame");
    check(counter == number, "a refused call used a frame number");
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

// The frames of one packet sent since `before`, from frame number `number`:
// typed by the fragment rules, each sized and padded as the size rules say,
// their payloads together the expected bytes. All of them when the send
// succeeded; when it failed, those sent before the refused frame.
void check_packet(std::size_t before, std::uint8_t number, int result, const Bytes &expected,
                  bool eep) {
    const auto &frames = fake_pcap::sent_frames();
    const std::size_t total = expected.size();
    const std::size_t count = (total + frame::kMaxPayload - 1) / frame::kMaxPayload;
    check(result == static_cast<int>(total) || result == -2, "packet result");
    check(frames.size() - before <= count, "more frames than the packet needs");
    if (result != -2) check(frames.size() - before == count, "packet frames missing");
    for (std::size_t i = 0; before + i < frames.size(); ++i) {
        const auto &sent = frames[before + i];
        check(sent.accepted || (result == -2 && before + i + 1 == frames.size()),
              "send went on after a refused frame");
        const frame::FrameView view(sent.bytes.data(), sent.bytes.size());
        const bool first = i == 0, last = i + 1 == count;
        const std::uint8_t type = first && last ? (eep ? 2 : 1)
                                  : first       ? 3
                                  : last        ? (eep ? 5 : 4)
                                                : 0;
        const std::size_t payload = last ? total - i * frame::kMaxPayload : frame::kMaxPayload;
        check(view.type_byte() == type, "fragment type");
        check(view.bytes()[frame::kNumberOffset] == static_cast<std::uint8_t>(number + i),
              "fragment number");
        check(view.payload_length() == payload, "fragment payload length");
        check(view.length() == frame::data_frame_size(payload), "fragment size");
        check(std::memcmp(view.payload(), expected.data() + i * frame::kMaxPayload, payload) == 0,
              "fragment bytes");
        for (std::size_t k = frame::kHeaderSize + payload; k < view.length(); ++k)
            check(view.bytes()[k] == 0, "fragment fill not zero");
    }
}

// A credit report as the bridge sends it: an error frame of type 0.
Bytes credit_report(std::uint8_t credits) {
    Bytes frame(60, 0);
    std::memcpy(frame.data() + frame::kSourceOffset, spweth::library_state.dest_mac_address.data(),
                6);
    frame[frame::kEtherTypeOffset] = frame::kEtherTypeHigh;
    frame[frame::kEtherTypeOffset + 1] = frame::kEtherTypeLow;
    frame[frame::kTypeOffset] = 7;
    frame[frame::kLengthOffset] = 2;
    frame[frame::kCreditsOffset] = credits;
    frame[frame::kHeaderSize + 1] = credits;
    return frame;
}

bool bridge_silent = false;

pcap_t *open_socket() {
    set_recv_buffer_size(65536);
    fake_pcap::set_adapters({{"fuzz0", "Fuzz adapter"}});
    const std::intptr_t socket = SpW_Socket_Init(0);
    check(socket > 0, "socket not opened");
    // A credit wait that needs credits finds a report, or is ended when the
    // bridge stays silent; once the credits are there pcap runs dry.
    fake_pcap::on_empty_poll([](pcap_t *p) {
        const auto &state = spweth::library_state;
        if (state.bridge_credits >= state.send_credit_wait) return;
        if (bridge_silent)
            set_wait_receive_active(0);
        else
            fake_pcap::push_inbound(p, credit_report(32));
    });
    return reinterpret_cast<pcap_t *>(socket);
}

class Script {
public:
    Script(fuzz::CleanLibrary &library, fuzz::Input &in)
        : lib_(library), in_(in), socket_(open_socket()) {
        lib_.out.clear();
    }
    ~Script() { bridge_silent = false; }

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

    // Exactly (count mod 256) code bytes in a block of that size (none for a
    // negative count); null when empty and asked.
    Bytes codes(int count) {
        Bytes values(count < 0 ? 0 : static_cast<std::size_t>(count & 0xFF));
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
        const auto &counter = spweth::library_state.ccode_frame_counter;
        const std::uint8_t number = counter;
        const int result = sender(socket_, data, count);
        if (count < 0)
            check_refused(before, result, counter, number, "negative code count not refused");
        else
            check_sent(before, result, Kind::codes, number, values.size());
    }

    void many_codes_id(int (*sender)(pcap *, const unsigned char *, int, int)) {
        const int count = integer();
        const int five_bit_id = integer();
        const Bytes values = codes(count);
        const std::size_t before = fake_pcap::sent_frames().size();
        const auto &counter = spweth::library_state.ccode_frame_counter;
        const std::uint8_t number = counter;
        const int result = sender(socket_, values.data(), count, five_bit_id);
        if (count < 0)
            check_refused(before, result, counter, number, "negative code count not refused");
        else
            check_sent(before, result, Kind::codes, number, values.size());
    }

    // A rate the bridge has sends its frame; any other is refused.
    void speed(int (*command)(pcap *, unsigned int)) {
        const unsigned rate = in_.u32();
        if (std::find(kRates.begin(), kRates.end(), rate) != kRates.end()) {
            one_frame(Kind::configuration, 46, [&] { return command(socket_, rate); });
            return;
        }
        const std::size_t before = fake_pcap::sent_frames().size();
        const auto &counter = spweth::library_state.data_frame_counter;
        const std::uint8_t number = counter;
        check_refused(before, command(socket_, rate), counter, number, "unknown rate not refused");
    }
    static constexpr std::array<unsigned, 7> kRates{10, 50, 100, 200, 300, 400, 500};

    template <typename Call>
    void one_frame(Kind kind, std::size_t payload, Call call) {
        const std::size_t before = fake_pcap::sent_frames().size();
        const std::uint8_t number = kind == Kind::codes ? spweth::library_state.ccode_frame_counter
                                                        : spweth::library_state.data_frame_counter;
        check_sent(before, call(), kind, number, payload);
    }

    void packet(bool with_channel) {
        const std::size_t length = in_.u16() % 8192;
        const int end_marker = integer();
        const int channel = integer();
        const std::uint8_t options = in_.byte();
        const auto taken = in_.bytes(length);
        const auto data = std::make_unique<unsigned char[]>(length);  // exactly the length
        std::memset(data.get(), 0x5A, length);
        std::copy(taken.begin(), taken.end(), data.get());

        Bytes expected;
        if (with_channel) expected.push_back(static_cast<std::uint8_t>(channel & 0xFF));
        expected.insert(expected.end(), data.get(), data.get() + length);
        set_send_crediting(options & 1);
        bridge_silent = options & 2;
        const std::size_t before = fake_pcap::sent_frames().size();
        const std::uint8_t number = spweth::library_state.data_frame_counter;
        const int n = static_cast<int>(length);
        const int result =
            with_channel ? SpW_Send_Packet_From_Channel(socket_, data.get(), n, end_marker, channel)
                         : SpW_Send_Packet(socket_, data.get(), n, end_marker);
        check_packet(before, number, result, expected, end_marker == 2 || end_marker == 5);
        if (result == -2)
            check(lib_.err.starts_with("\nError sending packet: "), "send failure message",
                  lib_.err);
        lib_.err.clear();
        set_send_crediting(0);
        bridge_silent = false;
        set_wait_receive_active(1);
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
            case 13:
                speed(&SpW_Eth_Set_SpW_Speed);
                break;
            case 14:
                speed(&SpW_Eth_set_SpW_Speed);
                break;
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
                fake_pcap::fail_next(fake_pcap::Call::sendpacket, in_.byte() % 4);
                if (in_.byte() == 0) fake_pcap::refuse_batches(true);  // one by one from now on
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
            case 29:
                packet(false);
                break;
            case 30:
                packet(true);
                break;
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
