// Capture formats: the mode the source takes among a device's modes, the
// conversion of each format to BGR against OpenCV's own, and damaged
// Motion-JPEG frames, which are skipped without ending the reads.
#include "../../platform/video/capture_formats.h"
#include "../../platform/video/video_internal.h"
#include "../../platform/virtual/mjpeg_encode.h"

#include <videovirtual.h>

#include <gtest/gtest.h>

#include <linux/videodev2.h>
#include <turbojpeg.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <chrono>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kMjpg = V4L2_PIX_FMT_MJPEG, kYuyv = V4L2_PIX_FMT_YUYV, kNv12 = V4L2_PIX_FMT_NV12,
                   kH264 = V4L2_PIX_FMT_H264;

capture_mode mode(uint32_t fourcc, int width, int height, uint32_t fps)
{
    return capture_mode{fourcc, width, height, 1, fps};
}

TEST(CaptureModes, FastestRateThenUncompressed)
{
    struct {
        const char* what;
        std::vector<capture_mode> offered;
        uint32_t fourcc;
        double fps;
        int width = 1920;
    } cases[] = {
        {"MJPEG only", {mode(kMjpg, 1280, 720, 60), mode(kMjpg, 1920, 1080, 30), mode(kMjpg, 1920, 1080, 60)}, kMjpg, 60},
        {"YUYV only", {mode(kYuyv, 1920, 1080, 30), mode(kYuyv, 1920, 1080, 60)}, kYuyv, 60},
        {"both at 60", {mode(kMjpg, 1920, 1080, 60), mode(kYuyv, 1920, 1080, 60), mode(kNv12, 1920, 1080, 60)}, kYuyv, 60},
        {"YUYV at 5, MJPEG at 60",
         {mode(kYuyv, 1920, 1080, 5), mode(kYuyv, 640, 480, 60), mode(kMjpg, 1920, 1080, 60)}, kMjpg, 60},
        {"59.94 counts as 60", {mode(kMjpg, 1920, 1080, 60), capture_mode{kNv12, 1920, 1080, 1001, 60000}}, kNv12, 59.94},
        {"unusable format passed over", {mode(kH264, 1920, 1080, 60), mode(kMjpg, 1920, 1080, 30)}, kMjpg, 30},
        // Without 1080p: the largest size below it, chosen the same way.
        {"no 1080p", {mode(kMjpg, 1280, 720, 30), mode(kMjpg, 1280, 720, 60), mode(kYuyv, 1280, 720, 10),
                      mode(kYuyv, 640, 480, 60)}, kMjpg, 60, 1280},
        {"no 1080p, only larger and smaller", {mode(kMjpg, 3840, 2160, 30), mode(kYuyv, 640, 480, 30)}, kYuyv, 30, 640},
        {"no 1080p, the largest below unusable", {mode(kH264, 1280, 720, 60), mode(kYuyv, 800, 600, 20)}, kYuyv, 20, 800},
        {"nothing at or below 1080p", {mode(kMjpg, 3840, 2160, 60)}, 0, 0, 0},
    };
    for (const auto& c : cases) {
        const capture_mode chosen = capture_choose_mode(c.offered, 1920, 1080);
        EXPECT_EQ(chosen.fourcc, c.fourcc) << c.what;
        EXPECT_NEAR(chosen.fps(), c.fps, 0.01) << c.what;
        EXPECT_EQ(chosen.width, c.fourcc ? c.width : 0) << c.what;
    }
    EXPECT_EQ(capture_mode_text(mode(kMjpg, 1920, 1080, 60)), "1920x1080 MJPG at 60 fps");
}

// A picture like video: smooth colour areas with a little noise.
cv::Mat random_picture(int width, int height, int seed)
{
    cv::RNG rng(static_cast<uint64>(seed));
    cv::Mat coarse(std::max(1, height / 32), std::max(1, width / 32), CV_8UC3), picture, noise(height, width, CV_8UC3);
    rng.fill(coarse, cv::RNG::UNIFORM, 0, 256);
    cv::resize(coarse, picture, cv::Size(width, height), 0, 0, cv::INTER_CUBIC);
    rng.fill(noise, cv::RNG::UNIFORM, 0, 8);
    return picture + noise;
}

std::vector<uint8_t> encode(const cv::Mat& bgr, int subsampling)
{
    tjhandle encoder = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    EXPECT_EQ(tjCompress2(encoder, bgr.data, bgr.cols, static_cast<int>(bgr.step), bgr.rows, TJPF_BGR, &jpeg, &size,
                          subsampling, 90, 0),
              0);
    std::vector<uint8_t> out(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(encoder);
    return out;
}

// Mean and largest difference of two pictures of the same size.
void compare(const cv::Mat& got, const cv::Mat& want, double mean_limit, double max_limit, const std::string& what)
{
    ASSERT_EQ(got.size(), want.size()) << what;
    ASSERT_EQ(got.type(), CV_8UC3) << what;
    cv::Mat diff;
    cv::absdiff(got, want, diff);
    double largest = 0;
    cv::minMaxLoc(diff.reshape(1), nullptr, &largest);
    EXPECT_LE(cv::mean(diff.reshape(1))[0], mean_limit) << what;
    EXPECT_LE(largest, max_limit) << what;
}

TEST(CaptureConvert, MatchesOpenCvOnRandomPicturesOfAnySize)
{
    capture_converter converter;
    const cv::Size sizes[] = {{1, 1}, {17, 9}, {2, 2}, {18, 10}, {1920, 1080}};
    int seed = 1;
    for (const cv::Size size : sizes) {
        const std::string at = std::to_string(size.width) + "x" + std::to_string(size.height);
        const cv::Mat picture = random_picture(size.width, size.height, seed++);

        // Motion-JPEG as sticks encode it (4:2:2, restart markers after
        // every row of blocks: decoded in bands side by side) and without
        // markers (4:2:2, 4:2:0); the fast DCT and upsampling differ a
        // little from imdecode's.
        for (int subsampling : {-1, static_cast<int>(TJSAMP_422), static_cast<int>(TJSAMP_420)}) {
            const std::vector<uint8_t> jpeg =
                subsampling < 0 ? capture_encode_mjpeg(picture) : encode(picture, subsampling);
            const capture_raw_frame raw{kMjpg, size.width, size.height, 0, jpeg.data(), jpeg.size()};
            cv::Mat bgr;
            ASSERT_EQ(converter.to_bgr(raw, bgr), capture_converter::result::ok) << at;
            compare(bgr, cv::imdecode(jpeg, cv::IMREAD_COLOR), 2.5, 40, "MJPEG " + at);
        }

        // YUYV: pairs of pixels, lines padded as drivers may pad them. An
        // odd width's last pair is whole in the buffer.
        const int even_w = (size.width + 1) / 2 * 2, even_h = (size.height + 1) / 2 * 2;
        cv::Mat yuyv(size.height, even_w * 2 + 8, CV_8UC1);
        cv::randu(yuyv, 0, 256);
        const capture_raw_frame packed{kYuyv, size.width, size.height, yuyv.step, yuyv.data, yuyv.total()};
        cv::Mat bgr, want;
        ASSERT_EQ(converter.to_bgr(packed, bgr), capture_converter::result::ok) << at;
        cv::cvtColor(cv::Mat(size.height, even_w, CV_8UC2, yuyv.data, yuyv.step), want, cv::COLOR_YUV2BGR_YUYV);
        compare(bgr, want.colRange(0, size.width), 0, 0, "YUYV " + at);

        // NV12: the luma plane, then U and V interleaved at half size. An
        // odd side repeats the last luma row or column.
        const size_t stride = static_cast<size_t>(even_w) + 4;
        std::vector<uint8_t> nv12(stride * static_cast<size_t>(size.height + even_h / 2));
        cv::randu(cv::Mat(1, static_cast<int>(nv12.size()), CV_8UC1, nv12.data()), 0, 256);
        const capture_raw_frame planar{kNv12, size.width, size.height, stride, nv12.data(), nv12.size()};
        ASSERT_EQ(converter.to_bgr(planar, bgr), capture_converter::result::ok) << at;
        cv::Mat luma;
        cv::copyMakeBorder(cv::Mat(size.height, size.width, CV_8UC1, nv12.data(), stride), luma, 0,
                           even_h - size.height, 0, even_w - size.width, cv::BORDER_REPLICATE);
        cv::cvtColorTwoPlane(luma,
                             cv::Mat(even_h / 2, even_w / 2, CV_8UC2, nv12.data() + stride * size.height, stride),
                             want, cv::COLOR_YUV2BGR_NV12);
        compare(bgr, want(cv::Rect(0, 0, size.width, size.height)), 0, 0, "NV12 " + at);
    }
}

TEST(CaptureConvert, DamagedOrShortFramesAreNotWhole)
{
    cv::setNumThreads(4);  // bands decode side by side even on a small machine
    const std::vector<uint8_t> jpeg = encode(random_picture(320, 180, 7), TJSAMP_422);
    const std::vector<uint8_t> restarts = capture_encode_mjpeg(random_picture(320, 180, 8));
    std::vector<uint8_t> restart_skipped = restarts;
    for (size_t i = restarts.size() / 2; i + 1 < restarts.size(); ++i)
        if (restart_skipped[i] == 0xFF && restart_skipped[i + 1] >= 0xD0 && restart_skipped[i + 1] <= 0xD7) {
            restart_skipped[i + 1] = static_cast<uint8_t>(0xD0 + (restart_skipped[i + 1] - 0xD0 + 3) % 8);
            break;
        }
    // One restart segment in the middle loses half its data: the frame can
    // still be cut into bands, and the band that holds it is damaged.
    std::vector<uint8_t> segment_cut = restarts;
    {
        std::vector<size_t> markers;
        for (size_t i = 0; i + 1 < restarts.size(); ++i)
            if (restarts[i] == 0xFF && restarts[i + 1] >= 0xD0 && restarts[i + 1] <= 0xD7)
                markers.push_back(i);
        ASSERT_GE(markers.size(), 12u);
        size_t from = markers[10] + 2 + (markers[11] - markers[10]) / 4;
        size_t to = markers[10] + 2 + (markers[11] - markers[10]) * 3 / 4;
        while (restarts[from - 1] == 0xFF)
            ++from;
        while (restarts[to - 1] == 0xFF)
            ++to;
        segment_cut.erase(segment_cut.begin() + static_cast<std::ptrdiff_t>(from),
                          segment_cut.begin() + static_cast<std::ptrdiff_t>(to));
    }
    std::vector<uint8_t> marker_inside = jpeg;
    for (size_t i = jpeg.size() / 2; i < jpeg.size() / 2 + 32; i += 2) {
        marker_inside[i] = 0xFF;
        marker_inside[i + 1] = 0xD3;
    }
    std::vector<uint8_t> bad_header = jpeg;
    bad_header[2] = 0x00;  // the first marker after SOI is gone
    std::vector<uint8_t> yuyv(320 * 2 * 100);
    struct {
        const char* what;
        uint32_t fourcc;
        std::vector<uint8_t> data;
        capture_converter::result expected;
    } cases[] = {
        {"cut off half way", kMjpg, std::vector<uint8_t>(jpeg.begin(), jpeg.begin() + jpeg.size() / 2),
         capture_converter::result::damaged},
        {"a marker inside the data", kMjpg, marker_inside, capture_converter::result::damaged},
        {"with restart markers, cut off", kMjpg,
         std::vector<uint8_t>(restarts.begin(), restarts.begin() + restarts.size() * 2 / 3),
         capture_converter::result::damaged},
        {"a restart marker out of turn", kMjpg, restart_skipped, capture_converter::result::damaged},
        {"a restart segment cut short", kMjpg, segment_cut, capture_converter::result::damaged},
        {"header broken", kMjpg, bad_header, capture_converter::result::failed},
        {"just the start", kMjpg, std::vector<uint8_t>(jpeg.begin(), jpeg.begin() + 40), capture_converter::result::failed},
        {"nothing", kMjpg, {}, capture_converter::result::failed},
        {"not JPEG", kMjpg, yuyv, capture_converter::result::failed},
        {"YUYV short of lines", kYuyv, yuyv, capture_converter::result::failed},
    };
    capture_converter converter;
    for (const auto& c : cases) {
        const capture_raw_frame raw{c.fourcc, 320, 180, c.fourcc == kYuyv ? 640u : 0u, c.data.data(), c.data.size()};
        cv::Mat bgr;
        EXPECT_EQ(converter.to_bgr(raw, bgr), c.expected) << c.what;
        EXPECT_EQ(bgr.empty(), c.expected == capture_converter::result::failed) << c.what;
    }
}

// A stick that sends Motion-JPEG or YUYV is read as BGR pictures of its
// size that look like the ones a BGR stick sends, and its frames' arrival
// is measured.
// One picture of a BGR stick of that size, the others' reference.
cv::Mat bgr_stick_picture(const video_input_virtual_device& stick)
{
    const int id = video_input_add_virtual(stick);
    video_input_capture capture;
    cv::Mat picture;
    EXPECT_TRUE(capture.open(static_cast<int>(v4l2_device_names().size())));
    EXPECT_TRUE(capture.read(picture));
    capture.release();
    video_input_remove_virtual(id);
    return picture;
}

// A stick's frames come from outside: whatever bytes it sends, conversion
// stays inside the frame and the picture (the sanitizers check), and ends
// in one of its three results. Mutations of a Motion-JPEG frame with
// restart markers (which is cut into bands and patched), and packed and
// planar frames shorter than their size says. Fixed seed, bounded.
TEST(CaptureConvert, HostileFramesStayInBounds)
{
    cv::setNumThreads(4);  // bands decode side by side even on a small machine
    const std::vector<uint8_t> restarts = capture_encode_mjpeg(random_picture(640, 360, 11));
    ASSERT_FALSE(restarts.empty());
    capture_converter converter;
    cv::RNG rng(20261208);
    cv::Mat bgr;
    int seen[3] = {};
    for (int round = 0; round < 400; ++round) {
        std::vector<uint8_t> bytes = restarts;
        // One or two edits: more leave little that decodes at all.
        const int edits = 1 + rng.uniform(0, 2);
        for (int e = 0; e < edits; ++e) {
            const size_t at = static_cast<size_t>(rng.uniform(0, static_cast<int>(bytes.size())));
            switch (rng.uniform(0, 5)) {
            case 0:  // any byte
                bytes[at] = static_cast<uint8_t>(rng.uniform(0, 256));
                break;
            case 1:  // a marker: a restart out of turn, a start or an end of image
                bytes[at] = 0xFF;
                if (at + 1 < bytes.size())
                    bytes[at + 1] = static_cast<uint8_t>(0xD0 + rng.uniform(0, 10));
                break;
            case 2:  // cut short
                bytes.resize(std::max<size_t>(at, 2));
                break;
            case 3:  // a new restart interval in the middle
                bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), {0xFF, 0xDD, 0x00, 0x04, 0x00, 0x01});
                break;
            default:  // the headers
                if (at < 200)
                    bytes[at] ^= 0x80;
                break;
            }
        }
        capture_raw_frame f{kMjpg, 640, 360, 0, bytes.data(), bytes.size()};
        const auto r = converter.to_bgr(f, bgr);
        ++seen[static_cast<int>(r)];
        if (r != capture_converter::result::failed) {
            EXPECT_EQ(bgr.type(), CV_8UC3);
            EXPECT_FALSE(bgr.empty());
        }
    }
    // Most mutations must leave a picture, or the bands were never cut.
    EXPECT_GT(seen[0] + seen[1], 200) << "ok " << seen[0] << ", damaged " << seen[1] << ", failed " << seen[2];
    // Packed and planar frames that claim more than they hold.
    std::vector<uint8_t> short_frame(640 * 2 * 100);
    for (uint32_t fourcc : {kYuyv, kNv12, static_cast<uint32_t>(V4L2_PIX_FMT_BGR24)})
        for (size_t stride : {size_t{0}, size_t{1}, size_t{640 * 2}, size_t{640 * 3}}) {
            capture_raw_frame f{fourcc, 640, 360, stride, short_frame.data(), short_frame.size()};
            EXPECT_EQ(converter.to_bgr(f, bgr), capture_converter::result::failed) << fourcc << " " << stride;
        }
}

TEST(CaptureFormats, VirtualStickFramesArriveAsBgr)
{
    video_input_virtual_device bgr_stick;
    bgr_stick.width = 320;
    bgr_stick.height = 180;
    const cv::Mat want = bgr_stick_picture(bgr_stick);
    ASSERT_FALSE(want.empty());
    video_input_capture capture;
    for (auto format : {video_input_virtual_format::mjpeg, video_input_virtual_format::yuyv}) {
        video_input_virtual_device stick = bgr_stick;
        stick.format = format;
        const int id = video_input_add_virtual(stick);
        ASSERT_TRUE(capture.open(static_cast<int>(v4l2_device_names().size())));
        cv::Mat frame;
        for (int i = 0; i < 4; ++i) {
            ASSERT_TRUE(capture.read(frame));
            ASSERT_EQ(frame.size(), cv::Size(320, 180));
            ASSERT_EQ(frame.type(), CV_8UC3);
        }
        // The moving square aside (the middle rows), the same picture; its
        // colour edges blur where the chroma is subsampled.
        const cv::Rect top(0, 0, 320, 40);
        compare(frame(top), want(top), 8, 255, format == video_input_virtual_format::mjpeg ? "mjpeg" : "yuyv");
        capture.release();
        const auto stats = video_input_get_virtual_stats(id);
        EXPECT_EQ(stats.arrival_ms.size(), 3u);
        for (double ms : stats.arrival_ms)
            EXPECT_GE(ms, 0.0);
        video_input_remove_virtual(id);
    }
}

// Damaged frames are skipped: every read still returns a whole picture,
// and the reads go on. A stream of nothing but damaged frames still shows
// what can be decoded of them, once nothing better has come for a second.
TEST(CaptureFormats, DamagedMjpegFramesAreSkippedAndReadsGoOn)
{
    struct {
        video_input_virtual_damage damage;
        int every;
    } cases[] = {{video_input_virtual_damage::truncated, 2},
                 {video_input_virtual_damage::corrupt, 3},
                 {video_input_virtual_damage::truncated, 1}};
    video_input_virtual_device stick;
    stick.width = 160;
    stick.height = 90;
    stick.fps = 100;
    const cv::Mat want = bgr_stick_picture(stick);
    ASSERT_FALSE(want.empty());
    for (const auto& c : cases) {
        stick.format = video_input_virtual_format::mjpeg;
        stick.damaged_every = c.every;
        stick.damage = c.damage;
        const int id = video_input_add_virtual(stick);
        video_input_capture capture;
        ASSERT_TRUE(capture.open(static_cast<int>(v4l2_device_names().size())));
        cv::Mat frame;
        // Past the second after which a damaged frame would do, had no
        // whole one come meanwhile.
        const auto opened = std::chrono::steady_clock::now();
        int reads = 0;
        while (reads < (c.every == 1 ? 2 : 12) || (c.every > 1 && std::chrono::steady_clock::now() - opened < 1500ms)) {
            ASSERT_TRUE(capture.read(frame)) << "read " << reads;
            ASSERT_EQ(frame.size(), cv::Size(160, 90));
            ++reads;
            // The bottom rows are whole: a cut-off frame has lost them.
            if (c.every > 1)
                compare(frame.rowRange(60, 90), want.rowRange(60, 90), 12, 255, "bottom rows, read " + std::to_string(reads));
            if (::testing::Test::HasFailure())
                break;
        }
        const auto stats = video_input_get_virtual_stats(id);
        EXPECT_GE(stats.produced - stats.delivered, c.every == 1 ? 50 : reads / c.every - 1);
        capture.release();
        video_input_remove_virtual(id);
    }
}

}  // namespace
