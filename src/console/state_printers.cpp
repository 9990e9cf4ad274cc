// Printers of the bridge's status record, its single codes and a
// configuration body.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "console/printers.h"
#include "state/console.h"

namespace spweth::console {
namespace {

// Indexed by link state code.
constexpr std::array<const char *, 6> kLinkStateTexts{
    "\"ERROR_RESET\"\n", "\"ERROR_WAIT\"\n", "\"READY\"\n",
    "\"STARTED\"\n",     "\"CONNECTING\"\n", "\"RUN\"\n",
};
constexpr const char *kUnknownLinkStateText = "\"UNKNOWN\"\n";

struct SpeedText {
    std::uint8_t code;
    const char *text;
};

constexpr std::array<SpeedText, 8> kSpeedTexts{{
    {0x00, "400\n"},
    {0x01, "300\n"},
    {0x02, "200\n"},
    {0x04, "100\n"},
    {0x08, "50\n"},
    {0x10, "10\n"},
    {0x20, "500\n"},
    {0x80, "400 (default)\n"},
}};

struct SwitchModeTexts {
    const char *data;
    const char *ccode;
};

// Indexed by mode value (one four-bit half of the switch-state byte).
constexpr std::array<SwitchModeTexts, 9> kSwitchModeTexts{{
    {"switch off \n", "switch off\n"},
    {"receive / send only first port\n", "receive / send only first port\n"},
    {"receive / send only second port\n", "receive / send only second port\n"},
    {"switch on (two ports work)\n", "switch on (two ports work)\n"},
    {"auto mode \n", "error value!\n"},
    {"Spw port to SpW port \n", "Spw port to SpW port \n"},
    {"Spw port to SpW port,  SpW1 to ETH \n", "Spw port to SpW port,  SpW1 to ETH \n"},
    {"Spw port to SpW port,  SpW2 to ETH \n", "Spw port to SpW port,  SpW2 to ETH \n"},
    {"Spw port to SpW port,  SpW1 and SpW2 to ETH \n",
     "Spw port to SpW port,  SpW1 and SpW2 to ETH \n"},
}};
constexpr const char *kSwitchModeErrorText = "error value!\n";

constexpr std::uint8_t data_mode(std::uint8_t switch_state) { return switch_state & 0x0F; }
constexpr std::uint8_t ccode_mode(std::uint8_t switch_state) { return switch_state >> 4; }

// The status record is little-endian on the wire: its fields are assembled
// from bytes, so the host's own byte order does not matter.
template <typename T>
T load_little_endian(const std::uint8_t *at) {
    T value = 0;
    for (std::size_t i = sizeof(T); i-- > 0;) value = static_cast<T>((value << 8) | at[i]);
    return value;
}

constexpr std::size_t kSwitchStateWordOffset = offsetof(spw_eth_state, switch_state_word);
constexpr std::size_t kSwitchStateOffset = offsetof(spw_eth_state, switch_state);

spw_eth_channel_state load_channel(const std::uint8_t *block) {
    using C = spw_eth_channel_state;
    spw_eth_channel_state channel{};
    channel.tx_bytes = load_little_endian<std::uint64_t>(block + offsetof(C, tx_bytes));
    channel.rx_bytes = load_little_endian<std::uint64_t>(block + offsetof(C, rx_bytes));
    channel.tx_packets = load_little_endian<std::uint32_t>(block + offsetof(C, tx_packets));
    channel.rx_packets = load_little_endian<std::uint32_t>(block + offsetof(C, rx_packets));
    channel.rx_packets_eep = load_little_endian<std::uint32_t>(block + offsetof(C, rx_packets_eep));
    channel.tx_bytes_per_sec =
        load_little_endian<std::uint32_t>(block + offsetof(C, tx_bytes_per_sec));
    channel.rx_bytes_per_sec =
        load_little_endian<std::uint32_t>(block + offsetof(C, rx_bytes_per_sec));
    channel.link_state = block[offsetof(C, link_state)];
    return channel;
}

// The speed's text after `lead`, in one message.
void print_speed_line(std::uint8_t speed, const char *lead = "") {
    if (const char *text = speed_text(speed); text != nullptr)
        console_print("%s%s", lead, text);
    else
        console_print("%s%d (HEX 0x%x)\n", lead, speed, unsigned{speed});
}

void print_channel(const char *title, const spw_eth_channel_state &channel) {
    // EOP packets are not counted by the bridge: all received minus EEP, wrapping.
    const std::uint32_t rx_packets_eop = channel.rx_packets - channel.rx_packets_eep;
    console_print("%s", title);
    console_print("Tx bytes: %20llu | Tx packets: %14u\n",
                  static_cast<unsigned long long>(channel.tx_bytes), channel.tx_packets);
    console_print("Rx bytes: %20llu | Rx packets EOP: %10u\n",
                  static_cast<unsigned long long>(channel.rx_bytes), rx_packets_eop);
    console_print("Rx packets: %18u | Rx packets EEP: %10u\n", channel.rx_packets,
                  channel.rx_packets_eep);
    console_print("Tx bytes/sec: %10u | Rx bytes/sec: %10u\n", channel.tx_bytes_per_sec,
                  channel.rx_bytes_per_sec);
    console_print("State: (%d) %s", channel.link_state, link_state_text(channel.link_state));
}

}  // namespace

const char *link_state_text(std::uint8_t link_state) {
    return link_state < kLinkStateTexts.size() ? kLinkStateTexts[link_state]
                                               : kUnknownLinkStateText;
}

const char *speed_text(std::uint8_t speed) {
    for (const SpeedText &row : kSpeedTexts)
        if (row.code == speed) return row.text;
    return nullptr;
}

const char *data_switch_mode_text(std::uint8_t switch_state) {
    const std::uint8_t mode = data_mode(switch_state);
    return mode < kSwitchModeTexts.size() ? kSwitchModeTexts[mode].data : kSwitchModeErrorText;
}

const char *ccode_switch_mode_text(std::uint8_t switch_state) {
    const std::uint8_t mode = ccode_mode(switch_state);
    return mode < kSwitchModeTexts.size() ? kSwitchModeTexts[mode].ccode : kSwitchModeErrorText;
}

void print_status_record(spw_eth_state &state) {
    auto *record = reinterpret_cast<std::uint8_t *>(&state);
    const std::uint8_t *switch_word = record + kSwitchStateWordOffset;
    if (switch_word[0] != 0 || switch_word[1] != 0) record[kSwitchStateOffset] = switch_word[1];
    const std::uint8_t switch_state = record[kSwitchStateOffset];
    const std::uint8_t speed = record[offsetof(spw_eth_state, speed)];

    console_print("\n=== Status Output ===\n");
    console_print("Time: %u\n",
                  load_little_endian<std::uint32_t>(record + offsetof(spw_eth_state, time)));
    print_channel("--- SpW1 channel ---------\n",
                  load_channel(record + offsetof(spw_eth_state, spw1)));
    print_channel("--- SpW2 channel ---------\n",
                  load_channel(record + offsetof(spw_eth_state, spw2)));
    console_print("--------------------------\n");
    char speed_lead[sizeof "Speed: (255) "];
    std::snprintf(speed_lead, sizeof speed_lead, "Speed: (%u) ", unsigned{speed});
    print_speed_line(speed, speed_lead);
    console_print("Switch state: %X \n", unsigned{switch_state});
    console_print("Switch mode data: %X %s", unsigned{data_mode(switch_state)},
                  data_switch_mode_text(switch_state));
    console_print("Switch mode ccode: %X %s", unsigned{ccode_mode(switch_state)},
                  ccode_switch_mode_text(switch_state));
    console_print("========================\n");
}

void print_conf_body(const spw_eth_conf_header_2 &body) {
    const unsigned char *dest = body.new_dest_addr;
    const unsigned char *src = body.new_src_addr;
    console_print(" === spw_eth_conf_header_2 === \n");
    console_print(" conf_packet.new_dest_addr %x:%x:%x:%x:%x:%x  \n", dest[0], dest[1], dest[2],
                  dest[3], dest[4], dest[5]);
    console_print(" conf_packet.new_src_addr %x:%x:%x:%x:%x:%x  \n", src[0], src[1], src[2], src[3],
                  src[4], src[5]);
    console_print(" conf_packet.edit0 %x  \n", unsigned{body.edit0});
    console_print(" conf_packet.edit1  %x  \n", unsigned{body.edit1});
    console_print(" conf_packet.filtr  %x  \n", unsigned{body.filtr});
    // The marker has no terminating zero: never read past its six bytes.
    static_assert(sizeof body.GE_SPW == 6);
    console_print(" conf_packet.GE_SPW  %.6s  \n", reinterpret_cast<const char *>(body.GE_SPW));
    console_print(" conf_packet.Spw_Speed %x  \n", unsigned{body.Spw_Speed});
    console_print(" conf_packet.switch_mode %x  \n", unsigned{body.switch_mode});
    console_print(" conf_packet.data_filtr %x  \n", unsigned{body.data_filtr});
    console_print(" conf_packet.data_mask %x  \n", unsigned{body.data_mask});
    console_print(" conf_packet.stat_freq %x  \n", unsigned{body.stat_freq});
    console_print(" conf_packet.receive_timer %x  \n", unsigned{body.receive_timer});
}

}  // namespace spweth::console

namespace console = spweth::console;

extern "C" {

SPWETH_API void print_spw_eth_state(spw_eth_state *state) {
    if (state != nullptr) console::print_status_record(*state);
}

SPWETH_API void print_conn_state(unsigned char link_state) {
    spweth::console_print("%s", console::link_state_text(link_state));
}

SPWETH_API void print_speed(unsigned char speed) { console::print_speed_line(speed); }

SPWETH_API void print_switch_mode(unsigned char switch_state) {
    spweth::console_print("%s", console::data_switch_mode_text(switch_state));
}

SPWETH_API void print_switch_mode_ccode(unsigned char switch_state) {
    spweth::console_print("%s", console::ccode_switch_mode_text(switch_state));
}

SPWETH_API void Show_Conf_Header(spw_eth_conf_header_2 body) { console::print_conf_body(body); }

}  // extern "C"
