// Soak: random packets of random sizes, with both end markers, through the
// bridge emulator in loopback, with credit flow control on and a small credit
// pool. Every packet is checked byte for byte on return.
//
// SPWETH_SOAK_MIB sets the volume of the clean run (default 20 MiB; the full
// soak is 1024): see docs/robustness.md. The run with dropped frames sends a
// quarter of it, at least 8 MiB.
#include <cinttypes>
#include <cstdio>
#include <deque>

#include "e2e_support.h"

namespace {

using e2e::Bytes;
using namespace std::chrono_literals;

constexpr int kMaxPacket = 256 * 1024;
constexpr std::size_t kInFlight = 4;  // packets sent ahead of the one awaited

std::uint64_t soak_bytes(std::uint64_t scale_down = 1, std::uint64_t floor_mib = 0) {
    const char *mib = std::getenv("SPWETH_SOAK_MIB");
    const std::uint64_t value = mib != nullptr ? std::strtoull(mib, nullptr, 10) : 20;
    return std::max(value / scale_down, floor_mib) << 20;
}

// Sizes: a third tiny or one frame, a third a few frames, a third long; the
// fragment boundaries come up often.
int random_size(std::uint64_t &state) {
    const Bytes pick = e2e::random_bytes(4, state);
    const std::uint32_t r = pick[0] | pick[1] << 8 | pick[2] << 16 | std::uint32_t{pick[3]} << 24;
    switch (r % 8) {
        case 0:
            return 1 + static_cast<int>((r >> 3) % 64);
        case 1:
            return 1494 + static_cast<int>((r >> 3) % 4);
        case 2:
            return 1495 * (1 + static_cast<int>((r >> 3) % 8)) + static_cast<int>((r >> 8) % 3) - 1;
        case 3:
        case 4:
            return 1 + static_cast<int>((r >> 3) % 1495);
        case 5:
        case 6:
            return 1496 + static_cast<int>((r >> 3) % 30000);
        default:
            return 30000 + static_cast<int>((r >> 3) % (kMaxPacket - 30000));
    }
}

struct SentPacket {
    std::uint64_t number;
    Bytes bytes;
    bool eep;
};

// What the receiving side saw of the packets sent.
struct Tally {
    std::uint64_t sent = 0, sent_bytes = 0;
    std::uint64_t intact = 0;
    std::uint64_t damaged = 0;        // received, but short, long, of the wrong end or bytes
    std::uint64_t silently_lost = 0;  // never seen: a later packet came back instead
    std::uint64_t error_reports = 0;  // error frames other than credit reports
};

Tally *current_tally = nullptr;

void count_error_frame(unsigned char *data, int size, unsigned char *) {
    if (size > 0 && data[0] != 0 && current_tally != nullptr) ++current_tally->error_reports;
    std::free(data);
}

class Soak : public e2e::NamespaceTest {
protected:
    void TearDown() override {
        NamespaceTest::TearDown();
        current_tally = nullptr;
    }

    void open_with_credit_flow() {
        set_recv_buffer_size(16 << 20);  // room for the packets in flight
        open_host_socket();
        set_send_crediting(1);
        set_send_credit_timeout(5000);  // a send that waits longer for credits fails
        set_send_credit_limit(2);
        set_send_credit_wait(4);
        ASSERT_EQ(0, register_err_frame_event_handler(&count_error_frame));
        current_tally = &tally_;
    }

    // Sends packets of random sizes until `volume` bytes have gone, keeping a
    // few in flight, and sorts every packet that comes back.
    void exchange(std::uint64_t volume) {
        std::uint64_t state = 0x50A4;
        std::deque<SentPacket> in_flight;
        Bytes buffer(kMaxPacket + 2 * 1495);
        const auto started = e2e::Clock::now();
        while (tally_.sent_bytes < volume || !in_flight.empty()) {
            if (tally_.sent_bytes < volume && in_flight.size() < kInFlight) {
                SentPacket packet{tally_.sent, {}, false};
                const int size = random_size(state);
                packet.bytes = e2e::random_bytes(static_cast<std::size_t>(size), state);
                packet.eep = packet.bytes[0] & 1;
                const int result =
                    SpW_Send_Packet(socket_, packet.bytes.data(), size, packet.eep ? 2 : 1);
                ASSERT_EQ(size, result) << "packet " << packet.number;
                ++tally_.sent;
                tally_.sent_bytes += static_cast<std::uint64_t>(size);
                in_flight.push_back(std::move(packet));
                continue;
            }
            unsigned char type = 0xEE;
            const int length = receive(buffer, type, 2000ms);
            if (length < 0) {  // nothing more comes back: the rest is lost
                tally_.silently_lost += in_flight.size();
                in_flight.clear();
                continue;
            }
            sort_returned(in_flight, buffer, length, type);
        }
        const double seconds = std::chrono::duration<double>(e2e::Clock::now() - started).count();
        std::printf("soak: %" PRIu64 " packets, %" PRIu64 " MiB in %.1f s (%.1f MiB/s): %" PRIu64
                    " intact, %" PRIu64 " damaged, %" PRIu64 " lost unseen, %" PRIu64
                    " error reports\n",
                    tally_.sent, tally_.sent_bytes >> 20, seconds,
                    static_cast<double>(tally_.sent_bytes) / (1 << 20) / seconds, tally_.intact,
                    tally_.damaged, tally_.silently_lost, tally_.error_reports);
    }

    // Packets come back in order. One that equals the oldest in flight is
    // intact; one that equals a later one means the packets before it never
    // came; any other is a damaged packet standing for the oldest.
    void sort_returned(std::deque<SentPacket> &in_flight, const Bytes &buffer, int length,
                       unsigned char type) {
        const auto equals = [&](const SentPacket &p) {
            return static_cast<std::size_t>(length) == p.bytes.size() && type == (p.eep ? 1 : 0) &&
                   std::memcmp(buffer.data(), p.bytes.data(), p.bytes.size()) == 0;
        };
        for (std::size_t k = 0; k < in_flight.size(); ++k) {
            if (!equals(in_flight[k])) continue;
            tally_.silently_lost += k;
            ++tally_.intact;
            in_flight.erase(in_flight.begin(), in_flight.begin() + static_cast<long>(k) + 1);
            return;
        }
        ++tally_.damaged;
        if (!in_flight.empty()) in_flight.pop_front();
    }

    Tally tally_;
};

TEST_F(Soak, EveryPacketComesBackIntactUnderCreditFlowControl) {
    start_emulator_with_summary({"--credits", "8", "--status-ms", "0"});
    open_with_credit_flow();
    exchange(soak_bytes());
    EXPECT_EQ(tally_.sent, tally_.intact) << "lost, corrupted or duplicated packets";
    EXPECT_EQ(0u, tally_.damaged);
    EXPECT_EQ(0u, tally_.silently_lost);
    EXPECT_EQ(0u, tally_.error_reports);
    EXPECT_EQ(0u, bridge_counter("dropped, no free buffer:"))
        << "credit flow control let the bridge overflow";
}

TEST_F(Soak, DroppedFramesSpoilOnlyTheirOwnPacketsAndNothingHangs) {
    start_emulator_with_summary({"--credits", "8", "--status-ms", "0", "--drop-every", "1000"});
    open_with_credit_flow();
    exchange(soak_bytes(4, 8));
    const std::uint64_t drops = bridge_counter("injected drops:");
    ASSERT_GT(drops, 0u);
    std::printf("soak: %" PRIu64 " frames dropped by the bridge\n", drops);
    const std::uint64_t spoilt = tally_.damaged + tally_.silently_lost;
    // A dropped frame spoils its own packet, and the next one when it was the
    // last frame of a packet that a full-packet frame then joins.
    EXPECT_GE(spoilt, drops);
    EXPECT_LE(spoilt, 2 * drops);
    EXPECT_EQ(tally_.sent, tally_.intact + spoilt);
    EXPECT_EQ(0u, tally_.error_reports);
    RecordProperty("silently_lost", static_cast<int>(tally_.silently_lost));
}

}  // namespace
