// Waiting: the monotonic clock and deadlines, the wait flag with the stop
// descriptor that follows it, and the credit news that wakes senders.
#pragma once

#include <cstdint>

namespace spweth {

// The monotonic clock in nanoseconds, behind every deadline. Tests may
// replace it to move time without sleeping.
extern std::int64_t (*monotonic_now_ns)();

// A point on the monotonic clock by which a wait must end, or none.
class Deadline {
public:
    static Deadline none() { return Deadline(); }
    // None for milliseconds <= 0.
    static Deadline after_ms(int milliseconds);

    // This deadline, or one `milliseconds` from now when that comes sooner.
    Deadline at_most_ms(int milliseconds) const;

    bool is_set() const { return set_; }
    // True when this deadline is set and comes no later than `other`.
    bool no_later_than(const Deadline &other) const {
        return set_ && (!other.set_ || at_ns_ <= other.at_ns_);
    }
    bool passed() const { return set_ && monotonic_now_ns() >= at_ns_; }
    // What poll() takes: -1 for none, else the milliseconds left, rounded up.
    int poll_timeout_ms() const;

private:
    bool set_ = false;
    std::int64_t at_ns_ = 0;
};

// No deadline, as a default argument: a reference to it costs the caller no
// temporary to build.
inline constexpr Deadline kNoDeadline{};

// Stores wait_receive_active and makes the stop descriptor follow it; clearing
// it also wakes the senders waiting for credit news.
void store_wait_flag(int active);

// A descriptor that is readable while wait_receive_active is 0, so that a
// wait sleeping in poll() wakes when another thread clears the flag. Made at
// the first call; -1 when the system refuses one.
int wait_stop_descriptor();

// Credit news, for the thread-safe mode: a sender whose credit wait finds
// another thread reading its socket sleeps until that reader records a credit
// count or gives the socket up, its deadline passes or the wait flag is cleared.
namespace credit_news {

// Counts the caller as a waiter for its lifetime: news is announced only
// while someone waits for it.
class Waiter {
public:
    Waiter();
    ~Waiter();
    Waiter(const Waiter &) = delete;
    Waiter &operator=(const Waiter &) = delete;
};

// What has been announced so far; wait_for_news waits for anything newer.
std::uint64_t edition();
void announce();
void wait_for_news(std::uint64_t seen, const Deadline &deadline);

}  // namespace credit_news

// The clock back to the system's, the flag to 1. Tests only (reset_library_state).
void reset_waiting();

}  // namespace spweth
