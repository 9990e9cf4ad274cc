// Shared helpers of the receive tests: an open socket fed through the pcap
// double, and event handlers that record what they get and free their block.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "rx/rx.h"
#include "test_support.h"

namespace test {

// Frame types as they appear in the type byte.
inline constexpr std::uint8_t kMof = 0, kFeof = 1, kFeef = 2, kSof = 3, kEof = 4, kEef = 5,
                              kCodes = 6, kErrors = 7, kStatus = 8;

struct HandlerCall {
    std::string handler;
    Bytes data;
    Mac mac;
};

inline std::vector<HandlerCall> &handler_calls() {
    static std::vector<HandlerCall> calls;
    return calls;
}

inline void record_call(const char *handler, unsigned char *data, int size, unsigned char *mac) {
    Mac source{};
    std::copy_n(mac, source.size(), source.begin());
    handler_calls().push_back({handler, Bytes(data, data + size), source});
    std::free(data);  // the block is the handler's
}

inline void ccode_recorder(unsigned char *data, int size, unsigned char *mac) {
    record_call("ccode", data, size, mac);
}
inline void err_frame_recorder(unsigned char *data, int size, unsigned char *mac) {
    record_call("err_frame", data, size, mac);
}
inline void status_recorder(unsigned char *data, int size, unsigned char *mac) {
    record_call("status", data, size, mac);
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes &part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

class ReceiveTest : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        handler_calls().clear();
        socket_ = open_socket();
    }

    void push(const Bytes &frame, std::uint32_t wire_length = 0) {
        fake_pcap::push_inbound(socket_, frame, wire_length);
    }
    std::size_t queued() const { return fake_pcap::handle(socket_).inbound.size(); }

    // A receive that finds pcap empty returns 0 instead of polling on.
    static void end_wait_when_dry() {
        fake_pcap::on_empty_poll([](pcap_t *) { set_wait_receive_active(0); });
    }

    // The buffer is filled with 0xEE so that bytes left alone show.
    int recv_packet(int length) {
        buffer_.assign(static_cast<std::size_t>(length), 0xEE);
        return SpW_Recv_Packet(socket_, buffer_.data(), length, mac_.data(), &type_);
    }
    int recv_extended(int length, int mask) {
        buffer_.assign(static_cast<std::size_t>(length), 0xEE);
        return SpW_Recv_Packet_extended(socket_, buffer_.data(), length, mac_.data(), &type_, mask);
    }
    int recv_frame_type(int length, int mask) {
        buffer_.assign(static_cast<std::size_t>(length), 0xEE);
        return SpW_Recv_Frame_Type(socket_, buffer_.data(), length, mask, &frame_type_,
                                   mac_.data());
    }
    int credit_wait() {
        unsigned char type = 0xFF;
        return spweth::SpW_Recv_Packet_uni(spweth::kRecvCreditWait, socket_, nullptr, 1495, nullptr,
                                           &type, 0);
    }

    Bytes head(std::size_t n) const { return Bytes(buffer_.begin(), buffer_.begin() + n); }

    pcap_t *socket_ = nullptr;
    Bytes buffer_;
    Mac mac_{};
    unsigned char type_ = 0xFF;
    int frame_type_ = -1;
};

}  // namespace test
