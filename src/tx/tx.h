// Transmission: data frames with credit flow control, and control-code frames.
#pragma once

#include <cstdint>

#include "state/state.h"

namespace spweth {

enum SendVariant : int { kSendPlain = 1, kSendFromChannel = 2 };
inline constexpr int kSendFailed = -2;

int SpW_Send_Packet_uni(int variant, Socket socket, const unsigned char *data, int length,
                        int end_marker, unsigned char channel);

enum class CodeEncoding { raw, time_code, interrupt, interrupt_five_bit, acknowledge,
                          acknowledge_five_bit, cc01, cc11 };

// Sends one control-code frame of count codes (0..255) encoded as given.
int send_ccode_frame(Socket socket, const unsigned char *values, int count, CodeEncoding encoding);

}  // namespace spweth
