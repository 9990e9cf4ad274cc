// Running the bridge emulator in a private network namespace: a veth pair,
// the emulator process on one end and a raw capture on the other.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct pcap;

namespace emu_test {

using Bytes = std::vector<std::uint8_t>;
using Mac = std::array<std::uint8_t, 6>;
using namespace std::chrono_literals;

inline constexpr const char *kHostSide = "spwhost0";
inline constexpr const char *kBridgeSide = "spwbridge0";

// Moves this process into a new network namespace holding only loopback and
// one veth pair (kHostSide, kBridgeSide), both up. Returns the reason on failure.
std::optional<std::string> enter_private_namespace();

// The emulator program, started on kBridgeSide with the given extra arguments.
class EmulatorProcess {
public:
    EmulatorProcess() = default;
    EmulatorProcess(const EmulatorProcess &) = delete;
    EmulatorProcess &operator=(const EmulatorProcess &) = delete;
    ~EmulatorProcess();

    // Starts it and waits until it serves the adapter; false with output() on failure.
    bool start(const std::vector<std::string> &arguments);
    // Stops it with SIGTERM and waits for its exit; returns its exit status.
    int stop();
    bool running() const { return pid_ > 0; }
    // What it has written so far (standard output and error).
    std::string output() const;
    // The value of one summary line, e.g. counter("dropped, no free buffer:").
    std::optional<std::uint64_t> counter(const std::string &name) const;

private:
    pid_t pid_ = -1;
    std::string output_path_;
};

// A frame received from the bridge, read through its header fields.
struct Frame {
    Bytes bytes;

    Mac dest() const;
    Mac source() const;
    std::uint16_t ether_type() const {
        return static_cast<std::uint16_t>(bytes[12] << 8 | bytes[13]);
    }
    std::uint8_t type_byte() const { return bytes[14]; }
    std::uint8_t number() const { return bytes[15]; }
    std::uint16_t payload_length() const {
        return static_cast<std::uint16_t>(bytes[16] | bytes[17] << 8);
    }
    std::uint8_t credits() const { return bytes[18]; }
    Bytes payload() const;  // payload_length bytes, or what is there
    bool is_credit_info() const { return type_byte() == 7 && bytes.size() > 19 && bytes[19] == 0; }
};

// The host's end of the veth pair, in raw pcap.
class HostPort {
public:
    HostPort();
    ~HostPort();
    HostPort(const HostPort &) = delete;
    HostPort &operator=(const HostPort &) = delete;

    bool is_open() const { return handle_ != nullptr; }
    void send(const Bytes &frame);
    // The next frame from the bridge side, of any EtherType.
    std::optional<Frame> next_any(std::chrono::milliseconds timeout = 2000ms);
    // The next bridge frame (EtherType 0x06AB).
    std::optional<Frame> next(std::chrono::milliseconds timeout = 2000ms);
    // The next bridge frame other than credit info and status frames.
    std::optional<Frame> next_traffic(std::chrono::milliseconds timeout = 2000ms);
    // The next status frame.
    std::optional<Frame> next_status(std::chrono::milliseconds timeout = 2000ms);

private:
    pcap *handle_ = nullptr;
};

}  // namespace emu_test
