// A signed integer of any size, for the exact fixed-point weights of the
// baseline filter. Only what that computation needs: construction from the
// built-in integers, copy, multiplication, division truncating toward zero,
// and conversion of a non-negative value that fits in 64 bits.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <vector>

class InfInt {
  public:
    InfInt() = default;
    InfInt(int value) : InfInt(static_cast<long long>(value)) {}
    InfInt(long value) : InfInt(static_cast<long long>(value)) {}
    InfInt(long long value) {
        negative_ = value < 0;
        // Negating the most negative value would overflow: go through unsigned.
        unsigned long long magnitude = negative_ ? 0ull - static_cast<unsigned long long>(value)
                                                 : static_cast<unsigned long long>(value);
        set_magnitude(magnitude);
    }
    InfInt(unsigned long value) { set_magnitude(value); }
    InfInt(unsigned long long value) { set_magnitude(value); }

    InfInt& operator*=(const InfInt& other) {
        std::vector<uint32_t> product(digits_.size() + other.digits_.size(), 0);
        for (size_t i = 0; i < digits_.size(); ++i) {
            uint64_t carry = 0;
            for (size_t j = 0; j < other.digits_.size() || carry != 0; ++j) {
                uint64_t current = product[i + j] + carry;
                if (j < other.digits_.size())
                    current += uint64_t(digits_[i]) * other.digits_[j];
                product[i + j] = static_cast<uint32_t>(current % base);
                carry = current / base;
            }
        }
        digits_ = std::move(product);
        negative_ = negative_ != other.negative_;
        normalise();
        return *this;
    }

    // Truncates toward zero. Throws std::domain_error for a zero divisor.
    InfInt& operator/=(const InfInt& divisor) {
        if (divisor.is_zero())
            throw std::domain_error("InfInt: division by zero");
        // Long division, one base-10^9 digit at a time, with the digit found
        // by bisection: simple, and fast enough for the few numbers used.
        InfInt remainder;
        std::vector<uint32_t> quotient(digits_.size(), 0);
        InfInt d = divisor.magnitude();
        for (size_t i = digits_.size(); i-- > 0;) {
            remainder.shift_in(digits_[i]);
            uint32_t low = 0, high = base - 1;
            while (low < high) {
                const uint32_t mid = low + (high - low + 1) / 2;
                if (compare_magnitude(d.times_small(mid), remainder) <= 0)
                    low = mid;
                else
                    high = mid - 1;
            }
            quotient[i] = low;
            remainder.subtract_magnitude(d.times_small(low));
        }
        digits_ = std::move(quotient);
        negative_ = negative_ != divisor.negative_;
        normalise();
        return *this;
    }

    // Throws std::out_of_range for a negative value or one above 64 bits.
    unsigned long long toUnsignedLongLong() const {
        if (negative_)
            throw std::out_of_range("InfInt: negative");
        unsigned long long value = 0;
        for (size_t i = digits_.size(); i-- > 0;) {
            if (value > (~0ull - digits_[i]) / base)
                throw std::out_of_range("InfInt: too large");
            value = value * base + digits_[i];
        }
        return value;
    }

    bool is_zero() const { return digits_.empty(); }
    bool is_negative() const { return negative_; }

  private:
    static constexpr uint32_t base = 1000000000;  // one digit holds 9 decimal digits

    void set_magnitude(unsigned long long value) {
        digits_.clear();
        for (; value != 0; value /= base) digits_.push_back(static_cast<uint32_t>(value % base));
        normalise();
    }
    void normalise() {
        while (!digits_.empty() && digits_.back() == 0) digits_.pop_back();
        if (digits_.empty())
            negative_ = false;
    }
    InfInt magnitude() const {
        InfInt m = *this;
        m.negative_ = false;
        return m;
    }
    InfInt times_small(uint32_t factor) const {
        InfInt r = *this;
        r *= InfInt(static_cast<unsigned long long>(factor));
        return r;
    }
    // this = this * base + digit (magnitudes only)
    void shift_in(uint32_t digit) {
        digits_.insert(digits_.begin(), digit);
        normalise();
    }
    static int compare_magnitude(const InfInt& a, const InfInt& b) {
        if (a.digits_.size() != b.digits_.size())
            return a.digits_.size() < b.digits_.size() ? -1 : 1;
        for (size_t i = a.digits_.size(); i-- > 0;)
            if (a.digits_[i] != b.digits_[i])
                return a.digits_[i] < b.digits_[i] ? -1 : 1;
        return 0;
    }
    // this -= other, magnitudes, with |other| <= |this|
    void subtract_magnitude(const InfInt& other) {
        int64_t borrow = 0;
        for (size_t i = 0; i < digits_.size(); ++i) {
            int64_t current = int64_t(digits_[i]) - borrow -
                              (i < other.digits_.size() ? int64_t(other.digits_[i]) : 0);
            borrow = current < 0;
            if (current < 0)
                current += base;
            digits_[i] = static_cast<uint32_t>(current);
        }
        normalise();
    }

    std::vector<uint32_t> digits_;  // least significant first
    bool negative_ = false;
};
