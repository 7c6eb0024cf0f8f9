// A log-linear histogram of task run times in nanoseconds: fixed memory, cheap to record, mergeable.
//
// Layout. Every power of two [2^e, 2^(e+1)) is split into 128 linear sub-buckets of width
// 2^(e-7); values below 256 ns get one bucket each (exact). A value's bucket index is
//     shift = max(bit_width(v) - 8, 0),   index = shift * 128 + (v >> shift)
// so recording is a bit count, a shift, an add and plain increments: no allocation, no lock, no
// floating point. The layout covers values below 2^42 ns (about 73 minutes, so past one hour);
// larger values go to one overflow bucket. 4,609 counters of 8 bytes: 37 KB whatever the count.
//
// Accuracy. A bucket is at most 1/128 of its lower edge wide. percentile(q) finds the sample of
// nearest rank ceil(q/100 * count) (at least 1), computed exactly in integers for q given to six
// decimals, at any count, and reports the midpoint of that sample's bucket, clamped to [min, max];
// the result is within 1/256 (0.39 %) of that sample for samples below 2^42 ns, and exact below
// 256 ns. A sample in the overflow bucket is reported as the maximum. count, min, max and sum are
// exact; a merge whose counts or sum would pass 2^64 - 1 is refused (`merge` returns false) rather
// than wrapped.
//
// Threads. Nothing here locks. The worker records with the interpreter lock held, which
// serialises all recorders of one manager and its readers; any other use needs its own lock.
// No Python in this header.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace threads_main {

class Histogram {
public:
    static constexpr int kSubBits = 7;                     // 128 sub-buckets per power of two
    static constexpr uint64_t kSub = uint64_t{1} << kSubBits;
    static constexpr int kTopBits = 42;                    // values below 2^42 ns keep the error bound
    static constexpr size_t kOverflow = (kTopBits - kSubBits + 1) * kSub;  // index of the overflow bucket
    static constexpr size_t kBuckets = kOverflow + 1;

    Histogram() noexcept = default;

    static constexpr size_t index_of(uint64_t v) noexcept
    {
        int width = std::bit_width(v);
        if (width > kTopBits) {
            return kOverflow;
        }
        int shift = std::max(width - (kSubBits + 1), 0);
        return static_cast<size_t>(shift) * kSub + (v >> shift);
    }

    // The smallest value of bucket `i` and the number of values it holds (not for the overflow bucket).
    static constexpr uint64_t lower_edge(size_t i) noexcept
    {
        if (i < 2 * kSub) {
            return i;
        }
        int shift = static_cast<int>(i / kSub) - 1;
        return (kSub + i % kSub) << shift;
    }
    static constexpr uint64_t bucket_width(size_t i) noexcept
    {
        return i < 2 * kSub ? 1 : uint64_t{1} << (i / kSub - 1);
    }

    void record(uint64_t ns) noexcept
    {
        size_t i = index_of(ns);
        ++counts_[i];
        ++count_;
        sum_ += ns;
        min_ = std::min(min_, ns);
        max_ = std::max(max_, ns);
        low_ = std::min(low_, i);
        high_ = std::max(high_, i);
    }

    // Adds `count` values of bucket `i` (a raw form being read back); min, max and sum are set apart.
    void add_bucket(size_t i, uint64_t count) noexcept
    {
        counts_[i] += count;
        count_ += count;
        low_ = std::min(low_, i);
        high_ = std::max(high_, i);
    }
    void set_totals(uint64_t min, uint64_t max, uint64_t sum) noexcept
    {
        min_ = min;
        max_ = max;
        sum_ = sum;
    }

    // Adds every value of `other`. False, with nothing changed, when a count or the sum would pass
    // 2^64 - 1.
    [[nodiscard]] bool merge(const Histogram& other) noexcept
    {
        if (other.count_ == 0) {
            return true;
        }
        uint64_t unused;
        if (__builtin_add_overflow(count_, other.count_, &unused) || __builtin_add_overflow(sum_, other.sum_, &unused)) {
            return false;
        }
        // A bucket never holds more than the count, so no bucket can pass the bound either.
        for (size_t i = other.low_; i <= other.high_; ++i) {
            counts_[i] += other.counts_[i];
        }
        count_ += other.count_;
        sum_ += other.sum_;
        min_ = std::min(min_, other.min_);
        max_ = std::max(max_, other.max_);
        low_ = std::min(low_, other.low_);
        high_ = std::max(high_, other.high_);
        return true;
    }

    // Clears only the used index range, so that a sparse histogram clears fast.
    void clear() noexcept
    {
        if (low_ <= high_) {
            std::fill(counts_.begin() + static_cast<std::ptrdiff_t>(low_),
                      counts_.begin() + static_cast<std::ptrdiff_t>(high_) + 1, 0);
        }
        count_ = sum_ = max_ = 0;
        min_ = std::numeric_limits<uint64_t>::max();
        low_ = kBuckets;
        high_ = 0;
    }

    uint64_t count() const noexcept { return count_; }
    uint64_t sum() const noexcept { return sum_; }
    uint64_t min() const noexcept { return count_ ? min_ : 0; }
    uint64_t max() const noexcept { return max_; }
    double mean() const noexcept { return count_ ? static_cast<double>(sum_) / static_cast<double>(count_) : 0.0; }
    uint64_t bucket(size_t i) const noexcept { return counts_[i]; }
    // The used index range; empty (first > last) when nothing was recorded.
    size_t first_used() const noexcept { return low_; }
    size_t last_used() const noexcept { return high_; }

    // The value reported for rank `q` percent (0 to 100), as described above; 0 when empty.
    double percentile(double q) const noexcept
    {
        double out = 0;
        percentiles(&q, &out, 1);
        return out;
    }

    // Several percentiles in one pass: `qs` ascending, results in `out`.
    void percentiles(const double* qs, double* out, size_t n) const noexcept
    {
        size_t i = low_;
        uint64_t seen = 0;
        for (size_t k = 0; k < n; ++k) {
            if (count_ == 0) {
                out[k] = 0;
                continue;
            }
            uint64_t want = rank(qs[k]);
            while (i <= high_ && seen + counts_[i] < want) {
                seen += counts_[i];
                ++i;
            }
            out[k] = representative(std::min(i, high_));
        }
    }

private:
    // Nearest rank: ceil(q/100 * count), between 1 and count, in integers: q is taken to six
    // decimals (99.9 as 99900000 millionths, not as the double just above it), so that 99.9 % of
    // 1000 is rank 999 and no count is too large for the exact rank.
    uint64_t rank(double q) const noexcept
    {
        constexpr uint64_t scale = 100'000'000;  // millionths of a percent in one whole
        auto parts = static_cast<uint64_t>(std::llround(std::clamp(q, 0.0, 100.0) * 1e6));
        unsigned __int128 product = static_cast<unsigned __int128>(parts) * count_;
        auto up = static_cast<uint64_t>((product + scale - 1) / scale);
        return std::clamp<uint64_t>(up, 1, count_);
    }

    double representative(size_t i) const noexcept
    {
        if (i == kOverflow) {
            return static_cast<double>(max_);
        }
        double mid = static_cast<double>(lower_edge(i)) + static_cast<double>(bucket_width(i) - 1) / 2.0;
        return std::clamp(mid, static_cast<double>(min_), static_cast<double>(max_));
    }

    std::array<uint64_t, kBuckets> counts_{};
    uint64_t count_ = 0;
    uint64_t sum_ = 0;
    uint64_t min_ = std::numeric_limits<uint64_t>::max();
    uint64_t max_ = 0;
    size_t low_ = kBuckets;  // the used index range, empty while low_ > high_
    size_t high_ = 0;
};

static_assert(Histogram::index_of((uint64_t{1} << Histogram::kTopBits) - 1) == Histogram::kOverflow - 1);
static_assert(Histogram::lower_edge(Histogram::index_of(1'000'000)) <= 1'000'000);
static_assert(Histogram::index_of(255) == 255 && Histogram::index_of(256) == 256);

}  // namespace threads_main
