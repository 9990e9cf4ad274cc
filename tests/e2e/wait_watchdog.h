// For the receive calls without a deadline of their own: WaitWatchdog ends a
// wait that lasts too long by clearing the library's wait flag from a thread
// of its own: arm() before the call, disarm() after it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "spweth.h"

class WaitWatchdog {
public:
    using Clock = std::chrono::steady_clock;

    WaitWatchdog() : thread_([this] { run(); }) {}
    ~WaitWatchdog() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    WaitWatchdog(const WaitWatchdog &) = delete;
    WaitWatchdog &operator=(const WaitWatchdog &) = delete;

    void arm(std::chrono::milliseconds timeout) {
        set_wait_receive_active(1);
        std::lock_guard lock(mutex_);
        deadline_ = Clock::now() + timeout;
        armed_ = true;
        fired_ = false;
        wake_.notify_all();
    }

    // True when the time-out ended the wait. Leaves the wait flag set again.
    bool disarm() {
        std::lock_guard lock(mutex_);
        armed_ = false;
        set_wait_receive_active(1);
        return fired_;
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        while (!stop_) {
            if (!armed_) {
                wake_.wait(lock);
            } else if (wake_.wait_until(lock, deadline_) == std::cv_status::timeout && armed_ &&
                       Clock::now() >= deadline_) {
                set_wait_receive_active(0);
                fired_ = true;
                armed_ = false;
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    Clock::time_point deadline_{};
    bool armed_ = false;
    bool fired_ = false;
    bool stop_ = false;
    std::thread thread_;
};
