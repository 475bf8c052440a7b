// Capture formats (layer-internal): which of a device's modes the capture
// source takes, and turning a frame in the device's own format into the
// BGR picture the program reads. Real and virtual devices share both, so
// the conversion a real stick costs is the one the benchmarks measure.
#pragma once

#include <opencv2/core.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One mode a device offers: a pixel format (V4L2 fourcc) at a size and a
// frame interval of interval_num / interval_den seconds (0 / 0 where the
// device names no rate).
struct capture_mode {
    uint32_t fourcc = 0;
    int width = 0;
    int height = 0;
    uint32_t interval_num = 0;
    uint32_t interval_den = 0;
    double fps() const { return interval_num ? static_cast<double>(interval_den) / interval_num : 0.0; }
};

// Whether frames of this format can be turned into BGR here.
bool capture_format_supported(uint32_t fourcc);
// Motion-JPEG: each frame compressed on its own.
bool capture_format_compressed(uint32_t fourcc);

// The mode to take for width x height among those offered: at that size,
// or where it is not offered at the largest usable size below it (as a
// driver answers the request: a stick without 1080p gives its 720p), the
// highest frame rate; at the same rate (within 0.5 %) an uncompressed
// format over Motion-JPEG, being cheaper to turn into BGR and free of
// compression artefacts; then the device's own order. Formats that cannot
// be turned into BGR are passed over. fourcc 0 when nothing usable is
// offered at or below that size. Pure.
capture_mode capture_choose_mode(const std::vector<capture_mode>& offered, int width, int height);

// "1920x1080 MJPG at 60 fps", for traces.
std::string capture_mode_text(const capture_mode& mode);

// A frame as the device delivered it. stride: bytes per line of a packed
// format, or of the luma plane of NV12 / YU12 (their chroma planes follow
// the luma plane directly, at that stride and half of it). Motion-JPEG
// carries its own size; width and height are then what was asked for.
struct capture_raw_frame {
    uint32_t fourcc = 0;
    int width = 0;
    int height = 0;
    size_t stride = 0;
    const uint8_t* data = nullptr;
    size_t bytes = 0;
};

// Turns raw frames into BGR pictures and decides which of them a read hands
// on. One per opened device, used by its reader only (under the source's
// `reading` lock); owns the JPEG decoder.
//
// A damaged Motion-JPEG frame (a stick sends truncated or corrupt ones
// while the signal changes) is skipped: the read goes on to the next
// frame. Skipped frames are traced at most once a second. A frame that
// decoded with errors is handed on only when nothing better has come for
// a second, so a stream that is all damaged still shows what it can.
class capture_converter {
public:
    capture_converter();
    ~capture_converter();
    capture_converter(const capture_converter&) = delete;
    capture_converter& operator=(const capture_converter&) = delete;

    enum class result {
        ok,       // bgr holds the whole picture
        damaged,  // bgr holds what could be decoded of it
        failed,   // nothing usable: bgr is left empty
    };
    // Converts one frame into bgr (created at the frame's size: a buffer
    // of that size already there is written over).
    result to_bgr(const capture_raw_frame& frame, cv::Mat& bgr);

    // Converts a frame and applies the skipping above: true when the
    // caller should hand bgr on, false to skip the frame.
    bool take(const capture_raw_frame& frame, cv::Mat& bgr);
    // The device reported the frame broken before any decoding (a V4L2
    // buffer flagged as an error): counted and traced like a damaged one.
    void skip_broken();

private:
    result decode_jpeg(const capture_raw_frame& f, cv::Mat& bgr);
    bool decode_bands(const capture_raw_frame& f, int width, int height, cv::Mat& bgr);
    void note_skipped(const char* why);

    void* m_jpeg = nullptr;  // tjhandle
    std::vector<void*> m_band_jpeg;              // a decoder per band decoded side by side
    std::vector<std::vector<uint8_t>> m_bands;   // each band as a JPEG of its own
    using clock_type = std::chrono::steady_clock;
    clock_type::time_point m_last_good;   // last frame handed on whole (or the start)
    clock_type::time_point m_last_trace;  // last trace of skipped frames
    long long m_skipped = 0;              // skipped since the last trace
    cv::Mat m_partial;                    // latest damaged picture, kept for a stream of nothing else
};
