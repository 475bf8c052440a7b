// Capture formats: choosing a device's mode and turning its frames into BGR.
// Motion-JPEG goes through libjpeg-turbo's own API, several times faster
// than OpenCV's imdecode of the same frame; packed and planar YUV through
// OpenCV's vectorised converters.
#include "capture_formats.h"

#include <windows.h>

#include <linux/videodev2.h>
#include <turbojpeg.h>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// Where a Motion-JPEG frame can be cut into bands that decode side by side:
// a baseline frame with restart markers starts afresh after each marker
// (no prediction crosses it), so the rows of blocks that begin right after
// one form a JPEG of their own, given the frame's headers with the band's
// height and an end marker.
struct jpeg_cuts {
    size_t header_end = 0;  // the first byte of coded data
    size_t height_at = 0;   // the frame header's height field
    size_t data_end = 0;    // the end marker
    int mcu_height = 0;
    int mcu_rows = 0;
    int mcus_per_row = 0;
    int interval = 0;             // blocks (MCUs) per restart segment
    std::vector<size_t> markers;  // every restart marker, in order
};

// False where the frame cannot be cut (no restart markers, progressive,
// several scans, damaged): it is then decoded whole.
bool plan_cuts(const uint8_t* d, size_t n, int width, int height, jpeg_cuts& p)
{
    if (n < 4 || d[0] != 0xFF || d[1] != 0xD8)
        return false;
    size_t i = 2;
    int components = 0, hmax = 1, vmax = 1;
    for (;;) {
        if (i + 1 >= n || d[i] != 0xFF)
            return false;
        while (i + 1 < n && d[i + 1] == 0xFF)
            ++i;
        if (i + 1 >= n)
            return false;
        const uint8_t m = d[i + 1];
        i += 2;
        if (m == 0x01 || (m >= 0xD0 && m <= 0xD7))
            continue;
        if (i + 2 > n)
            return false;
        const size_t length = static_cast<size_t>(d[i]) << 8 | d[i + 1];
        if (length < 2 || i + length > n)
            return false;
        const uint8_t* body = d + i + 2;
        if (m == 0xC0 || m == 0xC1) {
            if (length < 8 || body[0] != 8)
                return false;
            components = body[5];
            if (components < 1 || length < 8 + 3 * static_cast<size_t>(components))
                return false;
            p.height_at = i + 3;
            for (int c = 0; c < components; ++c) {
                hmax = std::max(hmax, body[7 + 3 * c] >> 4);
                vmax = std::max(vmax, body[7 + 3 * c] & 15);
            }
        } else if (m >= 0xC2 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) {
            return false;  // progressive, lossless or arithmetic-coded
        } else if (m == 0xDD) {
            if (length < 4)
                return false;
            p.interval = body[0] << 8 | body[1];
        } else if (m == 0xDA) {
            // One scan holding every component.
            if (!components || body[0] != components)
                return false;
            p.header_end = i + length;
            break;
        } else if (m == 0xD9) {
            return false;
        }
        i += length;
    }
    if (p.interval <= 0)
        return false;
    const int mcu_width = components == 1 ? 8 : 8 * hmax;
    p.mcu_height = components == 1 ? 8 : 8 * vmax;
    p.mcus_per_row = (width + mcu_width - 1) / mcu_width;
    p.mcu_rows = (height + p.mcu_height - 1) / p.mcu_height;
    // The restart markers, which must come in order; stuffed 0xFF bytes
    // and fill bytes are passed over.
    for (size_t j = p.header_end;;) {
        const void* ff = std::memchr(d + j, 0xFF, n - j);
        if (!ff)
            return false;
        j = static_cast<size_t>(static_cast<const uint8_t*>(ff) - d);
        if (j + 1 >= n)
            return false;
        const uint8_t c = d[j + 1];
        if (c == 0x00) {
            j += 2;
        } else if (c == 0xFF) {
            j += 1;
        } else if (c >= 0xD0 && c <= 0xD7) {
            if (c != 0xD0 + p.markers.size() % 8)
                return false;
            p.markers.push_back(j);
            j += 2;
        } else if (c == 0xD9) {
            p.data_end = j;
            break;
        } else {
            return false;
        }
    }
    const long long blocks = static_cast<long long>(p.mcus_per_row) * p.mcu_rows;
    return static_cast<long long>(p.markers.size()) == (blocks + p.interval - 1) / p.interval - 1;
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
    // The size asked for, else the largest usable one below it, as a
    // driver answers a request for a size it does not have.
    long long area = 0;
    for (const capture_mode& m : offered)
        if (capture_format_supported(m.fourcc) && m.width <= width && m.height <= height)
            area = std::max(area, static_cast<long long>(m.width) * m.height);
    capture_mode best;
    for (const capture_mode& m : offered) {
        if (!capture_format_supported(m.fourcc) || m.width > width || m.height > height ||
            static_cast<long long>(m.width) * m.height != area)
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
    for (void* band : m_band_jpeg)
        if (band)
            tjDestroy(band);
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
    return decode_jpeg(f, bgr);
}

capture_converter::result capture_converter::decode_jpeg(const capture_raw_frame& f, cv::Mat& bgr)
{
    if (!m_jpeg || f.bytes == 0)
        return result::failed;
    tjhandle jpeg = static_cast<tjhandle>(m_jpeg);
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(jpeg, f.data, static_cast<unsigned long>(f.bytes), &width, &height, &subsampling,
                            &colorspace) != 0 ||
        width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide)
        return result::failed;
    bgr.create(height, width, CV_8UC3);
    if (decode_bands(f, width, height, bgr))
        return result::ok;
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

bool capture_converter::decode_bands(const capture_raw_frame& f, int width, int height, cv::Mat& bgr)
{
    const int threads = std::min(cv::getNumThreads(), 4);
    jpeg_cuts p;
    if (threads < 2 || height < 64 || !plan_cuts(f.data, f.bytes, width, height, p))
        return false;
    // Bands of about equal height, each starting at a row of blocks that
    // follows a restart marker.
    std::vector<int> cuts{0};
    for (int b = 1; b < threads; ++b) {
        int r = std::max(b * p.mcu_rows / threads, cuts.back() + 1);
        while (r < p.mcu_rows && (static_cast<long long>(r) * p.mcus_per_row) % p.interval != 0)
            ++r;
        if (r < p.mcu_rows)
            cuts.push_back(r);
    }
    cuts.push_back(p.mcu_rows);
    const size_t bands = cuts.size() - 1;
    if (bands < 2)
        return false;
    while (m_band_jpeg.size() < bands) {
        m_band_jpeg.push_back(tjInitDecompress());
        if (!m_band_jpeg.back()) {
            m_band_jpeg.pop_back();
            return false;
        }
    }
    m_bands.resize(bands);
    for (size_t b = 0; b < bands; ++b) {
        const long long s0 = static_cast<long long>(cuts[b]) * p.mcus_per_row / p.interval;
        const long long s1 = static_cast<long long>(cuts[b + 1]) * p.mcus_per_row / p.interval;
        const bool last = b + 1 == bands;
        const size_t start = s0 == 0 ? p.header_end : p.markers[static_cast<size_t>(s0 - 1)] + 2;
        const size_t end = last ? p.data_end : p.markers[static_cast<size_t>(s1 - 1)];
        std::vector<uint8_t>& band = m_bands[b];
        band.assign(f.data, f.data + p.header_end);
        band.insert(band.end(), f.data + start, f.data + end);
        band.push_back(0xFF);
        band.push_back(0xD9);
        const int rows = std::min(height - cuts[b] * p.mcu_height, (cuts[b + 1] - cuts[b]) * p.mcu_height);
        band[p.height_at] = static_cast<uint8_t>(rows >> 8);
        band[p.height_at + 1] = static_cast<uint8_t>(rows & 0xFF);
        // A scan's restart markers count from 0.
        for (long long k = s0; k < (last ? static_cast<long long>(p.markers.size()) : s1 - 1); ++k)
            band[p.markers[static_cast<size_t>(k)] - start + p.header_end + 1] = static_cast<uint8_t>(0xD0 + (k - s0) % 8);
    }
    std::atomic<bool> whole{true};
    const auto decode = [&](const cv::Range& range) {
        for (int b = range.start; b < range.end; ++b) {
            const size_t i = static_cast<size_t>(b);
            const int rows = std::min(height - cuts[i] * p.mcu_height, (cuts[i + 1] - cuts[i]) * p.mcu_height);
            if (tjDecompress2(static_cast<tjhandle>(m_band_jpeg[i]), m_bands[i].data(),
                              static_cast<unsigned long>(m_bands[i].size()), bgr.ptr(cuts[i] * p.mcu_height), width,
                              static_cast<int>(bgr.step), rows, TJPF_BGR, kJpegFlags) != 0)
                whole = false;
        }
    };
    // With OpenCV held to one thread, the bands are decoded one after
    // another on this one.
    cv::parallel_for_(cv::Range(0, static_cast<int>(bands)), decode, static_cast<double>(bands));
    return whole;
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
