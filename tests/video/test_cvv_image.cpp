// The image wrapper: allocation and its refusals, the bitmap header, deep
// copies, files; and what its draws put into a real window: placement,
// colours, row order, and what they leave untouched.
//
// The drawing cases need an X display (tools/run-tests.sh).
#include "CvvImage.h"
#include "cv_compat.h"
#include "pixels.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

std::string bytes(const IplImage* image) { return std::string(image->imageData, static_cast<size_t>(image->imageSize)); }

union Header {
    BITMAPINFO info;
    unsigned char room[sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD)];
};

TEST(CvvImage, AllocatesBitmapRowsAndDescribesTheirOrder)
{
    CCvvImage wrapper;
    ASSERT_TRUE(wrapper.Allocate(1920, 1080, 24, 0));
    IplImage* image = wrapper.GetImage();
    EXPECT_EQ(image->nChannels, 3);
    EXPECT_EQ(image->depth, IPL_DEPTH_8U);
    EXPECT_EQ(image->widthStep, 5760);
    Header h;
    BuildDibHeader(&h.info, image->width, image->height, 24, image->origin);
    EXPECT_EQ(h.info.bmiHeader.biSize, 40u);
    EXPECT_EQ(h.info.bmiHeader.biWidth, 1920);
    EXPECT_EQ(h.info.bmiHeader.biHeight, -1080);
    EXPECT_EQ(h.info.bmiHeader.biPlanes, 1);
    EXPECT_EQ(h.info.bmiHeader.biBitCount, 24);
    EXPECT_EQ(h.info.bmiHeader.biCompression, static_cast<DWORD>(BI_RGB));

    // Same size and depth: the same image, now bottom-up.
    ASSERT_TRUE(wrapper.Allocate(1920, 1080, 24, 1));
    EXPECT_EQ(wrapper.GetImage(), image);
    EXPECT_EQ(image->origin, IPL_ORIGIN_BL);
    BuildDibHeader(&h.info, 1920, 1080, 24, 1);
    EXPECT_EQ(h.info.bmiHeader.biHeight, 1080);

    ASSERT_TRUE(wrapper.Allocate(3, 2, 8, 0));
    EXPECT_EQ(wrapper.GetImage()->nChannels, 1);
    EXPECT_EQ(wrapper.GetImage()->widthStep, 4);
    BuildDibHeader(&h.info, 3, 2, 8, 0);
    const RGBQUAD* table = h.info.bmiColors;  // 256 entries, past what BITMAPINFO declares
    for (int i = 0; i < 256; ++i) {
        const RGBQUAD& q = table[i];
        ASSERT_TRUE(q.rgbBlue == i && q.rgbGreen == i && q.rgbRed == i && q.rgbReserved == 0) << i;
    }
}

TEST(CvvImage, RefusedAllocationLeavesTheHeldImageAlone)
{
    CCvvImage wrapper;
    EXPECT_FALSE(wrapper.Allocate(4, 3, 16, 0));
    EXPECT_EQ(wrapper.GetImage(), nullptr);
    EXPECT_THROW(wrapper.FillWithColor(0), cv::Exception);

    ASSERT_TRUE(wrapper.Allocate(4, 3, 32, 0));
    wrapper.FillWithColor(0x44332211);  // low byte to the first channel
    EXPECT_EQ(std::string(wrapper.GetImage()->imageData, 4), "\x11\x22\x33\x44");
    IplImage* held = wrapper.GetImage();
    const std::string before = bytes(held);
    const int refused[][4] = {{4, 3, 16, 0},  {4, 3, 0, 0},    {10000, 3, 32, 0}, {4, 10000, 32, 0},
                              {-1, 3, 32, 0}, {4, 3, 32, 2}, {4, 3, 32, -1}};
    for (const auto& r : refused) {
        EXPECT_FALSE(wrapper.Allocate(r[0], r[1], r[2], r[3])) << r[0] << "x" << r[1] << " " << r[2] << " " << r[3];
        EXPECT_EQ(wrapper.GetImage(), held);
    }
    EXPECT_EQ(bytes(held), before);
    EXPECT_EQ(held->origin, IPL_ORIGIN_TL);
}

TEST(CvvImage, AssignFromCopiesDeeplyInTheChannelsTheModeAsks)
{
    const int cases[][3] = {{1, -1, 1}, {3, -1, 3}, {4, -1, 4}, {3, 0, 1}, {1, 1, 3}, {4, 1, 4}};
    for (const auto& c : cases) {
        Image source = pattern(10, 8, c[0]);
        source->origin = IPL_ORIGIN_BL;
        cvSetImageROI(source.get(), cvRect(3, 2, 5, 4));
        CCvvImage wrapper;
        wrapper.AssignFrom(source.get(), c[1]);
        ASSERT_NE(wrapper.GetImage(), nullptr);
        EXPECT_EQ(wrapper.GetImage()->nChannels, c[2]) << c[0] << " mode " << c[1];
        EXPECT_EQ(wrapper.GetImage()->width, 5);
        EXPECT_EQ(wrapper.GetImage()->height, 4);
        EXPECT_EQ(wrapper.GetImage()->origin, IPL_ORIGIN_BL);
        if (c[0] == c[2]) {
            EXPECT_EQ(px(wrapper.GetImage(), 0, 0)[0], px(source.get(), 3, 2)[0]);
        }
    }

    Image source = pattern(4, 4, 3);
    CCvvImage first, second;
    first.AssignFrom(source.get(), -1);
    second.AssignFrom(first, -1);
    px(source.get(), 0, 0)[0] ^= 0xff;
    EXPECT_NE(px(first.GetImage(), 0, 0)[0], px(source.get(), 0, 0)[0]);
    EXPECT_EQ(bytes(second.GetImage()), bytes(first.GetImage()));
    first.AssignFrom(first, 0);  // from itself into fewer channels
    EXPECT_EQ(first.GetImage()->nChannels, 1);
}

TEST(CvvImage, AssignFromIgnoresUnusableImages)
{
    CCvvImage wrapper;
    ASSERT_TRUE(wrapper.Allocate(3, 3, 24, 0));
    IplImage* held = wrapper.GetImage();

    wrapper.AssignFrom(static_cast<IplImage*>(nullptr), -1);
    Image source = solid(6, 6, RGB(1, 2, 3));
    for (int size : {0, 112, static_cast<int>(sizeof(IplImage)) + 4}) {
        source->nSize = size;
        wrapper.AssignFrom(source.get(), -1);
    }
    source->nSize = static_cast<int>(sizeof(IplImage));
    char* data = source->imageData;
    source->imageData = nullptr;
    wrapper.AssignFrom(source.get(), -1);
    source->imageData = data;
    wrapper.AssignFrom(solid(6, 6, 0, 2).get(), -1);  // 16 bits per pixel
    CCvvImage empty;
    wrapper.AssignFrom(empty, -1);
    EXPECT_EQ(wrapper.GetImage(), held);
    EXPECT_EQ(held->width, 3);
}

class CvvImageFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/vistamo-cvvimage-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir = name;
        CCvvImage picture;
        picture.AssignFrom(source.get(), -1);
        ASSERT_TRUE(picture.WriteToFile(file().c_str()));
    }
    void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }
    std::string file() const { return dir + "/picture.png"; }

    Image source = pattern(10, 8, 3);
    std::string dir;
};

TEST_F(CvvImageFiles, ReadsWholePicturesAndRegionsCutAtTheEdges)
{
    CCvvImage wrapper;
    ASSERT_TRUE(wrapper.ReadFromFile(file().c_str(), 0));
    EXPECT_EQ(wrapper.GetImage()->nChannels, 1);

    struct Case {
        CvRect region;
        int x, y, width, height;  // the part of the picture read
    };
    const Case cases[] = {{{2, 3, 4, 2}, 2, 3, 4, 2},
                          {{-3, -2, 5, 4}, 0, 0, 2, 2},
                          {{7, 6, 50, 50}, 7, 6, 3, 2},
                          {{4, 4, 0, 3}, 0, 0, 10, 8}};
    for (const Case& c : cases) {
        ASSERT_TRUE(wrapper.ReadRegionFromFile(file().c_str(), -1, c.region));
        EXPECT_EQ(wrapper.GetImage()->width, c.width);
        EXPECT_EQ(wrapper.GetImage()->height, c.height);
        EXPECT_EQ(px(wrapper.GetImage(), 0, 0)[1], px(source.get(), c.x, c.y)[1]);
    }
    ASSERT_TRUE(wrapper.ReadRegionFromFile(file().c_str(), -1, RECT{2, 3, 6, 5}));
    EXPECT_EQ(wrapper.GetImage()->width, 4);
    EXPECT_EQ(px(wrapper.GetImage(), 0, 0)[1], px(source.get(), 2, 3)[1]);
}

TEST_F(CvvImageFiles, RefusesWhatCannotBeReadOrWritten)
{
    CCvvImage wrapper;
    EXPECT_FALSE(wrapper.WriteToFile((dir + "/empty.png").c_str()));
    EXPECT_FALSE(wrapper.ReadFromFile((dir + "/missing.png").c_str(), -1));
    for (CvRect region : {cvRect(11, 0, 2, 2), cvRect(0, 9, 2, 2), cvRect(-5, 0, 4, 2), cvRect(0, -5, 2, 4),
                          cvRect(0, 0, -1, 2), cvRect(0, 0, 2, -1)})
        EXPECT_FALSE(wrapper.ReadRegionFromFile(file().c_str(), -1, region)) << region.x << "," << region.y;
    EXPECT_EQ(wrapper.GetImage(), nullptr);
}

// ---------------------------------------------------------------------------
// Drawing into a window

LRESULT CALLBACK plain_proc(HWND h, UINT m, WPARAM w, LPARAM l) { return ::DefWindowProcW(h, m, w, l); }

class CvvImageDraw : public ::testing::Test {
protected:
    static constexpr COLORREF kGround = RGB(10, 20, 30);
    static constexpr COLORREF kPaint = RGB(200, 100, 50);
    static constexpr RECT kWindow = {0, 0, 1000, 700};

    void SetUp() override
    {
        static const WORD cls = [] {
            WNDCLASSW wc{};
            wc.lpfnWndProc = plain_proc;
            wc.hInstance = ::GetModuleHandleW(nullptr);
            wc.lpszClassName = L"VistamoCvvImageTest";
            return ::RegisterClassW(&wc);
        }();
        ASSERT_NE(cls, 0);
        hwnd = ::CreateWindowExW(0, L"VistamoCvvImageTest", L"image wrapper", WS_POPUP, 0, 0, kWindow.right,
                                 kWindow.bottom, nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(hwnd, nullptr);
        ::ShowWindow(hwnd, SW_SHOW);
        ASSERT_TRUE(pump_until([&] { return ::IsWindowVisible(hwnd) != FALSE; }));
        dc = ::GetDC(hwnd);
        fill(dc, kWindow, kGround);
    }
    void TearDown() override
    {
        ::ReleaseDC(hwnd, dc);
        ::DestroyWindow(hwnd);
    }

    HWND hwnd = nullptr;
    HDC dc = nullptr;
};

enum Draw { Fitted, Centered, Stretched };

TEST_F(CvvImageDraw, PlacesImagesWhereTheGeometrySays)
{
    struct Case {
        int width, height;
        Draw draw;
        RECT rect, drawn;
        int mode;  // the stretch mode asked for, 0 when none is
    };
    const Case cases[] = {
        {1920, 1080, Fitted, {0, 0, 1000, 700}, {0, 69, 1000, 631}, HALFTONE},
        {100, 100, Fitted, {0, 0, 300, 200}, {50, 0, 250, 200}, HALFTONE},
        {100, 100, Centered, {0, 0, 300, 200}, {100, 50, 200, 150}, 0},
        {100, 100, Fitted, {10, 20, 310, 220}, {60, 20, 260, 220}, HALFTONE},
        {100, 100, Centered, {10, 20, 310, 220}, {110, 70, 210, 170}, 0},
        {100, 100, Fitted, {310, 220, 10, 20}, {60, 20, 260, 220}, HALFTONE},
        {100, 100, Centered, {10, 220, 310, 20}, {110, 70, 210, 170}, 0},
        {400, 100, Centered, {0, 0, 300, 200}, {0, 62, 300, 137}, HALFTONE},
        {400, 100, Fitted, {10, 20, 310, 220}, {10, 82, 310, 157}, HALFTONE},
        {100, 300, Centered, {0, 0, 300, 200}, {117, 0, 183, 200}, COLORONCOLOR},
        {1, 26, Fitted, {0, 0, 1, 26}, {0, 0, 1, 25}, HALFTONE},  // single precision truncates
        {100, 100, Stretched, {310, 220, 10, 20}, {10, 20, 310, 220}, COLORONCOLOR},
        {100, 100, Stretched, {0, 0, 50, 150}, {0, 0, 50, 150}, HALFTONE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << " draw " << c.draw << " into "
                                          << ::testing::PrintToString(c.rect));
        CCvvImage wrapper;
        wrapper.AssignFrom(solid(c.width, c.height, kPaint).get(), -1);
        fill(dc, kWindow, kGround);  // what the parts beside the image must keep
        ::SetStretchBltMode(dc, BLACKONWHITE);
        RECT rect = c.rect;
        (wrapper.*(c.draw == Fitted ? &CCvvImage::DrawFitted
                   : c.draw == Centered ? &CCvvImage::DrawCentered
                                        : &CCvvImage::DrawStretched))(dc, &rect);
        const RECT area = {0, 0, std::min(1000, c.drawn.right + 20), std::min(700, c.drawn.bottom + 20)};
        EXPECT_EQ(painted_box(dc, area, kGround), c.drawn);
        EXPECT_EQ(pixels_differing(dc, c.drawn, kPaint), 0);
        if (c.mode) {
            EXPECT_EQ(::GetStretchBltMode(dc), c.mode);
        }
    }
}

TEST_F(CvvImageDraw, ShowsEveryFormatPixelForPixelAndBottomUpImagesUpright)
{
    for (int channels : {3, 4, 1})
        for (int origin : {IPL_ORIGIN_TL, IPL_ORIGIN_BL}) {
            SCOPED_TRACE(::testing::Message() << channels << " channels, origin " << origin);
            Image source = pattern(37, 23, channels);  // odd width: padded rows
            source->origin = origin;
            CCvvImage wrapper;
            wrapper.AssignFrom(source.get(), -1);
            fill(dc, kWindow, kGround);
            RECT rect = {0, 0, 101, 101};
            wrapper.DrawCentered(dc, &rect);
            EXPECT_EQ(painted_box(dc, {0, 0, 200, 200}, kGround), (RECT{32, 39, 69, 62}));
            EXPECT_EQ(copy_differences(dc, 32, 39, source.get()), 0);
        }

    // Scaled too: red above blue, stored bottom row first.
    Image source = solid(40, 20, RGB(0, 0, 255));
    cvSetImageROI(source.get(), cvRect(0, 10, 40, 10));
    cvSet(source.get(), cvScalar(0, 0, 255), nullptr);
    cvResetImageROI(source.get());
    source->origin = IPL_ORIGIN_BL;
    CCvvImage wrapper;
    wrapper.AssignFrom(source.get(), -1);
    RECT rect = {200, 0, 600, 200};
    wrapper.DrawFitted(dc, &rect);
    EXPECT_EQ(::GetPixel(dc, 400, 10), RGB(255, 0, 0));
    EXPECT_EQ(::GetPixel(dc, 400, 190), RGB(0, 0, 255));
}

TEST_F(CvvImageDraw, DrawsNothingWithoutAnImageOrARectangle)
{
    RECT rect = {0, 0, 300, 200};
    CCvvImage empty, pixelless, square;
    ASSERT_TRUE(pixelless.Allocate(0, 0, 24, 0));
    square.AssignFrom(solid(100, 100, kPaint).get(), -1);
    for (CCvvImage* w : {&empty, &pixelless}) {
        w->DrawFitted(dc, &rect);
        w->DrawCentered(dc, &rect);
        w->DrawStretched(dc, &rect);
        w->BlitToDC(dc, 0, 0, 300, 200, 0, 0);
    }
    square.DrawFitted(dc, nullptr);
    square.DrawCentered(dc, nullptr);
    square.DrawStretched(dc, nullptr);
    EXPECT_EQ(painted_box(dc, {0, 0, 400, 300}, kGround), (RECT{0, 0, 0, 0}));
}

}  // namespace
