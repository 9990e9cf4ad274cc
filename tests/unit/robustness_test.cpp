// Bad input at the library's edges: what it is given that it should not be,
// and what it does then. docs/robustness.md lists every case with its test.
#include <cstdlib>
#include <cstring>

#include "rx/rx.h"
#include "test_support.h"

namespace {

using test::Bytes;
using test::LibraryTest;

void *no_memory(std::size_t) { return nullptr; }

// A ring whose storage could not be allocated holds nothing, whatever it is given.
using ReadBufferWithoutStorage = LibraryTest;

TEST_F(ReadBufferWithoutStorage, TakesFramesAndStaysEmpty) {
    spweth::heap_allocate = &no_memory;
    pcap_t *socket = open_socket();
    spweth::ReadBuffer *slot = spweth::read_buffer_find(socket);
    ASSERT_NE(nullptr, slot);
    ASSERT_EQ(0u, slot->capacity);

    const Bytes frame = test::bridge_frame(1, test::pattern(41));
    spweth::read_buffer_put(*slot, frame.data(), static_cast<std::uint32_t>(frame.size()));
    spweth::read_buffer_put(*slot, nullptr, 0);
    EXPECT_EQ(0u, slot->fill);
    EXPECT_EQ(0u, slot->write_pos);
    EXPECT_EQ(nullptr, slot->storage);
}

}  // namespace
