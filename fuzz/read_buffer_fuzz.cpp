// Fuzz target: the read buffers against a model of their records.
//
// The input is a script of operations on the table of ten read buffers and
// twelve sockets: put, take, flush, claim, release, resize, the growth limit,
// thread-safe mode, failing allocations and a new record copy. After every
// operation each slot must agree with the model (a deque of records per slot,
// with the ring's doubling up to its limit and its gap marks for frames lost
// past it), the ring's positions must be consistent, and the console must show
// exactly the expected messages.
#include <array>
#include <deque>
#include <optional>
#include <string>

#include "fuzz_support.h"
#include "rx/rx.h"
#include "spweth.h"

namespace {

using fuzz::Bytes;
using fuzz::check;
using spweth::ReadBuffer;

constexpr int kSockets = 12;
constexpr std::uint32_t kPrefix = 4;  // a record's length; a gap mark is one alone
constexpr std::uint32_t kTime = 8;    // a record's capture time, after its length
constexpr int kMinSize = 1500;

// Allocations fail while this is set (storage of claims and resizes, record copies).
bool allocations_fail = false;
void *fuzz_allocate(std::size_t size) { return allocations_fail ? nullptr : std::malloc(size); }

Bytes frame_bytes(std::uint32_t length, std::uint8_t seed) {
    Bytes frame(length);
    for (std::uint32_t i = 0; i < length; ++i)
        frame[i] = static_cast<std::uint8_t>(seed * 131u + i * 7u + (i >> 8));
    return frame;
}

struct ModelRecord {
    std::uint32_t length;  // L as written in the prefix (kGapMark for a gap mark)
    Bytes kept;            // the frame bytes that fitted
    std::int64_t time_ns;
};

struct ModelSlot {
    std::uint32_t capacity = 0;
    std::uint32_t fill = 0;
    std::deque<ModelRecord> records;
    bool gap_marked = false;

    void flush() {
        records.clear();
        fill = 0;
        gap_marked = false;
    }
    void renew(int size) {
        flush();
        capacity = allocations_fail ? 0 : static_cast<std::uint32_t>(size);
    }
};

class Model {
public:
    explicit Model(fuzz::CleanLibrary &library) : lib_(library) {
        spweth::heap_allocate = &fuzz_allocate;
        for (pcap_t *&socket : sockets_) socket = fuzz::open_fake_handle();
    }
    ~Model() { allocations_fail = false; }

    void run(fuzz::Input &in) {
        resize(kMinSize + in.byte() * 16);
        limit(size_ * 8);  // rings of a few hundred kilobytes at most
        while (!in.empty()) {
            const std::uint8_t op = in.byte();
            const int s = (op >> 4) % kSockets;
            switch ((op & 0x0F) % 9) {
                case 0:
                    put(s, in);
                    break;
                case 1:
                    take(s);
                    break;
                case 2:
                    flush(s);
                    break;
                case 3:
                    claim(s);
                    break;
                case 4:
                    release(s);
                    break;
                case 5:
                    if (in.byte() & 2)
                        limit(in.u16() * 16);
                    else
                        resize(in.byte() & 1 ? size_ : static_cast<std::int16_t>(in.u16()));
                    break;
                case 6:
                    allocations_fail = !allocations_fail;
                    break;
                case 7:
                    copy_.release();
                    copy_size_ = 0;
                    break;
                case 8:
                    thread_safe(static_cast<std::int8_t>(in.byte()));
                    break;
            }
            verify();
        }
    }

private:
    std::optional<int> find(int s) const {
        for (int i = 0; i < spweth::kReadBufferSlots; ++i)
            if (keys_[i] == s) return i;
        return std::nullopt;
    }

    ReadBuffer *actual_slot(int s) {
        ReadBuffer *slot = spweth::read_buffer_find(sockets_[s]);
        const auto index = find(s);
        check((slot == nullptr) == !index.has_value(), "find disagrees with the model");
        if (index)
            check(slot == &spweth::library_state.read_buffer_table.buffers[*index],
                  "find gives another slot");
        return slot;
    }

    // A frame of 0..2047 bytes, or of 63488..65535 (longer than any ring here).
    void put(int s, fuzz::Input &in) {
        std::uint32_t length = in.u16() % 2048;
        if (in.byte() & 0x80) length += 65536 - 2048;
        const std::uint8_t seed = in.byte();
        ReadBuffer *slot = actual_slot(s);
        if (slot == nullptr) return;
        ModelSlot &m = slots_[*find(s)];
        const Bytes frame = frame_bytes(length, seed);
        const std::int64_t time_ns = std::int64_t{seed} * 1000000007 - length;
        const spweth::PutResult result =
            spweth::read_buffer_put(*slot, frame.data(), length, time_ns);

        // A record needs room for a gap mark after it; the ring doubles up to its limit.
        const std::uint32_t needed = length + 2 * kPrefix + kTime;
        const auto ceiling = static_cast<std::uint32_t>(std::max(limit_, size_));
        int growths = 0;
        while (m.capacity - m.fill < needed && m.capacity != 0 && m.capacity < ceiling &&
               !allocations_fail) {
            m.capacity = std::min(m.capacity * 2, ceiling);
            ++growths;
        }
        check(result.growths == growths, "growths differ");
        const bool lost = m.capacity - m.fill < needed;
        check(result.lost == lost, "lost differs");
        if (lost) {
            if (!m.gap_marked && m.capacity - m.fill >= kPrefix) {
                m.records.push_back({spweth::kGapMark, {}, 0});
                m.fill += kPrefix;
                m.gap_marked = true;
            }
            return;
        }
        m.records.push_back({length, frame, time_ns});
        m.fill += kPrefix + kTime + length;
        m.gap_marked = false;
    }

    void take(int s) {
        ReadBuffer *slot = actual_slot(s);
        if (slot == nullptr || slot->fill == 0) return;  // the engine takes only from a filled ring
        ModelSlot &m = slots_[*find(s)];
        const int result = spweth::read_buffer_take(*slot, copy_);

        if (m.fill < kPrefix) {
            expect_out("Read buffer error 2: read_buffer wrong frame size (" +
                       std::to_string(m.fill) + " / 4). Flushing...\n");
            check(result == -1, "error 2 not reported as failure");
            m.flush();
            return;
        }
        const ModelRecord record = m.records.front();
        if (record.length == spweth::kGapMark) {
            check(result == spweth::kRecordGap, "gap mark not reported");
            m.records.pop_front();
            m.fill -= kPrefix;
            if (m.fill == 0) m.gap_marked = false;
            return;
        }
        const std::uint32_t after_length = m.fill - kPrefix;
        const std::uint32_t rest = after_length >= kTime ? after_length - kTime : 0;
        if (after_length < kTime || rest < record.length) {
            expect_out("Read buffer error 3: read_buffer wrong data size (" +
                       std::to_string(static_cast<int>(rest)) + " / " +
                       std::to_string(static_cast<std::int32_t>(record.length)) +
                       "). Flushing...\n");
            check(result == -1, "error 3 not reported as failure");
            m.flush();
            return;
        }
        check(record.kept.size() == record.length, "model: a cut record followed by more");
        m.records.pop_front();
        m.fill -= kPrefix + kTime + record.length;
        if (record.length > copy_size_ && allocations_fail) {
            check(result == spweth::kRecordGap, "record without a copy not reported as lost");
            copy_size_ = 0;
            return;
        }
        copy_size_ = std::max(copy_size_, record.length);
        check(result == static_cast<int>(record.length), "take returns another length",
              std::to_string(result) + " vs " + std::to_string(record.length));
        check(copy_.size >= result, "record copy smaller than the record");
        check(record.length == 0 || std::memcmp(copy_.data, record.kept.data(), record.length) == 0,
              "record bytes differ");
        check(copy_.time_ns == record.time_ns, "record time differs");
    }

    void flush(int s) {
        ReadBuffer *slot = actual_slot(s);
        if (slot == nullptr) return;
        spweth::read_buffer_flush(*slot);
        slots_[*find(s)].flush();
    }

    void claim(int s) {
        const bool claimed = spweth::read_buffer_claim(sockets_[s]);
        auto index = find(s);
        if (!index) index = find(-1);
        if (!index) {
            check(!claimed, "eleventh claim succeeded");
            expect_out(
                "Error: too many sockets opened, cannot initialize receive buffer for socket.\n");
            check(lib_.err == "\nError getting read buffer for socket\n", "claim failure message",
                  lib_.err);
            lib_.err.clear();
            check(fake_pcap::handle(sockets_[s]).closed, "refused socket not closed");
            return;
        }
        check(claimed, "claim with a free key failed");
        keys_[*index] = s;
        slots_[*index].renew(size_);
    }

    void release(int s) {
        spweth::read_buffer_release(sockets_[s]);
        for (int &key : keys_)
            if (key == s) key = -1;
    }

    void resize(int size) {
        set_recv_buffer_size(size);
        if (size < kMinSize) {
            expect_out("Error setting read buffer size: size is too small (<1500 bytes)!\n");
            return;
        }
        if (size == size_) return;
        size_ = size;
        for (ModelSlot &m : slots_) m.renew(size);
    }

    void limit(int bytes) {
        const int stored = set_recv_buffer_limit(bytes);
        check(stored == std::max(bytes, size_), "limit below the buffer size");
        limit_ = stored;
    }

    void thread_safe(int mode) {
        const int stored = set_thread_safe_mode(mode);
        check(stored == (mode > 0 ? 1 : 0), "thread-safe mode not normalised");
        thread_safe_ = stored;
    }

    void expect_out(const std::string &text) {
        check(lib_.out == text, "console output", "got [" + lib_.out + "] want [" + text + "]");
        lib_.out.clear();
    }

    void verify() {
        check(lib_.out.empty() && lib_.err.empty(), "unexpected console output",
              lib_.out + lib_.err);
        const auto &table = spweth::library_state.read_buffer_table;
        for (int i = 0; i < spweth::kReadBufferSlots; ++i) {
            const ReadBuffer &slot = table.buffers[i];
            const ModelSlot &m = slots_[i];
            const std::string at = "slot " + std::to_string(i);
            check(table.keys[i] == (keys_[i] < 0 ? nullptr : sockets_[keys_[i]]), "key", at);
            check(slot.thread_safe == thread_safe_, "thread_safe flag", at);
            check(slot.capacity == m.capacity, "capacity", at);
            check((slot.storage == nullptr) == (slot.capacity == 0), "storage without capacity",
                  at);
            check(slot.fill == m.fill, "fill",
                  at + ": " + std::to_string(slot.fill) + " vs " + std::to_string(m.fill));
            if (slot.capacity == 0) continue;
            check(slot.fill <= slot.capacity, "fill above capacity", at);
            check(slot.read_pos < slot.capacity && slot.write_pos < slot.capacity,
                  "position outside the ring", at);
            check(slot.write_pos == (slot.read_pos + slot.fill) % slot.capacity,
                  "write position inconsistent", at);
        }
    }

    fuzz::CleanLibrary &lib_;
    std::array<pcap_t *, kSockets> sockets_{};
    std::array<int, spweth::kReadBufferSlots> keys_{-1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
    std::array<ModelSlot, spweth::kReadBufferSlots> slots_{};
    int size_ = spweth::kDefaultRecvBufferSize;
    int limit_ = spweth::kDefaultRecvBufferLimit;
    int thread_safe_ = 0;
    spweth::RecordCopy copy_;
    std::uint32_t copy_size_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzz::CleanLibrary library;
    fuzz::Input in(data, size);
    Model model(library);
    model.run(in);
    return 0;
}
