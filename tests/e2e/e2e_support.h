// End-to-end tests with real libpcap. Each test runs in a network namespace
// of its own, made in SetUp, holding only loopback and one veth pair:
// spw-host (the library's side) and spw-bridge (the bridge emulator's side).
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "spweth.h"
#include "wait_watchdog.h"

namespace e2e {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

inline constexpr const char *kHostLink = "spw-host";
inline constexpr const char *kBridgeLink = "spw-bridge";
inline constexpr mac_address kBridgeMac{{0x00, 0x01, 0x02, 0x03, 0x04, 0x05}};

inline bool run(const std::string &command) { return std::system(command.c_str()) == 0; }

// In a forked child: end when the test process ends, also when it aborts on a
// sanitizer report, so that no emulator keeps the test's output open.
inline void die_with_parent() { prctl(PR_SET_PDEATHSIG, SIGKILL); }

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
        if (!summary_file_.empty()) std::remove(summary_file_.c_str());
    }

    // Starts the bridge emulator on spw-bridge with extra arguments.
    // Its standard output (the counters it prints when stopped) goes to
    // output_file when one is given.
    void start_emulator(std::vector<std::string> args = {}, const std::string &output_file = "") {
        emulator_ = spawn_emulator(kBridgeLink, std::move(args), output_file);
    }

    // Starts an emulator on `link` and gives it 300 ms to open it; its pid.
    static pid_t spawn_emulator(const char *link, std::vector<std::string> args,
                                const std::string &output_file) {
        args.insert(args.begin(), {SPWETH_BRIDGE_EMU, "--iface", link});
        const pid_t emulator = fork();
        if (emulator == 0) {
            die_with_parent();
            if (!output_file.empty()) {
                const int out = open(output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                dup2(out, STDOUT_FILENO);
            }
            std::vector<char *> argv;
            for (auto &a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        EXPECT_GT(emulator, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return emulator;
    }

    // The emulator with its summary (printed when it stops) going to a file.
    void start_emulator_with_summary(std::vector<std::string> args) {
        summary_file_ = "/tmp/spweth-bridge-" + std::to_string(getpid()) + ".txt";
        start_emulator(std::move(args), summary_file_);
    }

    // A counter of the emulator's summary, read after it has stopped.
    std::uint64_t bridge_counter(const std::string &name) {
        stop_emulator();
        std::ifstream summary(summary_file_);
        std::string line;
        while (std::getline(summary, line)) {
            const auto at = line.find(name);
            if (at != std::string::npos)
                return std::strtoull(line.c_str() + at + name.size(), nullptr, 10);
        }
        ADD_FAILURE() << "no '" << name << "' in the emulator's summary";
        return 0;
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

    // Receives one packet from the bridge; SPWETH_TIMED_OUT on time-out.
    int receive(Bytes &buffer, unsigned char &type,
                std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
        mac_address from = kBridgeMac;
        return SpW_Recv_Packet_From_MAC_Timeout(socket_, buffer.data(),
                                                static_cast<int>(buffer.size()), from.bytes, &type,
                                                static_cast<int>(timeout.count()));
    }

    pcap *socket_ = nullptr;
    pid_t emulator_ = -1;
    std::string summary_file_;
    WaitWatchdog watchdog_;
};

}  // namespace e2e
