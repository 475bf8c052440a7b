// How the scaler's three parts meet (internal to the scaler; dib.cpp uses
// resample.h only):
//   resample_taps.cpp    tap planning: resample_make_taps and the plan of
//                        one picture (resample_plan_picture);
//   resample_kernels.cpp the row kernels (SSE2, AVX2, target_clones and the
//                        CPU check) that draw a band of a planned picture;
//   resample_pool.cpp    resample_draw and the helper threads that share a
//                        large picture's bands with the drawing thread.
// The plan is made once per drawing, on the drawing thread, before any band
// is drawn, and is only read from then on; bands cover disjoint output rows,
// so the threads drawing them share nothing that either writes.
#pragma once

#include "resample.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Output columns of two taps, prepared once per picture: both weights in one
// word (second << 16 | first) and where the first tap's values start in the
// blended row. adjacent: every second tap is the pixel after the first, or
// weighs nothing.
struct resample_two_tap_columns {
    std::vector<int32_t> paired;
    std::vector<int32_t> offset;
    bool adjacent = true;
};

// One picture as its bands share it: what is drawn and, when the rows are
// blended first, the source columns every band reads (pixels of them from
// column0) and their tap pairs, worked out once rather than per band.
// Refers to the caller's source, taps and target, which must outlive it.
struct resample_picture {
    resample_picture(const resample_source& source, const resample_taps& x_taps, const resample_taps& y_taps,
                     const resample_target& target)
        : src(source), xs(x_taps), ys(y_taps), t(target)
    {
    }
    const resample_source& src;
    const resample_taps& xs;
    const resample_taps& ys;
    const resample_target& t;
    bool rows_first = false;
    int column0 = 0;
    size_t pixels = 0;
    resample_two_tap_columns pairs;
};

// The plan for drawing target's clipped part from source with xs and ys:
// whether rows are blended first (shrinking vertically, whole-byte
// channels), and then the column span and tap pairs the bands read. Called
// on the drawing thread with a non-empty clip.
resample_picture resample_plan_picture(const resample_source& src, const resample_taps& xs, const resample_taps& ys,
                                       const resample_target& t);

// Draws output rows [row_begin, row_end) of a planned picture (within the
// target's clip). Any thread may call it, several at once for disjoint
// rows; it writes only those rows of the target and keeps no state between
// calls (its scratch rows are its own).
void resample_draw_band(const resample_picture& p, int row_begin, int row_end);
