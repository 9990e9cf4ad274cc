// Shared helpers of the unit tests: a clean library per test, console capture,
// and a builder of frames as the bridge sends them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "fake_pcap.h"
#include "link/transmit.h"
#include "spweth.h"
#include "state/console.h"
#include "state/state.h"

namespace test {

using Bytes = std::vector<std::uint8_t>;
using spweth::Mac;

inline constexpr Mac kBridgeMac{0x00, 0x01, 0x02, 0x03, 0x04, 0x05};
inline constexpr Mac kOtherMac{0x02, 0x00, 0x00, 0x00, 0x00, 0x99};
inline constexpr Mac kZeroMac{};

// n bytes of a repeatable pattern that differs from one seed to another.
inline Bytes pattern(std::size_t n, std::uint8_t seed = 0) {
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<std::uint8_t>((i * 7 + seed * 31 + (i >> 8)) & 0xFF);
    return bytes;
}

// A frame as the bridge sends it: bridge_frame(type, payload).credits(20).from(mac).
class BridgeFrame {
public:
    BridgeFrame(std::uint8_t type_byte, Bytes payload)
        : type_byte_(type_byte),
          payload_(std::move(payload)),
          length_field_(static_cast<std::uint16_t>(payload_.size())) {}

    BridgeFrame &credits(std::uint8_t value) {
        credits_ = value;
        return *this;
    }
    BridgeFrame &from(const Mac &source) {
        source_ = source;
        return *this;
    }
    BridgeFrame &to(const Mac &dest) {
        dest_ = dest;
        return *this;
    }
    BridgeFrame &number(std::uint8_t value) {
        number_ = value;
        return *this;
    }
    BridgeFrame &ether_type(std::uint16_t value) {
        ether_type_ = value;
        return *this;
    }
    // Announce a payload length other than the payload's size.
    BridgeFrame &length_field(std::uint16_t value) {
        length_field_ = value;
        return *this;
    }
    // Zero fill after the payload up to this frame length.
    BridgeFrame &pad_to(std::size_t frame_length) {
        pad_to_ = frame_length;
        return *this;
    }

    Bytes bytes() const {
        Bytes frame(dest_.begin(), dest_.end());
        frame.insert(frame.end(), source_.begin(), source_.end());
        frame.push_back(static_cast<std::uint8_t>(ether_type_ >> 8));
        frame.push_back(static_cast<std::uint8_t>(ether_type_ & 0xFF));
        frame.push_back(type_byte_);
        frame.push_back(number_);
        frame.push_back(static_cast<std::uint8_t>(length_field_ & 0xFF));
        frame.push_back(static_cast<std::uint8_t>(length_field_ >> 8));
        frame.push_back(credits_);
        frame.insert(frame.end(), payload_.begin(), payload_.end());
        if (frame.size() < pad_to_) frame.resize(pad_to_, 0);
        return frame;
    }
    operator Bytes() const { return bytes(); }

private:
    std::uint8_t type_byte_;
    Bytes payload_;
    std::uint16_t length_field_;
    std::uint8_t credits_ = 32;
    std::uint8_t number_ = 0;
    std::uint16_t ether_type_ = 0x06AB;
    Mac source_ = kBridgeMac;
    Mac dest_{};
    std::size_t pad_to_ = 0;
};

inline BridgeFrame bridge_frame(std::uint8_t type_byte, Bytes payload = {}) {
    return BridgeFrame(type_byte, std::move(payload));
}

// Every test starts from the library's load defaults and an empty pcap double;
// console output is captured into out_ and err_.
class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        spweth::reset_library_state();
        fake_pcap::reset();
        // Frames go out in batches, as over a real adapter.
        fake_pcap::set_batching(true);
        spweth::send_messages = &fake_pcap::sendmmsg;
        spweth::console_redirect(&out_, &err_, nullptr);
    }
    void TearDown() override {
        spweth::console_redirect(nullptr, nullptr, nullptr);
        spweth::reset_library_state();
        fake_pcap::reset();
    }

    // Opens a socket with SpW_Socket_Init on the first of `adapters` scripted
    // adapters, then clears the captured console.
    pcap_t *open_socket(int adapters = 1) {
        std::vector<fake_pcap::Adapter> list;
        for (int i = 0; i < adapters; ++i)
            list.push_back({"fake" + std::to_string(i), "Fake adapter " + std::to_string(i)});
        fake_pcap::set_adapters(list);
        const std::intptr_t socket = SpW_Socket_Init(0);
        EXPECT_GT(socket, 0) << out_ << err_;
        out_.clear();
        err_.clear();
        return reinterpret_cast<pcap_t *>(socket);
    }

    // Frames sent on any handle, as bytes.
    static std::vector<Bytes> sent() {
        std::vector<Bytes> frames;
        for (const auto &f : fake_pcap::sent_frames()) frames.push_back(f.bytes);
        return frames;
    }

    std::string out_;
    std::string err_;
};

// A test that starts with one socket open.
class OpenSocketTest : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        socket_ = open_socket();
    }

    // The one frame sent since the last call.
    Bytes only_frame() {
        const auto frames = sent();
        EXPECT_EQ(seen_ + 1, frames.size());
        seen_ = frames.size();
        return frames.empty() ? Bytes{} : frames.back();
    }

    pcap_t *socket_ = nullptr;
    std::size_t seen_ = 0;
};

}  // namespace test
