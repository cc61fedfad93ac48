#pragma once
// A fixed pool of worker threads that splits a range of games into contiguous chunks. The
// calling thread takes the first chunk itself, so a pool of one thread starts no thread.
#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace murkle::rl {

class ThreadPool {
public:
    explicit ThreadPool(size_t threads) : size_(std::max<size_t>(threads, 1)) {
        workers_.reserve(size_ - 1);
        for (size_t k = 1; k < size_; ++k) workers_.emplace_back([this, k] { work(k); });
    }
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;
    ~ThreadPool() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (auto& t : workers_) t.join();
    }

    size_t size() const { return size_; }

    // Calls f(begin, end) on disjoint chunks covering [0, n) and returns when all are done.
    // The first exception a chunk throws is rethrown here, after every chunk has finished.
    void run(size_t n, const std::function<void(size_t, size_t)>& f) {
        const size_t chunks = std::min(size_, n);
        if (chunks <= 1) {
            if (n) f(0, n);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            task_ = &f;
            n_ = n;
            chunks_ = chunks;
            pending_ = chunks - 1;
            error_ = nullptr;
            ++generation_;
        }
        wake_.notify_all();
        std::exception_ptr mine;
        try {
            f(0, bound(1));
        } catch (...) {
            mine = std::current_exception();
        }
        std::unique_lock<std::mutex> lock(mutex_);
        finished_.wait(lock, [&] { return pending_ == 0; });
        task_ = nullptr;
        if (mine) std::rethrow_exception(mine);
        if (error_) std::rethrow_exception(error_);
    }

private:
    size_t bound(size_t chunk) const { return n_ * chunk / chunks_; }

    void work(size_t k) {
        size_t seen = 0;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_) return;
            seen = generation_;
            if (k >= chunks_) continue;
            const auto* task = task_;
            const size_t begin = bound(k), end = bound(k + 1);
            lock.unlock();
            std::exception_ptr error;
            try {
                (*task)(begin, end);
            } catch (...) {
                error = std::current_exception();
            }
            lock.lock();
            if (error && !error_) error_ = error;
            if (--pending_ == 0) finished_.notify_one();
        }
    }

    size_t size_;
    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable wake_, finished_;
    const std::function<void(size_t, size_t)>* task_ = nullptr;
    size_t n_ = 0, chunks_ = 0, pending_ = 0, generation_ = 0;
    std::exception_ptr error_;
    bool stopping_ = false;
};

}  // namespace murkle::rl
