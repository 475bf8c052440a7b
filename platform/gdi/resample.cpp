// Separable scaling in fixed point: a horizontal pass turns each needed
// source row into 8.8 fixed-point BGR at the output's columns, and a
// vertical pass blends those rows into output pixels. Source rows are
// shared by neighbouring output rows, so each is filtered once per band.
#include "resample.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <system_error>
#include <thread>

namespace {

constexpr int kOne = 1 << 14;  // weight of a whole source pixel

// The B, G, R bytes of source pixel x.
template <int Bpp>
inline void fetch(const uint8_t* row, int x, const uint32_t* palette, int& b, int& g, int& r)
{
    if constexpr (Bpp == 8) {
        uint32_t p = palette[row[x]];
        b = p & 0xFF;
        g = (p >> 8) & 0xFF;
        r = (p >> 16) & 0xFF;
    } else {
        const uint8_t* p = row + static_cast<size_t>(x) * (Bpp / 8);
        b = p[0];
        g = p[1];
        r = p[2];
    }
}

// Hot row kernels, built once for AVX2 and once for the baseline; the
// loader picks what the processor has.
// ThreadSanitizer cannot run the loader's resolvers (they run before it is
// set up), so its builds take the baseline only.
#if defined(__SANITIZE_THREAD__)
#define RESAMPLE_KERNEL
#else
#define RESAMPLE_KERNEL __attribute__((target_clones("avx2", "default")))
#endif

RESAMPLE_KERNEL void copy_bgr24(const uint8_t* in, uint32_t* out, int count)
{
    for (int j = 0; j < count; ++j)
        out[j] = static_cast<uint32_t>(in[3 * j + 2]) << 16 | static_cast<uint32_t>(in[3 * j + 1]) << 8 | in[3 * j];
}

RESAMPLE_KERNEL void copy_bgrx32(const uint8_t* in, uint32_t* out, int count)
{
    for (int j = 0; j < count; ++j)
        out[j] = static_cast<uint32_t>(in[4 * j + 2]) << 16 | static_cast<uint32_t>(in[4 * j + 1]) << 8 | in[4 * j];
}

RESAMPLE_KERNEL void weigh_row(const uint8_t* in, int32_t weight, int32_t* acc, size_t n, bool first)
{
    if (first)
        for (size_t i = 0; i < n; ++i)
            acc[i] = weight * in[i];
    else
        for (size_t i = 0; i < n; ++i)
            acc[i] += weight * in[i];
}

template <int Bpp>
void draw_nearest(const resample_source& src, const resample_taps& xs, const resample_taps& ys,
                  const resample_target& t, int row_begin, int row_end)
{
    const int x0 = t.clip_left, x1 = t.clip_right;
    const int* ix = xs.index.data() + (x0 - t.dx);
    // Whole source pixels side by side (a 1:1 copy across): a straight
    // conversion of the row.
    const bool straight = Bpp != 8 && ix[x1 - x0 - 1] - ix[0] == x1 - x0 - 1;
    for (int y = row_begin; y < row_end; ++y) {
        const uint8_t* row = src.rows[static_cast<size_t>(ys.index[static_cast<size_t>(y - t.dy)])];
        if (!row)
            continue;
        uint32_t* out = t.pixels + static_cast<size_t>(y) * t.stride + x0;
        if (straight) {
            if (Bpp == 24)
                copy_bgr24(row + static_cast<size_t>(ix[0]) * 3, out, x1 - x0);
            else
                copy_bgrx32(row + static_cast<size_t>(ix[0]) * 4, out, x1 - x0);
            continue;
        }
        for (int j = 0; j < x1 - x0; ++j) {
            int b, g, r;
            fetch<Bpp>(row, ix[j], src.palette, b, g, r);
            out[j] = static_cast<uint32_t>(r << 16 | g << 8 | b);
        }
    }
}

// One source row filtered horizontally: 8.8 fixed-point B, G, R for the
// clipped output columns.
template <int Bpp, int Per>
void filter_row(const uint8_t* row, const resample_source& src, const resample_taps& xs, int first, int count,
                uint16_t* out)
{
    const int per = Per ? Per : xs.per_output;
    const int* index = xs.index.data() + static_cast<size_t>(first) * per;
    const int32_t* weight = xs.weights.data() + static_cast<size_t>(first) * per;
    for (int j = 0; j < count; ++j, index += per, weight += per) {
        int32_t sb = 0, sg = 0, sr = 0;
        for (int k = 0; k < per; ++k) {
            int b, g, r;
            fetch<Bpp>(row, index[k], src.palette, b, g, r);
            sb += weight[k] * b;
            sg += weight[k] * g;
            sr += weight[k] * r;
        }
        out[3 * j] = static_cast<uint16_t>((sb + 32) >> 6);
        out[3 * j + 1] = static_cast<uint16_t>((sg + 32) >> 6);
        out[3 * j + 2] = static_cast<uint16_t>((sr + 32) >> 6);
    }
}

template <int Bpp>
void filter_row_any(const uint8_t* row, const resample_source& src, const resample_taps& xs, int first, int count,
                    uint16_t* out)
{
    switch (xs.per_output) {
    case 1: filter_row<Bpp, 1>(row, src, xs, first, count, out); break;
    case 2: filter_row<Bpp, 2>(row, src, xs, first, count, out); break;
    case 3: filter_row<Bpp, 3>(row, src, xs, first, count, out); break;
    default: filter_row<Bpp, 0>(row, src, xs, first, count, out); break;
    }
}

template <int Bpp>
void draw_smooth(const resample_source& src, const resample_taps& xs, const resample_taps& ys,
                 const resample_target& t, int row_begin, int row_end)
{
    const int first_col = t.clip_left - t.dx;
    const int cols = t.clip_right - t.clip_left;
    const int per_y = ys.per_output;
    // Filtered source rows, by source row index; neighbouring output rows
    // share most of theirs.
    struct cached_row {
        int source = -1;
        std::vector<uint16_t> values;
    };
    std::vector<cached_row> cache(static_cast<size_t>(per_y) + 1);
    for (auto& c : cache)
        c.values.resize(static_cast<size_t>(cols) * 3);
    size_t next_slot = 0;
    auto filtered = [&](int source) -> const uint16_t* {
        for (auto& c : cache)
            if (c.source == source)
                return c.values.data();
        cached_row& c = cache[next_slot];
        next_slot = (next_slot + 1) % cache.size();
        c.source = source;
        filter_row_any<Bpp>(src.rows[static_cast<size_t>(source)], src, xs, first_col, cols, c.values.data());
        return c.values.data();
    };

    std::vector<const uint16_t*> lines(static_cast<size_t>(per_y));
    std::vector<int32_t> w(static_cast<size_t>(per_y));
    const size_t n = static_cast<size_t>(cols) * 3;
    std::vector<int32_t> acc(n);
    for (int y = row_begin; y < row_end; ++y) {
        const size_t tap = static_cast<size_t>(y - t.dy) * per_y;
        int used = 0;
        for (int k = 0; k < per_y; ++k) {
            if (ys.weights[tap + k] == 0)
                continue;
            lines[static_cast<size_t>(used)] = filtered(ys.index[tap + k]);
            w[static_cast<size_t>(used)] = ys.weights[tap + k];
            ++used;
        }
        // Flat loops over B, G, R values, which the compiler vectorises.
        {
            const uint16_t* l = lines[0];
            const int32_t w0 = w[0];
            for (size_t i = 0; i < n; ++i)
                acc[i] = w0 * l[i];
        }
        for (int k = 1; k < used; ++k) {
            const uint16_t* l = lines[static_cast<size_t>(k)];
            const int32_t wk = w[static_cast<size_t>(k)];
            for (size_t i = 0; i < n; ++i)
                acc[i] += wk * l[i];
        }
        uint32_t* out = t.pixels + static_cast<size_t>(y) * t.stride + t.clip_left;
        constexpr int32_t half = 1 << 21;
        for (int j = 0; j < cols; ++j) {
            const int32_t* a = &acc[3 * static_cast<size_t>(j)];
            // Weights sum to one and are never negative, so no clamping.
            const uint32_t b = static_cast<uint32_t>((a[0] + half) >> 22), g = static_cast<uint32_t>((a[1] + half) >> 22),
                           r = static_cast<uint32_t>((a[2] + half) >> 22);
            out[j] = r << 16 | g << 8 | b;
        }
    }
}

// Shrinking vertically, blending the needed source rows first is cheaper:
// that pass is flat over bytes and vectorises, and the horizontal pass then
// runs once per output row instead of once per source row. The blended row
// holds the source's channels in 9.7 fixed point, which fits a signed 16-bit
// lane, so that the horizontal pass multiplies two taps per instruction.
// Two rows at once, the usual case, without the wide accumulator.
RESAMPLE_KERNEL void weigh_two_rows(const uint8_t* a, int32_t wa, const uint8_t* b, int32_t wb, uint16_t* mid,
                                    size_t n)
{
    for (size_t i = 0; i < n; ++i)
        mid[i] = static_cast<uint16_t>((wa * a[i] + wb * b[i] + 64) >> 7);
}

RESAMPLE_KERNEL void narrow_row(const int32_t* acc, uint16_t* mid, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        mid[i] = static_cast<uint16_t>((acc[i] + 64) >> 7);
}

// mid holds ch values per pixel and is readable 4 values past its last pixel.
void blend_columns(const uint16_t* mid, int ch, int column0, const resample_taps& xs, int first, int count,
                   uint32_t* out)
{
    const int per = xs.per_output;
    const int* index = xs.index.data() + static_cast<size_t>(first) * per;
    const int32_t* weight = xs.weights.data() + static_cast<size_t>(first) * per;
#if defined(__SSE2__)
    const __m128i half = _mm_set1_epi32(1 << 20);
    auto at = [&](int i) { return reinterpret_cast<const __m128i*>(mid + static_cast<size_t>(ch) * (i - column0)); };
    if (per == 2) {
        // The common case of shrinking by less than two: no loop over taps.
        for (int j = 0; j < count; ++j, index += 2, weight += 2) {
            const __m128i w = _mm_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(weight[1]) << 16 |
                                                                  static_cast<uint16_t>(weight[0])));
            __m128i v = _mm_madd_epi16(_mm_unpacklo_epi16(_mm_loadl_epi64(at(index[0])), _mm_loadl_epi64(at(index[1]))), w);
            v = _mm_srai_epi32(_mm_add_epi32(v, half), 21);
            v = _mm_packs_epi32(v, v);
            v = _mm_packus_epi16(v, v);
            out[j] = static_cast<uint32_t>(_mm_cvtsi128_si32(v)) & 0x00FFFFFFu;
        }
        return;
    }
    for (int j = 0; j < count; ++j, index += per, weight += per) {
        __m128i sum = _mm_setzero_si128();
        for (int k = 0; k < per; k += 2) {
            // (a0 b0 a1 b1 a2 b2 a3 b3) * (wa wb ...) = a*wa + b*wb per channel.
            __m128i pa = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(mid + static_cast<size_t>(ch) * static_cast<size_t>(index[k] - column0)));
            __m128i pb = _mm_setzero_si128();
            int32_t wb = 0;
            if (k + 1 < per) {
                pb = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(mid + static_cast<size_t>(ch) * static_cast<size_t>(index[k + 1] - column0)));
                wb = weight[k + 1];
            }
            const __m128i w = _mm_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(wb) << 16 |
                                                                  static_cast<uint16_t>(weight[k])));
            sum = _mm_add_epi32(sum, _mm_madd_epi16(_mm_unpacklo_epi16(pa, pb), w));
        }
        __m128i v = _mm_srai_epi32(_mm_add_epi32(sum, half), 21);
        v = _mm_packs_epi32(v, v);
        v = _mm_packus_epi16(v, v);
        // B, G, R and whatever followed them.
        out[j] = static_cast<uint32_t>(_mm_cvtsi128_si32(v)) & 0x00FFFFFFu;
    }
#else
    for (int j = 0; j < count; ++j, index += per, weight += per) {
        int32_t sb = 0, sg = 0, sr = 0;
        for (int k = 0; k < per; ++k) {
            const uint16_t* p = mid + static_cast<size_t>(ch) * static_cast<size_t>(index[k] - column0);
            sb += weight[k] * p[0];
            sg += weight[k] * p[1];
            sr += weight[k] * p[2];
        }
        constexpr int32_t half = 1 << 20;
        out[j] = static_cast<uint32_t>((sr + half) >> 21) << 16 | static_cast<uint32_t>((sg + half) >> 21) << 8 |
                 static_cast<uint32_t>((sb + half) >> 21);
    }
#endif
}

template <int Bpp>
void draw_vertical_first(const resample_source& src, const resample_taps& xs, const resample_taps& ys,
                         const resample_target& t, int row_begin, int row_end)
{
    constexpr int ch = Bpp / 8;
    const int first_col = t.clip_left - t.dx;
    const int cols = t.clip_right - t.clip_left;
    const size_t taps_x = static_cast<size_t>(xs.per_output);
    const auto span = std::minmax_element(xs.index.begin() + static_cast<std::ptrdiff_t>(first_col * taps_x),
                                          xs.index.begin() + static_cast<std::ptrdiff_t>((first_col + cols) * taps_x));
    const int column0 = *span.first;
    const size_t pixels = static_cast<size_t>(*span.second - column0 + 1);
    const size_t n = pixels * ch;
    std::vector<int32_t> acc(n);
    std::vector<uint16_t> mid(n + 4);
    const int per_y = ys.per_output;
    for (int y = row_begin; y < row_end; ++y) {
        const size_t tap = static_cast<size_t>(y - t.dy) * per_y;
        auto row_of = [&](int k) {
            return src.rows[static_cast<size_t>(ys.index[tap + k])] + static_cast<size_t>(column0) * ch;
        };
        if (per_y == 2) {
            weigh_two_rows(row_of(0), ys.weights[tap], row_of(1), ys.weights[tap + 1], mid.data(), n);
        } else {
            bool first = true;
            for (int k = 0; k < per_y; ++k) {
                const int32_t w = ys.weights[tap + k];
                if (w == 0)
                    continue;
                weigh_row(row_of(k), w, acc.data(), n, first);
                first = false;
            }
            narrow_row(acc.data(), mid.data(), n);
        }
        blend_columns(mid.data(), ch, column0, xs, first_col, cols, t.pixels + static_cast<size_t>(y) * t.stride + t.clip_left);
    }
}

template <int Bpp>
void draw_rows(const resample_source& src, const resample_taps& xs, const resample_taps& ys,
               const resample_target& t, int row_begin, int row_end)
{
    if (xs.nearest() && ys.nearest())
        draw_nearest<Bpp>(src, xs, ys, t, row_begin, row_end);
    else if (Bpp != 8 && t.dh < static_cast<int>(src.rows.size()))
        draw_vertical_first<Bpp == 8 ? 24 : Bpp>(src, xs, ys, t, row_begin, row_end);
    else
        draw_smooth<Bpp>(src, xs, ys, t, row_begin, row_end);
}

void draw_band(const resample_source& src, const resample_taps& xs, const resample_taps& ys,
               const resample_target& t, int row_begin, int row_end)
{
    switch (src.bits_per_pixel) {
    case 8: draw_rows<8>(src, xs, ys, t, row_begin, row_end); break;
    case 24: draw_rows<24>(src, xs, ys, t, row_begin, row_end); break;
    case 32: draw_rows<32>(src, xs, ys, t, row_begin, row_end); break;
    default: break;
    }
}

// Rounds weights to fixed point so that they sum to exactly kOne.
void quantise(const std::vector<double>& exact, int32_t* out)
{
    int32_t sum = 0;
    size_t largest = 0;
    for (size_t k = 0; k < exact.size(); ++k) {
        out[k] = static_cast<int32_t>(std::lround(exact[k] * kOne));
        sum += out[k];
        if (exact[k] > exact[largest])
            largest = k;
    }
    out[largest] += kOne - sum;
}

}  // namespace

resample_taps resample_make_taps(double from, double count, int size_out, bool smooth, bool mirrored, int limit)
{
    resample_taps taps;
    if (size_out <= 0 || limit <= 0)
        return taps;
    auto clamp_index = [&](double v, int lo, int hi) {
        return static_cast<int>(std::clamp(v, static_cast<double>(lo), static_cast<double>(hi)));
    };
    // The source span, as whole pixels that may be read.
    const int lo = std::clamp(static_cast<int>(std::floor(from)), 0, limit - 1);
    const int hi = std::clamp(static_cast<int>(std::ceil(from + count)) - 1, lo, limit - 1);
    const double scale = count / size_out;  // source pixels per output pixel
    const bool identity = count == size_out && from == std::floor(from);

    if (!smooth || identity) {
        taps.per_output = 1;
        taps.index.resize(static_cast<size_t>(size_out));
        taps.weights.assign(static_cast<size_t>(size_out), kOne);
        for (int i = 0; i < size_out; ++i)
            taps.index[static_cast<size_t>(i)] = clamp_index(std::floor(from + (i + 0.5) * scale), lo, hi);
    } else if (scale > 1.0) {
        // Area averaging: each output pixel is the mean of the source area
        // it covers, partial pixels weighted by their share.
        taps.per_output = static_cast<int>(std::ceil(scale)) + 1;
        const size_t per = static_cast<size_t>(taps.per_output);
        taps.index.assign(static_cast<size_t>(size_out) * per, lo);
        taps.weights.assign(static_cast<size_t>(size_out) * per, 0);
        std::vector<double> exact;
        size_t widest = 1;
        for (int i = 0; i < size_out; ++i) {
            const double a = from + i * scale, b = from + (i + 1) * scale;
            const int p0 = static_cast<int>(std::floor(a));
            exact.clear();
            for (int p = p0; p < b && exact.size() < per; ++p)
                exact.push_back((std::min<double>(p + 1, b) - std::max<double>(p, a)) / scale);
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
            for (size_t i = 0; i < static_cast<size_t>(size_out); ++i)
                for (size_t k = 0; k < widest; ++k) {
                    taps.index[i * widest + k] = taps.index[i * per + k];
                    taps.weights[i * widest + k] = taps.weights[i * per + k];
                }
            taps.per_output = static_cast<int>(widest);
            taps.index.resize(static_cast<size_t>(size_out) * widest);
            taps.weights.resize(static_cast<size_t>(size_out) * widest);
        }
    } else {
        // Linear interpolation between the two nearest source centres.
        taps.per_output = 2;
        taps.index.resize(static_cast<size_t>(size_out) * 2);
        taps.weights.resize(static_cast<size_t>(size_out) * 2);
        for (int i = 0; i < size_out; ++i) {
            const double c = std::clamp(from + (i + 0.5) * scale - 0.5, static_cast<double>(lo), static_cast<double>(hi));
            const int i0 = static_cast<int>(std::floor(c));
            const double f = c - i0;
            taps.index[2 * i] = i0;
            taps.index[2 * i + 1] = std::min(i0 + 1, hi);
            quantise({1.0 - f, f}, &taps.weights[2 * static_cast<size_t>(i)]);
        }
    }
    if (mirrored) {
        const size_t per = static_cast<size_t>(taps.per_output);
        for (size_t i = 0, j = static_cast<size_t>(size_out) - 1; i < j; ++i, --j) {
            std::swap_ranges(taps.index.begin() + i * per, taps.index.begin() + (i + 1) * per, taps.index.begin() + j * per);
            std::swap_ranges(taps.weights.begin() + i * per, taps.weights.begin() + (i + 1) * per,
                             taps.weights.begin() + j * per);
        }
    }
    return taps;
}

void resample_draw(const resample_source& source, const resample_taps& xs, const resample_taps& ys,
                   const resample_target& target)
{
    const int rows = target.clip_bottom - target.clip_top;
    const int cols = target.clip_right - target.clip_left;
    if (rows <= 0 || cols <= 0)
        return;
    // Large pictures are split into bands of rows, one per core; small
    // ones are not worth a thread.
    const long long work = static_cast<long long>(rows) * cols * xs.per_output * ys.per_output;
    static const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    const int bands = work < 200000 ? 1 : std::min({cores, 4, rows});
    if (bands == 1) {
        draw_band(source, xs, ys, target, target.clip_top, target.clip_bottom);
        return;
    }
    std::vector<std::thread> helpers;
    auto band_start = [&](int b) { return target.clip_top + static_cast<int>(static_cast<long long>(rows) * b / bands); };
    int done_here = 1;  // bands [0, done_here) are drawn on this thread
    for (int b = 1; b < bands; ++b) {
        try {
            helpers.emplace_back(draw_band, std::cref(source), std::cref(xs), std::cref(ys), std::cref(target),
                                 band_start(b), band_start(b + 1));
        } catch (const std::system_error&) {
            // No thread to be had: draw the remaining bands here.
            done_here = bands - b + 1;
            break;
        }
    }
    draw_band(source, xs, ys, target, band_start(0), band_start(1));
    for (int b = bands - done_here + 1; b < bands; ++b)
        draw_band(source, xs, ys, target, band_start(b), band_start(b + 1));
    for (auto& h : helpers)
        h.join();
}
