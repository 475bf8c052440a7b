// Device-independent bitmaps drawn into window surfaces: StretchDIBits,
// SetDIBitsToDevice and the stretch mode.
//
// Scan lines are numbered as in Win32: from the bottom row for a bottom-up
// bitmap (positive height), from the top row for a top-down one. A source
// rectangle's y is counted the same way, so in both cases it names the
// first row in memory, and memory row k of the bitmap is scan line k.
//
// Any int is a valid origin or extent. As in GDI, the source rectangle is
// clipped to the bitmap: what lies outside draws nothing, and a stretch
// draws only the destination pixels whose centres map inside the bitmap.
// Only the part of the destination inside the DC's clip is worked out, so
// what a call allocates follows the window and the bitmap, not the extents
// it was given. The pixel buffer must hold what its header describes (for
// SetDIBitsToDevice, the band of scan lines it names), as in GDI.
#include "gdi_internal.h"
#include "resample.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace {

// A validated bitmap header and where its rows are.
struct dib_layout {
    int width = 0;
    int height = 0;  // rows, always positive
    bool bottom_up = false;
    int bits_per_pixel = 0;
    size_t stride = 0;  // bytes per row, a multiple of 4
    uint32_t palette[256] = {};
};

bool read_header(const BITMAPINFO* info, UINT usage, dib_layout& out)
{
    if (!info || usage != DIB_RGB_COLORS)
        return false;
    const BITMAPINFOHEADER& h = info->bmiHeader;
    if (h.biSize < sizeof(BITMAPINFOHEADER) || h.biWidth <= 0 || h.biHeight == 0 || h.biPlanes != 1 ||
        h.biCompression != BI_RGB)
        return false;
    if (h.biBitCount != 8 && h.biBitCount != 24 && h.biBitCount != 32)
        return false;
    // A height of INT32_MIN has no positive counterpart.
    if (h.biHeight == INT32_MIN)
        return false;
    out.width = h.biWidth;
    out.height = std::abs(h.biHeight);
    out.bottom_up = h.biHeight > 0;
    out.bits_per_pixel = h.biBitCount;
    out.stride = ((static_cast<size_t>(out.width) * h.biBitCount + 31) / 32) * 4;
    if (h.biBitCount == 8) {
        const DWORD used = h.biClrUsed == 0 ? 256 : std::min<DWORD>(h.biClrUsed, 256);
        const RGBQUAD* colors = reinterpret_cast<const RGBQUAD*>(reinterpret_cast<const BYTE*>(info) + h.biSize);
        for (DWORD i = 0; i < used; ++i)
            out.palette[i] = static_cast<uint32_t>(colors[i].rgbRed) << 16 |
                             static_cast<uint32_t>(colors[i].rgbGreen) << 8 | colors[i].rgbBlue;
    }
    return true;
}

// The picture's rows [first_scan, first_scan + count) in display order (top
// first). Scan lines outside [band_first, band_first + band_count) are
// absent (null); bits holds the band, its first row being band_first.
std::vector<const uint8_t*> display_rows(const dib_layout& dib, const void* bits, int first_scan, int count,
                                         long long band_first, long long band_count)
{
    std::vector<const uint8_t*> rows(static_cast<size_t>(count), nullptr);
    for (int r = 0; r < count; ++r) {
        const long long scan = dib.bottom_up ? static_cast<long long>(first_scan) + count - 1 - r
                                             : static_cast<long long>(first_scan) + r;
        if (scan < band_first || scan >= band_first + band_count || scan < 0 || scan >= dib.height)
            continue;
        rows[static_cast<size_t>(r)] =
            static_cast<const uint8_t*>(bits) + static_cast<size_t>(scan - band_first) * dib.stride;
    }
    return rows;
}

// Draws source columns/rows through the taps into the DC's surface at
// dest (normalised), then shows what changed.
void draw(gdi_dc& dc, const dib_layout& dib, std::vector<const uint8_t*> rows, const resample_taps& xs,
          const resample_taps& ys, const RECT& dest)
{
    resample_source source;
    source.bits_per_pixel = dib.bits_per_pixel;
    source.palette = dib.palette;
    source.width = dib.width;
    source.rows = std::move(rows);
    gdi_draw(dc, dest, [&](const RECT& shown) {
        resample_target target;
        target.pixels = dc.surface->pixels;
        target.stride = dc.surface->width;
        target.dx = dest.left;
        target.dy = dest.top;
        target.dw = dest.right - dest.left;
        target.dh = dest.bottom - dest.top;
        target.clip_left = shown.left;
        target.clip_top = shown.top;
        target.clip_right = shown.right;
        target.clip_bottom = shown.bottom;
        resample_draw(source, xs, ys, target);
    });
}

// Products of two extents need more than 64 bits.
__extension__ typedef __int128 wide_int;

// a / b rounded up, for b > 0.
long long ceil_div(wide_int a, wide_int b)
{
    return static_cast<long long>(a >= 0 ? (a + b - 1) / b : -(-a / b));
}

// One axis of a stretch: the source span [src, src + src_len) drawn onto
// destination pixels [dest, dest + dest_len), reversed when mirrored. All
// of it in 64 bits, since every extent and origin may be anything an int
// holds.
struct stretch_axis {
    long long dest = 0, dest_len = 0;
    long long src = 0, src_len = 0;
    bool mirrored = false;
    long long inside_first = 0, inside_end = 0;  // the source span's part inside the bitmap
    long long first = 0, count = 0;              // destination pixels drawn, as indices from dest
};

// As GDI does, only the part of the source inside the bitmap [0, extent) is
// drawn, onto the destination pixels whose centres it covers; the window
// [clip_first, clip_end) then limits those further. False when no part of
// the source lies inside the bitmap.
bool plan_axis(long long dest_origin, long long dest_extent, long long src_origin, long long src_extent,
               long long extent, long long clip_first, long long clip_end, stretch_axis& a)
{
    a.mirrored = (dest_extent < 0) != (src_extent < 0);
    a.dest = dest_extent < 0 ? dest_origin + dest_extent : dest_origin;
    a.dest_len = dest_extent < 0 ? -dest_extent : dest_extent;
    a.src = src_extent < 0 ? src_origin + src_extent : src_origin;
    a.src_len = src_extent < 0 ? -src_extent : src_extent;
    a.inside_first = std::max(a.src, 0LL);
    a.inside_end = std::min(a.src + a.src_len, extent);
    if (a.inside_end <= a.inside_first || a.dest_len == 0)
        return a.inside_end > a.inside_first;
    // Unmirrored destination pixel d samples the source at
    // src + (d + 1/2) * src_len / dest_len.
    const wide_int twice_src = 2 * static_cast<wide_int>(a.src_len);
    long long d0 = ceil_div(2 * static_cast<wide_int>(a.inside_first - a.src) * a.dest_len - a.src_len, twice_src);
    long long d1 = ceil_div(2 * static_cast<wide_int>(a.inside_end - a.src) * a.dest_len - a.src_len, twice_src);
    d0 = std::clamp(d0, 0LL, a.dest_len);
    d1 = std::clamp(d1, d0, a.dest_len);
    long long p0 = a.mirrored ? a.dest_len - d1 : d0, p1 = a.mirrored ? a.dest_len - d0 : d1;
    p0 = std::max(p0, clip_first - a.dest);
    p1 = std::min(p1, clip_end - a.dest);
    a.first = p0;
    a.count = std::max(0LL, p1 - p0);
    return true;
}

}  // namespace

int SetStretchBltMode(HDC hdc, int mode)
{
    gdi_dc* dc = gdi_dc_from(hdc);
    if (!dc || mode < BLACKONWHITE || mode > HALFTONE)
        return 0;
    int old = dc->stretch_mode;
    dc->stretch_mode = mode;
    return old;
}

int GetStretchBltMode(HDC hdc)
{
    gdi_dc* dc = gdi_dc_from(hdc);
    return dc ? dc->stretch_mode : 0;
}

int StretchDIBits(HDC hdc, int xDest, int yDest, int destWidth, int destHeight, int xSrc, int ySrc, int srcWidth,
                  int srcHeight, const void* bits, const BITMAPINFO* info, UINT usage, DWORD rop)
{
    gdi_dc* dc = gdi_dc_from(hdc);
    dib_layout dib;
    if (!dc || !bits || rop != SRCCOPY || !read_header(info, usage, dib))
        return 0;
    if (destWidth == 0 || destHeight == 0 || srcWidth == 0 || srcHeight == 0)
        return 0;
    // Vertically the source is taken in display order (top row first): a
    // bottom-up bitmap's source y counts from the bottom, so the
    // rectangle's top is its highest scan line.
    long long sy = ySrc, sh = srcHeight;
    if (sh < 0) {
        sy += sh;
        sh = -sh;
    }
    const long long display_y = dib.bottom_up ? dib.height - (sy + sh) : sy;
    stretch_axis x, y;
    if (!plan_axis(xDest, destWidth, xSrc, srcWidth, dib.width, dc->clip.left, dc->clip.right, x) ||
        !plan_axis(yDest, destHeight, srcHeight < 0 ? display_y + sh : display_y, srcHeight < 0 ? -sh : sh,
                   dib.height, dc->clip.top, dc->clip.bottom, y))
        return 0;
    const int rows_inside = static_cast<int>(y.inside_end - y.inside_first);
    if (x.count == 0 || y.count == 0)
        return rows_inside;
    // The source rows that the drawn rows read, top first: those their
    // areas cover, and one more each side for interpolation.
    const long long u0 = y.mirrored ? y.dest_len - y.first - y.count : y.first;
    const double scale = static_cast<double>(y.src_len) / static_cast<double>(y.dest_len);
    auto row_at = [&](double v, long long lo) {
        return static_cast<long long>(
            std::clamp(v, static_cast<double>(lo), static_cast<double>(y.inside_end)));
    };
    const long long need_first = row_at(std::floor(y.src + u0 * scale) - 1, y.inside_first);
    const long long need_end = row_at(std::ceil(y.src + (u0 + y.count) * scale) + 1, need_first);
    if (need_end <= need_first)
        return rows_inside;
    const int needed = static_cast<int>(need_end - need_first);
    const long long first_scan = dib.bottom_up ? dib.height - need_end : need_first;
    auto rows = display_rows(dib, bits, static_cast<int>(first_scan), needed, 0, dib.height);
    const bool smooth = dc->stretch_mode == HALFTONE;
    const resample_taps xs = resample_make_taps(static_cast<double>(x.src), static_cast<double>(x.src_len), x.dest_len,
                                                smooth, x.mirrored, dib.width, x.first, static_cast<int>(x.count));
    const resample_taps ys =
        resample_make_taps(static_cast<double>(y.src - need_first), static_cast<double>(y.src_len), y.dest_len,
                           smooth, y.mirrored, needed, y.first, static_cast<int>(y.count));
    const RECT dest{static_cast<LONG>(x.dest + x.first), static_cast<LONG>(y.dest + y.first),
                    static_cast<LONG>(x.dest + x.first + x.count), static_cast<LONG>(y.dest + y.first + y.count)};
    draw(*dc, dib, std::move(rows), xs, ys, dest);
    return rows_inside;
}

int SetDIBitsToDevice(HDC hdc, int xDest, int yDest, DWORD width, DWORD height, int xSrc, int ySrc, UINT startScan,
                      UINT scanLines, const void* bits, const BITMAPINFO* info, UINT usage)
{
    gdi_dc* dc = gdi_dc_from(hdc);
    dib_layout dib;
    if (!dc || !bits || !read_header(info, usage, dib))
        return 0;
    if (scanLines == 0)
        return 0;
    // The band's scan lines that the bitmap has.
    const int lines = static_cast<int>(
        std::max(0LL, std::min<long long>(static_cast<long long>(startScan) + scanLines, dib.height) - startScan));
    // The part of the source rectangle that lies inside the bitmap.
    long long x0 = std::max<long long>(xSrc, 0), x1 = std::min<long long>(static_cast<long long>(xSrc) + width, dib.width);
    const long long y0 = std::max<long long>(ySrc, 0),
                    y1 = std::min<long long>(static_cast<long long>(ySrc) + height, dib.height);
    if (x1 <= x0 || y1 <= y0)
        return lines;
    // Where that part lands: a bottom-up bitmap's source y counts from the
    // bottom, so the rectangle's top is its highest scan line.
    long long left = xDest + (x0 - xSrc);
    const long long top = yDest + (dib.bottom_up ? (static_cast<long long>(ySrc) + height) - y1 : y0 - ySrc);
    // Only what lands inside the window is drawn: display rows [skip, skip + count) of the part.
    const long long skip_x = std::max(0LL, dc->clip.left - left);
    x0 += skip_x;
    left += skip_x;
    x1 = std::min(x1, x0 + std::max(0LL, dc->clip.right - left));
    const long long skip = std::max(0LL, dc->clip.top - top);
    const long long count = std::min(y1 - y0 - skip, dc->clip.bottom - (top + skip));
    if (x1 <= x0 || count <= 0)
        return lines;
    const int cols = static_cast<int>(x1 - x0), n = static_cast<int>(count);
    const long long first_scan = dib.bottom_up ? y1 - skip - count : y0 + skip;
    RECT dest{static_cast<LONG>(left), static_cast<LONG>(top + skip), static_cast<LONG>(left + cols),
              static_cast<LONG>(top + skip + n)};
    auto rows = display_rows(dib, bits, static_cast<int>(first_scan), n, startScan, scanLines);
    const resample_taps xs = resample_make_taps(static_cast<double>(x0), cols, cols, false, false, dib.width);
    const resample_taps ys = resample_make_taps(0, n, n, false, false, n);
    draw(*dc, dib, std::move(rows), xs, ys, dest);
    return lines;
}
