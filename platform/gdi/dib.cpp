// Device-independent bitmaps drawn into window surfaces: StretchDIBits,
// SetDIBitsToDevice and the stretch mode.
//
// Scan lines are numbered as in Win32: from the bottom row for a bottom-up
// bitmap (positive height), from the top row for a top-down one. A source
// rectangle's y is counted the same way, so in both cases it names the
// first row in memory, and memory row k of the bitmap is scan line k.
#include "gdi_internal.h"
#include "resample.h"

#include <algorithm>
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

// Destination extents beyond this are refused rather than allocated for.
constexpr int kMaxExtent = 1 << 15;

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
    if (std::abs(static_cast<long long>(destWidth)) > kMaxExtent ||
        std::abs(static_cast<long long>(destHeight)) > kMaxExtent)
        return 0;
    // Negative extents mirror; both negative mirror twice.
    bool mirror_x = (destWidth < 0) != (srcWidth < 0);
    bool mirror_y = (destHeight < 0) != (srcHeight < 0);
    RECT dest{xDest, yDest, xDest + destWidth, yDest + destHeight};
    if (destWidth < 0)
        std::swap(dest.left, dest.right);
    if (destHeight < 0)
        std::swap(dest.top, dest.bottom);
    long long sx = xSrc, sw = srcWidth, sy = ySrc, sh = srcHeight;
    if (sw < 0) {
        sx += sw;
        sw = -sw;
    }
    if (sh < 0) {
        sy += sh;
        sh = -sh;
    }
    // Only what lies inside the bitmap is read.
    if (sx >= dib.width || sy >= dib.height || sx + sw <= 0 || sy + sh <= 0)
        return 0;
    const int scan_first = static_cast<int>(std::max(sy, 0LL));
    const int scan_last = static_cast<int>(std::min(sy + sh, static_cast<long long>(dib.height)));
    // Rows in display order: the whole bitmap's rows from the source
    // rectangle's top, so that row indices match scan positions.
    const int rows_count = scan_last - scan_first;
    auto rows = display_rows(dib, bits, scan_first, rows_count, 0, dib.height);
    // Vertical source coordinates in display order within those rows: for a
    // bottom-up bitmap the rectangle's top row is its highest scan line.
    const double y_from = dib.bottom_up ? static_cast<double>(scan_last) - (sy + sh) : sy - scan_first;
    const bool smooth = dc->stretch_mode == HALFTONE;
    const resample_taps xs = resample_make_taps(static_cast<double>(sx), static_cast<double>(sw),
                                                dest.right - dest.left, smooth, mirror_x, dib.width);
    const resample_taps ys = resample_make_taps(y_from, static_cast<double>(sh), dest.bottom - dest.top, smooth,
                                                mirror_y, rows_count);
    draw(*dc, dib, std::move(rows), xs, ys, dest);
    return static_cast<int>(sh);
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
    const long long w = std::min<long long>(width, kMaxExtent), h = std::min<long long>(height, kMaxExtent);
    // The part of the source rectangle that lies inside the bitmap.
    const long long x0 = std::max<long long>(xSrc, 0), x1 = std::min<long long>(static_cast<long long>(xSrc) + w, dib.width);
    const long long y0 = std::max<long long>(ySrc, 0), y1 = std::min<long long>(static_cast<long long>(ySrc) + h, dib.height);
    if (x1 <= x0 || y1 <= y0)
        return static_cast<int>(scanLines);
    const int cols = static_cast<int>(x1 - x0), count = static_cast<int>(y1 - y0);
    // Where that part lands: a bottom-up bitmap's source y counts from the
    // bottom, so the rectangle's top is its highest scan line.
    const long long top_in_rect = dib.bottom_up ? (static_cast<long long>(ySrc) + h) - y1 : y0 - ySrc;
    RECT dest{static_cast<LONG>(xDest + (x0 - xSrc)), static_cast<LONG>(yDest + top_in_rect), 0, 0};
    dest.right = dest.left + cols;
    dest.bottom = dest.top + count;
    auto rows = display_rows(dib, bits, static_cast<int>(y0), count, startScan, scanLines);
    const resample_taps xs = resample_make_taps(static_cast<double>(x0), cols, cols, false, false, dib.width);
    const resample_taps ys = resample_make_taps(0, count, count, false, false, count);
    draw(*dc, dib, std::move(rows), xs, ys, dest);
    return static_cast<int>(scanLines);
}
