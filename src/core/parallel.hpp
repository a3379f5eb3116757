// Work of one call split into tasks and run on threads started for that call.
//
// run_tasks(count, schedule, task, poll) runs task(k) once for every k in [0, count). The
// threads take the next k from one shared counter, so tasks of uneven cost balance by
// themselves; each task writes its own part of the result, which is then the same, bit for bit,
// for any number of threads. Between tasks the calling thread calls poll() (at most every
// poll_interval): poll answers whether to go on, which is how a caller asks, for instance,
// whether the user has interrupted the call.
//
// Two ways to share the work:
// - the calling thread works too, beside threads - 1 helpers, and polls between its own tasks
//   (no thread to start for a single thread: the way for short calls);
// - the calling thread only polls, waking every poll_interval, while `threads` helpers work:
//   its polls may then wait (for a lock, say) without holding the work up.
//
// Cancellation (poll answering false) and an exception thrown by any task or by poll stop the
// work the same way: no task starts after it, the tasks running finish, and every helper is
// joined before run_tasks returns; nothing is left running. run_tasks then rethrows the first
// exception, or returns false when poll cancelled, true when every task ran. A helper that
// cannot be started only leaves fewer threads to do the work.
//
// No state outlives a call: the pool, the counter and the flags belong to it.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

namespace halfmoon::parallel {

// The number of processors this process may run on: its CPU affinity where the system tells
// it, the hardware's count otherwise; at least 1.
inline int available_processors() {
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        return std::max(1, CPU_COUNT(&set));
    }
#endif
    return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

struct Schedule {
    int threads = 1;                   // threads that run tasks
    bool calling_thread_works = true;  // false: the calling thread only polls
    std::chrono::steady_clock::duration poll_interval = std::chrono::milliseconds(5);
};

namespace detail {

// What the threads of one call share.
class SharedRun {
  public:
    explicit SharedRun(std::int64_t count) : count_(count) {}

    // The next task to run, or -1 once none is left or the run has stopped.
    std::int64_t claim() {
        if (stopped()) {
            return -1;
        }
        const std::int64_t k = next_.fetch_add(1, std::memory_order_relaxed);
        return k < count_ ? k : -1;
    }

    bool stopped() const { return stop_.load(std::memory_order_relaxed); }

    void cancel() {
        stop_.store(true, std::memory_order_relaxed);
        wake();
    }

    void fail(std::exception_ptr error) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!error_) {
                error_ = std::move(error);
            }
        }
        cancel();
    }

    std::exception_ptr error() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return error_;
    }

    // A helper has run out of tasks.
    void helper_done() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            ++helpers_done_;
        }
        wake();
    }

    // Waits until `helpers` helpers are done or `interval` has passed; true when they are done.
    bool wait_for_helpers(int helpers, std::chrono::steady_clock::duration interval) {
        std::unique_lock<std::mutex> lock(mutex_);
        return wakeup_.wait_for(lock, interval, [&] { return helpers_done_ >= helpers; });
    }

  private:
    void wake() {
        const std::lock_guard<std::mutex> lock(mutex_);
        wakeup_.notify_all();
    }

    const std::int64_t count_;
    std::atomic<std::int64_t> next_{0};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable wakeup_;
    int helpers_done_ = 0;
    std::exception_ptr error_;
};

template <typename Task>
void run_claimed(SharedRun& run, Task& task) {
    try {
        for (std::int64_t k = run.claim(); k >= 0; k = run.claim()) {
            task(k);
        }
    } catch (...) {
        run.fail(std::current_exception());
    }
}

// Joins every started helper when it goes out of scope, however the scope is left.
class Helpers {
  public:
    Helpers() = default;
    Helpers(const Helpers&) = delete;
    Helpers& operator=(const Helpers&) = delete;
    ~Helpers() {
        for (std::thread& thread : threads_) {
            thread.join();
        }
    }

    // Starts up to `wanted` helpers running `body`; returns how many started.
    template <typename Body>
    int start(int wanted, const Body& body) {
        try {
            threads_.reserve(static_cast<std::size_t>(wanted));
            for (int i = 0; i < wanted; ++i) {
                threads_.emplace_back(body);
            }
        } catch (const std::system_error&) {
            // Out of threads: the ones that started do the work.
        } catch (const std::bad_alloc&) {
        }
        return static_cast<int>(threads_.size());
    }

  private:
    std::vector<std::thread> threads_;
};

}  // namespace detail

template <typename Task, typename Poll>
bool run_tasks(std::int64_t count, const Schedule& schedule, Task&& task, Poll&& poll) {
    if (count <= 0) {
        return true;
    }
    detail::SharedRun run(count);
    bool cancelled = false;
    auto poll_once = [&] {
        try {
            if (!poll()) {
                cancelled = true;
                run.cancel();
            }
        } catch (...) {
            run.fail(std::current_exception());
        }
    };
    {
        detail::Helpers helpers;
        const int threads = std::max(1, schedule.threads);
        const int wanted = schedule.calling_thread_works ? threads - 1 : threads;
        const int started = helpers.start(wanted, [&] {
            detail::run_claimed(run, task);
            run.helper_done();
        });
        if (schedule.calling_thread_works || started == 0) {
            // Work beside the helpers, polling between tasks.
            auto last_poll = std::chrono::steady_clock::now();
            try {
                for (std::int64_t k = run.claim(); k >= 0; k = run.claim()) {
                    task(k);
                    const auto now = std::chrono::steady_clock::now();
                    if (now - last_poll >= schedule.poll_interval) {
                        poll_once();
                        last_poll = std::chrono::steady_clock::now();
                    }
                }
            } catch (...) {
                run.fail(std::current_exception());
            }
        }
        // Wait for the helpers, still polling: a cancellation stops them after their tasks.
        while (!run.wait_for_helpers(started, schedule.poll_interval)) {
            if (!run.stopped()) {
                poll_once();
            }
        }
    }  // every helper joined here
    if (const std::exception_ptr error = run.error()) {
        std::rethrow_exception(error);
    }
    return !cancelled;
}

}  // namespace halfmoon::parallel
