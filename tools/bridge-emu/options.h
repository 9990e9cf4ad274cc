// Command-line settings of the bridge emulator.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "rmap_target.h"
#include "wire.h"

namespace bridge_emu {

struct Options {
    std::string iface;
    wire::Mac own_mac{{0x00, 0x01, 0x02, 0x03, 0x04, 0x05}};
    std::optional<wire::Mac> host_mac;  // fixed host address; learnt from frames when absent
    unsigned credits = 32;              // receive buffers, 1..255
    unsigned status_ms = 1000;          // status period, 0 = off
    bool strict_numbers = false;        // a frame number 0 is a jump like any other
    unsigned spin_us = 0;               // keep polling this long after a frame before sleeping
    bool verbose = false;
    RmapTargetSettings rmap;  // memory_size 0: no RMAP target

    // Fault injection.
    unsigned drop_every = 0;  // drop every Nth data frame sent to the host
    unsigned dup_every = 0;   // send every Nth data frame sent to the host twice
    bool withhold_credits = false;
    std::uint8_t flags = 0;  // 0x40 and/or 0x80, set on the type byte of data and code frames
    unsigned bad_ether_type_every =
        0;                    // junk frame of another EtherType after every Nth data frame
    unsigned runt_every = 0;  // junk frame shorter than its header announces, after every Nth
    // (the RMAP target's reply faults are in rmap)
};

enum class ParseResult { run, help, error };

// Fills options from argv; on error prints the reason to stderr.
ParseResult parse_options(int argc, char **argv, Options &options);
void print_usage(const char *program);

}  // namespace bridge_emu
