// Capture formats: choosing a device's mode and turning its frames into BGR.
// Motion-JPEG goes through libjpeg-turbo's own API, several times faster
// than OpenCV's imdecode of the same frame; packed and planar YUV through
// OpenCV's vectorised converters.
#include "capture_formats.h"

#include <windows.h>

#include <linux/videodev2.h>
#include <turbojpeg.h>

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdio>

namespace {

// Fast integer DCT and plain chroma upsampling: the picture differs from
// the exact decode by a few levels at sharp colour edges, which the
// scaling to the window blurs away, and decoding costs about a tenth less.
constexpr int kJpegFlags = TJFLAG_FASTDCT | TJFLAG_FASTUPSAMPLE;

// Beyond any capture device, and keeps width * height * 3 far from overflow.
constexpr int kMaxSide = 16384;

bool fits(const capture_raw_frame& f, size_t min_stride, size_t lines)
{
    return f.data && f.stride >= min_stride && lines > 0 && f.bytes >= f.stride * (lines - 1) + min_stride;
}

// YUV 4:2:2 packed (two pixels in four bytes). An odd width still has its
// last pair in the buffer: converted whole, then cut to size.
capture_converter::result packed_422(const capture_raw_frame& f, int code, cv::Mat& bgr)
{
    const int pairs = (f.width + 1) / 2;
    if (!fits(f, static_cast<size_t>(pairs) * 4, static_cast<size_t>(f.height)))
        return capture_converter::result::failed;
    const cv::Mat in(f.height, pairs * 2, CV_8UC2, const_cast<uint8_t*>(f.data), f.stride);
    if (f.width % 2 == 0) {
        cv::cvtColor(in, bgr, code);
    } else {
        cv::Mat whole;
        cv::cvtColor(in, whole, code);
        bgr = whole.colRange(0, f.width);
    }
    return capture_converter::result::ok;
}

// NV12: the luma plane, then the interleaved U, V plane at half the
// height. Odd sides are padded by repeating the last row or column.
capture_converter::result nv12(const capture_raw_frame& f, cv::Mat& bgr)
{
    const int cw = (f.width + 1) / 2, ch = (f.height + 1) / 2;
    const size_t luma = f.stride * static_cast<size_t>(f.height);
    if (f.stride < static_cast<size_t>(cw) * 2 || f.bytes < luma ||
        !fits(capture_raw_frame{f.fourcc, f.width, ch, f.stride, f.data + luma, f.bytes - luma},
              static_cast<size_t>(cw) * 2, static_cast<size_t>(ch)))
        return capture_converter::result::failed;
    cv::Mat y(f.height, f.width, CV_8UC1, const_cast<uint8_t*>(f.data), f.stride);
    const cv::Mat uv(ch, cw, CV_8UC2, const_cast<uint8_t*>(f.data) + luma, f.stride);
    if (f.width % 2 == 0 && f.height % 2 == 0) {
        cv::cvtColorTwoPlane(y, uv, bgr, cv::COLOR_YUV2BGR_NV12);
        return capture_converter::result::ok;
    }
    cv::Mat padded, whole;
    cv::copyMakeBorder(y, padded, 0, ch * 2 - f.height, 0, cw * 2 - f.width, cv::BORDER_REPLICATE);
    cv::cvtColorTwoPlane(padded, uv, whole, cv::COLOR_YUV2BGR_NV12);
    bgr = whole(cv::Rect(0, 0, f.width, f.height));
    return capture_converter::result::ok;
}

capture_converter::result packed_rgb(const capture_raw_frame& f, bool swap, cv::Mat& bgr)
{
    if (!fits(f, static_cast<size_t>(f.width) * 3, static_cast<size_t>(f.height)))
        return capture_converter::result::failed;
    const cv::Mat in(f.height, f.width, CV_8UC3, const_cast<uint8_t*>(f.data), f.stride);
    if (swap)
        cv::cvtColor(in, bgr, cv::COLOR_RGB2BGR);
    else
        in.copyTo(bgr);
    return capture_converter::result::ok;
}

}  // namespace

bool capture_format_supported(uint32_t fourcc)
{
    switch (fourcc) {
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG:
    case V4L2_PIX_FMT_YUYV:
    case V4L2_PIX_FMT_UYVY:
    case V4L2_PIX_FMT_NV12:
    case V4L2_PIX_FMT_BGR24:
    case V4L2_PIX_FMT_RGB24: return true;
    default: return false;
    }
}

bool capture_format_compressed(uint32_t fourcc) { return fourcc == V4L2_PIX_FMT_MJPEG || fourcc == V4L2_PIX_FMT_JPEG; }

capture_mode capture_choose_mode(const std::vector<capture_mode>& offered, int width, int height)
{
    capture_mode best;
    for (const capture_mode& m : offered) {
        if (!capture_format_supported(m.fourcc) || m.width != width || m.height != height)
            continue;
        if (best.fourcc == 0) {
            best = m;
            continue;
        }
        const double a = m.fps(), b = best.fps();
        const bool same_rate = std::fabs(a - b) <= 0.005 * std::max(a, b);
        if (same_rate ? capture_format_compressed(best.fourcc) && !capture_format_compressed(m.fourcc) : a > b)
            best = m;
    }
    return best;
}

std::string capture_mode_text(const capture_mode& mode)
{
    char text[96];
    const char cc[5] = {static_cast<char>(mode.fourcc & 0xFF), static_cast<char>((mode.fourcc >> 8) & 0xFF),
                        static_cast<char>((mode.fourcc >> 16) & 0xFF), static_cast<char>((mode.fourcc >> 24) & 0xFF), 0};
    if (mode.interval_num)
        std::snprintf(text, sizeof text, "%dx%d %s at %.4g fps", mode.width, mode.height, cc, mode.fps());
    else
        std::snprintf(text, sizeof text, "%dx%d %s at the device's rate", mode.width, mode.height, cc);
    return text;
}

capture_converter::capture_converter()
    : m_jpeg(tjInitDecompress()),
      m_last_good(clock_type::now()),
      m_last_trace(clock_type::now() - std::chrono::hours(1))
{
    if (!m_jpeg)
        OutputDebugStringA("capture: the JPEG decoder could not be set up; Motion-JPEG frames are skipped\n");
}

capture_converter::~capture_converter()
{
    if (m_jpeg)
        tjDestroy(m_jpeg);
}

capture_converter::result capture_converter::to_bgr(const capture_raw_frame& f, cv::Mat& bgr)
{
    if (!f.data || f.width <= 0 || f.height <= 0 || f.width > kMaxSide || f.height > kMaxSide)
        return result::failed;
    switch (f.fourcc) {
    case V4L2_PIX_FMT_YUYV: return packed_422(f, cv::COLOR_YUV2BGR_YUYV, bgr);
    case V4L2_PIX_FMT_UYVY: return packed_422(f, cv::COLOR_YUV2BGR_UYVY, bgr);
    case V4L2_PIX_FMT_NV12: return nv12(f, bgr);
    case V4L2_PIX_FMT_BGR24: return packed_rgb(f, false, bgr);
    case V4L2_PIX_FMT_RGB24: return packed_rgb(f, true, bgr);
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG: break;
    default: return result::failed;
    }
    if (!m_jpeg || f.bytes == 0)
        return result::failed;
    tjhandle jpeg = static_cast<tjhandle>(m_jpeg);
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(jpeg, f.data, static_cast<unsigned long>(f.bytes), &width, &height, &subsampling,
                            &colorspace) != 0 ||
        width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide)
        return result::failed;
    bgr.create(height, width, CV_8UC3);
    if (tjDecompress2(jpeg, f.data, static_cast<unsigned long>(f.bytes), bgr.data, width, static_cast<int>(bgr.step),
                      height, TJPF_BGR, kJpegFlags) == 0)
        return result::ok;
    // Warnings (data cut short, a marker out of place) leave a whole
    // picture, part of it grey or smeared; errors leave none.
    if (tjGetErrorCode(jpeg) == TJERR_WARNING)
        return result::damaged;
    bgr.release();
    return result::failed;
}

bool capture_converter::take(const capture_raw_frame& frame, cv::Mat& bgr)
{
    const result r = to_bgr(frame, bgr);
    const auto now = clock_type::now();
    if (r == result::ok) {
        m_last_good = now;
        m_partial.release();
        return true;
    }
    if (r == result::damaged) {
        // Kept apart: the next frame is decoded into a buffer of its own.
        m_partial = bgr;
        bgr.release();
    }
    if (!m_partial.empty() && now - m_last_good >= std::chrono::seconds(1)) {
        // Nothing whole for a second: the damaged picture is all there is.
        bgr = m_partial;
        m_partial.release();
        return true;
    }
    note_skipped(r == result::damaged ? "damaged" : "unreadable");
    return false;
}

void capture_converter::skip_broken() { note_skipped("broken"); }

void capture_converter::note_skipped(const char* why)
{
    ++m_skipped;
    const auto now = clock_type::now();
    if (now - m_last_trace < std::chrono::seconds(1))
        return;
    char text[96];
    std::snprintf(text, sizeof text, "capture: skipped %lld frame(s) (the last %s)\n", m_skipped, why);
    OutputDebugStringA(text);
    m_skipped = 0;
    m_last_trace = now;
}
