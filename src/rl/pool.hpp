#pragma once
// A fixed pool of worker threads that splits a range of games into contiguous blocks, handed
// out from one counter: whoever is free takes the next block, the calling thread included. A
// worker that wakes late, or shares its core with another process, takes fewer blocks rather
// than holding the call up, and the caller never waits for a worker that has not started.
// A pool of one thread starts no thread.
//
// Waiting: a worker between calls, and the caller waiting for the blocks taken by workers,
// spin for a few tens of microseconds before they sleep, since a training loop calls again
// soon and waking a sleeping thread costs more than a short call.
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

    // Calls f(begin, end) on disjoint contiguous blocks covering [0, n) and returns when all
    // are done. The first exception a block throws is rethrown here, after every block taken has
    // finished (blocks not yet taken are then skipped). Not for several callers at once.
    void run(size_t n, const std::function<void(size_t, size_t)>& f) {
        if (size_ <= 1 || n <= 1) {
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
        s.block = std::max<size_t>(1, n / (size_ * BLOCKS_PER_THREAD));
        s.blocks.store((n + s.block - 1) / s.block, std::memory_order_relaxed);
        s.done.store(0, std::memory_order_relaxed);
        s.failed.store(false, std::memory_order_relaxed);
        s.error = nullptr;
        // The call's number in the high half of the counter, its next block in the low half: a
        // worker still holding an older number takes nothing from this call.
        const uint64_t call = ++s.calls;
        s.next.store(call << 32, std::memory_order_seq_cst);  // publishes the task
        if (s.sleeping_workers.load(std::memory_order_seq_cst) > 0) {
            std::lock_guard<std::mutex> lock(s.mutex);
            s.wake.notify_all();
        }
        take_blocks(s, call);
        // Every block is taken; wait for those a worker still runs, and for any worker between
        // looking at the counter and leaving, so none reads this call's task after it returns.
        auto busy = [&] {
            return s.done.load(std::memory_order_seq_cst) != s.blocks.load(std::memory_order_relaxed) ||
                   s.active.load(std::memory_order_seq_cst) != 0;
        };
        if (!pool_detail::spin_while(busy, SPIN)) {
            std::unique_lock<std::mutex> lock(s.mutex);
            s.caller_sleeping.store(true, std::memory_order_seq_cst);
            s.finished.wait(lock, [&] { return !busy(); });
            s.caller_sleeping.store(false, std::memory_order_relaxed);
        }
        // Closed for good: a worker that looks late fails its exchange on the counter even once
        // the next call has changed `blocks`, because the counter never holds this value again.
        s.next.store((call << 32) | 0xFFFFFFFFu, std::memory_order_seq_cst);
        s.task = nullptr;
        if (s.error) std::rethrow_exception(s.error);
    }

private:
    static constexpr std::chrono::microseconds SPIN{50};
    static constexpr size_t BLOCKS_PER_THREAD = 4;

    // Everything the workers share, on the heap so that a forked child can abandon it whole.
    struct State {
        std::vector<std::thread> workers;
        std::mutex mutex;
        std::condition_variable wake, finished;
        std::atomic<uint64_t> next{0};     // call number << 32 | next block
        std::atomic<size_t> done{0};       // blocks of this call finished (or skipped)
        std::atomic<size_t> active{0};     // workers inside take_blocks
        std::atomic<bool> failed{false};
        std::atomic<int> sleeping_workers{0};
        std::atomic<bool> caller_sleeping{false};
        std::atomic<bool> stopping{false};
        uint64_t calls = 0;  // the caller's only
        // Written by the caller before `next` names the call, read by whoever takes a block.
        const std::function<void(size_t, size_t)>* task = nullptr;
        size_t n = 0, block = 1;
        // Also read by a worker that looks at the counter late, while the next call sets it.
        std::atomic<size_t> blocks{0};
        std::exception_ptr error;  // under `mutex`
        uint64_t fork_generation = 0;
    };

    // Takes and runs blocks of call `call` until none is left.
    static void take_blocks(State& s, uint64_t call) {
        for (;;) {
            uint64_t word = s.next.load(std::memory_order_acquire);
            do {
                // A stale word fails the exchange below whatever `blocks` holds by then.
                if ((word >> 32) != (call & 0xFFFFFFFFu) || (word & 0xFFFFFFFFu) >= s.blocks.load(std::memory_order_relaxed))
                    return;
            } while (!s.next.compare_exchange_weak(word, word + 1, std::memory_order_acq_rel));
            const size_t begin = (word & 0xFFFFFFFFu) * s.block;
            if (!s.failed.load(std::memory_order_relaxed)) {
                try {
                    (*s.task)(begin, std::min(s.n, begin + s.block));
                } catch (...) {
                    std::lock_guard<std::mutex> lock(s.mutex);
                    if (!s.error) s.error = std::current_exception();
                    s.failed.store(true, std::memory_order_relaxed);
                }
            }
            s.done.fetch_add(1, std::memory_order_seq_cst);
        }
    }

    void start() {
        auto s = std::make_unique<State>();
        s->fork_generation = pool_detail::fork_generation();
        s->workers.reserve(size_ - 1);
        for (size_t k = 1; k < size_; ++k) {
            try {
                s->workers.emplace_back([st = s.get()] { work(*st); });
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

    static void work(State& s) {
        uint64_t seen = 0;  // the last call this worker looked at
        auto idle = [&] {
            return !s.stopping.load(std::memory_order_seq_cst) && (s.next.load(std::memory_order_seq_cst) >> 32) == seen;
        };
        for (;;) {
            if (!pool_detail::spin_while(idle, SPIN)) {
                std::unique_lock<std::mutex> lock(s.mutex);
                s.sleeping_workers.fetch_add(1, std::memory_order_seq_cst);
                s.wake.wait(lock, [&] { return !idle(); });
                s.sleeping_workers.fetch_sub(1, std::memory_order_relaxed);
            }
            if (s.stopping.load(std::memory_order_acquire)) return;
            // Counted as active before reading which call is on, so that call's caller waits
            // for this worker whenever it could take one of its blocks.
            s.active.fetch_add(1, std::memory_order_seq_cst);
            seen = s.next.load(std::memory_order_seq_cst) >> 32;
            take_blocks(s, seen);
            if (s.active.fetch_sub(1, std::memory_order_seq_cst) == 1 && s.caller_sleeping.load(std::memory_order_seq_cst)) {
                std::lock_guard<std::mutex> lock(s.mutex);
                s.finished.notify_one();
            }
        }
    }

    size_t size_;
    std::unique_ptr<State> state_;
};

}  // namespace murkle::rl
