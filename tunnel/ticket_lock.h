// The tunnel's one lock: a mutex that hands itself over in the order it was asked for.
//
// The main thread holds the tunnel's lock at all times but its select. With a plain mutex
// it takes the lock straight back after each select, and the receive thread, waiting for
// it, may lose that race again and again while one client keeps the main thread busy.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

class ticket_lock {
  public:
    ticket_lock() = default;
    ticket_lock(const ticket_lock&) = delete;
    ticket_lock& operator=(const ticket_lock&) = delete;

    void lock() {
        std::unique_lock guard(mutex_);
        const std::uint64_t mine = next_++;
        turn_changed_.wait(guard, [&] { return serving_ == mine; });
    }

    void unlock() {
        {
            std::lock_guard guard(mutex_);
            ++serving_;
        }
        turn_changed_.notify_all();
    }

    /// Threads that hold or wait for the lock; for tests.
    std::uint64_t queued() {
        std::lock_guard guard(mutex_);
        return next_ - serving_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable turn_changed_;
    std::uint64_t next_ = 0;     // the ticket the next caller of lock() draws
    std::uint64_t serving_ = 0;  // the ticket that holds the lock
};
