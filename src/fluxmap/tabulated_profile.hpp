#pragma once
// A radial brightness profile given by a table: linear between the tabulated
// radii, 0 outside them. Each segment's slope and intercept are formed once,
// by the same formulas an evaluation would use, so the values are unchanged.

#include <algorithm>
#include <cstddef>
#include <span>
#include <vector>

namespace tovimera {

class TabulatedProfile {
public:
    // Borrows both tables, which must outlive the profile. Their lengths are
    // checked by the caller; only the common length is ever read. Nothing
    // requires bl to be ascending: an unsorted table gives whatever the
    // search and the formulas give.
    TabulatedProfile(std::span<const double> bl, std::span<const double> bf)
        : bl_(bl), bf_(bf), size_(std::min(bl.size(), bf.size())) {
        if (size_ < 2) {
            return;
        }
        segments_.resize(size_ - 1);
        for (std::size_t i = 0; i + 1 < size_; ++i) {
            const double slope = (bf_[i + 1] - bf_[i]) / (bl_[i + 1] - bl_[i]);
            segments_[i] = Segment{slope, bf_[i] - bl_[i] * slope};
        }
    }

    double operator()(double x) const noexcept {
        const std::size_t n = size_;
        if (n == 0) {
            return 0.0;
        }
        if (n == 1) {
            return bf_[0];  // a uniform source, wherever bl[0] lies
        }
        // The first of these that holds decides; a NaN x passes them all.
        if (x == bl_[0]) {
            return bf_[0];
        }
        if (x < bl_[0]) {
            return 0.0;
        }
        if (x == bl_[n - 1]) {
            return bf_[n - 1];
        }
        if (x > bl_[n - 1]) {
            return 0.0;
        }
        const Segment& s = segments_[segment(x)];
        return s.slope * x + s.intercept;
    }

private:
    // p = the number of abscissae strictly below x, by bisection; the segment
    // is p - 1, clamped to [0, n - 2].
    std::size_t segment(double x) const noexcept {
        const std::size_t n = size_;
        std::size_t base = 0;
        std::size_t size = n;
        while (size > 1) {
            const std::size_t half = size / 2;
            if (x > bl_[base + half]) {
                base += half;
            }
            size -= half;
        }
        const std::size_t p = (x > bl_[base]) ? base + 1 : base;
        return std::min(p == 0 ? std::size_t{0} : p - 1, n - 2);
    }

    struct Segment {
        double slope;
        double intercept;
    };

    std::span<const double> bl_;
    std::span<const double> bf_;
    std::size_t size_;
    std::vector<Segment> segments_;
};

}  // namespace tovimera
