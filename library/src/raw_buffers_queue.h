// The bytes received from one chain, waiting for the dispatcher. One writer
// (the chain's I/O thread) appends blocks; one reader (the dispatcher) takes
// everything at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

#include "Boost_Log.h"

template <class T>
class raw_buffers_queue {
  public:
    static constexpr unsigned int default_pop_wait_ms = 1000;
    static constexpr unsigned int default_push_wait_ms = 2000;
    // Storage above this is given back after a pop, so that a burst does not
    // keep its memory for ever.
    static constexpr size_t keep_capacity = 40000;

    raw_buffers_queue() {
        VXN_LOG("Raw buffers queue.", DBG)
            << "Raw buffers queue. Setting timeout for pushing to: " << push_wait_ms_ << ".";
    }
    // Copies get their own lock and a fresh stripe count.
    raw_buffers_queue(const raw_buffers_queue& other)
        : data_(other.data_),
          pop_wait_ms_(other.pop_wait_ms_),
          push_wait_ms_(other.push_wait_ms_) {}
    raw_buffers_queue& operator=(const raw_buffers_queue&) = delete;

    // Appends `bytes`; false when the lock was not obtained within the push
    // wait (the bytes are then lost).
    bool push(const std::vector<T>& bytes) {
        VXN_LOG("Raw buffers queue.", VRB)
            << "Raw buffers queue. Timeout for pushing is: " << push_wait_ms_ << ".";
        const auto start = std::chrono::steady_clock::now();
        auto wait = std::chrono::milliseconds(push_wait_ms_);
        while (!lock_.try_lock_for(wait)) {
            const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start);
            if (elapsed.count() > 0.8 * push_wait_ms_) {
                VXN_LOG("Raw buffers queue.", ERR)
                    << "Raw buffers queue. Reached lock timeout for pushing.";
                return false;
            }
            wait = std::chrono::milliseconds(push_wait_ms_) - elapsed;
        }
        data_.insert(data_.end(), bytes.begin(), bytes.end());
        lock_.unlock();
        return true;
    }

    // Moves every queued byte into `out` (emptied first); false when the lock
    // was not obtained within the pop wait (nothing is taken then).
    bool pop(std::vector<T>& out) {
        if (!lock_.try_lock_for(std::chrono::milliseconds(pop_wait_ms_))) {
            VXN_LOG("Raw buffers queue.", ERR)
                << "Raw buffers queue. Reached lock timeout for popping.";
            return false;
        }
        if (data_.capacity() > keep_capacity) {
            out.swap(data_);
            std::vector<T>().swap(data_);
        } else {
            out.assign(data_.begin(), data_.end());
            data_.clear();
        }
        lock_.unlock();
        return true;
    }

    // Number of queued bytes, or -1 when the lock was not obtained in time.
    int size() {
        if (!lock_.try_lock_for(std::chrono::milliseconds(pop_wait_ms_)))
            return -1;
        const int n = static_cast<int>(data_.size());
        lock_.unlock();
        return n;
    }

    bool clear() {
        if (!lock_.try_lock_for(std::chrono::milliseconds(pop_wait_ms_)))
            return false;
        data_.clear();
        lock_.unlock();
        return true;
    }

    // Counts `n` more pushed bytes; true when they complete a stripe (or run
    // past its end), which is when the dispatcher should look. Called by the
    // registry's push under its global_data_mutex.
    bool count_stripe(uint32_t n, uint32_t stripe) {
        const uint32_t before = stripe_count_;
        stripe_count_ = static_cast<uint32_t>((uint64_t(before) + n) % stripe);
        return stripe_count_ == 0 || uint64_t(before) + n > stripe;
    }
    uint32_t stripe_count() const { return stripe_count_; }

  private:
    std::vector<T> data_;  // guarded by lock_
    std::timed_mutex lock_;
    uint32_t stripe_count_ = 0;  // bytes pushed modulo one stripe; global_data_mutex
    unsigned int pop_wait_ms_ = default_pop_wait_ms;
    unsigned int push_wait_ms_ = default_push_wait_ms;
};
