// Read buffers: the ring of set-aside frames, its damaged-record errors, and the
// three settings that govern the ten slots.
#include <cstdlib>
#include <cstring>

#include "rx/rx.h"
#include "test_support.h"

namespace {

using spweth::library_state;
using spweth::ReadBuffer;
using test::Bytes;
using test::pattern;

class ReadBufferTest : public test::LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        set_recv_buffer_size(kCapacity);  // every slot gets storage of this size
    }

    static constexpr int kCapacity = 1500;
    static constexpr std::uint32_t kHeader = spweth::kRecordHeaderSize;

    ReadBuffer &slot() { return library_state.read_buffer_table.buffers[0]; }

    void put(const Bytes &frame) {
        spweth::read_buffer_put(slot(), frame.data(), static_cast<std::uint32_t>(frame.size()));
    }
    // The next record's frame, or nothing when take failed.
    std::optional<Bytes> take() {
        const int length = spweth::read_buffer_take(slot(), copy_);
        if (length < 0) return std::nullopt;
        return Bytes(copy_.data, copy_.data + length);
    }
    // An empty ring whose next record starts at `position`.
    void start_at(std::uint32_t position) {
        slot().write_pos = slot().read_pos = position;
        slot().fill = 0;
    }

    spweth::RecordCopy copy_;
};

// ---------------------------------------------------------------------------
// Records in the ring

using ReadBufferRing = ReadBufferTest;

TEST_F(ReadBufferRing, FramesComeBackInOrderAndIntact) {
    const Bytes a = pattern(60, 1), b = pattern(1000, 2), c = pattern(19, 3);
    put(a);
    put(b);
    EXPECT_EQ(a.size() + b.size() + 2 * kHeader, slot().fill);
    EXPECT_EQ(a, take());
    put(c);
    EXPECT_EQ(b, take());
    EXPECT_EQ(c, take());
    EXPECT_EQ(0u, slot().fill);
    EXPECT_EQ(1000, copy_.size);  // the copy grew to the largest record only
    EXPECT_EQ("", out_);
}

// A record starting `before_end` bytes before the end of the storage.
class ReadBufferWrap : public ReadBufferTest,
                       public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(ReadBufferWrap, RecordIsReadBackIntact) {
    const std::uint32_t before_end = GetParam();
    const Bytes frame = pattern(40, 7);
    start_at(kCapacity - before_end);
    put(frame);
    const std::uint32_t record_end = (kCapacity - before_end + kHeader + 40) % kCapacity;
    EXPECT_EQ(record_end, slot().write_pos);
    EXPECT_EQ(frame, take());
    EXPECT_EQ(record_end, slot().read_pos);
    EXPECT_EQ(0u, slot().fill);
    // The ring goes on working after the wrap.
    put(pattern(30, 8));
    EXPECT_EQ(pattern(30, 8), take());
}

INSTANTIATE_TEST_SUITE_P(SplitPoints, ReadBufferWrap,
                         ::testing::Values(1u, 3u,         // inside the length bytes
                                           4u, 5u, 11u,    // inside the time bytes
                                           12u,            // frame starts at index 0
                                           13u, 32u, 51u,  // inside the frame bytes
                                           52u));          // record ends on the last byte

TEST_F(ReadBufferRing, RecordFillingTheLastFreeBytesFits) {
    const Bytes first = pattern(1388, 1);  // 1400 bytes used, 100 free
    put(first);
    put(pattern(88, 2));
    EXPECT_EQ(1500u, slot().fill);
    EXPECT_EQ(first, take());
    EXPECT_EQ(pattern(88, 2), take());
}

TEST_F(ReadBufferRing, RingWithoutRoomDoublesAndKeepsEveryRecord) {
    const Bytes a = pattern(1388, 1), b = pattern(97, 2), c = pattern(1514, 3);
    put(a);
    const spweth::PutResult grown = spweth::read_buffer_put(slot(), b.data(), 97);
    EXPECT_EQ(1, grown.growths);
    EXPECT_FALSE(grown.lost);
    EXPECT_EQ(3000u, slot().capacity);
    put(c);  // 1400 + 109 + 1526 bytes: once more
    EXPECT_EQ(6000u, slot().capacity);
    EXPECT_EQ(a, take());
    EXPECT_EQ(b, take());
    EXPECT_EQ(c, take());
    EXPECT_EQ(0u, slot().fill);
    EXPECT_EQ("", out_);
}

TEST_F(ReadBufferRing, PastTheLimitFramesAreLostBehindOneGapMark) {
    EXPECT_EQ(3000, set_recv_buffer_limit(3000));
    put(pattern(1400, 1));
    put(pattern(1400, 2));  // grows to the limit
    const Bytes lost = pattern(1400, 3);
    EXPECT_TRUE(spweth::read_buffer_put(slot(), lost.data(), 1400).lost);
    EXPECT_TRUE(spweth::read_buffer_put(slot(), lost.data(), 190).lost);
    EXPECT_EQ(3000u, slot().capacity);
    EXPECT_EQ(pattern(1400, 1), take());
    EXPECT_EQ(pattern(1400, 2), take());
    put(pattern(60, 4));  // room again after the mark
    EXPECT_EQ(spweth::kRecordGap, spweth::read_buffer_take(slot(), copy_));
    EXPECT_EQ(pattern(60, 4), take());
    EXPECT_EQ(0u, slot().fill);
}

TEST_F(ReadBufferRing, LimitIsNeverBelowTheBufferSize) {
    EXPECT_EQ(64 * 1024 * 1024, get_recv_buffer_limit());
    EXPECT_EQ(kCapacity, set_recv_buffer_limit(0));
    EXPECT_EQ(kCapacity, get_recv_buffer_limit());
    set_recv_buffer_size(2000);
    put(pattern(1514));  // a 2000-byte ring whose limit is its own size
    EXPECT_EQ(2000u, slot().capacity);
    EXPECT_EQ(pattern(1514), take());
}

TEST_F(ReadBufferRing, FewerBytesThanALengthIsReportedAsError2) {
    slot().write_pos = 3;
    slot().fill = 3;
    EXPECT_EQ(std::nullopt, take());
    EXPECT_EQ("Read buffer error 2: read_buffer wrong frame size (3 / 4). Flushing...\n", out_);
    EXPECT_EQ(0u, slot().fill);
    EXPECT_EQ(0u, slot().write_pos);
}

TEST_F(ReadBufferRing, RecordWhoseCopyCannotBeAllocatedIsSkipped) {
    put(pattern(100, 1));
    put(pattern(50, 2));
    spweth::heap_allocate = [](std::size_t) -> void * { return nullptr; };
    EXPECT_EQ(std::nullopt, take());
    EXPECT_EQ(50 + kHeader, slot().fill);  // the first record is gone, the second is whole
    spweth::heap_allocate = &std::malloc;
    EXPECT_EQ(pattern(50, 2), take());
    EXPECT_EQ(0u, slot().fill);
}

TEST_F(ReadBufferRing, FindMatchesOnlyAClaimedKey) {
    pcap_t *socket = open_socket();
    EXPECT_EQ(&slot(), spweth::read_buffer_find(socket));
    EXPECT_EQ(nullptr, spweth::read_buffer_find(nullptr));  // not the first free slot
}

// ---------------------------------------------------------------------------
// Claim and release

using ReadBufferSlots = ReadBufferTest;

TEST_F(ReadBufferSlots, ReleaseKeepsContentAndTheNextClaimStartsEmpty) {
    pcap_t *first = open_socket();
    ReadBuffer *ring = spweth::read_buffer_find(first);
    ASSERT_NE(nullptr, ring);
    spweth::read_buffer_put(*ring, pattern(60).data(), 60);
    SpW_Socket_Close(first);
    EXPECT_EQ(60 + kHeader, slot().fill);  // released, not cleared

    pcap_t *second = reinterpret_cast<pcap_t *>(SpW_Socket_Init(0));
    ASSERT_EQ(&slot(), spweth::read_buffer_find(second));
    EXPECT_EQ(0u, slot().fill);
    EXPECT_EQ(std::uint32_t{kCapacity}, slot().capacity);
}

// ---------------------------------------------------------------------------
// Settings

using ReadBufferSettings = ReadBufferTest;

TEST_F(ReadBufferSettings, SizeBelow1500IsRefused) {
    put(pattern(60));
    const std::uint8_t *storage = slot().storage;
    for (int size : {1499, 0, -1}) {
        out_.clear();
        set_recv_buffer_size(size);
        EXPECT_EQ("Error setting read buffer size: size is too small (<1500 bytes)!\n", out_);
    }
    EXPECT_EQ(kCapacity, library_state.recv_buffer_size);
    EXPECT_EQ(storage, slot().storage);
    EXPECT_EQ(60 + kHeader, slot().fill);
}

TEST_F(ReadBufferSettings, SizeOf1500IsAccepted) {
    EXPECT_EQ("", out_);  // the fixture set it
    EXPECT_EQ(1500, library_state.recv_buffer_size);
    for (const auto &each : library_state.read_buffer_table.buffers)
        EXPECT_EQ(1500u, each.capacity);
}

TEST_F(ReadBufferSettings, SameSizeKeepsWhatIsSetAside) {
    put(pattern(60));
    set_recv_buffer_size(kCapacity);
    EXPECT_EQ(pattern(60), take());
}

TEST_F(ReadBufferSettings, OtherSizeGivesEverySlotFreshEmptyStorage) {
    put(pattern(60));
    set_recv_buffer_size(2000);
    EXPECT_EQ(2000, library_state.recv_buffer_size);
    for (const auto &each : library_state.read_buffer_table.buffers) {
        EXPECT_NE(nullptr, each.storage);
        EXPECT_EQ(2000u, each.capacity);
        EXPECT_EQ(0u, each.fill);
    }
    EXPECT_EQ("", out_);
}

TEST_F(ReadBufferSettings, BufferingIsNormalisedAndTouchesNoSlot) {
    pcap_t *socket = open_socket();
    put(pattern(60));
    EXPECT_EQ(0, set_recv_buffering(-2));
    EXPECT_EQ(1, set_recv_buffering(5));
    EXPECT_EQ(socket, library_state.read_buffer_table.keys[0]);
    EXPECT_EQ(60 + kHeader, slot().fill);
}

TEST_F(ReadBufferSettings, ThreadSafeModeIsCopiedIntoEverySlot) {
    EXPECT_EQ(1, set_thread_safe_mode(3));
    for (const auto &each : library_state.read_buffer_table.buffers) EXPECT_EQ(1, each.thread_safe);
    EXPECT_EQ(0, set_thread_safe_mode(-1));
    for (const auto &each : library_state.read_buffer_table.buffers) EXPECT_EQ(0, each.thread_safe);
}

}  // namespace
