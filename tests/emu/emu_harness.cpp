#include "emu_harness.h"

#include <fcntl.h>
#include <net/if.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#ifndef SPWETH_BRIDGE_EMU_PATH
#error "SPWETH_BRIDGE_EMU_PATH must name the emulator program"
#endif

namespace emu_test {

namespace {

using Clock = std::chrono::steady_clock;

bool run(const std::string &command) { return std::system(command.c_str()) == 0; }

bool has_carrier(const char *name) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    ifreq request{};
    std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    const bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_RUNNING);
    close(fd);
    return up;
}

}  // namespace

std::optional<std::string> enter_private_namespace() {
    if (unshare(CLONE_NEWNET) != 0)
        return std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
    const std::string host = kHostSide;
    const std::string bridge = kBridgeSide;
    if (!run("ip link add " + host + " type veth peer name " + bridge) ||
        !run("ip link set " + host + " up") || !run("ip link set " + bridge + " up"))
        return std::string("could not set up the veth pair with ip(8)");
    const auto deadline = Clock::now() + 5s;
    while (!(has_carrier(kHostSide) && has_carrier(kBridgeSide))) {
        if (Clock::now() > deadline) return std::string("the veth pair did not come up");
        std::this_thread::sleep_for(5ms);
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------

EmulatorProcess::~EmulatorProcess() {
    if (running()) stop();
    if (!output_path_.empty()) unlink(output_path_.c_str());
}

bool EmulatorProcess::start(const std::vector<std::string> &arguments) {
    if (!output_path_.empty()) unlink(output_path_.c_str());
    char path[] = "/tmp/spweth-emu-test-XXXXXX";
    const int out = mkstemp(path);
    if (out < 0) return false;
    output_path_ = path;

    std::vector<std::string> argv_text{SPWETH_BRIDGE_EMU_PATH, "--iface", kBridgeSide};
    argv_text.insert(argv_text.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (auto &a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ == 0) {
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out);
    if (pid_ < 0) return false;

    const auto deadline = Clock::now() + 5s;
    while (Clock::now() < deadline) {
        if (output().find("serving") != std::string::npos) return true;
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return false;
}

int EmulatorProcess::stop() {
    if (!running()) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    const auto deadline = Clock::now() + 5s;
    while (waitpid(pid_, &status, WNOHANG) != pid_) {
        if (Clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(2ms);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string EmulatorProcess::output() const {
    std::ifstream in(output_path_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::optional<std::uint64_t> EmulatorProcess::counter(const std::string &name) const {
    std::istringstream lines(output());
    std::string line;
    while (std::getline(lines, line)) {
        const auto at = line.find(name);
        if (at == std::string::npos || line.find_first_not_of(' ') != at) continue;
        return std::stoull(line.substr(at + name.size()));
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------

Mac Frame::dest() const { return {bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5]}; }
Mac Frame::source() const { return {bytes[6], bytes[7], bytes[8], bytes[9], bytes[10], bytes[11]}; }

Bytes Frame::payload() const {
    const std::size_t end = std::min<std::size_t>(bytes.size(), 19 + payload_length());
    return Bytes(bytes.begin() + 19, bytes.begin() + static_cast<std::ptrdiff_t>(end));
}

HostPort::HostPort() {
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t *handle = pcap_create(kHostSide, errbuf);
    if (handle == nullptr) return;
    pcap_set_snaplen(handle, 2048);  // ring slots of this size: room for many frames
    pcap_set_buffer_size(handle, 16 << 20);
    pcap_set_promisc(handle, 1);
    pcap_set_immediate_mode(handle, 1);
    if (pcap_activate(handle) < 0 || pcap_setdirection(handle, PCAP_D_IN) != 0 ||
        pcap_setnonblock(handle, 1, errbuf) != 0) {
        pcap_close(handle);
        return;
    }
    handle_ = handle;
}

HostPort::~HostPort() {
    if (handle_ != nullptr) pcap_close(handle_);
}

void HostPort::send(const Bytes &frame) {
    pcap_sendpacket(handle_, frame.data(), static_cast<int>(frame.size()));
}

std::optional<Frame> HostPort::next_any(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    pollfd capture{pcap_get_selectable_fd(handle_), POLLIN, 0};
    for (;;) {
        pcap_pkthdr *header;
        const u_char *data;
        if (pcap_next_ex(handle_, &header, &data) == 1 && header->caplen >= 14)
            return Frame{Bytes(data, data + header->caplen)};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return std::nullopt;
        poll(&capture, 1, static_cast<int>(left.count()));
    }
}

std::optional<Frame> HostPort::next(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (auto frame = next_any(
               std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()))) {
        if (frame->ether_type() == 0x06AB && frame->bytes.size() >= 19) return frame;
    }
    return std::nullopt;
}

std::optional<Frame> HostPort::next_traffic(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (auto frame = next(
               std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()))) {
        if (!frame->is_credit_info() && frame->type_byte() != 8) return frame;
    }
    return std::nullopt;
}

std::optional<Frame> HostPort::next_status(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (auto frame = next(
               std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()))) {
        if (frame->type_byte() == 8) return frame;
    }
    return std::nullopt;
}

}  // namespace emu_test
