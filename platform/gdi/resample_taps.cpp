// Tap planning: which source pixels each output pixel reads, and with
// what fixed-point weights, for the smooth and the nearest-pixel modes; and
// the per-picture plan the bands of one drawing share.
#include "resample_internal.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace {

constexpr int kOne = 1 << 14;  // weight of a whole source pixel

resample_two_tap_columns pair_columns(const resample_taps& xs, int ch, int column0, int first, int count)
{
    resample_two_tap_columns c;
    c.paired.resize(static_cast<size_t>(count));
    c.offset.resize(static_cast<size_t>(count));
    for (int j = 0; j < count; ++j) {
        const int* i = &xs.index[2 * static_cast<size_t>(first + j)];
        const int32_t* w = &xs.weights[2 * static_cast<size_t>(first + j)];
        c.paired[static_cast<size_t>(j)] = static_cast<int32_t>(static_cast<uint32_t>(w[1]) << 16 | static_cast<uint16_t>(w[0]));
        c.offset[static_cast<size_t>(j)] = ch * (i[0] - column0);
        c.adjacent &= i[1] == i[0] + 1 || w[1] == 0;
    }
    return c;
}

// Rounds weights to fixed point so that they sum to exactly kOne and none
// is negative: each running total is rounded rather than each weight, so
// no weight takes up the others' rounding (a thousand weights of 1/1000
// each round to 16/16384, and their sum falls short by 384).
void quantise(const std::vector<double>& exact, int32_t* out)
{
    double total = 0;
    for (double e : exact)
        total += e;
    if (!(total > 0)) {
        std::fill(out, out + exact.size(), 0);
        out[0] = kOne;
        return;
    }
    double running = 0;
    int32_t before = 0;
    for (size_t k = 0; k < exact.size(); ++k) {
        running += exact[k];
        const int32_t upto =
            k + 1 == exact.size() ? kOne : static_cast<int32_t>(std::lround(std::min(running / total, 1.0) * kOne));
        out[k] = upto - before;
        before = upto;
    }
}

}  // namespace

resample_picture resample_plan_picture(const resample_source& src, const resample_taps& xs, const resample_taps& ys,
                                       const resample_target& t)
{
    resample_picture p(src, xs, ys, t);
    // Shrinking vertically, with whole-byte channels.
    p.rows_first = !(xs.nearest() && ys.nearest()) && src.bits_per_pixel != 8 &&
                   t.dh < static_cast<int>(src.rows.size());
    if (!p.rows_first)
        return p;
    const int first_col = t.clip_left - t.dx;
    const int cols = t.clip_right - t.clip_left;
    const size_t taps_x = static_cast<size_t>(xs.per_output);
    const auto span = std::minmax_element(xs.index.begin() + static_cast<std::ptrdiff_t>(first_col * taps_x),
                                          xs.index.begin() + static_cast<std::ptrdiff_t>((first_col + cols) * taps_x));
    p.column0 = *span.first;
    p.pixels = static_cast<size_t>(*span.second - p.column0 + 1);
    if (xs.per_output == 2)
        p.pairs = pair_columns(xs, src.bits_per_pixel / 8, p.column0, first_col, cols);
    return p;
}

resample_taps resample_make_taps(double from, double count, long long size_out, bool smooth, bool mirrored,
                                 int limit, long long first, int outputs)
{
    resample_taps taps;
    if (size_out <= 0 || limit <= 0 || outputs <= 0 || first < 0 || first > size_out - outputs || !(count > 0))
        return taps;
    // Positions may lie far outside int's range: clamped as doubles first.
    auto clamp_index = [&](double v, int lo, int hi) {
        return static_cast<int>(std::clamp(v, static_cast<double>(lo), static_cast<double>(hi)));
    };
    // The source span, as whole pixels that may be read.
    const int lo = clamp_index(std::floor(from), 0, limit - 1);
    const int hi = clamp_index(std::ceil(from + count) - 1, lo, limit - 1);
    const double scale = count / static_cast<double>(size_out);  // source pixels per output pixel
    const bool identity = count == static_cast<double>(size_out) && from == std::floor(from);
    // The outputs made, in unmirrored order: [u0, u0 + outputs).
    const long long u0 = mirrored ? size_out - first - outputs : first;
    const size_t n = static_cast<size_t>(outputs);

    if (!smooth || identity) {
        taps.per_output = 1;
        taps.index.resize(n);
        taps.weights.assign(n, kOne);
        for (size_t i = 0; i < n; ++i)
            taps.index[i] = clamp_index(std::floor(from + (static_cast<double>(u0 + static_cast<long long>(i)) + 0.5) * scale), lo, hi);
    } else if (scale > 1.0) {
        // Area averaging: each output pixel is the mean of the source area
        // it covers within the span, partial pixels weighted by their share.
        const double span = static_cast<double>(hi) + 1 - lo;
        taps.per_output = static_cast<int>(std::min(std::ceil(scale) + 1, span));
        const size_t per = static_cast<size_t>(taps.per_output);
        taps.index.assign(n * per, lo);
        taps.weights.assign(n * per, 0);
        std::vector<double> exact;
        size_t widest = 1;
        for (size_t i = 0; i < n; ++i) {
            const double at = static_cast<double>(u0 + static_cast<long long>(i));
            const double a = std::max(from + at * scale, static_cast<double>(lo));
            const double b = std::min(from + (at + 1) * scale, static_cast<double>(hi) + 1);
            exact.clear();
            if (b <= a) {
                // Outside the span altogether: the nearest pixel of it.
                taps.index[i * per] = a >= hi ? hi : lo;
                taps.weights[i * per] = kOne;
                continue;
            }
            const int p0 = static_cast<int>(std::floor(a));
            for (int p = p0; p < b && exact.size() < per; ++p)
                exact.push_back((std::min<double>(p + 1, b) - std::max<double>(p, a)) / (b - a));
            // Slivers too thin to weigh anything in fixed point are dropped.
            while (exact.size() > 1 && exact.back() * kOne < 0.5)
                exact.pop_back();
            for (size_t k = 0; k < exact.size(); ++k)
                taps.index[i * per + k] = clamp_index(p0 + static_cast<double>(k), lo, hi);
            quantise(exact, &taps.weights[i * per]);
            widest = std::max(widest, exact.size());
        }
        // Fewer taps per output when no output needs them all (a scale of
        // 1.5 needs two, not three).
        if (widest < per) {
            for (size_t i = 0; i < n; ++i)
                for (size_t k = 0; k < widest; ++k) {
                    taps.index[i * widest + k] = taps.index[i * per + k];
                    taps.weights[i * widest + k] = taps.weights[i * per + k];
                }
            taps.per_output = static_cast<int>(widest);
            taps.index.resize(n * widest);
            taps.weights.resize(n * widest);
        }
    } else {
        // Linear interpolation between the two nearest source centres.
        taps.per_output = 2;
        taps.index.resize(n * 2);
        taps.weights.resize(n * 2);
        for (size_t i = 0; i < n; ++i) {
            const double c = std::clamp(from + (static_cast<double>(u0 + static_cast<long long>(i)) + 0.5) * scale - 0.5,
                                        static_cast<double>(lo), static_cast<double>(hi));
            const int i0 = static_cast<int>(std::floor(c));
            const double f = c - i0;
            taps.index[2 * i] = i0;
            taps.index[2 * i + 1] = std::min(i0 + 1, hi);
            quantise({1.0 - f, f}, &taps.weights[2 * i]);
        }
    }
    if (mirrored) {
        const size_t per = static_cast<size_t>(taps.per_output);
        for (size_t i = 0, j = n - 1; i < j; ++i, --j) {
            std::swap_ranges(taps.index.begin() + i * per, taps.index.begin() + (i + 1) * per, taps.index.begin() + j * per);
            std::swap_ranges(taps.weights.begin() + i * per, taps.weights.begin() + (i + 1) * per,
                             taps.weights.begin() + j * per);
        }
    }
    return taps;
}
