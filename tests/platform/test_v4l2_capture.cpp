// The capture source's V4L2 code against emulated uvcvideo sticks: the
// device list, the mode taken for 1080p on sticks of each kind, frames that
// the stick flags or cuts short, a stick another program streams from, and
// a stick pulled out or losing its source under a read.
#include "../devices/fake_v4l2_tree.h"
#include "fake_uvc.h"
#include "trace_capture.h"

#include <gtest/gtest.h>

#include <linux/videodev2.h>

#include <chrono>
#include <future>
#include <thread>

namespace {

// A read still blocked after this long never ends by itself.
constexpr auto kHang = std::chrono::seconds(15);
constexpr uint32_t kMjpg = V4L2_PIX_FMT_MJPEG, kYuyv = V4L2_PIX_FMT_YUYV;

// A stick plugged into a fake device tree of its own.
struct stick {
    fake_v4l2_tree tree;
    int n;
    explicit stick(const fake_uvc_device& device)
        : n(fake_uvc_plug((tree.root + "/class").c_str(), (tree.root + "/dev").c_str(), &device))
    {
    }
    ~stick() { fake_uvc_forget(n); }
    stick(const stick&) = delete;
    stick& operator=(const stick&) = delete;
    std::string node() const { return v4l2_node_path(n); }
    fake_uvc_stats stats() const { return fake_uvc_stats_of(n); }
};

fake_uvc_device with_faults(const fake_uvc_device* base, unsigned error_every, unsigned truncate_every)
{
    fake_uvc_device device = *base;
    device.error_every = error_every;
    device.truncate_every = truncate_every;
    return device;
}

// A frame as the stick draws it: the top left dark, and the green band
// along the bottom whole (a frame cut short or damaged loses it).
testing::AssertionResult whole_frame(const cv::Mat& frame, int width, int height)
{
    if (frame.cols != width || frame.rows != height || frame.type() != CV_8UC3)
        return testing::AssertionFailure() << "a " << frame.cols << "x" << frame.rows << " frame of type "
                                           << frame.type();
    const cv::Vec3b corner = frame.at<cv::Vec3b>(2, 2);
    if (corner[0] > 60 || corner[1] > 60 || corner[2] > 60)
        return testing::AssertionFailure() << "the top left is " << corner;
    for (int x : {2, width / 2, width - 3}) {
        const cv::Vec3b band = frame.at<cv::Vec3b>(height - 3, x);
        if (band[1] < 150 || band[0] > 80 || band[2] > 80)
            return testing::AssertionFailure() << "the bottom band at x " << x << " is " << band;
    }
    return testing::AssertionSuccess();
}

void open_at(video_input_capture& capture, const stick& s, int width, int height)
{
    ASSERT_TRUE(capture.open(s.n));
    capture.set(cv::CAP_PROP_FRAME_WIDTH, width);
    capture.set(cv::CAP_PROP_FRAME_HEIGHT, height);
}

// Once released and its last read over, the device is closed and unmapped.
void expect_let_go(const stick& s)
{
    const fake_uvc_stats stats = s.stats();
    EXPECT_EQ(stats.open_fds, 0);
    EXPECT_EQ(stats.mappings, 0);
    EXPECT_FALSE(stats.streaming);
}

// Each kind of stick is listed, with its metadata node as a place without
// a name, and streams the mode the source takes for the size asked; buffers
// the stick flags as erroneous, or Motion-JPEG frames that end part-way,
// are passed over, so that every frame read is whole.
TEST(V4l2Capture, SticksStreamTheBestModeAndOnlyWholeFrames)
{
    const struct {
        const char* what;
        fake_uvc_device device;
        int asked_width, asked_height;
        uint32_t fourcc;
        int width, height;
    } cases[] = {
        {"cheap USB 2 (YUYV 1080p at 5 only)", *fake_uvc_cheap_usb2(), 1920, 1080, kMjpg, 1920, 1080},
        {"USB 3 (raw wins at the same rate)", *fake_uvc_usb3(), 1920, 1080, kYuyv, 1920, 1080},
        {"no 1080p (720p at 60, not its default 30)", *fake_uvc_no_1080p(), 1920, 1080, kMjpg, 1280, 720},
        {"MJPEG, every 2nd buffer flagged", with_faults(fake_uvc_cheap_usb2(), 2, 0), 640, 480, kMjpg, 640, 480},
        {"MJPEG, every 2nd frame cut short", with_faults(fake_uvc_cheap_usb2(), 0, 2), 640, 480, kMjpg, 640, 480},
        {"MJPEG, every 3rd flagged and every 2nd cut short", with_faults(fake_uvc_cheap_usb2(), 3, 2), 640, 480,
         kMjpg, 640, 480},
        {"YUYV, every 2nd buffer flagged", with_faults(fake_uvc_usb3(), 2, 0), 640, 480, kYuyv, 640, 480},
    };
    constexpr int kReads = 6;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        stick s(c.device);
        ASSERT_EQ(s.n, 0);
        EXPECT_EQ(video_input_device_names(), (std::vector<std::wstring>{L"USB3.0 HDMI Capture", L""}));
        {
            video_input_capture capture;
            open_at(capture, s, c.asked_width, c.asked_height);
            cv::Mat frames[kReads];
            for (cv::Mat& frame : frames) {
                ASSERT_TRUE(capture.read(frame));
                EXPECT_TRUE(whole_frame(frame, c.width, c.height));
            }
            // The picture moves (two frames read one after the other may
            // be a whole cycle of the pattern apart, but not every two).
            int moved = 0;
            for (int i = 1; i < kReads; ++i)
                moved += cv::norm(frames[i - 1], frames[i], cv::NORM_L1) > 0;
            EXPECT_GT(moved, 0);
            const fake_uvc_stats stats = s.stats();
            EXPECT_EQ(stats.fourcc, c.fourcc);
            EXPECT_EQ(stats.width, static_cast<uint32_t>(c.width));
            EXPECT_EQ(stats.height, static_cast<uint32_t>(c.height));
            EXPECT_EQ(stats.interval_num, 1u);
            EXPECT_EQ(stats.interval_den, 60u);
            EXPECT_TRUE(stats.streaming);
            EXPECT_EQ(stats.streamons, 1u);
            EXPECT_EQ(stats.mappings, 4);
            // Half the buffers at least were bad: nearly twice as many done as read.
            if (c.device.error_every || c.device.truncate_every) {
                EXPECT_GE(stats.delivered, static_cast<uint64_t>(2 * kReads - 1));
            }
            EXPECT_EQ(capture.get(cv::CAP_PROP_FPS), 60.0);
            EXPECT_EQ(capture.get(cv::CAP_PROP_FOURCC), static_cast<double>(c.fourcc));
        }
        expect_let_go(s);
    }
}

// A stick that another program streams from: it is listed (uvcvideo lets
// any number of programs open it), but it does not open for us, which
// says why once, so that the viewer shows no signal.
TEST(V4l2Capture, StickBusyInAnotherProgramDoesNotOpen)
{
    fake_uvc_device busy = *fake_uvc_cheap_usb2();
    busy.busy = true;
    stick s(busy);
    ASSERT_GE(s.n, 0);
    trace_capture traces;
    EXPECT_EQ(video_input_device_names().at(static_cast<size_t>(s.n)), L"USB3.0 HDMI Capture");
    {
        video_input_capture capture;
        EXPECT_FALSE(capture.open(s.n));
        EXPECT_FALSE(capture.isOpened());
        cv::Mat frame;
        EXPECT_FALSE(capture.read(frame));
    }
    EXPECT_EQ(traces.texts(), std::vector<std::string>{"capture: " + s.node() + " is in use by another program\n"});
    EXPECT_EQ(s.stats().streamons, 0u);
    expect_let_go(s);
}

// A read waiting for a frame while the source is off gets one once it is
// back; pulled out, under a waiting read or a running stream, the read
// ends without a frame and the stick leaves the list.
TEST(V4l2Capture, SourceOffAndUnplugUnderARead)
{
    enum class then { signal_back, unplug };
    const struct {
        const char* what;
        bool source_off;
        then next;
        bool read;
    } cases[] = {
        {"source off, then back", true, then::signal_back, true},
        {"source off, then unplugged", true, then::unplug, false},
        {"unplugged while streaming", false, then::unplug, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        stick s(*fake_uvc_cheap_usb2());
        ASSERT_GE(s.n, 0);
        trace_capture traces;
        {
            video_input_capture capture;
            open_at(capture, s, 640, 480);
            cv::Mat first;
            ASSERT_TRUE(capture.read(first));
            if (c.source_off) {
                fake_uvc_set_signal(s.n, false);
                // Frames made before the source went off are still there
                // to be read (many, on a busy machine).
                while (s.stats().dequeued < s.stats().delivered)
                    ASSERT_TRUE(capture.read(first));
            }
            // With the source on, reads go on until one fails.
            auto reading = std::async(std::launch::async, [&] {
                cv::Mat frame;
                bool ok = capture.read(frame);
                while (ok && !c.source_off)
                    ok = capture.read(frame);
                return ok && whole_frame(frame, 640, 480);
            });
            // Long enough for the read to be waiting in poll() (or for a few frames).
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            if (c.next == then::signal_back)
                fake_uvc_set_signal(s.n, true);
            else
                fake_uvc_unplug(s.n);
            if (reading.wait_for(kHang) != std::future_status::ready) {
                capture.release();
                FAIL() << "the read did not end";
            }
            EXPECT_EQ(reading.get(), c.read);
        }
        if (c.next == then::unplug) {
            EXPECT_LE(video_input_device_names().size(), static_cast<size_t>(s.n));
            const std::string node = "capture: " + s.node();
            bool seen = false;
            for (const std::string& text : traces.texts())
                seen = seen || (text.rfind(node, 0) == 0 && (text.find("(unplugged?)") != std::string::npos ||
                                                             text.find("No such device") != std::string::npos));
            EXPECT_TRUE(seen) << "no trace of the unplug";
            if (c.source_off) {
                EXPECT_EQ(traces.count(node + " stopped delivering (unplugged?)\n"), 1);
            }
        }
        expect_let_go(s);
    }
}

}  // namespace
