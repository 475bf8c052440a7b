// Scaling device-independent bitmap pixels into a 0x00RRGGBB surface
// (layer-internal, free of X). Pure functions of their arguments; any
// thread may call them, and a large call splits its rows over the cores.
#pragma once

#include <cstdint>
#include <vector>

// Source pixels: 8 bits through a palette, 24 (B, G, R) or 32 (B, G, R, x)
// bits per pixel, rows given top to bottom as they are to appear.
struct resample_source {
    int bits_per_pixel = 24;
    const uint32_t* palette = nullptr;  // 256 entries of 0x00RRGGBB for 8 bits
    int width = 0;                      // columns that may be read: 0 .. width-1
    std::vector<const uint8_t*> rows;   // display order; an entry may be null (not drawn)
};

// Where the scaled picture goes: the destination rectangle (dx, dy, dw, dh)
// in surface coordinates, of which only the part inside clip is written.
struct resample_target {
    uint32_t* pixels = nullptr;
    int stride = 0;  // pixels per row
    int dx = 0, dy = 0, dw = 0, dh = 0;
    int clip_left = 0, clip_top = 0, clip_right = 0, clip_bottom = 0;
};

// Per output coordinate, per_output source coordinates and their weights
// in 1/16384ths, summing to 16384 (unused taps weigh 0).
struct resample_taps {
    int per_output = 1;
    std::vector<int> index;         // per_output source indices per output
    std::vector<int32_t> weights;   // per_output weights per output
    bool nearest() const { return per_output == 1; }
};

// Taps mapping source span [from, from + count) onto size_out outputs, of
// which only outputs [first, first + outputs) are made (the part of a
// destination that is to be drawn; the rest need not fit in memory).
// smooth: area averaging when shrinking, linear interpolation when
// enlarging; otherwise the nearest source pixel. mirrored reverses the
// output order; first counts in that order. Only source pixels of the span
// that lie in [0, limit) are read: an output's area outside them does not
// count, and an output lying wholly outside takes the nearest one.
// Weights are never negative.
resample_taps resample_make_taps(double from, double count, long long size_out, bool smooth, bool mirrored,
                                 int limit, long long first, int outputs);
inline resample_taps resample_make_taps(double from, double count, int size_out, bool smooth, bool mirrored,
                                        int limit)
{
    return resample_make_taps(from, count, size_out, smooth, mirrored, limit, 0, size_out);
}

// Draws the columns of xs taps and the rows of ys taps (indices into
// source.rows) into target. Output rows whose source row is null are left
// as they are; smooth scaling is only asked for with every row present.
void resample_draw(const resample_source& source, const resample_taps& xs, const resample_taps& ys,
                   const resample_target& target);
