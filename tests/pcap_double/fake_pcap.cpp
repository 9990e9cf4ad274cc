#include "fake_pcap.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

// The double's own definition of the opaque handle.
struct pcap {
    fake_pcap::Handle state;
};

namespace fake_pcap {
namespace {

struct Failure {
    int skip = -1;  // -1: no one-shot failure pending
    bool always = false;
};

struct World {
    std::vector<Adapter> adapters;
    std::vector<std::unique_ptr<pcap>> handles;
    std::map<Call, Failure> failures;
    std::function<void(pcap_t *)> empty_poll_hook;
    std::vector<SentFrame> sent;
    Counters counters;
    int live_lists = 0;
    bool batching = false;         // pcap_fileno gives descriptors that sendmmsg takes
    bool batches_refused = false;  // sendmmsg fails with ENOSYS
};

// The descriptor the double gives handle i: far from any real one.
constexpr int kFirstDescriptor = 1 << 20;

World &world() {
    static World w;
    return w;
}

bool should_fail(Call call) {
    Failure &f = world().failures[call];
    if (f.always) return true;
    if (f.skip < 0) return false;
    if (f.skip == 0) {
        f.skip = -1;
        return true;
    }
    --f.skip;
    return false;
}

char *copy_text(const std::string &text) {
    char *copy = static_cast<char *>(std::malloc(text.size() + 1));
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

}  // namespace

void reset() {
    World &w = world();
    w.adapters.clear();
    w.handles.clear();
    w.failures.clear();
    w.empty_poll_hook = nullptr;
    w.sent.clear();
    w.counters = Counters{};
    w.batching = false;
    w.batches_refused = false;
    // live_lists is kept: a list still held by the library is its to free.
}

void set_adapters(std::vector<Adapter> adapters) { world().adapters = std::move(adapters); }
void set_batching(bool on) { world().batching = on; }
void refuse_batches(bool refuse) { world().batches_refused = refuse; }

// As the kernel does: the messages in order, up to the first refused one
// (Call::sendpacket failures refuse a frame); -1 with errno when the first is.
int sendmmsg(int descriptor, mmsghdr *messages, unsigned count, int) {
    World &w = world();
    const auto index = static_cast<std::size_t>(descriptor - kFirstDescriptor);
    if (w.batches_refused) {
        errno = ENOSYS;
        return -1;
    }
    if (descriptor < kFirstDescriptor || index >= w.handles.size()) {
        errno = EBADF;
        return -1;
    }
    pcap_t *p = w.handles[index].get();
    ++w.counters.batches;
    for (unsigned i = 0; i < count; ++i) {
        Bytes frame;
        const msghdr &header = messages[i].msg_hdr;
        for (std::size_t piece = 0; piece < header.msg_iovlen; ++piece) {
            const auto *bytes = static_cast<const std::uint8_t *>(header.msg_iov[piece].iov_base);
            frame.insert(frame.end(), bytes, bytes + header.msg_iov[piece].iov_len);
        }
        const bool accepted = !should_fail(Call::sendpacket);
        p->state.sent.push_back(frame);
        w.sent.push_back({p, std::move(frame), accepted});
        if (!accepted) {
            if (i > 0) return static_cast<int>(i);
            errno = ENOBUFS;
            return -1;
        }
        messages[i].msg_len = static_cast<unsigned>(w.sent.back().bytes.size());
    }
    return static_cast<int>(count);
}
void fail_next(Call call, int skip) { world().failures[call].skip = skip; }
void fail_always(Call call, bool fail) { world().failures[call].always = fail; }

void push_inbound(pcap_t *p, Bytes frame, std::uint32_t wire_length) {
    p->state.inbound.push_back(std::move(frame));
    p->state.inbound_wire_lengths.push_back(wire_length);
    p->state.inbound_times_ns.push_back(0);
}

void push_inbound_at(pcap_t *p, Bytes frame, std::int64_t time_ns) {
    push_inbound(p, std::move(frame));
    p->state.inbound_times_ns.back() = time_ns;
}

void on_empty_poll(std::function<void(pcap_t *)> hook) {
    world().empty_poll_hook = std::move(hook);
}

Handle &handle(pcap_t *p) { return p->state; }

pcap_t *last_opened() {
    auto &handles = world().handles;
    return handles.empty() ? nullptr : handles.back().get();
}

std::vector<pcap_t *> opened() {
    std::vector<pcap_t *> result;
    for (auto &h : world().handles) result.push_back(h.get());
    return result;
}

int open_handle_count() {
    int count = 0;
    for (auto &h : world().handles) count += h->state.closed ? 0 : 1;
    return count;
}

const std::vector<SentFrame> &sent_frames() { return world().sent; }
const Counters &counters() { return world().counters; }
int live_device_lists() { return world().live_lists; }

}  // namespace fake_pcap

using fake_pcap::Call;
using fake_pcap::world;

extern "C" {

int pcap_findalldevs(pcap_if_t **list, char *errbuf) {
    auto &w = world();
    ++w.counters.findalldevs;
    *list = nullptr;
    if (fake_pcap::should_fail(Call::findalldevs)) {
        std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s", fake_pcap::kFindAllDevsError);
        return -1;
    }
    pcap_if_t **tail = list;
    for (const auto &adapter : w.adapters) {
        auto *entry = static_cast<pcap_if_t *>(std::calloc(1, sizeof(pcap_if_t)));
        entry->name = fake_pcap::copy_text(adapter.name);
        entry->description =
            adapter.description ? fake_pcap::copy_text(*adapter.description) : nullptr;
        *tail = entry;
        tail = &entry->next;
    }
    ++w.live_lists;  // an empty list is a null pointer, freed or not
    if (*list == nullptr) --w.live_lists;
    return 0;
}

void pcap_freealldevs(pcap_if_t *list) {
    auto &w = world();
    ++w.counters.freealldevs;
    if (list != nullptr) --w.live_lists;
    while (list != nullptr) {
        pcap_if_t *next = list->next;
        std::free(list->name);
        std::free(list->description);
        std::free(list);
        list = next;
    }
}

pcap_t *pcap_open_live(const char *device, int snaplen, int promisc, int to_ms, char *errbuf) {
    auto &w = world();
    ++w.counters.open_live;
    if (fake_pcap::should_fail(Call::open_live)) {
        std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "fake open failure");
        return nullptr;
    }
    auto handle = std::make_unique<pcap>();
    handle->state.device = device;
    handle->state.snaplen = snaplen;
    handle->state.promisc = promisc;
    handle->state.timeout_ms = to_ms;
    w.handles.push_back(std::move(handle));
    return w.handles.back().get();
}

pcap_t *pcap_create(const char *device, char *) {
    auto &w = world();
    ++w.counters.open_live;
    auto handle = std::make_unique<pcap>();
    handle->state.device = device;
    w.handles.push_back(std::move(handle));
    return w.handles.back().get();
}

int pcap_set_snaplen(pcap_t *p, int snaplen) { return p->state.snaplen = snaplen, 0; }
int pcap_set_promisc(pcap_t *p, int promisc) { return p->state.promisc = promisc, 0; }
int pcap_set_timeout(pcap_t *p, int to_ms) { return p->state.timeout_ms = to_ms, 0; }
int pcap_set_immediate_mode(pcap_t *p, int on) { return p->state.immediate = on, 0; }
int pcap_set_buffer_size(pcap_t *p, int size) { return p->state.buffer_size = size, 0; }
int pcap_set_tstamp_precision(pcap_t *p, int precision) {
    return p->state.tstamp_precision = precision, 0;
}
int pcap_get_tstamp_precision(pcap_t *p) { return p->state.tstamp_precision; }

// A scripted open failure (Call::open_live) makes activation fail.
int pcap_activate(pcap_t *p) {
    if (fake_pcap::should_fail(Call::open_live)) {
        p->state.activation_failed = true;
        return PCAP_ERROR;
    }
    return 0;
}

int pcap_compile(pcap_t *p, struct bpf_program *program, const char *text, int optimize,
                 bpf_u_int32 netmask) {
    auto &w = world();
    ++w.counters.compile;
    p->state.filter = text;
    p->state.optimize = optimize;
    p->state.netmask = netmask;
    if (fake_pcap::should_fail(Call::compile)) return -1;
    program->bf_len = 1;
    program->bf_insns = static_cast<bpf_insn *>(std::calloc(1, sizeof(bpf_insn)));
    return 0;
}

void pcap_freecode(struct bpf_program *program) {
    ++world().counters.freecode;
    std::free(program->bf_insns);
    program->bf_insns = nullptr;
    program->bf_len = 0;
}

int pcap_setfilter(pcap_t *p, struct bpf_program *) {
    if (fake_pcap::should_fail(Call::setfilter)) return -1;
    p->state.filter_installed = true;
    return 0;
}

int pcap_setnonblock(pcap_t *p, int nonblock, char *errbuf) {
    if (fake_pcap::should_fail(Call::setnonblock)) {
        std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "fake nonblock failure");
        return -1;
    }
    p->state.nonblock = nonblock;
    return 0;
}

int pcap_next_ex(pcap_t *p, struct pcap_pkthdr **header, const u_char **data) {
    auto &h = p->state;
    if (fake_pcap::should_fail(Call::next_ex)) return PCAP_ERROR;
    if (h.inbound.empty()) {
        ++world().counters.empty_polls;
        if (world().empty_poll_hook) world().empty_poll_hook(p);
        if (h.inbound.empty()) return 0;
    }
    h.current = std::move(h.inbound.front());
    h.inbound.pop_front();
    const std::uint32_t wire_length = h.inbound_wire_lengths.front();
    h.inbound_wire_lengths.pop_front();
    const std::int64_t time_ns = h.inbound_times_ns.front();
    h.inbound_times_ns.pop_front();
    const std::int64_t per_second =
        h.tstamp_precision == PCAP_TSTAMP_PRECISION_NANO ? 1000000000 : 1000000;
    const std::int64_t ticks =
        h.tstamp_precision == PCAP_TSTAMP_PRECISION_NANO ? time_ns : time_ns / 1000;
    h.header.ts.tv_sec = static_cast<time_t>(ticks / per_second);
    h.header.ts.tv_usec = static_cast<suseconds_t>(ticks % per_second);
    h.header.caplen = static_cast<bpf_u_int32>(h.current.size());
    h.header.len = wire_length > h.header.caplen ? wire_length : h.header.caplen;
    *header = &h.header;
    *data = h.current.data();
    return 1;
}

// The frames pcap_next_ex would hand out, given to the callback in place;
// count <= 0 takes every queued frame.
int pcap_dispatch(pcap_t *p, int count, pcap_handler callback, u_char *user) {
    pcap_pkthdr *header = nullptr;
    const u_char *data = nullptr;
    int handed = 0;
    while (count <= 0 || handed < count) {
        const int got = pcap_next_ex(p, &header, &data);
        if (got < 0) return got;
        if (got == 0) break;
        callback(user, header, data);
        ++handed;
    }
    return handed;
}

// The double has no descriptor to sleep on: idle waits spin over it as they
// do with idle waits off, and deadline tests move the library's clock instead.
int pcap_get_selectable_fd(pcap_t *) { return -1; }

int pcap_fileno(pcap_t *p) {
    fake_pcap::World &w = world();
    if (!w.batching) return -1;
    for (std::size_t i = 0; i < w.handles.size(); ++i)
        if (w.handles[i].get() == p) return fake_pcap::kFirstDescriptor + static_cast<int>(i);
    return -1;
}

int pcap_sendpacket(pcap_t *p, const u_char *bytes, int length) {
    const bool accepted = !fake_pcap::should_fail(Call::sendpacket);
    fake_pcap::Bytes frame(bytes, bytes + length);
    p->state.sent.push_back(frame);
    world().sent.push_back({p, std::move(frame), accepted});
    return accepted ? 0 : -1;
}

char *pcap_geterr(pcap_t *) { return const_cast<char *>(fake_pcap::kSendError); }

void pcap_close(pcap_t *p) {
    ++world().counters.close;
    p->state.closed = true;
}

}  // extern "C"
