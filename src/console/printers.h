// Console printers: decodings of codes, records and raw bytes for the user.
// Every text goes out through console_print.
#pragma once

#include <cstdint>

#include "spweth.h"

namespace spweth::console {

// Texts of single codes exactly as the printers print them. Where a code has
// no text of its own, the frame-type and speed lookups give nullptr and the
// others give their fallback text.
const char *frame_type_name(int frame_type);
const char *error_type_text(int error_type);
const char *link_state_text(std::uint8_t link_state);
const char *speed_text(std::uint8_t speed);
const char *data_switch_mode_text(std::uint8_t switch_state);   // low four bits
const char *ccode_switch_mode_text(std::uint8_t switch_state);  // high four bits

// True for the 28 keys of the application's console menus (low 8 bits of key).
bool is_menu_key(int key);

// A hex dump: title line, then rows of 16 bytes with offset, hex and characters.
// A null title prints as empty; null bytes print the title line only.
void dump_bytes(const char *title, const std::uint8_t *bytes, unsigned int byte_count);

// The status record, with its little-endian fields read byte by byte. Applies
// the switch-state rule to the record first: a non-zero switch_state_word puts
// its high byte into switch_state.
void print_status_record(spw_eth_state &state);

void print_conf_body(const spw_eth_conf_header_2 &body);

}  // namespace spweth::console
