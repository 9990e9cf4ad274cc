// Configuration frames: one 62-byte frame of type 255 per command, carrying
// the 27-byte body marked "GE_SPW". No answer is awaited.
#include <pcap/pcap.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <optional>

#include "bridge/bridge.h"
#include "link/frame.h"
#include "link/sockets.h"
#include "tx/tx.h"

namespace spweth {
namespace {

inline constexpr char kMarker[] = {'G', 'E', '_', 'S', 'P', 'W'};
static_assert(sizeof(kMarker) == sizeof(spw_eth_conf_header_2::GE_SPW));

// edit0: what the bridge is to change; bit 0x80 goes out in every frame.
enum Edit0 : std::uint8_t {
    kEditMacSource = 0x01,  // new_dest_addr
    kEditMacDest = 0x02,    // new_src_addr
    kEditSpwSpeed = 0x04,   // Spw_Speed
    kEditFiltr = 0x08,      // filtr
    kEditAutoMacSource = 0x10,
    kEditAutoMacDest = 0x20,
    kEditReset = 0x40,
    kEditAlways = 0x80,
};

// edit1: the second mask; 0x20 to 0x80 only come from a caller's own body.
enum Edit1 : std::uint8_t {
    kEditSwitchMode = 0x01,    // switch_mode
    kEditStatusFreq = 0x02,    // stat_freq
    kEditReceiveTimer = 0x04,  // receive_timer
    kEditDataFiltr = 0x08,     // data_filtr and data_mask
    kEditHardwareReset = 0x10,
};

struct SpeedCode {
    unsigned int mbit_per_s;
    std::uint8_t code;
};

constexpr std::array<SpeedCode, 7> kSpeedCodes{{
    {10, 0x10},
    {50, 0x08},
    {100, 0x04},
    {200, 0x02},
    {300, 0x01},
    {400, 0x00},
    {500, 0x20},
}};
// The code of a rate in the table; nothing for a rate the bridge does not have.
constexpr std::optional<std::uint8_t> speed_code(unsigned int mbit_per_s) {
    for (const SpeedCode &row : kSpeedCodes)
        if (row.mbit_per_s == mbit_per_s) return row.code;
    return std::nullopt;
}

// Low four bits: data mode; high four bits: control-code mode.
constexpr std::uint8_t switch_mode(unsigned char data_mode, unsigned char ccode_mode) {
    return static_cast<std::uint8_t>((data_mode & 0x0F) | ((ccode_mode & 0x0F) << 4));
}

// A command's body: its mask bits, every other byte zero until filled in.
constexpr spw_eth_conf_header_2 command_body(std::uint8_t edit0, std::uint8_t edit1 = 0) {
    spw_eth_conf_header_2 body{};
    body.edit0 = edit0;
    body.edit1 = edit1;
    return body;
}

// Sends a body holding only the given address (null: nothing is sent).
int send_address(Socket socket, const mac_address *address, std::uint8_t edit0,
                 unsigned char (spw_eth_conf_header_2::*field)[6]) {
    if (address == nullptr) return frame::kFrameRefused;
    spw_eth_conf_header_2 body = command_body(edit0);
    std::memcpy(body.*field, address->bytes, sizeof(address->bytes));
    return send_conf_frame(socket, body);
}

}  // namespace

int send_conf_frame(Socket socket, const spw_eth_conf_header_2 &body) {
    const SocketRecord *record = find_socket(socket);
    if (record == nullptr) return frame::kFrameRefused;
    std::array<std::uint8_t, frame::kConfigurationFrameSize> bytes{};
    // Configuration frames take their numbers from the packets' counter.
    const SendLock lock(socket, &SocketLocks::sender);
    if (!lock.acquired()) return frame::kFrameRefused;  // the wait flag was cleared
    const frame::Route route = frame::route_of(*record);
    frame::write_header(bytes.data(), frame::FrameType::configuration,
                        frame::take_data_frame_number(route), frame::kConfigurationPayloadLength,
                        route);
    std::uint8_t *const out = bytes.data() + frame::kHeaderSize;
    std::memcpy(out, &body, sizeof body);
    std::memcpy(out + offsetof(spw_eth_conf_header_2, GE_SPW), kMarker, sizeof kMarker);
    out[offsetof(spw_eth_conf_header_2, edit0)] |= kEditAlways;
    return pcap_sendpacket(socket, bytes.data(), static_cast<int>(bytes.size()));
}

}  // namespace spweth

using spweth::command_body;
using spweth::send_conf_frame;

extern "C" {

SPWETH_API int SpW_Eth_Set_MAC_Source(struct pcap *socket, const mac_address *address) {
    return spweth::send_address(socket, address, spweth::kEditMacSource,
                                &spw_eth_conf_header_2::new_dest_addr);
}
SPWETH_API int SpW_Eth_Set_MAC_Dest(struct pcap *socket, const mac_address *address) {
    return spweth::send_address(socket, address, spweth::kEditMacDest,
                                &spw_eth_conf_header_2::new_src_addr);
}

SPWETH_API int SpW_Eth_Set_SpW_Speed(struct pcap *socket, unsigned int mbit_per_s) {
    const std::optional<std::uint8_t> code = spweth::speed_code(mbit_per_s);
    if (!code) return spweth::frame::kFrameRefused;
    spw_eth_conf_header_2 body = command_body(spweth::kEditSpwSpeed);
    body.Spw_Speed = *code;
    return send_conf_frame(socket, body);
}
SPWETH_API int SpW_Eth_set_SpW_Speed(struct pcap *socket, unsigned int mbit_per_s) {
    return SpW_Eth_Set_SpW_Speed(socket, mbit_per_s);
}

SPWETH_API int SpW_Eth_Set_Filtr(struct pcap *socket, unsigned char filtr) {
    spw_eth_conf_header_2 body = command_body(spweth::kEditFiltr);
    body.filtr = filtr;
    return send_conf_frame(socket, body);
}
SPWETH_API int SpW_Eth_Set_Auto_MAC_Source(struct pcap *socket) {
    return send_conf_frame(socket, command_body(spweth::kEditAutoMacSource));
}
SPWETH_API int SpW_Eth_Set_Auto_MAC_Dest(struct pcap *socket) {
    return send_conf_frame(socket, command_body(spweth::kEditAutoMacDest));
}
SPWETH_API int SpW_Eth_Reset(struct pcap *socket) {
    return send_conf_frame(socket, command_body(spweth::kEditReset));
}

SPWETH_API int SpW_Eth_Set_Switch_Mode(struct pcap *socket, unsigned char data_mode,
                                       unsigned char ccode_mode) {
    spw_eth_conf_header_2 body = command_body(0, spweth::kEditSwitchMode);
    body.switch_mode = spweth::switch_mode(data_mode, ccode_mode);
    return send_conf_frame(socket, body);
}
SPWETH_API int SpW_Eth_Set_Status_Freq(struct pcap *socket, unsigned char stat_freq) {
    spw_eth_conf_header_2 body = command_body(0, spweth::kEditStatusFreq);
    body.stat_freq = stat_freq;
    return send_conf_frame(socket, body);
}
SPWETH_API int SpW_Eth_Set_Status_freq(struct pcap *socket, unsigned char stat_freq) {
    return SpW_Eth_Set_Status_Freq(socket, stat_freq);
}
SPWETH_API int SpW_Eth_Set_Receive_Timer(struct pcap *socket, unsigned char receive_timer) {
    spw_eth_conf_header_2 body = command_body(0, spweth::kEditReceiveTimer);
    body.receive_timer = receive_timer;
    return send_conf_frame(socket, body);
}
SPWETH_API int SpW_Eth_Set_Data_Filtr(struct pcap *socket, unsigned char data_filtr,
                                      unsigned char data_mask) {
    spw_eth_conf_header_2 body = command_body(0, spweth::kEditDataFiltr);
    body.data_filtr = data_filtr;
    body.data_mask = data_mask;
    return send_conf_frame(socket, body);
}
SPWETH_API int SpW_Eth_Set_Hardware_Reset(struct pcap *socket) {
    return send_conf_frame(socket, command_body(0, spweth::kEditHardwareReset));
}

SPWETH_API int SpW_Eth_Send_Conf_Packet(struct pcap *socket, spw_eth_conf_header_2 body) {
    return send_conf_frame(socket, body);
}

}  // extern "C"
