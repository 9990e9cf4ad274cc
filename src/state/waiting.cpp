#include "state/waiting.h"

#include <sys/eventfd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <ctime>
#include <mutex>

#include "state/state.h"

namespace spweth {
namespace {

inline constexpr std::int64_t kNsPerMs = 1'000'000;

std::int64_t system_monotonic_now_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// The stop descriptor: an eventfd whose count is non-zero exactly while the
// wait flag is 0. Flag and count change together under the mutex, so that a
// setter racing another cannot leave it readable while the flag is 1.
std::atomic<int> stop_descriptor{-1};
std::mutex wait_flag_mutex;

struct News {
    std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t edition = 0;  // under the mutex
    std::atomic<int> waiters{0};
};
News news;

}  // namespace

std::int64_t (*monotonic_now_ns)() = &system_monotonic_now_ns;

Deadline Deadline::after_ms(int milliseconds) {
    Deadline deadline;
    if (milliseconds > 0) {
        deadline.set_ = true;
        deadline.at_ns_ = monotonic_now_ns() + static_cast<std::int64_t>(milliseconds) * kNsPerMs;
    }
    return deadline;
}

Deadline Deadline::at_most_ms(int milliseconds) const {
    const Deadline cap = after_ms(milliseconds);
    return set_ && at_ns_ < cap.at_ns_ ? *this : cap;
}

int Deadline::poll_timeout_ms() const {
    if (!set_) return -1;
    const std::int64_t left_ns = at_ns_ - monotonic_now_ns();
    if (left_ns <= 0) return 0;
    const std::int64_t left_ms = (left_ns + kNsPerMs - 1) / kNsPerMs;
    return left_ms > INT_MAX ? INT_MAX : static_cast<int>(left_ms);
}

int wait_stop_descriptor() {
    int descriptor = stop_descriptor.load();
    if (descriptor >= 0) return descriptor;
    std::lock_guard lock(wait_flag_mutex);
    descriptor = stop_descriptor.load();
    if (descriptor >= 0) return descriptor;
    descriptor = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (descriptor >= 0 && library_state.wait_receive_active.load() == 0)
        eventfd_write(descriptor, 1);
    stop_descriptor.store(descriptor);
    return descriptor;
}

void store_wait_flag(int active) {
    {
        std::lock_guard lock(wait_flag_mutex);
        library_state.wait_receive_active.store(active);
        const int descriptor = stop_descriptor.load();
        if (descriptor >= 0) {
            eventfd_t count = 0;
            if (active == 0)
                eventfd_write(descriptor, 1);
            else
                eventfd_read(descriptor, &count);  // non-blocking: nothing to read is fine
        }
    }
    if (active == 0) credit_news::announce();
}

namespace credit_news {

Waiter::Waiter() { news.waiters.fetch_add(1); }
Waiter::~Waiter() { news.waiters.fetch_sub(1); }

std::uint64_t edition() {
    std::lock_guard lock(news.mutex);
    return news.edition;
}

void announce() {
    // The waiter count is read after the caller's store of what it announces,
    // and a waiter counts itself before it reads that: one of the two sees the other.
    if (news.waiters.load() == 0) return;
    {
        std::lock_guard lock(news.mutex);
        ++news.edition;
    }
    news.changed.notify_all();
}

void wait_for_news(std::uint64_t seen, const Deadline &deadline) {
    std::unique_lock lock(news.mutex);
    const auto newer = [seen] {
        return news.edition != seen || library_state.wait_receive_active.load() == 0;
    };
    const int timeout_ms = deadline.poll_timeout_ms();
    if (timeout_ms < 0)
        news.changed.wait(lock, newer);
    else
        news.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), newer);
}

}  // namespace credit_news

void reset_waiting() {
    monotonic_now_ns = &system_monotonic_now_ns;
    store_wait_flag(1);
}

}  // namespace spweth

namespace spweth {
namespace {

// How long a lock waiter sleeps before it looks at its deadline and the wait
// flag again: the flag has no notification of its own for lock waiters.
inline constexpr int kLockWaitSliceMs = 10;

}  // namespace

void FairLock::take() {
    held_ = true;
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    depth_ = 1;
}

bool FairLock::try_lock() {
    if (held_by_this_thread()) {
        ++depth_;
        return true;
    }
    std::lock_guard lock(mutex_);
    if (held_ || !waiting_.empty()) return false;
    take();
    return true;
}

bool FairLock::lock(const Deadline &deadline) {
    if (held_by_this_thread()) {
        ++depth_;
        return true;
    }
    std::unique_lock lock(mutex_);
    if (!held_ && waiting_.empty()) {
        take();
        return true;
    }
    const std::uint64_t ticket = next_ticket_++;
    waiting_.push_back(ticket);
    for (;;) {
        if (!held_ && waiting_.front() == ticket) {
            waiting_.pop_front();
            take();
            return true;
        }
        if (deadline.passed() || library_state.wait_receive_active.load() == 0) {
            waiting_.erase(std::find(waiting_.begin(), waiting_.end(), ticket));
            lock.unlock();
            turn_.notify_all();  // the next in turn may be free to go now
            return false;
        }
        turn_.wait_for(lock, std::chrono::milliseconds(
                                 deadline.at_most_ms(kLockWaitSliceMs).poll_timeout_ms()));
    }
}

void FairLock::unlock() {
    if (--depth_ != 0) return;
    {
        std::lock_guard lock(mutex_);
        held_ = false;
        owner_.store(std::thread::id(), std::memory_order_relaxed);
    }
    turn_.notify_all();
}

}  // namespace spweth
