// Test images, and reading back what was drawn into a window.
#pragma once

#include <windows.h>

#include "message_pump.h"

#include <opencv2/core/core_c.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <thread>

struct ReleaseImage {
    void operator()(IplImage* image) const { cvReleaseImage(&image); }
};
using Image = std::unique_ptr<IplImage, ReleaseImage>;

inline uchar* px(const IplImage* image, int x, int y)
{
    return reinterpret_cast<uchar*>(image->imageData) + y * image->widthStep + x * image->nChannels;
}

// One colour all over (the alpha of a fourth channel opaque).
inline Image solid(int width, int height, COLORREF c, int channels = 3)
{
    Image image(cvCreateImage(cvSize(width, height), IPL_DEPTH_8U, channels));
    cvSet(image.get(), cvScalar(GetBValue(c), GetGValue(c), GetRValue(c), 255), nullptr);
    return image;
}

// Neighbouring pixels and channels all differ, for checking where each went.
inline Image pattern(int width, int height, int channels)
{
    Image image(cvCreateImage(cvSize(width, height), IPL_DEPTH_8U, channels));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c)
                px(image.get(), x, y)[c] = static_cast<uchar>(x * 7 + y * (c + 3) + c * 50);
    return image;
}

inline bool operator==(const RECT& a, const RECT& b)
{
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

inline void PrintTo(const RECT& r, std::ostream* os)
{
    *os << "(" << r.left << ", " << r.top << ")-(" << r.right << ", " << r.bottom << ")";
}

inline void fill(HDC dc, const RECT& r, COLORREF c)
{
    HBRUSH brush = ::CreateSolidBrush(c);
    ::FillRect(dc, &r, brush);
    ::DeleteObject(brush);
}

// The smallest rectangle holding every pixel of area that is not ground;
// all zeros when there is none.
inline RECT painted_box(HDC dc, const RECT& area, COLORREF ground)
{
    RECT box = {INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN};
    for (int y = area.top; y < area.bottom; ++y)
        for (int x = area.left; x < area.right; ++x)
            if (::GetPixel(dc, x, y) != ground)
                box = {std::min<LONG>(box.left, x), std::min<LONG>(box.top, y), std::max<LONG>(box.right, x + 1),
                       std::max<LONG>(box.bottom, y + 1)};
    return box.left == INT32_MAX ? RECT{0, 0, 0, 0} : box;
}

// How many pixels of r are not c.
inline int pixels_differing(HDC dc, const RECT& r, COLORREF c)
{
    int wrong = 0;
    for (int y = r.top; y < r.bottom; ++y)
        for (int x = r.left; x < r.right; ++x)
            wrong += ::GetPixel(dc, x, y) != c;
    return wrong;
}

// How many pixels at (left, top) differ from image seen upright (its first
// row at the top for origin 0, at the bottom for origin 1; one channel as
// grey, else blue, green, red).
inline int copy_differences(HDC dc, int left, int top, const IplImage* image)
{
    int wrong = 0;
    for (int y = 0; y < image->height; ++y)
        for (int x = 0; x < image->width; ++x) {
            const uchar* p = px(image, x, image->origin == IPL_ORIGIN_BL ? image->height - 1 - y : y);
            const COLORREF want = image->nChannels == 1 ? RGB(p[0], p[0], p[0]) : RGB(p[2], p[1], p[0]);
            wrong += ::GetPixel(dc, left + x, top + y) != want;
        }
    return wrong;
}
