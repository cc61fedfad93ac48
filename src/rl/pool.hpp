#pragma once
// A fixed pool of worker threads that splits a range of games into contiguous chunks: worker k
// always takes chunk k, so with the same range every worker keeps to the same games from call
// to call. The calling thread takes the first chunk itself, so a pool of one thread starts no
// thread.
//
// Waiting: a worker between calls, and the caller waiting for the workers, spin for a few tens
// of microseconds before they sleep, since a training loop calls again soon and waking a
// sleeping thread costs more than a short call.
//
// Forks: a child process has only the thread that forked, so the pool's workers do not exist
// there (and a lock of theirs may have been copied held). The pool notices a fork at its next
// call and starts fresh workers; the old ones' state is abandoned, never joined or destroyed.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace murkle::rl {

namespace pool_detail {

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Counts the forks this process descends from; a pool made under an older count is a parent's.
inline std::atomic<uint64_t>& forks() {
    static std::atomic<uint64_t> count{0};
    return count;
}

inline uint64_t fork_generation() {
    static const bool registered = [] {
        pthread_atfork(nullptr, nullptr, [] { forks().fetch_add(1, std::memory_order_relaxed); });
        return true;
    }();
    (void)registered;
    return forks().load(std::memory_order_relaxed);
}

// Spins while `busy()` holds, for at most `budget`; true when it stopped holding.
template <class Busy>
bool spin_while(Busy&& busy, std::chrono::microseconds budget) {
    const auto until = std::chrono::steady_clock::now() + budget;
    for (unsigned k = 1;; ++k) {
        if (!busy()) return true;
        cpu_relax();
        if (k % 64 == 0 && std::chrono::steady_clock::now() >= until) return !busy();
    }
}

}  // namespace pool_detail

class ThreadPool {
public:
    // Throws std::runtime_error, with nothing left running, when a worker cannot be started.
    explicit ThreadPool(size_t threads) : size_(std::max<size_t>(threads, 1)) { start(); }
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;
    ~ThreadPool() {
        if (state_ && state_->fork_generation != pool_detail::fork_generation()) {
            abandon();
            return;
        }
        stop(state_.get());
    }

    size_t size() const { return size_; }

    // Calls f(begin, end) on disjoint contiguous chunks covering [0, n) and returns when all
    // are done. The first exception a chunk throws is rethrown here, after every chunk has
    // finished. Not for several callers at once.
    void run(size_t n, const std::function<void(size_t, size_t)>& f) {
        const size_t chunks = std::min(size_, n);
        if (chunks <= 1) {
            if (n) f(0, n);
            return;
        }
        if (!state_ || state_->fork_generation != pool_detail::fork_generation()) {
            abandon();
            start();
        }
        State& s = *state_;
        s.task = &f;
        s.n = n;
        s.chunks = chunks;
        s.error = nullptr;
        // Every worker answers every call, even one without a chunk: no worker can lag behind
        // into the next call's task.
        s.pending.store(s.workers.size(), std::memory_order_relaxed);
        s.generation.fetch_add(1, std::memory_order_seq_cst);  // publishes the task
        if (s.sleeping_workers.load(std::memory_order_seq_cst) > 0) {
            std::lock_guard<std::mutex> lock(s.mutex);
            s.wake.notify_all();
        }
        std::exception_ptr mine;
        try {
            f(0, s.bound(1));
        } catch (...) {
            mine = std::current_exception();
        }
        auto busy = [&] { return s.pending.load(std::memory_order_seq_cst) != 0; };
        if (!pool_detail::spin_while(busy, SPIN)) {
            std::unique_lock<std::mutex> lock(s.mutex);
            s.caller_sleeping.store(true, std::memory_order_seq_cst);
            s.finished.wait(lock, [&] { return !busy(); });
            s.caller_sleeping.store(false, std::memory_order_relaxed);
        }
        s.task = nullptr;
        if (mine) std::rethrow_exception(mine);
        if (s.error) std::rethrow_exception(s.error);
    }

private:
    static constexpr std::chrono::microseconds SPIN{50};

    // Everything the workers share, on the heap so that a forked child can abandon it whole.
    struct State {
        std::vector<std::thread> workers;
        std::mutex mutex;
        std::condition_variable wake, finished;
        std::atomic<uint64_t> generation{0};
        std::atomic<size_t> pending{0};
        std::atomic<int> sleeping_workers{0};
        std::atomic<bool> caller_sleeping{false};
        std::atomic<bool> stopping{false};
        // Written by the caller before `generation` moves on, read by workers after.
        const std::function<void(size_t, size_t)>* task = nullptr;
        size_t n = 0, chunks = 0;
        std::exception_ptr error;  // under `mutex`
        uint64_t fork_generation = 0;

        size_t bound(size_t chunk) const { return n * chunk / chunks; }
    };

    void start() {
        auto s = std::make_unique<State>();
        s->fork_generation = pool_detail::fork_generation();
        s->workers.reserve(size_ - 1);
        for (size_t k = 1; k < size_; ++k) {
            try {
                s->workers.emplace_back([st = s.get(), k] { work(*st, k); });
            } catch (const std::system_error& e) {
                stop(s.get());
                throw std::runtime_error("could not start worker thread " + std::to_string(k) + " of " +
                                         std::to_string(size_ - 1) + ": " + e.what());
            }
        }
        state_ = std::move(s);
    }

    static void stop(State* s) {
        if (!s) return;
        {
            std::lock_guard<std::mutex> lock(s->mutex);
            s->stopping.store(true, std::memory_order_seq_cst);
        }
        s->wake.notify_all();
        for (auto& t : s->workers) t.join();
        s->workers.clear();
    }

    // In a forked child: the workers are gone and their state may be mid-call, so it is left
    // as it is, unjoined and undestroyed.
    void abandon() { (void)state_.release(); }

    static void work(State& s, size_t k) {
        uint64_t seen = 0;
        auto idle = [&] {
            return !s.stopping.load(std::memory_order_seq_cst) && s.generation.load(std::memory_order_seq_cst) == seen;
        };
        for (;;) {
            if (!pool_detail::spin_while(idle, SPIN)) {
                std::unique_lock<std::mutex> lock(s.mutex);
                s.sleeping_workers.fetch_add(1, std::memory_order_seq_cst);
                s.wake.wait(lock, [&] { return !idle(); });
                s.sleeping_workers.fetch_sub(1, std::memory_order_relaxed);
            }
            if (s.stopping.load(std::memory_order_acquire)) return;
            seen = s.generation.load(std::memory_order_acquire);
            std::exception_ptr error;
            if (k < s.chunks) {
                try {
                    (*s.task)(s.bound(k), s.bound(k + 1));
                } catch (...) {
                    error = std::current_exception();
                }
            }
            if (error) {
                std::lock_guard<std::mutex> lock(s.mutex);
                if (!s.error) s.error = error;
            }
            if (s.pending.fetch_sub(1, std::memory_order_seq_cst) == 1 &&
                s.caller_sleeping.load(std::memory_order_seq_cst)) {
                std::lock_guard<std::mutex> lock(s.mutex);
                s.finished.notify_one();
            }
        }
    }

    size_t size_;
    std::unique_ptr<State> state_;
};

}  // namespace murkle::rl
