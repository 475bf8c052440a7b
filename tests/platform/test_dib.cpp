// Bitmaps drawn into windows: pixel formats and row orders, scan-line bands,
// source rectangles, the two stretch qualities, clipping, bad input, and
// drawing from a thread other than the window's while that one is busy.
//
// Needs an X display with a window manager (tools/run-tests.sh).
#include <windows.h>
#include <gtest/gtest.h>

#include "../../platform/gdi/gdi_internal.h"
#include "../../platform/gdi/resample.h"
#include "../../platform/kernel/debug_output.h"
#include "message_pump.h"
#include "x11_probe.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr int kWidth = 320, kHeight = 240;
const COLORREF kGround = RGB(10, 20, 30);

// A bitmap in memory with its header and colour table.
struct dib {
    dib(int width, int height, int bits, bool bottom_up) : w(width), h(height), bpp(bits)
    {
        stride = ((width * bits + 31) / 32) * 4;
        data.assign(static_cast<size_t>(stride) * height, 0);
        info.resize(sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD));
        BITMAPINFOHEADER& hdr = header();
        hdr.biSize = sizeof(BITMAPINFOHEADER);
        hdr.biWidth = width;
        hdr.biHeight = bottom_up ? height : -height;
        hdr.biPlanes = 1;
        hdr.biBitCount = static_cast<WORD>(bits);
        hdr.biCompression = BI_RGB;
        auto* colors = reinterpret_cast<RGBQUAD*>(info.data() + sizeof(BITMAPINFOHEADER));
        for (int i = 0; i < 256; ++i)
            colors[i] = RGBQUAD{static_cast<BYTE>(i), static_cast<BYTE>(i), static_cast<BYTE>(i), 0};
    }
    BITMAPINFOHEADER& header() { return *reinterpret_cast<BITMAPINFOHEADER*>(info.data()); }
    const BITMAPINFO* bmi() const { return reinterpret_cast<const BITMAPINFO*>(info.data()); }
    bool bottom_up() const { return reinterpret_cast<const BITMAPINFOHEADER*>(info.data())->biHeight > 0; }
    // Pixel (x, y) of the picture as it appears, y counted from the top.
    uint8_t* at(int x, int y)
    {
        int row = bottom_up() ? h - 1 - y : y;
        return data.data() + static_cast<size_t>(row) * stride + x * (bpp / 8);
    }
    void set(int x, int y, COLORREF c)
    {
        uint8_t* p = at(x, y);
        if (bpp == 8) {
            *p = GetRValue(c);
            return;
        }
        p[0] = GetBValue(c);
        p[1] = GetGValue(c);
        p[2] = GetRValue(c);
    }
    void fill(const std::function<COLORREF(int, int)>& f)
    {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                set(x, y, f(x, y));
    }
    int w, h, bpp, stride;
    std::vector<uint8_t> data;
    std::vector<uint8_t> info;
};

// A distinct colour for every source pixel.
COLORREF code(int x, int y) { return RGB(x * 7 + 1, y * 11 + 2, (x + y) * 3 + 5); }

LRESULT CALLBACK plain_proc(HWND h, UINT m, WPARAM w, LPARAM l) { return DefWindowProcW(h, m, w, l); }

class Dib : public ::testing::Test {
protected:
    void SetUp() override
    {
        static WORD cls = [] {
            WNDCLASSW wc{};
            wc.lpfnWndProc = plain_proc;
            wc.hInstance = GetModuleHandleW(nullptr);
            wc.lpszClassName = L"VistamoDibTest";
            return RegisterClassW(&wc);
        }();
        ASSERT_NE(cls, 0);
        ASSERT_TRUE(open_window(L"dib test"));
    }
    void TearDown() override
    {
        if (dc)
            ReleaseDC(hwnd, dc);
        DestroyWindow(hwnd);
    }

    bool open_window(const wchar_t* title)
    {
        hwnd = CreateWindowExW(0, L"VistamoDibTest", title, WS_POPUP, 50, 60, kWidth, kHeight, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
        if (!hwnd)
            return false;
        ShowWindow(hwnd, SW_SHOW);
        if (!pump_until([&] { return IsWindowVisible(hwnd) != FALSE; }))
            return false;
        dc = GetDC(hwnd);
        RECT all{0, 0, kWidth, kHeight};
        HBRUSH b = CreateSolidBrush(kGround);
        FillRect(dc, &all, b);
        DeleteObject(b);
        // On the screen, so that later drawing shows without this thread's
        // help.
        return dc && pump_until([&] {
                   // The window manager may still be placing the window.
                   POINT corner{kWidth - 1, kHeight - 1};
                   ClientToScreen(hwnd, &corner);
                   return probe.screen_pixel(corner.x, corner.y) ==
                          (static_cast<unsigned long>(GetRValue(kGround)) << 16 | GetGValue(kGround) << 8 |
                           GetBValue(kGround));
               });
    }

    COLORREF px(int x, int y) { return GetPixel(dc, x, y); }
    // Whether the window shows colour c at (x, y) on the screen itself.
    bool on_screen(int x, int y, COLORREF c)
    {
        POINT p{x, y};
        ClientToScreen(hwnd, &p);
        const unsigned long want = static_cast<unsigned long>(GetRValue(c)) << 16 | GetGValue(c) << 8 | GetBValue(c);
        return x11_probe::wait_until([&] { return probe.screen_pixel(p.x, p.y) == want; });
    }
    // Every pixel of the rectangle shows what source pixel (x, y) - origin has.
    void expect_copy(int left, int top, int w, int h, const std::function<COLORREF(int, int)>& src)
    {
        int wrong = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                wrong += px(left + x, top + y) != src(x, y);
        EXPECT_EQ(wrong, 0);
        // And nothing around it (inside the window).
        auto ground = [&](int x, int y) {
            return x < 0 || y < 0 || x >= kWidth || y >= kHeight || px(x, y) == kGround;
        };
        for (int x = left - 1; x <= left + w; ++x) {
            EXPECT_TRUE(ground(x, top - 1)) << x;
            EXPECT_TRUE(ground(x, top + h)) << x;
        }
        for (int y = top; y < top + h; ++y) {
            EXPECT_TRUE(ground(left - 1, y)) << y;
            EXPECT_TRUE(ground(left + w, y)) << y;
        }
    }

    // The smallest rectangle holding everything in r that is not ground;
    // all zeros when there is nothing.
    RECT painted(const RECT& r)
    {
        RECT box{INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN};
        for (int y = r.top; y < r.bottom; ++y)
            for (int x = r.left; x < r.right; ++x)
                if (px(x, y) != kGround)
                    box = {std::min<LONG>(box.left, x), std::min<LONG>(box.top, y), std::max<LONG>(box.right, x + 1),
                           std::max<LONG>(box.bottom, y + 1)};
        return box.left == INT32_MAX ? RECT{0, 0, 0, 0} : box;
    }

    HWND hwnd = nullptr;
    HDC dc = nullptr;
    x11_probe probe;
};

// Formats and row orders ---------------------------------------------------------

TEST_F(Dib, EveryFormatAndRowOrderLandsUprightWithItsColours)
{
    for (int bits : {24, 32, 8})
        for (bool bottom_up : {false, true}) {
            SCOPED_TRACE(testing::Message() << bits << " bits, bottom-up " << bottom_up);
            dib b(13, 9, bits, bottom_up);  // odd width: rows are padded
            auto colour = [&](int x, int y) {
                return bits == 8 ? RGB(x * 19 + y, x * 19 + y, x * 19 + y) : code(x, y);
            };
            b.fill(colour);
            EXPECT_EQ(SetDIBitsToDevice(dc, 20, 30, 13, 9, 0, 0, 0, 9, b.data.data(), b.bmi(), DIB_RGB_COLORS), 9);
            expect_copy(20, 30, 13, 9, colour);
            EXPECT_EQ(StretchDIBits(dc, 100, 30, 13, 9, 0, 0, 13, 9, b.data.data(), b.bmi(), DIB_RGB_COLORS, SRCCOPY),
                      9);
            expect_copy(100, 30, 13, 9, colour);
            RECT all{0, 0, kWidth, kHeight};
            HBRUSH br = CreateSolidBrush(kGround);
            FillRect(dc, &all, br);
            DeleteObject(br);
        }
}

TEST_F(Dib, EightBitsGoThroughTheColourTable)
{
    dib b(4, 1, 8, false);
    auto* colors = reinterpret_cast<RGBQUAD*>(b.info.data() + sizeof(BITMAPINFOHEADER));
    colors[0] = RGBQUAD{255, 0, 0, 0};  // blue
    colors[1] = RGBQUAD{0, 0, 255, 0};  // red
    b.header().biClrUsed = 2;           // entries past the table are black
    b.data[0] = 0;
    b.data[1] = 1;
    b.data[2] = 1;
    b.data[3] = 7;
    SetDIBitsToDevice(dc, 0, 0, 4, 1, 0, 0, 0, 1, b.data.data(), b.bmi(), DIB_RGB_COLORS);
    EXPECT_EQ(px(0, 0), RGB(0, 0, 255));
    EXPECT_EQ(px(1, 0), RGB(255, 0, 0));
    EXPECT_EQ(px(2, 0), RGB(255, 0, 0));
    EXPECT_EQ(px(3, 0), RGB(0, 0, 0));
}

// Scan-line bands and source rectangles -----------------------------------------------

TEST_F(Dib, ABandOfScanLinesDrawsOnlyItsRowsWhereTheyBelong)
{
    // The way an image wrapper passes part of itself: the pointer at row
    // fromY, fromY as both the source y and the first scan line.
    for (bool bottom_up : {false, true}) {
        SCOPED_TRACE(bottom_up ? "bottom-up" : "top-down");
        dib b(10, 8, 24, bottom_up);
        b.fill(code);
        const int fromY = 3, rows = 4, fromX = 2;
        const uint8_t* band = b.data.data() + static_cast<size_t>(fromY) * b.stride;
        SetDIBitsToDevice(dc, 40, 50, 6, rows, fromX, fromY, fromY, rows, band, b.bmi(), DIB_RGB_COLORS);
        // Memory rows 3..6: for a bottom-up bitmap those are picture rows
        // 1..4 from the top, for a top-down one rows 3..6.
        const int first_picture_row = bottom_up ? b.h - fromY - rows : fromY;
        expect_copy(40, 50, 6, rows, [&](int x, int y) { return code(x + fromX, y + first_picture_row); });
        RECT all{0, 0, kWidth, kHeight};
        HBRUSH br = CreateSolidBrush(kGround);
        FillRect(dc, &all, br);
        DeleteObject(br);
    }
}

TEST_F(Dib, RowsOutsideTheBandAreNotDrawn)
{
    dib b(5, 6, 24, false);
    b.fill(code);
    // The whole picture asked for, but bits holds scan lines 2 and 3 only.
    const uint8_t* band = b.data.data() + 2 * static_cast<size_t>(b.stride);
    SetDIBitsToDevice(dc, 0, 0, 5, 6, 0, 0, 2, 2, band, b.bmi(), DIB_RGB_COLORS);
    for (int y = 0; y < 6; ++y)
        EXPECT_EQ(px(1, y), (y == 2 || y == 3) ? code(1, y) : kGround) << y;
}

TEST_F(Dib, StretchingASourceRectangleUsesOnlyThatPart)
{
    for (bool bottom_up : {false, true}) {
        SCOPED_TRACE(bottom_up ? "bottom-up" : "top-down");
        dib b(10, 10, 24, bottom_up);
        b.fill(code);
        // Source (3, 2) 4 x 5, counted from the first row in memory.
        SetStretchBltMode(dc, COLORONCOLOR);
        StretchDIBits(dc, 0, 0, 8, 10, 3, 2, 4, 5, b.data.data(), b.bmi(), DIB_RGB_COLORS, SRCCOPY);
        const int top = bottom_up ? b.h - 2 - 5 : 2;
        expect_copy(0, 0, 8, 10, [&](int x, int y) { return code(3 + x / 2, top + y / 2); });
        RECT all{0, 0, kWidth, kHeight};
        HBRUSH br = CreateSolidBrush(kGround);
        FillRect(dc, &all, br);
        DeleteObject(br);
    }
}

// Stretch quality -----------------------------------------------------------------------

TEST_F(Dib, ColorOnColorRepeatsAndDropsWholePixels)
{
    dib b(4, 4, 24, false);
    b.fill(code);
    EXPECT_EQ(SetStretchBltMode(dc, COLORONCOLOR), BLACKONWHITE) << "the default mode";
    EXPECT_EQ(GetStretchBltMode(dc), COLORONCOLOR);
    StretchDIBits(dc, 0, 0, 12, 8, 0, 0, 4, 4, b.data.data(), b.bmi(), DIB_RGB_COLORS, SRCCOPY);
    expect_copy(0, 0, 12, 8, [](int x, int y) { return code(x / 3, y / 2); });
    StretchDIBits(dc, 100, 0, 2, 2, 0, 0, 4, 4, b.data.data(), b.bmi(), DIB_RGB_COLORS, SRCCOPY);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x) {
            COLORREF c = px(100 + x, y);
            bool is_source = false;
            for (int sy = 0; sy < 4; ++sy)
                for (int sx = 0; sx < 4; ++sx)
                    is_source |= c == code(sx, sy);
            EXPECT_TRUE(is_source) << "pixel " << x << "," << y << " is a blend";
        }
}

TEST_F(Dib, HalftoneAveragesWhenShrinkingAndBlendsWhenEnlarging)
{
    SetStretchBltMode(dc, HALFTONE);
    // A one-pixel checkerboard shrunk: every pixel is the mean grey, in
    // every format.
    for (int bits : {24, 32, 8}) {
        dib checker(64, 64, bits, bits == 32);
        checker.fill([](int x, int y) { return (x + y) % 2 ? RGB(255, 255, 255) : RGB(0, 0, 0); });
        StretchDIBits(dc, 0, 0, 32, 32, 0, 0, 64, 64, checker.data.data(), checker.bmi(), DIB_RGB_COLORS, SRCCOPY);
        for (int y = 0; y < 32; y += 5)
            for (int x = 0; x < 32; x += 5) {
                COLORREF c = px(x, y);
                EXPECT_NEAR(GetRValue(c), 128, 1) << bits << " bits at " << x << "," << y;
                EXPECT_EQ(GetRValue(c), GetGValue(c));
                EXPECT_EQ(GetRValue(c), GetBValue(c));
            }
    }
    // A uniform picture at a fractional scale stays exactly uniform.
    dib flat(1920, 108, 24, true);
    flat.fill([](int, int) { return RGB(200, 100, 50); });
    StretchDIBits(dc, 0, 40, 128, 72, 0, 0, 1920, 108, flat.data.data(), flat.bmi(), DIB_RGB_COLORS, SRCCOPY);
    int off = 0;
    for (int y = 40; y < 112; ++y)
        for (int x = 0; x < 128; ++x)
            off += px(x, y) != RGB(200, 100, 50);
    EXPECT_EQ(off, 0);
    // Two pixels, black and white, enlarged to 8: a ramp in between.
    dib two(2, 1, 24, false);
    two.set(0, 0, RGB(0, 0, 0));
    two.set(1, 0, RGB(255, 255, 255));
    StretchDIBits(dc, 0, 150, 8, 1, 0, 0, 2, 1, two.data.data(), two.bmi(), DIB_RGB_COLORS, SRCCOPY);
    EXPECT_EQ(px(0, 150), RGB(0, 0, 0));
    EXPECT_EQ(px(7, 150), RGB(255, 255, 255));
    for (int x = 1; x < 8; ++x)
        EXPECT_GE(GetRValue(px(x, 150)), GetRValue(px(x - 1, 150)));
    EXPECT_GT(GetRValue(px(4, 150)), 0);
    EXPECT_LT(GetRValue(px(3, 150)), 255);
}

TEST_F(Dib, StrongShrinksGiveEveryOutputTheMeanOfItsPixels)
{
    SetStretchBltMode(dc, HALFTONE);
    constexpr int kOutputs = 8;
    for (int ratio : {250, 1000})
        for (bool across : {true, false}) {
            SCOPED_TRACE(testing::Message() << ratio << ":1 " << (across ? "across" : "down"));
            // White, with k black pixels in the stretch that becomes output
            // k, the first at the stretch's start.
            const int n = ratio * kOutputs;
            dib strip(across ? n : 1, across ? 1 : n, 24, false);
            strip.fill([](int, int) { return RGB(255, 255, 255); });
            for (int k = 0; k < kOutputs; ++k)
                for (int i = 0; i < k; ++i) {
                    const int at = k * ratio + i * (ratio / kOutputs);
                    strip.set(across ? at : 0, across ? 0 : at, RGB(0, 0, 0));
                }
            StretchDIBits(dc, 0, 0, across ? kOutputs : 1, across ? 1 : kOutputs, 0, 0, strip.w, strip.h,
                          strip.data.data(), strip.bmi(), DIB_RGB_COLORS, SRCCOPY);
            for (int k = 0; k < kOutputs; ++k) {
                const COLORREF c = px(across ? k : 0, across ? 0 : k);
                const double grey = 255.0 * (ratio - k) / ratio;
                EXPECT_NEAR(GetRValue(c), grey, 1.0) << "output " << k;
                EXPECT_EQ(c, RGB(GetRValue(c), GetRValue(c), GetRValue(c))) << "output " << k;
            }
        }
}

TEST_F(Dib, NegativeExtentsMirror)
{
    dib b(4, 2, 24, false);
    b.fill(code);
    SetStretchBltMode(dc, COLORONCOLOR);
    StretchDIBits(dc, 10 + 4, 0, -4, 2, 0, 0, 4, 2, b.data.data(), b.bmi(), DIB_RGB_COLORS, SRCCOPY);
    expect_copy(10, 0, 4, 2, [](int x, int y) { return code(3 - x, y); });
}

// Clipping and bad input --------------------------------------------------------------------

TEST_F(Dib, DrawingIsClippedToTheWindow)
{
    dib b(40, 40, 24, false);
    b.fill(code);
    EXPECT_EQ(SetDIBitsToDevice(dc, kWidth - 10, kHeight - 20, 40, 40, 0, 0, 0, 40, b.data.data(), b.bmi(),
                                DIB_RGB_COLORS),
              40);
    EXPECT_EQ(px(kWidth - 10, kHeight - 20), code(0, 0));
    EXPECT_EQ(px(kWidth - 1, kHeight - 1), code(9, 19));
    SetStretchBltMode(dc, HALFTONE);
    StretchDIBits(dc, -30, -30, 80, 80, 0, 0, 40, 40, b.data.data(), b.bmi(), DIB_RGB_COLORS, SRCCOPY);
    EXPECT_NE(px(0, 0), kGround);
    StretchDIBits(dc, 5000, 5000, 80, 80, 0, 0, 40, 40, b.data.data(), b.bmi(), DIB_RGB_COLORS, SRCCOPY);
}

TEST_F(Dib, ASourceRectanglePartlyOutsideTheBitmapDrawsOnlyItsInsideWhereThatBelongs)
{
    dib b(4, 4, 24, false);
    b.fill(code);
    SetStretchBltMode(dc, COLORONCOLOR);
    // Source (-2, -2) 4 x 4 doubled: the bitmap's top-left quarter lands in
    // the bottom-right quarter of the destination, the rest stays as it was.
    EXPECT_EQ(StretchDIBits(dc, 0, 0, 8, 8, -2, -2, 4, 4, b.data.data(), b.bmi(), DIB_RGB_COLORS, SRCCOPY), 2);
    expect_copy(4, 4, 4, 4, [](int x, int y) { return code(x / 2, y / 2); });
    // Source (2, 2) 4 x 4, reaching past the right and bottom edges.
    StretchDIBits(dc, 20, 0, 8, 8, 2, 2, 4, 4, b.data.data(), b.bmi(), DIB_RGB_COLORS, SRCCOPY);
    expect_copy(20, 0, 4, 4, [](int x, int y) { return code(2 + x / 2, 2 + y / 2); });
}

// Extents and origins at the ends of their ranges: the source rectangle is
// clipped to the bitmap, the destination to the window, and no arithmetic
// overflows on the way (this runs under UndefinedBehaviorSanitizer).
TEST_F(Dib, ExtremeRectanglesDrawOnlyWhatLiesInsideBitmapAndWindow)
{
    constexpr int kMin = INT32_MIN, kMax = INT32_MAX;
    dib b(4, 4, 24, false);
    b.fill(code);
    const RECT none{0, 0, 0, 0};
    struct stretch_case {
        int x, y, w, h, sx, sy, sw, sh;
        RECT drawn;
    };
    for (int mode : {COLORONCOLOR, HALFTONE})
        for (const stretch_case& c : std::vector<stretch_case>{
                 {0, 0, 1, 1, 0, 0, kMax, kMax, none},  // the pixel's centre lies far outside
                 {0, 0, 1, 1, 1 - (1 << 30), 1 - (1 << 30), kMax, kMax, {0, 0, 1, 1}},  // ... and here inside
                 {0, 0, 1, 1, kMin, kMin, kMax, kMax, none},
                 {0, 0, 4, 4, kMax, kMax, kMax, kMax, none},
                 {0, 0, 4, 4, 0, 0, kMin, kMin, none},
                 {0, 0, 4, 4, 4, 4, -4, -4, {0, 0, 4, 4}},
                 {0, 0, 4, 4, kMin, 0, kMin, 4, none},
                 {kMax, kMax, 10, 10, 0, 0, 4, 4, none},
                 {kMax, kMax, kMax, kMax, 0, 0, 4, 4, none},
                 {kMin, kMin, kMax, kMax, 0, 0, 4, 4, none},
                 {kMin, kMin, -10, -10, 0, 0, 4, 4, none},
                 {0, 0, kMax, kMax, 0, 0, 4, 4, {0, 0, kWidth, kHeight}},
                 {100, 100, kMin, kMin, 0, 0, 4, 4, {0, 0, 100, 100}},
                 {100, 100, kMin, kMin, 0, 0, kMin, kMin, none},
                 {kMax, 0, kMin, 50, 0, 0, 4, 4, {0, 0, kWidth, 50}},
                 {0, 0, 0, 4, 0, 0, 4, 4, none},
                 {0, 0, 4, 4, 0, 0, 0, 4, none},
             }) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << ": " << c.x << ", " << c.y << ", " << c.w << " x "
                                            << c.h << " from " << c.sx << ", " << c.sy << ", " << c.sw << " x "
                                            << c.sh);
            RECT all{0, 0, kWidth, kHeight};
            HBRUSH br = CreateSolidBrush(kGround);
            FillRect(dc, &all, br);
            DeleteObject(br);
            SetStretchBltMode(dc, mode);
            const int rows = StretchDIBits(dc, c.x, c.y, c.w, c.h, c.sx, c.sy, c.sw, c.sh, b.data.data(), b.bmi(),
                                           DIB_RGB_COLORS, SRCCOPY);
            EXPECT_GE(rows, 0);
            EXPECT_LE(rows, 4);
            const RECT got = painted(all);
            EXPECT_TRUE(got.left == c.drawn.left && got.top == c.drawn.top && got.right == c.drawn.right &&
                        got.bottom == c.drawn.bottom)
                << "drawn " << got.left << "," << got.top << " - " << got.right << "," << got.bottom;
        }

    struct blit_case {
        int x, y;
        DWORD w, h;
        int sx, sy;
        UINT start, lines;
        RECT drawn;
    };
    constexpr DWORD kAll = UINT32_MAX;
    for (const blit_case& c : std::vector<blit_case>{
             {kMax, kMax, 10, 10, 0, 0, 0, 4, none},
             {kMax - 2, 0, kAll, kAll, 0, 0, 0, 4, none},
             {kMin, kMin, kAll, kAll, 0, 0, 0, 4, none},
             {10, 10, kAll, kAll, 0, 0, 0, 4, {10, 10, 14, 14}},
             {10, 10, kAll, kAll, -2, -2, 0, 4, {12, 12, 16, 16}},
             {10, 10, kAll, kAll, kMin, kMin, 0, 4, none},
             {10, 10, 4, 4, kMin, kMin, 0, 4, none},
             {10, 10, 4, 4, kMax, kMax, 0, 4, none},
             {-5, -5, 10, 10, 0, 0, 0, 4, none},
             {10, 10, 4, 4, 0, 0, kAll, kAll, none},
             {10, 10, 4, 4, 0, 0, 1, kAll, {10, 11, 14, 14}},
         }) {
        SCOPED_TRACE(testing::Message() << c.x << ", " << c.y << ", " << c.w << " x " << c.h << " from " << c.sx
                                        << ", " << c.sy << ", scans " << c.start << " + " << c.lines);
        RECT all{0, 0, kWidth, kHeight};
        HBRUSH br = CreateSolidBrush(kGround);
        FillRect(dc, &all, br);
        DeleteObject(br);
        // The buffer holds the band the call names, as far as the bitmap has it.
        const size_t first = std::min<UINT>(c.start, 4);
        const int lines = SetDIBitsToDevice(dc, c.x, c.y, c.w, c.h, c.sx, c.sy, c.start, c.lines,
                                            b.data.data() + first * b.stride, b.bmi(), DIB_RGB_COLORS);
        EXPECT_GE(lines, 0);
        EXPECT_LE(lines, 4);
        const RECT got = painted(all);
        EXPECT_TRUE(got.left == c.drawn.left && got.top == c.drawn.top && got.right == c.drawn.right &&
                    got.bottom == c.drawn.bottom)
            << "drawn " << got.left << "," << got.top << " - " << got.right << "," << got.bottom;
    }
}

TEST_F(Dib, AChildsDeviceContextDrawsOnlyInTheChild)
{
    HWND child = CreateWindowExW(0, L"Static", L"", WS_CHILD | WS_VISIBLE, 100, 100, 30, 20, hwnd, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(child, nullptr);
    HDC cdc = GetDC(child);
    ASSERT_NE(cdc, nullptr);
    dib b(60, 60, 24, false);
    b.fill([](int, int) { return RGB(255, 0, 255); });
    SetDIBitsToDevice(cdc, 0, 0, 60, 60, 0, 0, 0, 60, b.data.data(), b.bmi(), DIB_RGB_COLORS);
    EXPECT_EQ(GetPixel(cdc, 29, 19), RGB(255, 0, 255));
    EXPECT_EQ(GetPixel(cdc, 30, 19), CLR_INVALID);
    EXPECT_TRUE(on_screen(129, 119, RGB(255, 0, 255)));
    EXPECT_TRUE(on_screen(131, 119, kGround));
    ReleaseDC(child, cdc);
    DestroyWindow(child);
}

TEST_F(Dib, BadBitmapsAndDeviceContextsDrawNothing)
{
    dib good(4, 4, 24, false);
    good.fill(code);
    auto stretch = [&](HDC d, const void* bits, const BITMAPINFO* info, UINT usage = DIB_RGB_COLORS,
                       DWORD rop = SRCCOPY) {
        return StretchDIBits(d, 0, 0, 4, 4, 0, 0, 4, 4, bits, info, usage, rop);
    };
    EXPECT_EQ(stretch(dc, nullptr, good.bmi()), 0);
    EXPECT_EQ(stretch(dc, good.data.data(), nullptr), 0);
    EXPECT_EQ(stretch(nullptr, good.data.data(), good.bmi()), 0);
    EXPECT_EQ(stretch(reinterpret_cast<HDC>(0x1234), good.data.data(), good.bmi()), 0);
    EXPECT_EQ(stretch(dc, good.data.data(), good.bmi(), 1), 0) << "palette indices";
    EXPECT_EQ(stretch(dc, good.data.data(), good.bmi(), DIB_RGB_COLORS, 0x00EE0086), 0) << "another raster op";
    for (auto spoil : std::vector<std::function<void(BITMAPINFOHEADER&)>>{
             [](BITMAPINFOHEADER& h) { h.biBitCount = 16; }, [](BITMAPINFOHEADER& h) { h.biCompression = 3; },
             [](BITMAPINFOHEADER& h) { h.biWidth = 0; }, [](BITMAPINFOHEADER& h) { h.biHeight = 0; },
             [](BITMAPINFOHEADER& h) { h.biSize = 12; }, [](BITMAPINFOHEADER& h) { h.biHeight = INT32_MIN; },
             [](BITMAPINFOHEADER& h) { h.biWidth = INT32_MIN; }, [](BITMAPINFOHEADER& h) { h.biWidth = -4; },
             [](BITMAPINFOHEADER& h) { h.biBitCount = 0; }, [](BITMAPINFOHEADER& h) { h.biBitCount = 1; },
             [](BITMAPINFOHEADER& h) { h.biBitCount = 4; }, [](BITMAPINFOHEADER& h) { h.biBitCount = 7; },
             [](BITMAPINFOHEADER& h) { h.biBitCount = 0xFFFF; }, [](BITMAPINFOHEADER& h) { h.biPlanes = 0; },
             [](BITMAPINFOHEADER& h) { h.biCompression = 0xFFFFFFFF; }}) {
        dib bad(4, 4, 24, false);
        spoil(bad.header());
        SCOPED_TRACE(testing::Message() << "bits " << bad.header().biBitCount << " compression "
                                        << bad.header().biCompression << " size " << bad.header().biSize << " "
                                        << bad.header().biWidth << "x" << bad.header().biHeight);
        EXPECT_EQ(stretch(dc, bad.data.data(), bad.bmi()), 0);
        EXPECT_EQ(SetDIBitsToDevice(dc, 0, 0, 4, 4, 0, 0, 0, 4, bad.data.data(), bad.bmi(), DIB_RGB_COLORS), 0);
    }
    EXPECT_EQ(StretchDIBits(dc, 0, 0, 0, 4, 0, 0, 4, 4, good.data.data(), good.bmi(), DIB_RGB_COLORS, SRCCOPY), 0);
    EXPECT_EQ(SetStretchBltMode(dc, 9), 0);
    EXPECT_EQ(px(0, 0), kGround) << "something was drawn";

    HDC gone = GetDC(hwnd);
    ReleaseDC(hwnd, gone);
    EXPECT_EQ(stretch(gone, good.data.data(), good.bmi()), 0);
}

// Threads and the screen -------------------------------------------------------------------

TEST_F(Dib, ASecondThreadsDrawingReachesTheScreenWhileTheWindowsThreadIsBusy)
{
    dib b(64, 48, 24, false);
    b.fill([](int, int) { return RGB(0, 200, 100); });
    std::thread drawer([&] {
        HDC mine = GetDC(hwnd);
        SetStretchBltMode(mine, HALFTONE);
        StretchDIBits(mine, 10, 10, 128, 96, 0, 0, 64, 48, b.data.data(), b.bmi(), DIB_RGB_COLORS, SRCCOPY);
        ReleaseDC(hwnd, mine);
    });
    drawer.join();
    // This thread, the window's, takes no message while the screen is read.
    EXPECT_TRUE(on_screen(20, 20, RGB(0, 200, 100)));
    EXPECT_TRUE(on_screen(137, 105, RGB(0, 200, 100)));
    EXPECT_TRUE(on_screen(140, 110, kGround));
}

TEST_F(Dib, ServersWithoutSharedMemoryShowTheSame)
{
    std::atomic<int> fallbacks{0};
    debug_output_set_sink([&](const std::string& text) {
        if (text.find("plain image transfer") != std::string::npos)
            ++fallbacks;
    });
    x11_surface_allow_shm(false);
    // The slower transfer is said once, however many windows take it.
    for (const wchar_t* title : {L"dib plain, first", L"dib plain"}) {
        ReleaseDC(hwnd, dc);
        dc = nullptr;
        DestroyWindow(hwnd);
        ASSERT_TRUE(open_window(title));
    }
    x11_surface_allow_shm(true);
    debug_output_set_sink(nullptr);
    EXPECT_EQ(fallbacks, 1);
    dib b(16, 16, 32, true);
    b.fill(code);
    SetDIBitsToDevice(dc, 30, 40, 16, 16, 0, 0, 0, 16, b.data.data(), b.bmi(), DIB_RGB_COLORS);
    EXPECT_TRUE(on_screen(30, 40, code(0, 0)));
    EXPECT_TRUE(on_screen(45, 55, code(15, 15)));
}

// The filter's weights ------------------------------------------------------------------------

TEST(ResampleTaps, WeightsCoverTheSourceExactlyAndStayInside)
{
    for (auto [from, count, out] : std::vector<std::tuple<double, double, int>>{
             {0, 1920, 1280}, {0, 1920, 1000}, {5, 7, 3}, {0, 3, 1280}, {0, 100, 100}, {2, 1, 9}, {0, 2000, 8},
             {0, 8000, 8}, {0.5, 70000, 3}}) {
        for (bool smooth : {true, false}) {
            resample_taps t = resample_make_taps(from, count, out, smooth, false, static_cast<int>(from + count));
            ASSERT_EQ(t.index.size(), static_cast<size_t>(out) * t.per_output);
            for (int i = 0; i < out; ++i) {
                int sum = 0;
                for (int k = 0; k < t.per_output; ++k) {
                    size_t at = static_cast<size_t>(i) * t.per_output + k;
                    sum += t.weights[at];
                    EXPECT_GE(t.weights[at], 0) << from << " " << count << " " << out << " at " << i;
                    EXPECT_GE(t.index[at], static_cast<int>(from));
                    EXPECT_LT(t.index[at], static_cast<int>(from + count));
                }
                EXPECT_EQ(sum, 1 << 14) << from << " " << count << " " << out << " at " << i;
            }
        }
    }
}

// Whatever kernel and however many threads draw a picture, each output pixel
// is the weighted mean of its taps, to within rounding.
TEST(ResampleDraw, ShrinkingMatchesTheWeightedMeanOfTheTaps)
{
    struct scale_case {
        int bits, sw, sh, dw, dh;
        bool mirrored;
    };
    for (scale_case c : {scale_case{24, 1920, 1080, 1280, 720, false}, scale_case{32, 1920, 1080, 1280, 720, false},
                         scale_case{24, 301, 97, 203, 61, false}, scale_case{32, 301, 97, 203, 61, true},
                         scale_case{24, 640, 480, 150, 100, false}}) {
        SCOPED_TRACE(testing::Message() << c.bits << " bits " << c.sw << "x" << c.sh << " into " << c.dw << "x" << c.dh
                                        << (c.mirrored ? " mirrored" : ""));
        const int ch = c.bits / 8;
        std::vector<uint8_t> pixels(static_cast<size_t>(c.sw) * c.sh * ch);
        uint32_t seed = 12345;
        for (auto& v : pixels) {
            seed = seed * 1103515245u + 12345u;
            v = static_cast<uint8_t>(seed >> 24);
        }
        resample_source src;
        src.bits_per_pixel = c.bits;
        src.width = c.sw;
        for (int y = 0; y < c.sh; ++y)
            src.rows.push_back(pixels.data() + static_cast<size_t>(y) * c.sw * ch);
        const resample_taps xs = resample_make_taps(0, c.sw, c.dw, true, c.mirrored, c.sw);
        const resample_taps ys = resample_make_taps(0, c.sh, c.dh, true, false, c.sh);
        std::vector<uint32_t> out(static_cast<size_t>(c.dw) * c.dh, 0xFF000000u);
        resample_target t;
        t.pixels = out.data();
        t.stride = c.dw;
        t.dw = t.clip_right = c.dw;
        t.dh = t.clip_bottom = c.dh;
        resample_draw(src, xs, ys, t);

        int off = 0;
        for (int y = 0; y < c.dh; ++y)
            for (int x = 0; x < c.dw; ++x)
                for (int k = 0; k < 3; ++k) {
                    double mean = 0;
                    for (int ty = 0; ty < ys.per_output; ++ty)
                        for (int tx = 0; tx < xs.per_output; ++tx) {
                            const size_t iy = static_cast<size_t>(y) * ys.per_output + ty;
                            const size_t ix = static_cast<size_t>(x) * xs.per_output + tx;
                            const uint8_t v = src.rows[static_cast<size_t>(ys.index[iy])][xs.index[ix] * ch + k];
                            mean += v * (ys.weights[iy] / 16384.0) * (xs.weights[ix] / 16384.0);
                        }
                    const int got = (out[static_cast<size_t>(y) * c.dw + x] >> (8 * k)) & 0xFF;
                    off += std::abs(got - mean) > 1.0;
                }
        EXPECT_EQ(off, 0) << "values further than 1 from the mean";
        EXPECT_EQ(out.back() >> 24, 0u) << "the last pixel was not drawn";
    }
}

}  // namespace
