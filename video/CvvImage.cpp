#include "CvvImage.h"

#include "cv_compat.h"

#include <opencv2/core.hpp>
#include <opencv2/highgui/highgui_c.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>

namespace {

// Room for a bitmap header with the full 256-entry colour table, as
// BuildDibHeader expects; built on the stack for every draw.
union DibHeader {
    BITMAPINFO info;
    unsigned char room[sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD)];
};

struct IplImageRelease {
    void operator()(IplImage* image) const { cvReleaseImage(&image); }
};
// An image this file loaded or cloned, freed on every way out, exceptions
// from OpenCV included.
using OwnedImage = std::unique_ptr<IplImage, IplImageRelease>;

int clamp_to_int(long long v) { return static_cast<int>(std::clamp<long long>(v, INT_MIN, INT_MAX)); }

// Truncation toward zero without the undefined behaviour of converting a
// value outside int's range.
int truncate_to_int(float v)
{
    if (std::isnan(v))
        return 0;
    if (v >= 2147483648.0f)
        return INT_MAX;
    if (v <= -2147483648.0f)
        return INT_MIN;
    return static_cast<int>(v);
}

int bits_per_pixel(const IplImage* image) { return 8 * image->nChannels; }

// What the three rectangle draws share: the source region and the
// destination with its corners put in order.
struct DrawArea {
    CvRect source;
    int left;
    int top;
    int width;
    int height;
};

bool prepare_draw(const IplImage* image, const RECT* rect, DrawArea& area)
{
    if (!rect || !image || image->depth != IPL_DEPTH_8U || !image->imageData)
        return false;
    area.source = cvGetImageROI(image);
    // An image without pixels has no aspect ratio to keep and nothing to show.
    if (area.source.width <= 0 || area.source.height <= 0)
        return false;
    area.left = std::min(rect->left, rect->right);
    area.top = std::min(rect->top, rect->bottom);
    area.width = clamp_to_int(static_cast<long long>(std::max(rect->left, rect->right)) - area.left);
    area.height = clamp_to_int(static_cast<long long>(std::max(rect->top, rect->bottom)) - area.top);
    return true;
}

// Stretches the source region to the largest size that keeps its aspect
// ratio inside the destination, centred on the axis with room to spare.
// The comparison and the scaled side are computed in single precision on
// purpose: the drawn size is part of what callers see, to the pixel,
// including the sizes at which it truncates one short (a 1 x 26 image into
// 1 x 26 draws 1 x 25). Double precision would move those.
void stretch_fitted(HDC dc, const IplImage* image, const DrawArea& area)
{
    DibHeader header;
    BuildDibHeader(&header.info, image->width, image->height, bits_per_pixel(image), image->origin);

    const float dw = static_cast<float>(area.width);
    const float dh = static_cast<float>(area.height);
    const float sw = static_cast<float>(area.source.width);
    const float sh = static_cast<float>(area.source.height);
    const float scaleX = dw / sw;
    const float scaleY = dh / sh;
    const float aspect = sw / sh;

    int x = area.left;
    int y = area.top;
    int width = area.width;
    int height = area.height;
    if (scaleX > scaleY) {
        const float scaled = dh * aspect;
        width = truncate_to_int(scaled);
        x = clamp_to_int(area.left + (static_cast<long long>(area.width) - width) / 2);
    } else {
        const float scaled = dw / aspect;
        height = truncate_to_int(scaled);
        y = clamp_to_int(area.top + (static_cast<long long>(area.height) - height) / 2);
    }
    ::StretchDIBits(dc, x, y, width, height, area.source.x, area.source.y, area.source.width, area.source.height,
                    image->imageData, &header.info, DIB_RGB_COLORS, SRCCOPY);
}

}  // namespace

void BuildDibHeader(BITMAPINFO* info, int width, int height, int bitsPerPixel, int origin)
{
    if (!info)
        return;
    BITMAPINFOHEADER& h = info->bmiHeader;
    h.biSize = sizeof(BITMAPINFOHEADER);
    h.biWidth = width;
    // GDI reads a positive height as rows stored bottom-up.
    h.biHeight = origin ? std::abs(height) : -height;
    h.biPlanes = 1;
    h.biBitCount = static_cast<WORD>(bitsPerPixel);
    h.biCompression = BI_RGB;
    h.biSizeImage = 0;
    h.biXPelsPerMeter = 0;
    h.biYPelsPerMeter = 0;
    h.biClrUsed = 0;
    h.biClrImportant = 0;

    if (bitsPerPixel == 8) {
        // Through a pointer: the table runs past the one entry BITMAPINFO declares.
        RGBQUAD* palette = info->bmiColors;
        for (int i = 0; i < 256; ++i) {
            const BYTE v = static_cast<BYTE>(i);
            palette[i].rgbBlue = v;
            palette[i].rgbGreen = v;
            palette[i].rgbRed = v;
            palette[i].rgbReserved = 0;
        }
    }
}

CCvvImage::CCvvImage() : m_pImage(nullptr) {}

CCvvImage::~CCvvImage() { cvReleaseImage(&m_pImage); }

bool CCvvImage::Allocate(int width, int height, int bitsPerPixel, int origin)
{
    if ((bitsPerPixel != 8 && bitsPerPixel != 24 && bitsPerPixel != 32) || static_cast<unsigned>(width) >= 10000u ||
        static_cast<unsigned>(height) >= 10000u || (origin != 0 && origin != 1))
        return false;

    const bool reusable = m_pImage && bits_per_pixel(m_pImage) == bitsPerPixel && m_pImage->width == width &&
                          m_pImage->height == height;
    if (!reusable) {
        cvReleaseImage(&m_pImage);
        m_pImage = cvCreateImage(cvSize(width, height), IPL_DEPTH_8U, bitsPerPixel / 8);
    }
    if (m_pImage)
        m_pImage->origin = origin ? IPL_ORIGIN_BL : IPL_ORIGIN_TL;
    return m_pImage != nullptr;
}

bool CCvvImage::ReadFromFile(const char* path, int colorMode)
{
    OwnedImage loaded(cvLoadImage(path, colorMode));
    if (!loaded)
        return false;
    AssignFrom(loaded.get(), colorMode);
    return true;
}

bool CCvvImage::ReadRegionFromFile(const char* path, int colorMode, RECT region)
{
    // Out-of-range differences wrap rather than overflow; such a region is
    // refused by the CvRect form anyway.
    const int width = static_cast<int>(static_cast<long long>(region.right) - region.left);
    const int height = static_cast<int>(static_cast<long long>(region.bottom) - region.top);
    return ReadRegionFromFile(path, colorMode, cvRect(region.left, region.top, width, height));
}

bool CCvvImage::ReadRegionFromFile(const char* path, int colorMode, CvRect region)
{
    if (region.width < 0 || region.height < 0)
        return false;
    OwnedImage loaded(cvLoadImage(path, colorMode));
    if (!loaded)
        return false;

    const int imageWidth = loaded->width;
    const int imageHeight = loaded->height;
    if (region.width == 0 || region.height == 0)
        region = cvRect(0, 0, imageWidth, imageHeight);
    const long long right = static_cast<long long>(region.x) + region.width;
    const long long bottom = static_cast<long long>(region.y) + region.height;
    if (region.x > imageWidth || region.y > imageHeight || right < 0 || bottom < 0)
        return false;

    // Cut at the picture's edges; the far edges stay where they were.
    region.x = std::max(region.x, 0);
    region.y = std::max(region.y, 0);
    region.width = static_cast<int>(std::min<long long>(right, imageWidth) - region.x);
    region.height = static_cast<int>(std::min<long long>(bottom, imageHeight) - region.y);

    cvSetImageROI(loaded.get(), region);
    AssignFrom(loaded.get(), colorMode);
    return true;
}

bool CCvvImage::WriteToFile(const char* path)
{
    if (!m_pImage)
        return false;
    cvSaveImage(path, m_pImage, nullptr);
    return true;
}

void CCvvImage::AssignFrom(IplImage* image, int colorMode)
{
    // A header of another size than this build's IplImage has a layout we
    // cannot read.
    if (!image || image->nSize != static_cast<int>(sizeof(IplImage)) || !image->imageData)
        return;

    // Copying from the held image into a different channel count would free
    // the source before reading it: copy from a clone instead.
    OwnedImage clone;
    if (image == m_pImage) {
        clone.reset(cvCloneImage(image));
        image = clone.get();
    }

    const bool colour = colorMode < 0 ? image->nChannels > 1 : colorMode != 0;
    const int channels = colour ? (image->nChannels > 1 ? image->nChannels : 3) : 1;
    const CvSize size = cvGetSize(image);
    if (Allocate(size.width, size.height, channels * 8, image->origin))
        cvConvertImage(image, m_pImage, 0);
}

void CCvvImage::AssignFrom(CCvvImage& other, int colorMode)
{
    if (other.m_pImage)
        AssignFrom(other.m_pImage, colorMode);
}

void CCvvImage::ReleaseImage() { cvReleaseImage(&m_pImage); }

void CCvvImage::FillWithColor(int color)
{
    // OpenCV 4 quietly does nothing when cvSet gets no image; filling an
    // empty wrapper is a caller's error and is reported as one.
    if (!m_pImage)
        CV_Error(cv::Error::StsNullPtr, "CCvvImage::FillWithColor: no image held");
    cvSet(m_pImage, cvScalar(color & 0xFF, (color >> 8) & 0xFF, (color >> 16) & 0xFF, (color >> 24) & 0xFF), nullptr);
}

void CCvvImage::BlitToDC(HDC dc, int x, int y, int width, int height, int fromX, int fromY)
{
    if (!m_pImage || m_pImage->depth != IPL_DEPTH_8U)
        return;
    const int imageWidth = m_pImage->width;
    const int imageHeight = m_pImage->height;
    // Without pixels the clamping below would start before the first one.
    if (imageWidth <= 0 || imageHeight <= 0 || !m_pImage->imageData)
        return;

    DibHeader header;
    BuildDibHeader(&header.info, imageWidth, imageHeight, bits_per_pixel(m_pImage), m_pImage->origin);

    fromX = std::min(std::max(fromX, 0), imageWidth - 1);
    fromY = std::min(std::max(fromY, 0), imageHeight - 1);
    const int copiedWidth = std::max(0, std::min(imageWidth - fromX, width));
    const int copiedHeight = std::max(0, std::min(imageHeight - fromY, height));

    ::SetDIBitsToDevice(dc, x, y, static_cast<DWORD>(copiedWidth), static_cast<DWORD>(copiedHeight), fromX, fromY,
                        static_cast<UINT>(fromY), static_cast<UINT>(copiedHeight),
                        m_pImage->imageData + static_cast<ptrdiff_t>(fromY) * m_pImage->widthStep, &header.info,
                        DIB_RGB_COLORS);
}

void CCvvImage::ShowInWindow(const char* windowName)
{
    if (m_pImage)
        cvShowImage(windowName, m_pImage);
}

void CCvvImage::DrawFitted(HDC dc, RECT* rect)
{
    DrawArea area;
    if (!prepare_draw(m_pImage, rect, area))
        return;
    ::SetStretchBltMode(dc, HALFTONE);
    stretch_fitted(dc, m_pImage, area);
}

void CCvvImage::DrawCentered(HDC dc, RECT* rect)
{
    DrawArea area;
    if (!prepare_draw(m_pImage, rect, area))
        return;
    if (area.source.height <= area.height && area.source.width <= area.width) {
        BlitToDC(dc, area.left + (area.width - area.source.width) / 2, area.top + (area.height - area.source.height) / 2,
                 area.width, area.height, area.source.x, area.source.y);
        return;
    }
    ::SetStretchBltMode(dc, area.source.width > area.width ? HALFTONE : COLORONCOLOR);
    stretch_fitted(dc, m_pImage, area);
}

void CCvvImage::DrawStretched(HDC dc, RECT* rect)
{
    DrawArea area;
    if (!prepare_draw(m_pImage, rect, area))
        return;
    if (area.source.width == area.width && area.source.height == area.height) {
        BlitToDC(dc, area.left, area.top, area.width, area.height, area.source.x, area.source.y);
        return;
    }
    ::SetStretchBltMode(dc, area.source.width > area.width ? HALFTONE : COLORONCOLOR);
    DibHeader header;
    BuildDibHeader(&header.info, m_pImage->width, m_pImage->height, bits_per_pixel(m_pImage), m_pImage->origin);
    ::StretchDIBits(dc, area.left, area.top, area.width, area.height, area.source.x, area.source.y, area.source.width,
                    area.source.height, m_pImage->imageData, &header.info, DIB_RGB_COLORS, SRCCOPY);
}
