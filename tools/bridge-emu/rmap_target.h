// An RMAP target behind the bridge: zeroed memory at address 0 that RMAP
// commands write, read and read-modify-write. It takes one command packet at a
// time (its leading SpaceWire address bytes already stripped) and answers
// with a reply packet that starts with the reply's SpaceWire address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "rmap_codec.h"

namespace bridge_emu {

struct RmapTargetSettings {
    std::uint8_t logical_address = 0xFE;
    std::uint8_t key = 0;
    std::uint32_t memory_size = 0;  // 0: no target
    unsigned latency_us = 0;        // each reply leaves this long after its command arrived
    unsigned drop_reply_every = 0;  // fault injection: every Nth reply is not sent
    unsigned bad_crc_every = 0;     // every Nth reply with data has its data CRC inverted
};

struct RmapTargetCounters {
    std::uint64_t commands = 0;
    std::uint64_t header_errors = 0;  // incomplete header or bad header CRC: no reply
    std::uint64_t failed = 0;         // executed with a status other than 0
    std::uint64_t replies = 0;
    std::uint64_t injected_drops = 0;
    std::uint64_t injected_bad_crcs = 0;
};

// Status codes the target answers with.
enum RmapStatus : std::uint8_t {
    kStatusSuccess = 0,
    kStatusUnusedCode = 2,
    kStatusInvalidKey = 3,
    kStatusDataCrc = 4,
    kStatusEarlyEop = 5,
    kStatusTooMuchData = 6,
    kStatusEep = 7,
    kStatusVerifyOverrun = 9,
    kStatusNotAuthorised = 10,
    kStatusRmwLength = 11,
    kStatusLogicalAddress = 12,
};

class RmapTarget {
public:
    // A verified write holds its data in a buffer of this size before writing.
    static constexpr std::size_t kVerifyBufferSize = 4;

    explicit RmapTarget(const RmapTargetSettings &settings);

    // The bytes that say whether a packet is a command: logical address,
    // protocol identifier, instruction.
    static constexpr std::size_t kBytesThatTell = 3;
    // True when the packet (leading address bytes stripped) is an RMAP command.
    static bool is_command(std::span<const std::uint8_t> packet);
    // The most command bytes worth holding: more can only be too much data.
    std::size_t largest_command() const;

    // Executes one command that ended with EOP or EEP; `cut` says that bytes
    // beyond `command` arrived and were not kept. Fills `reply` (reply
    // address first) and returns true when a reply is to be sent.
    bool execute(std::span<const std::uint8_t> command, bool eep, bool cut,
                 std::vector<std::uint8_t> &reply);

    const RmapTargetCounters &counters() const { return counters_; }

private:
    std::uint8_t check(const rmap::CommandHeader &h, std::span<const std::uint8_t> data_field,
                       bool eep, bool cut) const;
    bool in_memory(const rmap::CommandHeader &h, std::uint32_t size) const;

    RmapTargetSettings settings_;
    std::vector<std::uint8_t> memory_;
    RmapTargetCounters counters_;
    std::uint64_t replies_with_data_ = 0;
};

}  // namespace bridge_emu
