// The console handler: while one is set, every message of the library goes to
// it, whole and formatted, with its stream; a null handler restores the streams.
#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

using test::LibraryTest;

struct Message {
    int stream;
    std::string text;
    bool operator==(const Message &) const = default;
};

void collect(int stream, const char *text, void *context) {
    static_cast<std::vector<Message> *>(context)->push_back({stream, text});
}

class ConsoleHandler : public LibraryTest {
protected:
    void TearDown() override {
        set_console_handler(nullptr, nullptr);
        LibraryTest::TearDown();
    }
    std::vector<Message> messages_;
};

TEST_F(ConsoleHandler, TakesEveryMessageWithItsStreamUntilRemoved) {
    set_console_handler(&collect, &messages_);
    print_frame_type(1);
    fake_pcap::fail_next(fake_pcap::Call::findalldevs);
    EXPECT_EQ(-1, Create_List_Devices());
    EXPECT_EQ(
        (std::vector<Message>{
            {1, "Full SpW packet  with EOP\n"},
            {2, std::string("Error in pcap_findalldevs: ") + fake_pcap::kFindAllDevsError + "\n"},
        }),
        messages_);
    EXPECT_EQ("", out_);
    EXPECT_EQ("", err_);

    set_console_handler(nullptr, &messages_);
    print_frame_type(2);
    EXPECT_EQ(2u, messages_.size());
    EXPECT_EQ("Full SpW packet  with EEP\n", out_);
}

// A status record, a configuration body and a dump arrive as whole lines, one
// message each, and together as the streams would show them.
TEST_F(ConsoleHandler, PrintersSendWholeLinesThatAddUpToTheStreamText) {
    spw_eth_state state{};
    state.speed = 0x13;  // no text of its own: printed as decimal and hex
    state.spw1.link_state = 5;
    state.switch_state = 0x9F;
    const std::vector<std::uint8_t> bytes = test::pattern(40);
    const auto print_all = [&] {
        print_spw_eth_state(&state);
        Show_Conf_Header(spw_eth_conf_header_2{});
        debug_dump("bytes", bytes.data(), static_cast<unsigned>(bytes.size()));
    };
    print_all();
    set_console_handler(&collect, &messages_);
    print_all();

    std::string joined;
    for (const Message &m : messages_) {
        EXPECT_EQ(1, m.stream) << m.text;
        ASSERT_FALSE(m.text.empty());
        EXPECT_EQ('\n', m.text.back()) << m.text;
        joined += m.text;
    }
    EXPECT_EQ(out_, joined);
    const auto has_line = [&](const std::string &line) {
        return std::find(messages_.begin(), messages_.end(), Message{1, line}) != messages_.end();
    };
    EXPECT_TRUE(has_line("Speed: (19) 19 (HEX 0x13)\n"));
    EXPECT_TRUE(has_line("State: (5) \"RUN\"\n"));
    EXPECT_TRUE(has_line("Switch mode data: F error value!\n"));
}

TEST_F(ConsoleHandler, LongMessageArrivesWhole) {
    set_console_handler(&collect, &messages_);
    const std::string title(5000, 't');
    debug_dump(title.c_str(), nullptr, 7);
    EXPECT_EQ((std::vector<Message>{{1, title + ": 7 bytes \n"}}), messages_);
}

// A handler may replace itself; the next message goes to the new one.
struct Relay {
    std::vector<Message> *first;
    std::vector<Message> *then;
};

void hand_over(int stream, const char *text, void *context) {
    auto *relay = static_cast<Relay *>(context);
    relay->first->push_back({stream, text});
    set_console_handler(&collect, relay->then);
}

TEST_F(ConsoleHandler, HandlerMayReplaceItselfWhileCalled) {
    std::vector<Message> then;
    Relay relay{&messages_, &then};
    set_console_handler(&hand_over, &relay);
    print_frame_type(0);
    print_frame_type(3);
    EXPECT_EQ((std::vector<Message>{{1, "Part of SpW packet\n"}}), messages_);
    EXPECT_EQ((std::vector<Message>{{1, "First part of SpW packet\n"}}), then);
}

// Another thread swapping handlers never makes one run with the other's context.
std::atomic<int> mismatches{0};
int context_a = 0, context_b = 0;
void expects_a(int, const char *, void *context) {
    if (context != &context_a) ++mismatches;
}
void expects_b(int, const char *, void *context) {
    if (context != &context_b) ++mismatches;
}

TEST_F(ConsoleHandler, HandlerAndContextAreSeenTogether) {
    mismatches = 0;
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        while (!stop) {
            set_console_handler(&expects_a, &context_a);
            set_console_handler(&expects_b, &context_b);
        }
    });
    for (int i = 0; i < 20000; ++i) print_frame_type(i & 7);
    stop = true;
    swapper.join();
    EXPECT_EQ(0, mismatches.load());
}

}  // namespace
