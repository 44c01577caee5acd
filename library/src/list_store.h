// First-in first-out stores of list-mode and list-wave values.
//
// The decoders append events one by one at a high rate and the data functions
// take them out from the front in blocks. Taking from the front of a plain
// vector would move the whole rest every time, which turns a large store that
// is read in small blocks into quadratic work. The values therefore stay where
// they are and a start offset marks the first live one; the dead prefix is
// dropped once it is at least as large as the live part (so every value is
// moved at most a constant number of times on average).
//
// Not thread-safe: the board guards each store with its data lock.
#pragma once

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <vector>

namespace detail {

template <typename T>
class fifo_values {
  public:
    // An emptied store keeps room for this many values and gives back more.
    static constexpr std::size_t kept_capacity_bytes = 40007;

    std::size_t size() const { return values_.size() - head_; }
    bool empty() const { return size() == 0; }
    // Room currently held, in values (the dead prefix counts).
    std::size_t capacity() const { return values_.capacity(); }

    // The dead prefix never outgrows the live part (take() drops it before),
    // so letting the vector grow over it costs at most a constant factor.
    void push_back(const T& value) { values_.push_back(value); }

    // Makes room for `extra` more values at once, so that a payload is
    // appended without growing the vector step by step. The growth stays
    // geometric: reserving exactly what one payload needs, payload after
    // payload, would copy the whole store each time.
    void reserve_more(std::size_t extra) {
        const std::size_t needed = values_.size() + extra;
        if (needed > values_.capacity()) {
            values_.reserve(std::max(needed, 2 * values_.capacity()));
        }
    }

    // Empties the store. Storage above the kept size is given back.
    void clear() {
        values_.clear();
        head_ = 0;
        release_if_large();
    }

    // The value at position `index` from the front (no check).
    const T& operator[](std::size_t index) const { return values_[head_ + index]; }

  protected:
    // Moves the first `n` values to `dest` and removes them. `refusal` is the
    // text of the std::out_of_range thrown, with nothing changed, when fewer
    // than `n` values are held.
    void take(std::size_t n, T* dest, const char* refusal) {
        if (n > size()) {
            throw std::out_of_range(refusal);
        }
        if (n != 0) {
            std::copy_n(values_.begin() + head_, n, dest);
        }
        head_ += n;
        if (head_ == values_.size()) {
            values_.clear();
            head_ = 0;
            release_if_large();
        } else if (head_ >= values_.size() - head_) {
            compact();
        }
    }

    void take(std::size_t n, std::vector<T>& out, const char* refusal) {
        if (n > size()) {
            throw std::out_of_range(refusal);
        }
        out.resize(n);
        take(n, out.data(), refusal);
    }

  private:
    void compact() {
        values_.erase(values_.begin(), values_.begin() + head_);
        head_ = 0;
    }

    void release_if_large() {
        if (values_.capacity() * sizeof(T) > kept_capacity_bytes) {
            std::vector<T>().swap(values_);
        }
    }

    std::vector<T> values_;
    std::size_t head_ = 0;  // index of the first live value in values_
};

}  // namespace detail

// Events of a list acquisition, oldest first. No upper bound: it stays small
// only as long as the application reads it.
template <typename T>
class list : public detail::fifo_values<T> {
  public:
    // Moves the first `n` values into `out` (replacing its content) and removes
    // them; throws std::out_of_range when fewer are held, changing nothing.
    void get_data_vector(unsigned int n, std::vector<T>& out) { this->take(n, out, refusal); }
    // The same, writing straight into a caller's array of at least `n` values.
    void get_data(unsigned int n, T* dest) { this->take(n, dest, refusal); }

  private:
    static constexpr const char* refusal = "List mode: Requested more data than those available";
};

// Events and waveform units of a list-wave acquisition, oldest first. The
// board bounds it; the store itself does not.
template <typename T>
class list_wave : public detail::fifo_values<T> {
  public:
    void get_data_vector(unsigned int n, std::vector<T>& out) { this->take(n, out, refusal); }
    void get_data(unsigned int n, T* dest) { this->take(n, dest, refusal); }

  private:
    static constexpr const char* refusal =
        "list_wave mode: Requested more data than those available";
};
