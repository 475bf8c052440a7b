// StretchDIBits and SetDIBitsToDevice with random headers and rectangles,
// drawn into a small window. Every header that describes pixels comes with
// a buffer of exactly the size it describes (for SetDIBitsToDevice, of the
// band of scan lines the call names), so AddressSanitizer sees any read
// outside it; UndefinedBehaviorSanitizer sees any overflow on the way.
// The seed is fixed and printed; VISTAMO_FUZZ_SEED replays another.
//
// Needs an X display (tools/run-tests.sh).
#include <windows.h>
#include <gtest/gtest.h>

#include "message_pump.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <random>
#include <vector>

// A single allocation of this size would be a bitmap's extents taken at
// their word, not a buffer any caller has: stop there rather than page.
extern "C" const char* __asan_default_options() { return "max_allocation_size_mb=256"; }

namespace {

constexpr int kCases = 100000;
constexpr size_t kBufferCap = 64 * 1024;  // the largest pixel buffer a case gets
constexpr int kWidth = 64, kHeight = 48;

LRESULT CALLBACK plain_proc(HWND h, UINT m, WPARAM w, LPARAM l) { return DefWindowProcW(h, m, w, l); }

class cases {
public:
    explicit cases(uint32_t seed) : m_random(seed) {}

    uint32_t bits() { return static_cast<uint32_t>(m_random()); }
    int below(int n) { return static_cast<int>(bits() % static_cast<uint32_t>(n)); }
    int between(int lo, int hi) { return lo + below(hi - lo + 1); }

    // Mostly near the bitmap and the window, sometimes at or near the ends
    // of int, sometimes anything.
    int coordinate()
    {
        static const int edges[] = {INT_MIN, INT_MIN + 1, -(1 << 30), -65536, -1, 0, 1, 65536, 1 << 30, INT_MAX - 1,
                                    INT_MAX};
        switch (below(8)) {
        case 0: return edges[below(static_cast<int>(std::size(edges)))];
        case 1: return static_cast<int>(bits());
        case 2: return between(-5000, 5000);
        default: return between(-80, 120);
        }
    }
    // Mostly inside or around a small bitmap.
    int source()
    {
        return below(4) == 0 ? coordinate() : between(-10, 40);
    }
    int extent()
    {
        const int v = coordinate();
        return below(4) == 0 ? v : between(-100, 100);
    }

private:
    std::mt19937 m_random;
};

// A header and a buffer the size it describes.
struct bitmap {
    std::vector<uint8_t> info;
    std::vector<uint8_t> pixels;
    BITMAPINFOHEADER& header() { return *reinterpret_cast<BITMAPINFOHEADER*>(info.data()); }
    const BITMAPINFO* bmi() const { return reinterpret_cast<const BITMAPINFO*>(info.data()); }
};

// Bytes per row and rows, as GDI lays out a BI_RGB bitmap of 8, 24 or 32
// bits per pixel; false when the header describes no such layout.
bool layout(const BITMAPINFOHEADER& h, uint64_t& stride, uint64_t& rows)
{
    if (h.biWidth <= 0 || h.biHeight == 0 || h.biHeight == INT32_MIN)
        return false;
    if (h.biBitCount != 8 && h.biBitCount != 24 && h.biBitCount != 32)
        return false;
    stride = (static_cast<uint64_t>(h.biWidth) * h.biBitCount + 31) / 32 * 4;
    rows = static_cast<uint64_t>(std::llabs(h.biHeight));
    return true;
}

// Any bytes will do, as long as they are quick to make.
void scribble(cases& c, uint8_t* at, size_t size)
{
    uint64_t v = c.bits() | 1;
    for (size_t i = 0; i < size; ++i) {
        v ^= v << 13;
        v ^= v >> 7;
        v ^= v << 17;
        at[i] = static_cast<uint8_t>(v);
    }
}

void fill(cases& c, std::vector<uint8_t>& pixels, size_t size)
{
    pixels.resize(size);
    scribble(c, pixels.data(), size);
}

bitmap random_header(cases& c)
{
    bitmap b;
    // The colour table follows however long the header says it is.
    const DWORD size = c.below(10) == 0 ? static_cast<DWORD>(c.below(257)) : c.below(3) == 0 ? 124 : 40;
    b.info.assign(std::max<size_t>(size, sizeof(BITMAPINFOHEADER)) + 256 * sizeof(RGBQUAD), 0);
    scribble(c, b.info.data() + sizeof(BITMAPINFOHEADER), b.info.size() - sizeof(BITMAPINFOHEADER));
    BITMAPINFOHEADER& h = b.header();
    h.biSize = size;
    h.biWidth = c.below(6) == 0 ? c.coordinate() : c.between(1, 40);
    h.biHeight = c.below(6) == 0 ? c.coordinate() : c.between(-40, 40);
    static const WORD depths[] = {8, 24, 32};
    h.biBitCount = c.below(8) == 0 ? static_cast<WORD>(c.bits()) : depths[c.below(3)];
    h.biPlanes = c.below(20) == 0 ? static_cast<WORD>(c.bits()) : 1;
    h.biCompression = c.below(20) == 0 ? c.bits() : BI_RGB;
    h.biClrUsed = c.below(4) == 0 ? c.bits() : static_cast<DWORD>(c.below(300));
    h.biSizeImage = c.below(4) == 0 ? c.bits() : 0;
    return b;
}

class DibFuzz : public ::testing::Test {
protected:
    void SetUp() override
    {
        WNDCLASSW wc{};
        wc.lpfnWndProc = plain_proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"VistamoDibFuzz";
        ASSERT_NE(RegisterClassW(&wc), 0);
        hwnd = CreateWindowExW(0, L"VistamoDibFuzz", L"dib fuzz", WS_POPUP, 0, 0, kWidth, kHeight, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(hwnd, nullptr);
        ShowWindow(hwnd, SW_SHOW);
        ASSERT_TRUE(pump_until([&] { return IsWindowVisible(hwnd) != FALSE; }));
        dc = GetDC(hwnd);
        ASSERT_NE(dc, nullptr);
    }
    void TearDown() override
    {
        if (dc)
            ReleaseDC(hwnd, dc);
        if (hwnd)
            DestroyWindow(hwnd);
    }

    HWND hwnd = nullptr;
    HDC dc = nullptr;
};

TEST_F(DibFuzz, RandomHeadersAndRectanglesNeitherCrashNorReadOutsideTheBuffer)
{
    uint32_t seed = 20240607;
    if (const char* given = std::getenv("VISTAMO_FUZZ_SEED"))
        seed = static_cast<uint32_t>(std::strtoul(given, nullptr, 0));
    std::printf("seed %u (VISTAMO_FUZZ_SEED=%u replays it)\n", seed, seed);
    std::fflush(stdout);
    cases c(seed);

    int stretched = 0, blitted = 0, refused = 0;
    for (int i = 0; i < kCases; ++i) {
        bitmap b = random_header(c);
        const BITMAPINFOHEADER h = b.header();
        uint64_t stride = 0, rows = 0;
        const bool described = layout(h, stride, rows);
        SCOPED_TRACE(testing::Message() << "case " << i << ": " << h.biWidth << " x " << h.biHeight << ", "
                                        << h.biBitCount << " bits");
        if (c.below(2) == 0) {
            // The whole bitmap is read from: only headers whose pixels fit.
            if (described && stride * rows > kBufferCap)
                continue;
            fill(c, b.pixels, described ? static_cast<size_t>(stride * rows) : 16);
            SetStretchBltMode(dc, c.between(BLACKONWHITE, HALFTONE));
            const int x = c.coordinate(), y = c.coordinate(), w = c.extent(), hh = c.extent();
            const int sx = c.source(), sy = c.source(), sw = c.extent(), sh = c.extent();
            SCOPED_TRACE(testing::Message() << "StretchDIBits " << x << ", " << y << ", " << w << " x " << hh
                                            << " from " << sx << ", " << sy << ", " << sw << " x " << sh);
            const int lines = StretchDIBits(dc, x, y, w, hh, sx, sy, sw, sh, b.pixels.data(), b.bmi(), DIB_RGB_COLORS,
                                            SRCCOPY);
            ASSERT_GE(lines, 0);
            ASSERT_LE(static_cast<uint64_t>(lines), described ? rows : 0);
            ++(lines > 0 ? stretched : refused);
        } else {
            // Only the band of scan lines the call names is read from: the
            // buffer holds that band, cut to what the cap allows.
            UINT start = c.below(4) == 0 ? c.bits() : static_cast<UINT>(c.below(50));
            UINT count = c.below(4) == 0 ? c.bits() : static_cast<UINT>(c.below(50));
            size_t size = 16;
            if (described) {
                if (stride > kBufferCap)
                    continue;
                const uint64_t present = start < rows ? std::min<uint64_t>(count, rows - start) : 0;
                const uint64_t fits = std::min<uint64_t>(present, kBufferCap / stride);
                if (fits < present)
                    count = static_cast<UINT>(fits);
                size = std::max<size_t>(static_cast<size_t>(fits * stride), 1);
            }
            fill(c, b.pixels, size);
            const int x = c.coordinate(), y = c.coordinate(), sx = c.source(), sy = c.source();
            const DWORD w = static_cast<DWORD>(c.extent()), hh = static_cast<DWORD>(c.extent());
            SCOPED_TRACE(testing::Message() << "SetDIBitsToDevice " << x << ", " << y << ", " << w << " x " << hh
                                            << " from " << sx << ", " << sy << ", scans " << start << " + " << count);
            const int lines =
                SetDIBitsToDevice(dc, x, y, w, hh, sx, sy, start, count, b.pixels.data(), b.bmi(), DIB_RGB_COLORS);
            ASSERT_GE(lines, 0);
            ASSERT_LE(static_cast<uint64_t>(lines), described ? std::min<uint64_t>(count, rows) : 0);
            ++(lines > 0 ? blitted : refused);
        }
    }
    std::printf("%d stretched, %d blitted, %d refused or empty\n", stretched, blitted, refused);
    // The cases reach the drawing, not just the checks in front of it.
    EXPECT_GT(stretched, kCases / 20);
    EXPECT_GT(blitted, kCases / 20);
}

}  // namespace
