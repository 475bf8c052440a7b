// Separable scaling in fixed point: a horizontal pass turns each needed
// source row into 8.8 fixed-point BGR at the output's columns, and a
// vertical pass blends those rows into output pixels. Source rows are
// shared by neighbouring output rows, so each is filtered once per band.
#include "resample_internal.h"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cstddef>

namespace {

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
// A build without run-time dispatch (VISTAMO_CPU_DISPATCH=0, for
// instrumented builds whose runtime is not set up when the loader runs the
// resolvers) takes the baseline only.
#if !VISTAMO_CPU_DISPATCH
#define RESAMPLE_KERNEL
#else
#define RESAMPLE_KERNEL __attribute__((target_clones("avx2", "default")))
#endif

// Hand-written AVX2 kernels, taken when the processor has AVX2 (and the
// build dispatches).
#define AVX2_KERNEL __attribute__((target("avx2")))

bool has_avx2()
{
#if !VISTAMO_CPU_DISPATCH || !defined(__SSE2__)
    return false;
#else
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
#endif
}

#if defined(__SSE2__)
// A 1:1 row (a full-screen picture on a screen of its size): eight pixels
// per step, two loads of four B, G, R triples spread into words by one
// shuffle. The second load reads four bytes past its eight pixels, so the
// last few pixels of the row are left to the caller.
AVX2_KERNEL int copy_bgr24_avx2(const uint8_t* in, uint32_t* out, int count)
{
    const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1, 0, 1, 2, -1, 3, 4, 5,
                                            -1, 6, 7, 8, -1, 9, 10, 11, -1);
    int j = 0;
    for (; j + 10 <= count; j += 8) {
        const uint8_t* p = in + 3 * static_cast<size_t>(j);
        const __m256i v = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(p + 12), reinterpret_cast<const __m128i*>(p));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j), _mm256_shuffle_epi8(v, spread));
    }
    return j;
}

AVX2_KERNEL int copy_bgrx32_avx2(const uint8_t* in, uint32_t* out, int count)
{
    const __m256i low3 = _mm256_set1_epi32(0x00FFFFFF);
    int j = 0;
    for (; j + 8 <= count; j += 8) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 4 * static_cast<size_t>(j)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j), _mm256_and_si256(v, low3));
    }
    return j;
}
#endif

void copy_bgr24(const uint8_t* in, uint32_t* out, int count)
{
    int j = 0;
#if defined(__SSE2__)
    if (has_avx2())
        j = copy_bgr24_avx2(in, out, count);
#endif
    for (; j < count; ++j)
        out[j] = static_cast<uint32_t>(in[3 * j + 2]) << 16 | static_cast<uint32_t>(in[3 * j + 1]) << 8 | in[3 * j];
}

void copy_bgrx32(const uint8_t* in, uint32_t* out, int count)
{
    int j = 0;
#if defined(__SSE2__)
    if (has_avx2())
        j = copy_bgrx32_avx2(in, out, count);
#endif
    for (; j < count; ++j)
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
    // share a few of theirs. A strong shrink has many taps per output row,
    // but each is added in as soon as it is filtered, so a few rows are
    // all that is ever kept.
    struct cached_row {
        int source = -1;
        std::vector<uint16_t> values;
    };
    std::vector<cached_row> cache(static_cast<size_t>(std::min(per_y, 3)) + 1);
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

    const size_t n = static_cast<size_t>(cols) * 3;
    std::vector<int32_t> acc(n);
    for (int y = row_begin; y < row_end; ++y) {
        const size_t tap = static_cast<size_t>(y - t.dy) * per_y;
        // Flat loops over B, G, R values, which the compiler vectorises.
        bool first = true;
        for (int k = 0; k < per_y; ++k) {
            const int32_t wk = ys.weights[tap + k];
            if (wk == 0)
                continue;
            const uint16_t* l = filtered(ys.index[tap + k]);
            if (first)
                for (size_t i = 0; i < n; ++i)
                    acc[i] = wk * l[i];
            else
                for (size_t i = 0; i < n; ++i)
                    acc[i] += wk * l[i];
            first = false;
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
// Two rows at once, the usual case, in 16-bit lanes throughout: each
// product is the high half of (a << 8) times twice the weight, that is
// a * w / 128 truncated. The two truncations lose one 1/128th on average,
// given back by the + 1.
inline uint16_t weigh_two(uint8_t a, int32_t wa, uint8_t b, int32_t wb)
{
    const uint32_t ha = (static_cast<uint32_t>(a) << 8) * (static_cast<uint32_t>(wa) * 2) >> 16;
    const uint32_t hb = (static_cast<uint32_t>(b) << 8) * (static_cast<uint32_t>(wb) * 2) >> 16;
    return static_cast<uint16_t>(ha + hb + 1);
}

#if defined(__SSE2__)
AVX2_KERNEL void weigh_two_rows_avx2(const uint8_t* a, int32_t wa, const uint8_t* b, int32_t wb, uint16_t* mid,
                                     size_t n)
{
    const __m256i va = _mm256_set1_epi16(static_cast<short>(wa * 2)), vb = _mm256_set1_epi16(static_cast<short>(wb * 2));
    const __m256i one = _mm256_set1_epi16(1);
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m256i pa = _mm256_slli_epi16(_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i))), 8);
        const __m256i pb = _mm256_slli_epi16(_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i))), 8);
        const __m256i sum = _mm256_add_epi16(_mm256_add_epi16(_mm256_mulhi_epu16(pa, va), _mm256_mulhi_epu16(pb, vb)), one);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(mid + i), sum);
    }
    for (; i < n; ++i)
        mid[i] = weigh_two(a[i], wa, b[i], wb);
}
#endif

void weigh_two_rows(const uint8_t* a, int32_t wa, const uint8_t* b, int32_t wb, uint16_t* mid, size_t n)
{
    size_t i = 0;
#if defined(__SSE2__)
    if (has_avx2()) {
        weigh_two_rows_avx2(a, wa, b, wb, mid, n);
        return;
    }
    const __m128i va = _mm_set1_epi16(static_cast<short>(wa * 2)), vb = _mm_set1_epi16(static_cast<short>(wb * 2));
    const __m128i one = _mm_set1_epi16(1), zero = _mm_setzero_si128();
    for (; i + 8 <= n; i += 8) {
        const __m128i pa = _mm_slli_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a + i)), zero), 8);
        const __m128i pb = _mm_slli_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(b + i)), zero), 8);
        const __m128i sum = _mm_add_epi16(_mm_add_epi16(_mm_mulhi_epu16(pa, va), _mm_mulhi_epu16(pb, vb)), one);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(mid + i), sum);
    }
#endif
    for (; i < n; ++i)
        mid[i] = weigh_two(a[i], wa, b[i], wb);
}

RESAMPLE_KERNEL void narrow_row(const int32_t* acc, uint16_t* mid, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        mid[i] = static_cast<uint16_t>((acc[i] + 64) >> 7);
}

#if defined(__SSE2__)
// Two output pixels' adjacent source pixels, one pixel's in each lane.
AVX2_KERNEL inline __m256i interleaved_pair(const uint16_t* mid, int32_t low, int32_t high, __m256i interleave)
{
    return _mm256_shuffle_epi8(_mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(mid + high),
                                                   reinterpret_cast<const __m128i*>(mid + low)),
                               interleave);
}

// Adjacent taps, four output pixels at a time: one load brings both source
// pixels, a shuffle interleaves them channel by channel, and one
// multiply-add per pixel weighs and sums them. Returns how many pixels it
// wrote, a multiple of four. mid is readable 8 values past any offset.
AVX2_KERNEL int blend_adjacent_avx2(const uint16_t* mid, int ch, const resample_two_tap_columns& c, int count, uint32_t* out)
{
    const __m256i half = _mm256_set1_epi32(1 << 20);
    const __m256i low3 = _mm256_set1_epi32(0x00FFFFFF);
    const __m256i even = _mm256_setr_epi32(0, 0, 0, 0, 2, 2, 2, 2), odd = _mm256_setr_epi32(1, 1, 1, 1, 3, 3, 3, 3);
    // (B0 G0 R0 B1 G1 R1 ..) or (B0 G0 R0 X0 B1 G1 R1 X1) to (B0 B1 G0 G1 R0 R1 ..).
    const __m256i interleave = ch == 3 ? _mm256_setr_epi8(0, 1, 6, 7, 2, 3, 8, 9, 4, 5, 10, 11, 12, 13, 14, 15, 0, 1, 6, 7,
                                                          2, 3, 8, 9, 4, 5, 10, 11, 12, 13, 14, 15)
                                       : _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15, 0, 1, 8, 9,
                                                          2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
    int j = 0;
    for (; j + 4 <= count; j += 4) {
        // Pixels 0 and 2 in one register, 1 and 3 in the other, so that the
        // packs below leave them in order.
        const __m256i w = _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c.paired.data() + j)));
        __m256i v02 = _mm256_madd_epi16(interleaved_pair(mid, c.offset[j], c.offset[j + 2], interleave), _mm256_permutevar8x32_epi32(w, even));
        __m256i v13 = _mm256_madd_epi16(interleaved_pair(mid, c.offset[j + 1], c.offset[j + 3], interleave), _mm256_permutevar8x32_epi32(w, odd));
        v02 = _mm256_srai_epi32(_mm256_add_epi32(v02, half), 21);
        v13 = _mm256_srai_epi32(_mm256_add_epi32(v13, half), 21);
        __m256i v = _mm256_packs_epi32(v02, v13);  // lanes: (0, 1), (2, 3)
        v = _mm256_packus_epi16(v, v);
        v = _mm256_and_si256(_mm256_permute4x64_epi64(v, 0x08), low3);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), _mm256_castsi256_si128(v));
    }
    return j;
}
#endif

// mid holds ch values per pixel and is readable 8 values past its last
// pixel. pairs: the band's columns when they have two taps.
void blend_columns(const uint16_t* mid, int ch, int column0, const resample_taps& xs, const resample_two_tap_columns& pairs,
                   int first, int count, uint32_t* out)
{
    const int per = xs.per_output;
    const int* index = xs.index.data() + static_cast<size_t>(first) * per;
    const int32_t* weight = xs.weights.data() + static_cast<size_t>(first) * per;
#if defined(__SSE2__)
    const __m128i half = _mm_set1_epi32(1 << 20);
    auto at = [&](int i) { return reinterpret_cast<const __m128i*>(mid + static_cast<size_t>(ch) * (i - column0)); };
    if (per == 2) {
        int j = pairs.adjacent && has_avx2() ? blend_adjacent_avx2(mid, ch, pairs, count, out) : 0;
        for (index += 2 * j; j < count; ++j, index += 2) {
            const __m128i w = _mm_set1_epi32(pairs.paired[static_cast<size_t>(j)]);
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
void draw_vertical_first(const resample_picture& p, int row_begin, int row_end)
{
    constexpr int ch = Bpp / 8;
    const resample_taps& xs = p.xs;
    const resample_taps& ys = p.ys;
    const resample_target& t = p.t;
    const int first_col = t.clip_left - t.dx;
    const int cols = t.clip_right - t.clip_left;
    const size_t n = p.pixels * ch;
    std::vector<int32_t> acc(n);
    std::vector<uint16_t> mid(n + 8);
    const int per_y = ys.per_output;
    for (int y = row_begin; y < row_end; ++y) {
        const size_t tap = static_cast<size_t>(y - t.dy) * per_y;
        auto row_of = [&](int k) {
            return p.src.rows[static_cast<size_t>(ys.index[tap + k])] + static_cast<size_t>(p.column0) * ch;
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
        blend_columns(mid.data(), ch, p.column0, xs, p.pairs, first_col, cols,
                      t.pixels + static_cast<size_t>(y) * t.stride + t.clip_left);
    }
}

template <int Bpp>
void draw_rows(const resample_picture& p, int row_begin, int row_end)
{
    if (p.xs.nearest() && p.ys.nearest())
        draw_nearest<Bpp>(p.src, p.xs, p.ys, p.t, row_begin, row_end);
    else if (p.rows_first)
        draw_vertical_first<Bpp == 8 ? 24 : Bpp>(p, row_begin, row_end);
    else
        draw_smooth<Bpp>(p.src, p.xs, p.ys, p.t, row_begin, row_end);
}

}  // namespace

void resample_draw_band(const resample_picture& p, int row_begin, int row_end)
{
    switch (p.src.bits_per_pixel) {
    case 8: draw_rows<8>(p, row_begin, row_end); break;
    case 24: draw_rows<24>(p, row_begin, row_end); break;
    case 32: draw_rows<32>(p, row_begin, row_end); break;
    default: break;
    }
}
