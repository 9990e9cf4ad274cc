// Adapters and sockets: listing, opening (every failure), the dialog, closing
// and reopening, and the read-buffer slot that a socket claims.
#include <cstdlib>
#include <cstring>

#include "link/frame.h"
#include "rx/rx.h"
#include "test_support.h"

namespace {

using fake_pcap::Call;
using spweth::library_state;

constexpr const char *kNotInitialized = "\nInterfaces not initialized. Initializing...\n";

class SocketTest : public test::LibraryTest {
protected:
    // Adapters "fake0".."fake<n-1>", described "Fake adapter <i>".
    static void adapters(int count) {
        std::vector<fake_pcap::Adapter> list;
        for (int i = 0; i < count; ++i)
            list.push_back({"fake" + std::to_string(i), "Fake adapter " + std::to_string(i)});
        fake_pcap::set_adapters(list);
    }
    // Both channels into one log, to check the order of messages across them.
    void merge_channels() { spweth::console_redirect(&merged_, &merged_, nullptr); }
    static pcap_t *as_socket(std::intptr_t result) { return reinterpret_cast<pcap_t *>(result); }

    std::string merged_;
};

// ---------------------------------------------------------------------------
// The adapter list

using AdapterList = SocketTest;

TEST_F(AdapterList, ReturnsTheFirstEntryAndCountsThem) {
    adapters(3);
    const auto first = reinterpret_cast<pcap_if_t *>(Create_List_Devices());
    ASSERT_NE(nullptr, first);
    EXPECT_STREQ("fake0", first->name);
    EXPECT_EQ(first, library_state.device_list);
    EXPECT_EQ(3, library_state.device_count);
    EXPECT_EQ("", out_ + err_);
}

TEST_F(AdapterList, FindAllDevsFailureIsReportedOnStandardError) {
    adapters(2);
    fake_pcap::fail_next(Call::findalldevs);
    EXPECT_EQ(-1, Create_List_Devices());
    EXPECT_EQ("Error in pcap_findalldevs: fake findalldevs failure\n", err_);
    EXPECT_EQ("", out_);
    EXPECT_EQ(nullptr, library_state.device_list);
}

TEST_F(AdapterList, NoAdapterIsReportedOnStandardOutput) {
    EXPECT_EQ(-2, Create_List_Devices());
    EXPECT_EQ("\nNo interfaces found! Make sure WinPcap is installed.\n", out_);
    EXPECT_EQ("", err_);
}

TEST_F(AdapterList, RebuildingReleasesTheOldListAndForgetsTheChosenAdapter) {
    adapters(2);
    ASSERT_GT(SpW_Socket_Init(1), 0);
    ASSERT_NE(nullptr, library_state.chosen_device);
    ASSERT_GT(Create_List_Devices(), 0);
    EXPECT_EQ(1, fake_pcap::live_device_lists());
    EXPECT_EQ(1, fake_pcap::counters().freealldevs);
    EXPECT_EQ(nullptr, library_state.chosen_device);
}

// ---------------------------------------------------------------------------
// Opening a socket

using SocketInit = SocketTest;

TEST_F(SocketInit, OpensTheAdapterFilteredAndNonBlocking) {
    adapters(3);
    const std::intptr_t result = SpW_Socket_Init(1);
    ASSERT_GT(result, 0);
    const fake_pcap::Handle &h = fake_pcap::handle(as_socket(result));
    EXPECT_EQ("fake1", h.device);
    EXPECT_GE(h.snaplen, 1514);  // room for the largest bridge frame
    EXPECT_EQ(1, h.promisc);
    EXPECT_EQ(100, h.timeout_ms);
    EXPECT_EQ(1, h.immediate);  // frames are handed over as they arrive
    EXPECT_EQ("ether proto 0x06AB", h.filter);
    EXPECT_EQ(1, h.optimize);
    EXPECT_EQ(0xFFFFFFu, h.netmask);
    EXPECT_TRUE(h.filter_installed);
    EXPECT_EQ(1, h.nonblock);
    EXPECT_FALSE(h.closed);
    EXPECT_EQ(1, fake_pcap::counters().freecode);  // the compiled program is not leaked
    EXPECT_EQ(std::string(kNotInitialized) + "\nListening on Fake adapter 1...\n", out_);
    EXPECT_EQ("", err_);
    EXPECT_EQ(1, Get_Number_Chosen_Network_Device());
    EXPECT_EQ(1, get_number_chosen_network_device());
    EXPECT_STREQ("fake1", library_state.chosen_device->name);
}

TEST_F(SocketInit, ReusesAnExistingList) {
    adapters(2);
    ASSERT_GT(SpW_Socket_Init(0), 0);
    out_.clear();
    ASSERT_GT(SpW_Socket_Init(1), 0);
    EXPECT_EQ(1, fake_pcap::counters().findalldevs);
    EXPECT_EQ("\nListening on Fake adapter 1...\n", out_);
}

TEST_F(SocketInit, ListeningNamesAnAdapterWithoutDescription) {
    fake_pcap::set_adapters({{"veth9", std::nullopt}});
    ASSERT_GT(SpW_Socket_Init(0), 0);
    EXPECT_EQ(std::string(kNotInitialized) + "\nListening on veth9...\n", out_);
}

TEST_F(SocketInit, FindAllDevsFailureFollowedByTheInitialisingMessage) {
    adapters(1);
    fake_pcap::fail_next(Call::findalldevs);
    merge_channels();
    EXPECT_EQ(-1, SpW_Socket_Init(0));
    EXPECT_EQ(
        std::string("Error in pcap_findalldevs: fake findalldevs failure\n") + kNotInitialized,
        merged_);
    EXPECT_EQ(-1, Get_Number_Chosen_Network_Device());
    EXPECT_EQ(0, fake_pcap::open_handle_count());  // the refused handle is not left open
}

TEST_F(SocketInit, NoAdapterFollowedByTheInitialisingMessage) {
    EXPECT_EQ(-2, SpW_Socket_Init(0));
    EXPECT_EQ(
        std::string("\nNo interfaces found! Make sure WinPcap is installed.\n") + kNotInitialized,
        out_);
    EXPECT_EQ("", err_);
}

TEST_F(SocketInit, NumberOutOfRangeReleasesTheList) {
    adapters(3);
    EXPECT_EQ(-3, SpW_Socket_Init(3));
    EXPECT_EQ(std::string(kNotInitialized) + "\nInterface number (3) out of range (3).\n", out_);
    EXPECT_EQ(0, fake_pcap::live_device_lists());
    EXPECT_EQ(nullptr, library_state.device_list);

    out_.clear();
    EXPECT_EQ(-3, SpW_Socket_Init(-1));  // negative numbers are out of range too
    EXPECT_EQ(std::string(kNotInitialized) + "\nInterface number (-1) out of range (3).\n", out_);
    EXPECT_EQ("", err_);
    EXPECT_EQ(0, fake_pcap::counters().open_live);

    out_.clear();
    EXPECT_GT(SpW_Socket_Init(0), 0);  // enumerates again
    EXPECT_EQ(0u, out_.find(kNotInitialized));
    EXPECT_EQ(3, fake_pcap::counters().findalldevs);
}

TEST_F(SocketInit, ChosenNumberFollowsTheMostRecentCall) {
    adapters(3);
    ASSERT_GT(SpW_Socket_Init(2), 0);
    EXPECT_EQ(2, Get_Number_Chosen_Network_Device());
    EXPECT_EQ(-3, SpW_Socket_Init(7));
    EXPECT_EQ(-1, Get_Number_Chosen_Network_Device());
    EXPECT_EQ(nullptr, library_state.chosen_device);
}

TEST_F(SocketInit, AdapterThatCannotBeOpenedReleasesTheList) {
    adapters(2);
    fake_pcap::fail_next(Call::open_live);
    EXPECT_EQ(-4, SpW_Socket_Init(1));
    EXPECT_EQ("\nUnable to open the adapter. fake1 is not supported by WinPcap\n", err_);
    EXPECT_EQ(kNotInitialized, out_);
    EXPECT_EQ(0, fake_pcap::live_device_lists());
    EXPECT_EQ(-1, Get_Number_Chosen_Network_Device());
}

TEST_F(SocketInit, MemoryForTheReadBufferIsNotNeeded) {
    adapters(1);
    spweth::heap_allocate = [](std::size_t) -> void * { return nullptr; };
    const std::intptr_t result = SpW_Socket_Init(0);
    ASSERT_GT(result, 0);
    spweth::ReadBuffer *slot = spweth::read_buffer_find(as_socket(result));
    ASSERT_NE(nullptr, slot);
    EXPECT_EQ(nullptr, slot->storage);
    EXPECT_EQ(0u, slot->capacity);
    const test::Bytes frame = test::pattern(60);
    spweth::read_buffer_put(*slot, frame.data(), 60);  // holds nothing
    EXPECT_EQ(0u, slot->fill);
}

// Failures after the adapter is open: the handle is closed, the list and the
// chosen adapter stay.
struct LateFailure {
    const char *step;
    Call call;
    std::intptr_t code;
    const char *message;
};

class SocketInitLateFailure : public SocketTest,
                              public ::testing::WithParamInterface<LateFailure> {};

TEST_P(SocketInitLateFailure, ClosesTheHandleAndKeepsTheList) {
    adapters(2);
    fake_pcap::fail_next(GetParam().call);
    EXPECT_EQ(GetParam().code, SpW_Socket_Init(1));
    EXPECT_EQ(GetParam().message, err_);
    EXPECT_EQ(std::string(kNotInitialized) + "\nListening on Fake adapter 1...\n", out_);
    ASSERT_NE(nullptr, fake_pcap::last_opened());
    EXPECT_TRUE(fake_pcap::handle(fake_pcap::last_opened()).closed);
    EXPECT_EQ(1, fake_pcap::live_device_lists());
    EXPECT_EQ(1, Get_Number_Chosen_Network_Device());
    EXPECT_EQ(GetParam().code == -5 ? 0 : 1, fake_pcap::counters().freecode);
    EXPECT_EQ(nullptr, spweth::read_buffer_find(fake_pcap::last_opened()));
}

INSTANTIATE_TEST_SUITE_P(Steps, SocketInitLateFailure,
                         ::testing::Values(LateFailure{"compile", Call::compile, -5,
                                                       "\nError compiling filter: wrong syntax.\n"},
                                           LateFailure{"setfilter", Call::setfilter, -6,
                                                       "\nError setting the filter\n"},
                                           LateFailure{"setnonblock", Call::setnonblock, -7,
                                                       "\nError setting non-blocking mode\n"}),
                         [](const auto &info) { return std::string(info.param.step); });

// ---------------------------------------------------------------------------
// Read-buffer slots of sockets

using SocketSlots = SocketTest;

TEST_F(SocketSlots, EleventhSocketIsRefusedWhileBuffering) {
    adapters(1);
    std::vector<pcap_t *> sockets;
    for (int i = 0; i < spweth::kReadBufferSlots; ++i) {
        const std::intptr_t result = SpW_Socket_Init(0);
        ASSERT_GT(result, 0) << i;
        sockets.push_back(as_socket(result));
        EXPECT_EQ(sockets.back(), library_state.read_buffer_table.keys[i]);
    }
    merge_channels();
    EXPECT_EQ(-8, SpW_Socket_Init(0));
    EXPECT_EQ(
        "\nListening on Fake adapter 0...\n"
        "Error: too many sockets opened, cannot initialize receive buffer for socket.\n"
        "\nError getting read buffer for socket\n",
        merged_);
    EXPECT_TRUE(fake_pcap::handle(fake_pcap::last_opened()).closed);
    EXPECT_EQ(10, fake_pcap::open_handle_count());
    EXPECT_EQ(1, fake_pcap::live_device_lists());
    EXPECT_EQ(0, Get_Number_Chosen_Network_Device());

    // A closed socket frees its slot for the next one.
    SpW_Socket_Close(sockets[4]);
    const std::intptr_t again = SpW_Socket_Init(0);
    ASSERT_GT(again, 0);
    EXPECT_EQ(as_socket(again), library_state.read_buffer_table.keys[4]);
}

TEST_F(SocketSlots, EleventhSocketOpensWithoutBuffering) {
    adapters(1);
    set_recv_buffering(0);
    for (int i = 0; i <= spweth::kReadBufferSlots; ++i) ASSERT_GT(SpW_Socket_Init(0), 0) << i;
    EXPECT_EQ(11, fake_pcap::open_handle_count());
    for (spweth::Socket key : library_state.read_buffer_table.keys) EXPECT_EQ(nullptr, key);
    EXPECT_EQ("", err_);
}

TEST_F(SocketSlots, ClaimGivesFreshStorageOfTheConfiguredSize) {
    set_recv_buffer_size(2000);
    pcap_t *socket = open_socket();
    spweth::ReadBuffer *slot = spweth::read_buffer_find(socket);
    ASSERT_NE(nullptr, slot);
    EXPECT_NE(nullptr, slot->storage);
    EXPECT_EQ(2000u, slot->capacity);
    EXPECT_EQ(0u, slot->fill);
}

// ---------------------------------------------------------------------------
// The console dialog

using SocketDialog = SocketTest;

TEST_F(SocketDialog, ListsAdaptersAndOpensTheNumberRead) {
    fake_pcap::set_adapters({{"eth-a", "Adapter A"}, {"eth-b", std::nullopt}});
    spweth::console_redirect(&out_, &err_, "1");
    const std::intptr_t result = SpW_Socket_Init_Dialog();
    ASSERT_GT(result, 0);
    EXPECT_EQ("eth-b", fake_pcap::handle(as_socket(result)).device);
    EXPECT_EQ(
        "0. eth-a (Adapter A)\n"
        "1. eth-b (No description available)\n"
        "Enter the interface number (0-1): "
        "\nListening on eth-b...\n",
        out_);
    EXPECT_EQ(1, Get_Number_Chosen_Network_Device());
}

TEST_F(SocketDialog, AlwaysEnumeratesAfresh) {
    adapters(2);
    ASSERT_GT(Create_List_Devices(), 0);
    spweth::console_redirect(&out_, &err_, "0");
    ASSERT_GT(SpW_Socket_Init_Dialog(), 0);
    EXPECT_EQ(2, fake_pcap::counters().findalldevs);
    EXPECT_EQ(1, fake_pcap::live_device_lists());
}

TEST_F(SocketDialog, InputThatIsNoNumberIsOutOfRange) {
    adapters(2);
    spweth::console_redirect(&out_, &err_, "x");
    EXPECT_EQ(-3, SpW_Socket_Init_Dialog());
    const std::string expected_end = "\nInterface number (-1) out of range (2).\n";
    ASSERT_GE(out_.size(), expected_end.size());
    EXPECT_EQ(expected_end, out_.substr(out_.size() - expected_end.size()));
    EXPECT_EQ(0, fake_pcap::counters().open_live);
}

TEST_F(SocketDialog, NoAdapterEndsBeforeThePrompt) {
    spweth::console_redirect(&out_, &err_, "0");
    EXPECT_EQ(-2, SpW_Socket_Init_Dialog());
    EXPECT_EQ("\nNo interfaces found! Make sure WinPcap is installed.\n", out_);
}

// ---------------------------------------------------------------------------
// Closing and reopening

void ignore_event(unsigned char *data, int, unsigned char *) { std::free(data); }

using SocketClose = SocketTest;

TEST_F(SocketClose, ClearsHandlersCountersAndTheSlotKey) {
    pcap_t *socket = open_socket();
    register_ccode_event_handler(&ignore_event);
    register_err_frame_event_handler(&ignore_event);
    register_status_event_handler(&ignore_event);
    spweth::frame::take_data_frame_number();
    spweth::frame::take_ccode_frame_number();
    out_.clear();

    EXPECT_EQ(0, SpW_Socket_Close(socket));
    EXPECT_EQ(nullptr, get_handler_ccode_state());
    EXPECT_EQ(nullptr, get_handler_err_frame_state());
    EXPECT_EQ(nullptr, get_handler_status_state());
    EXPECT_EQ(0, spweth::frame::take_data_frame_number());
    EXPECT_EQ(0, spweth::frame::take_ccode_frame_number());
    EXPECT_EQ(nullptr, spweth::read_buffer_find(socket));
    EXPECT_TRUE(fake_pcap::handle(socket).closed);
    EXPECT_EQ("", out_ + err_);
    // The adapter list and the choice stay.
    EXPECT_EQ(1, fake_pcap::live_device_lists());
    EXPECT_EQ(0, Get_Number_Chosen_Network_Device());
}

TEST_F(SocketClose, KeepsTheSlotKeyWhileBufferingIsOff) {
    pcap_t *socket = open_socket();
    set_recv_buffering(0);
    SpW_Socket_Close(socket);
    EXPECT_EQ(socket, library_state.read_buffer_table.keys[0]);
}

TEST_F(SocketClose, NullSocketIsSafe) {
    EXPECT_EQ(0, SpW_Socket_Close(nullptr));
    EXPECT_EQ(0, fake_pcap::counters().close);
}

using SocketReset = SocketTest;

TEST_F(SocketReset, ReopensTheChosenAdapter) {
    adapters(3);
    ASSERT_GT(SpW_Socket_Init(0), 0);
    pcap_t *socket = as_socket(SpW_Socket_Init(2));
    register_status_event_handler(&ignore_event);
    out_.clear();

    const std::intptr_t reopened = SpW_Socket_Reset(socket);
    ASSERT_GT(reopened, 0);
    EXPECT_NE(socket, as_socket(reopened));
    EXPECT_TRUE(fake_pcap::handle(socket).closed);
    EXPECT_EQ("fake2", fake_pcap::handle(as_socket(reopened)).device);
    EXPECT_EQ(nullptr, get_handler_status_state());
    EXPECT_EQ("\nListening on Fake adapter 2...\n", out_);
    EXPECT_NE(nullptr, spweth::read_buffer_find(as_socket(reopened)));
}

// A socket reopens its own adapter, whatever was opened (or failed) since.
TEST_F(SocketReset, ReopensItsOwnAdapterAfterOthersWereChosen) {
    adapters(3);
    pcap_t *socket = as_socket(SpW_Socket_Init(1));
    ASSERT_GT(SpW_Socket_Init(2), 0);
    ASSERT_EQ(-3, SpW_Socket_Init(9));
    out_.clear();
    const std::intptr_t reopened = SpW_Socket_Reset(socket);
    ASSERT_GT(reopened, 0);
    EXPECT_TRUE(fake_pcap::handle(socket).closed);
    EXPECT_EQ("fake1", fake_pcap::handle(as_socket(reopened)).device);
    EXPECT_EQ(std::string(kNotInitialized) + "\nListening on Fake adapter 1...\n", out_);
}

TEST_F(SocketInit, ByNameOpensThatAdapterOrRefusesAnUnknownName) {
    adapters(3);
    const std::intptr_t socket = SpW_Socket_Init_By_Name("fake2");
    ASSERT_GT(socket, 0);
    EXPECT_EQ("fake2", fake_pcap::handle(as_socket(socket)).device);
    EXPECT_EQ(2, Get_Number_Chosen_Network_Device());
    out_.clear();
    EXPECT_EQ(-3, SpW_Socket_Init_By_Name("eth9"));
    EXPECT_EQ(-3, SpW_Socket_Init_By_Name(nullptr));
    EXPECT_EQ(-1, Get_Number_Chosen_Network_Device());
    EXPECT_EQ(std::string("\nNo adapter named eth9.\n") + kNotInitialized +
                  "\nNo adapter named (null).\n",
              out_);
    EXPECT_EQ(1, fake_pcap::open_handle_count());
}

}  // namespace
