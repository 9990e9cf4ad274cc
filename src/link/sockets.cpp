#include "link/sockets.h"

#include <pcap/pcap.h>

#include <cstring>
#include <string>

#include "link/frame.h"
#include "state/console.h"

namespace spweth {
namespace {

LibraryState &s() { return library_state; }

// Builds device_list afresh: the first entry, or -1 / -2.
std::intptr_t build_device_list() {
    release_device_list();
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_if_t *list = nullptr;
    if (pcap_findalldevs(&list, errbuf) == -1) {
        console_error("Error in pcap_findalldevs: %s\n", errbuf);
        return kFindAllDevsFailed;
    }
    s().device_list = list;
    for (pcap_if_t *entry = list; entry != nullptr; entry = entry->next) ++s().device_count;
    if (s().device_count == 0) {
        console_print("\nNo interfaces found! Make sure WinPcap is installed.\n");
        return kNoAdapters;
    }
    return reinterpret_cast<std::intptr_t>(list);
}

pcap_if_t *device_at(int number) {
    pcap_if_t *entry = s().device_list;
    for (int i = 0; i < number && entry != nullptr; ++i) entry = entry->next;
    return entry;
}

}  // namespace

std::intptr_t install_bridge_filter(pcap_t *handle) {
    bpf_program program{};
    if (pcap_compile(handle, &program, kBridgeFilter, 1, kFilterNetmask) < 0) {
        pcap_close(handle);
        console_error("\nError compiling filter: wrong syntax.\n");
        return kCompileFailed;
    }
    const int installed = pcap_setfilter(handle, &program);
    pcap_freecode(&program);
    if (installed < 0) {
        pcap_close(handle);
        console_error("\nError setting the filter\n");
        return kSetFilterFailed;
    }
    return 0;
}

void release_device_list() {
    if (s().device_list != nullptr) pcap_freealldevs(s().device_list);
    s().device_list = nullptr;
    s().device_count = 0;
    s().chosen_device = nullptr;
}

// Immediate mode hands each frame over as it arrives; without it the kernel
// holds frames until a block fills or the read time-out passes, which would
// put up to 100 ms into every credit wait and every answer of the bridge.
// Nanosecond time stamps where the system gives them (else microseconds).
namespace {
bool activate(pcap_t *handle) {
    if (pcap_set_snaplen(handle, kSnapshotLength) != 0 || pcap_set_promisc(handle, 1) != 0 ||
        pcap_set_timeout(handle, kReadTimeoutMs) != 0 || pcap_set_immediate_mode(handle, 1) != 0 ||
        pcap_set_buffer_size(handle, kCaptureBufferSize) != 0)
        return false;
    pcap_set_tstamp_precision(handle, PCAP_TSTAMP_PRECISION_NANO);
    return pcap_activate(handle) >= 0;
}
}  // namespace

pcap_t *open_adapter(const pcap_if_t *device) {
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t *handle = pcap_create(device->name, errbuf);
    if (handle != nullptr && !activate(handle)) {
        pcap_close(handle);
        handle = nullptr;
    }
    if (handle == nullptr)
        console_error("\nUnable to open the adapter. %s is not supported by WinPcap\n",
                      device->name);
    return handle;
}

void announce_listening(const pcap_if_t *device) {
    console_print("\nListening on %s...\n",
                  device->description != nullptr ? device->description : device->name);
}

std::intptr_t socket_init(int interface_number) {
    s().chosen_device_number = -1;
    s().chosen_device = nullptr;
    if (s().device_list == nullptr) {
        const std::intptr_t built = build_device_list();
        console_print("\nInterfaces not initialized. Initializing...\n");
        if (built < 0) return built;
    }
    if (static_cast<unsigned>(interface_number) >= static_cast<unsigned>(s().device_count)) {
        const int count = s().device_count;
        release_device_list();
        console_print("\nInterface number (%d) out of range (%d).\n", interface_number, count);
        return kAdapterOutOfRange;
    }
    pcap_if_t *device = device_at(interface_number);
    pcap_t *handle = open_adapter(device);
    if (handle == nullptr) {
        release_device_list();
        return kOpenFailed;
    }
    s().chosen_device_number = interface_number;
    s().chosen_device = device;
    announce_listening(device);
    if (const std::intptr_t failed = install_bridge_filter(handle); failed < 0) return failed;
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    if (pcap_setnonblock(handle, 1, errbuf) != 0) {
        pcap_close(handle);
        console_error("\nError setting non-blocking mode\n");
        return kNonBlockFailed;
    }
    if (s().recv_buffering != 0 && !read_buffer_claim(handle)) return kNoReadBuffer;
    SocketRecord *record = register_socket(handle);
    if (record == nullptr) {
        read_buffer_release(handle);
        pcap_close(handle);
        console_print("Error: too many sockets opened (%d).\n", kMaxSockets);
        return kNoReadBuffer;
    }
    if (s().recv_buffering != 0) record->read_buffer = read_buffer_find(handle);
    record->adapter_name = device->name;
    const bool nanoseconds = pcap_get_tstamp_precision(handle) == PCAP_TSTAMP_PRECISION_NANO;
    record->ns_per_subsecond = nanoseconds ? 1 : 1000;
    // The capture's own descriptor sends batches of frames (see link/transmit.h).
    record->batch_descriptor = pcap_fileno(handle);
    return reinterpret_cast<std::intptr_t>(handle);
}

// The adapter of that pcap name, with SpW_Socket_Init's results and messages.
std::intptr_t socket_init_by_name(const char *adapter_name) {
    if (s().device_list == nullptr) {
        const std::intptr_t built = build_device_list();
        console_print("\nInterfaces not initialized. Initializing...\n");
        if (built < 0) return built;
    }
    int number = 0;
    for (pcap_if_t *entry = s().device_list; entry != nullptr; entry = entry->next, ++number)
        if (adapter_name != nullptr && std::strcmp(entry->name, adapter_name) == 0)
            return socket_init(number);
    s().chosen_device_number = -1;
    s().chosen_device = nullptr;
    release_device_list();
    console_print("\nNo adapter named %s.\n", adapter_name != nullptr ? adapter_name : "(null)");
    return kAdapterOutOfRange;
}

std::intptr_t socket_init_dialog() {
    if (const std::intptr_t built = build_device_list(); built < 0) return built;
    int number = 0;
    for (pcap_if_t *entry = s().device_list; entry != nullptr; entry = entry->next, ++number) {
        // One message per line, so that a console handler gets whole lines.
        if (entry->description != nullptr)
            console_print("%d. %s (%s)\n", number, entry->name, entry->description);
        else
            console_print("%d. %s (No description available)\n", number, entry->name);
    }
    console_print("Enter the interface number (0-%d): ", s().device_count - 1);
    int chosen = -1;
    if (console_scan("%d", &chosen) != 1) chosen = -1;  // no number: fail as out of range
    return socket_init(chosen);
}

// No socket (null, or a failed open's result) closes nothing and returns 0; a
// handle the library does not hold (closed before, or foreign) returns -1.
int socket_close(Socket socket) {
    if (reinterpret_cast<std::intptr_t>(socket) <= 0) return 0;
    SocketRecord *record = find_socket(socket);
    if (record == nullptr) return kNotASocket;
    clear_classic_handlers();
    if (PacketClaimer *claimer = record->claimer.load(); claimer != nullptr)
        claimer->socket_closed();
    record->kept.clear();
    record->gathered = {};
    if (s().recv_buffering != 0) read_buffer_release(socket);
    // The counters of the socket's own link: the classic ones unless it has its own.
    const frame::Route route = frame::route_of(*record);
    route.data_frame_counter->store(0);
    route.ccode_frame_counter->store(0);
    unregister_socket(socket);
    pcap_close(socket);
    return 0;
}

}  // namespace spweth

extern "C" {

SPWETH_API intptr_t Create_List_Devices(void) { return spweth::build_device_list(); }
SPWETH_API intptr_t SpW_Socket_Init(int interface_number) {
    return spweth::socket_init(interface_number);
}
SPWETH_API intptr_t SpW_Socket_Init_Dialog(void) { return spweth::socket_init_dialog(); }
SPWETH_API int Get_Number_Chosen_Network_Device(void) {
    return spweth::library_state.chosen_device_number;
}
SPWETH_API int get_number_chosen_network_device(void) { return Get_Number_Chosen_Network_Device(); }
SPWETH_API int SpW_Socket_Close(struct pcap *socket) { return spweth::socket_close(socket); }
SPWETH_API intptr_t SpW_Socket_Init_By_Name(const char *adapter_name) {
    return spweth::socket_init_by_name(adapter_name);
}
// Reopens the adapter the socket was opened on (no socket: the last one chosen).
SPWETH_API intptr_t SpW_Socket_Reset(struct pcap *socket) {
    const spweth::SocketRecord *record = spweth::find_socket(socket);
    const std::string adapter = record != nullptr ? record->adapter_name : std::string();
    if (spweth::socket_close(socket) < 0) return spweth::kNotASocket;
    if (record == nullptr) return spweth::socket_init(spweth::library_state.chosen_device_number);
    return spweth::socket_init_by_name(adapter.c_str());
}

}  // extern "C"
