// End-to-end tests with real libpcap. Each test runs in a network namespace
// of its own, made in SetUp, holding only loopback and one veth pair:
// spw-host (the library's side) and spw-bridge (the bridge emulator's side).
#pragma once

#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "spweth.h"

namespace e2e {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

inline constexpr const char *kHostLink = "spw-host";
inline constexpr const char *kBridgeLink = "spw-bridge";
inline constexpr mac_address kBridgeMac{{0x00, 0x01, 0x02, 0x03, 0x04, 0x05}};

inline bool run(const std::string &command) { return std::system(command.c_str()) == 0; }

// Ends a receive that waits too long by clearing the library's wait flag.
class Watchdog {
public:
    Watchdog() : thread_([this] { loop(); }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    void arm(std::chrono::milliseconds timeout) {
        set_wait_receive_active(1);
        std::lock_guard lock(mutex_);
        deadline_ = Clock::now() + timeout;
        armed_ = true;
        fired_ = false;
        wake_.notify_all();
    }
    bool disarm() {  // true when the time-out ended the wait
        std::lock_guard lock(mutex_);
        armed_ = false;
        set_wait_receive_active(1);
        return fired_;
    }

private:
    void loop() {
        std::unique_lock lock(mutex_);
        while (!stop_) {
            if (!armed_) {
                wake_.wait(lock);
            } else if (wake_.wait_until(lock, deadline_) == std::cv_status::timeout && armed_) {
                set_wait_receive_active(0);
                fired_ = true;
                armed_ = false;
            }
        }
    }
    std::mutex mutex_;
    std::condition_variable wake_;
    Clock::time_point deadline_{};
    bool armed_ = false, fired_ = false, stop_ = false;
    std::thread thread_;
};

// Repeatable random bytes.
inline Bytes random_bytes(std::size_t n, std::uint64_t &state) {
    Bytes bytes(n);
    for (auto &b : bytes) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        b = static_cast<unsigned char>(state >> 24);
    }
    return bytes;
}

class NamespaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "cannot make a network namespace here";
        ASSERT_TRUE(run(std::string("ip link set lo up && ip link add ") + kHostLink +
                        " type veth peer name " + kBridgeLink));
        for (const char *link : {kHostLink, kBridgeLink}) {
            run(std::string("sysctl -qw net.ipv6.conf.") + link + ".disable_ipv6=1 2>/dev/null");
            ASSERT_TRUE(run(std::string("ip link set ") + link + " up"));
        }
    }

    void TearDown() override {
        if (socket_ != nullptr) SpW_Socket_Close(socket_);
        stop_emulator();
    }

    // Starts the bridge emulator on spw-bridge with extra arguments.
    void start_emulator(std::vector<std::string> args = {}) {
        args.insert(args.begin(), {SPWETH_BRIDGE_EMU, "--iface", kBridgeLink});
        emulator_ = fork();
        if (emulator_ == 0) {
            std::vector<char *> argv;
            for (auto &a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        ASSERT_GT(emulator_, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }

    void stop_emulator() {
        if (emulator_ <= 0) return;
        kill(emulator_, SIGTERM);
        int status = 0;
        waitpid(emulator_, &status, 0);
        emulator_ = -1;
    }

    // Opens the library's socket on spw-host.
    void open_host_socket() {
        const intptr_t first = Create_List_Devices();
        ASSERT_GT(first, 0);
        int number = 0, host = -1;
        for (auto *e = reinterpret_cast<pcap_if_t *>(first); e != nullptr; e = e->next, ++number)
            if (std::strcmp(e->name, kHostLink) == 0) host = number;
        ASSERT_GE(host, 0);
        const intptr_t socket = SpW_Socket_Init(host);
        ASSERT_GT(socket, 0);
        socket_ = reinterpret_cast<pcap *>(socket);
    }

    // Receives one packet from the bridge; -1 on time-out.
    int receive(Bytes &buffer, unsigned char &type, std::chrono::milliseconds timeout =
                                                        std::chrono::milliseconds(3000)) {
        mac_address from = kBridgeMac;
        watchdog_.arm(timeout);
        const int length = SpW_Recv_Packet_From_MAC(socket_, buffer.data(),
                                                    static_cast<int>(buffer.size()), from.bytes,
                                                    &type);
        return watchdog_.disarm() ? -1 : length;
    }

    pcap *socket_ = nullptr;
    pid_t emulator_ = -1;
    Watchdog watchdog_;
};

}  // namespace e2e
