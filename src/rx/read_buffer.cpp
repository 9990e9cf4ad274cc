#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <pcap/pcap.h>

#include "rx/rx.h"
#include "state/console.h"

namespace spweth {
namespace {

inline constexpr int kMinRecvBufferSize = 1500;
inline constexpr std::uint32_t kLengthPrefix = kGapMarkSize;
inline constexpr std::uint32_t kTimeField = kRecordHeaderSize - kLengthPrefix;

// The splitting copies: k bytes at pos, wrapping to index 0 at the end.
// A slot without storage moves zero bytes.
void ring_write(ReadBuffer &slot, const std::uint8_t *bytes, std::uint32_t k) {
    if (k == 0) return;
    const std::uint32_t room = slot.capacity - slot.write_pos;
    if (room >= k) {
        std::memcpy(slot.storage + slot.write_pos, bytes, k);
        slot.write_pos = room == k ? 0 : slot.write_pos + k;
    } else {
        std::memcpy(slot.storage + slot.write_pos, bytes, room);
        std::memcpy(slot.storage, bytes + room, k - room);
        slot.write_pos = k - room;
    }
    slot.fill += k;
}

// A null destination skips the bytes.
void ring_read(ReadBuffer &slot, std::uint8_t *bytes, std::uint32_t k) {
    if (k == 0) return;
    const std::uint32_t room = slot.capacity - slot.read_pos;
    if (room >= k) {
        if (bytes != nullptr) std::memcpy(bytes, slot.storage + slot.read_pos, k);
        slot.read_pos = room == k ? 0 : slot.read_pos + k;
    } else {
        if (bytes != nullptr) {
            std::memcpy(bytes, slot.storage + slot.read_pos, room);
            std::memcpy(bytes + room, slot.storage, k - room);
        }
        slot.read_pos = k - room;
    }
    slot.fill -= k;
}

}  // namespace

void read_buffer_flush(ReadBuffer &slot) {
    slot.gap_marked = false;
    slot.write_pos = 0;
    slot.read_pos = 0;
    slot.fill = 0;
}

// The ring's records in order, from index 0, in storage of `capacity` bytes.
// False, the ring unchanged, when there is no memory for it.
bool regrow(ReadBuffer &slot, std::uint32_t capacity) {
    auto *storage = static_cast<std::uint8_t *>(heap_allocate(capacity));
    if (storage == nullptr) return false;
    const std::uint32_t fill = slot.fill;
    ring_read(slot, storage, fill);
    std::free(slot.storage);
    slot.storage = storage;
    slot.capacity = capacity;
    slot.read_pos = 0;
    slot.write_pos = fill;
    slot.fill = fill;
    return true;
}

PutResult read_buffer_put(ReadBuffer &slot, const std::uint8_t *frame, std::uint32_t length,
                          std::int64_t time_ns) {
    PutResult result;
    // A record needs its prefix, time and frame, and room for a gap mark after it.
    const std::uint64_t needed = std::uint64_t{length} + 2 * kLengthPrefix + kTimeField;
    const auto limit = static_cast<std::uint32_t>(
        std::max(library_state.recv_buffer_limit, library_state.recv_buffer_size));
    while (slot.capacity - slot.fill < needed && slot.capacity != 0 && slot.capacity < limit) {
        const std::uint32_t grown = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(std::uint64_t{slot.capacity} * 2, limit));
        if (!regrow(slot, grown)) break;
        ++result.growths;
    }
    if (slot.capacity - slot.fill < needed) {
        result.lost = true;
        // One mark stands for every frame lost until the next record.
        if (!slot.gap_marked && slot.capacity - slot.fill >= kLengthPrefix) {
            const std::uint32_t mark = kGapMark;
            std::uint8_t prefix[kLengthPrefix];
            std::memcpy(prefix, &mark, kLengthPrefix);
            ring_write(slot, prefix, kLengthPrefix);
            slot.gap_marked = true;
        }
        return result;
    }
    std::uint8_t prefix[kLengthPrefix];
    std::memcpy(prefix, &length, kLengthPrefix);
    ring_write(slot, prefix, kLengthPrefix);
    std::uint8_t time[kTimeField];
    std::memcpy(time, &time_ns, kTimeField);
    ring_write(slot, time, kTimeField);
    if (frame != nullptr && length != 0) ring_write(slot, frame, length);
    slot.gap_marked = false;
    return result;
}

void RecordCopy::free_data() {
    std::free(data);
    data = nullptr;
    size = 0;
}

int read_buffer_take(ReadBuffer &slot, RecordCopy &copy) {
    if (slot.fill < kLengthPrefix) {
        console_print("Read buffer error 2: read_buffer wrong frame size (%d / %d). Flushing...\n",
                      static_cast<int>(slot.fill), static_cast<int>(kLengthPrefix));
        read_buffer_flush(slot);
        return -1;
    }
    std::uint8_t prefix[kLengthPrefix];
    ring_read(slot, prefix, kLengthPrefix);
    std::int32_t length;
    std::memcpy(&length, prefix, kLengthPrefix);
    if (static_cast<std::uint32_t>(length) == kGapMark) {
        if (slot.fill == 0) slot.gap_marked = false;
        return kRecordGap;
    }
    // The bytes there after the record's time field.
    const std::uint32_t data_left = slot.fill >= kTimeField ? slot.fill - kTimeField : 0;
    if (slot.fill < kTimeField || data_left < static_cast<std::uint32_t>(length)) {
        console_print("Read buffer error 3: read_buffer wrong data size (%d / %d). Flushing...\n",
                      static_cast<int>(data_left), length);
        read_buffer_flush(slot);
        return -1;
    }
    std::uint8_t time[kTimeField];
    ring_read(slot, time, kTimeField);
    std::memcpy(&copy.time_ns, time, kTimeField);
    if (length > copy.size) {
        copy.release();
        copy.data = static_cast<std::uint8_t *>(heap_allocate(static_cast<std::size_t>(length)));
        if (copy.data == nullptr) {
            // No room for the copy: drop this record so that the ring stays consistent.
            ring_read(slot, nullptr, static_cast<std::uint32_t>(length));
            return kRecordGap;
        }
        copy.size = length;
    }
    if (length != 0) ring_read(slot, copy.data, static_cast<std::uint32_t>(length));
    return length;
}

}  // namespace spweth

using spweth::library_state;

extern "C" {

SPWETH_API int set_recv_buffering(int recv_buffering) {
    return library_state.recv_buffering = spweth::normalise_flag(recv_buffering);
}

SPWETH_API void set_recv_buffer_size(int size) {
    if (size < spweth::kMinRecvBufferSize) {
        spweth::console_print("Error setting read buffer size: size is too small (<1500 bytes)!\n");
        return;
    }
    if (size == library_state.recv_buffer_size) return;
    library_state.recv_buffer_size = size;
    for (spweth::ReadBuffer &buffer : library_state.read_buffer_table.buffers)
        spweth::renew_read_buffer(buffer, size);
}

SPWETH_API int set_recv_buffer_limit(int bytes) {
    return library_state.recv_buffer_limit = std::max(bytes, library_state.recv_buffer_size);
}

SPWETH_API int get_recv_buffer_limit(void) { return library_state.recv_buffer_limit; }

SPWETH_API int set_thread_safe_mode(int safe_mode) {
    library_state.thread_safe_mode = spweth::normalise_flag(safe_mode);
    for (spweth::ReadBuffer &buffer : library_state.read_buffer_table.buffers)
        buffer.thread_safe = library_state.thread_safe_mode;
    return library_state.thread_safe_mode;
}

}  // extern "C"
