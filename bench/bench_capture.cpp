// Live video from the emulated 1080p60 capture stick into a 1280 x 720
// picture control for ten seconds at a time, through the program's own
// capture run: once with ready BGR frames, then as real sticks send them,
// Motion-JPEG and YUYV, through the layer's conversion; then the same two
// through the V4L2 path, from emulated uvcvideo sticks (tests/support/
// fake_uvc.h: ioctls, memory-mapped buffers, poll). Then the layer's
// Motion-JPEG decoding against OpenCV's imdecode of the same frames.
// Prints "<name> <value> <unit>" lines.
#include "TessalyDlg.h"
#include "resource.h"
#include "bench_support.h"
#include "../platform/entry/glibc_heap.h"
#include "../platform/video/capture_formats.h"
#include "../platform/virtual/mjpeg_encode.h"
#include "../tests/devices/fake_v4l2_tree.h"
#include "fake_uvc.h"

#include <videoinput.h>
#include <videovirtual.h>
#include <wavevirtual.h>

#include <linux/videodev2.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

class BenchDlg : public CTessalyDlg {
};

// CPU seconds a thread of this process has used.
double thread_cpu_seconds(int tid)
{
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(in, line);
    if (line.empty())
        return 0.0;
    // Fields after the command name, which ends with the last ')'.
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; rest >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double process_cpu_seconds()
{
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The dialog, which finds the stick and starts its run, with a 1280 x 720
// picture control; measure runs once video flows, then the stop command
// ends the run. False if the dialog cannot be made.
bool with_dialog(const std::function<void()>& measure)
{
    BenchDlg dlg;
    if (!dlg.Create(102))
        return false;
    ::MoveWindow(dlg.m_hWnd, 0, 0, 1320, 800, TRUE);
    pump_for(std::chrono::milliseconds(300));
    ::MoveWindow(dlg.GetDlgItem(IDC_PICTURE)->m_hWnd, 0, 0, 1280, 720, TRUE);
    pump_for(std::chrono::milliseconds(1000));
    measure();
    ::SendMessageW(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(1003, 0), 0);
    dlg.DestroyWindow();
    return true;
}

// Ten seconds of video from a stick sending format; prints its lines with
// prefix ("capture" or "capture_<format>"). False if the dialog cannot be made.
bool run(video_input_virtual_format format, const std::string& prefix, bool thread_cpu)
{
    video_input_virtual_device stick;
    stick.format = format;
    const int device = video_input_add_virtual(stick);
    const bool made = with_dialog([&] {
        const auto first = video_input_get_virtual_stats(device);
        const double cpu_first = thread_cpu_seconds(first.reader_tid), process_first = process_cpu_seconds();
        const auto began = clock_type::now();
        pump_for(std::chrono::seconds(10));
        const double seconds = std::chrono::duration<double>(clock_type::now() - began).count();
        const auto last = video_input_get_virtual_stats(device);
        const double cpu = thread_cpu_seconds(last.reader_tid) - cpu_first;
        const double process = process_cpu_seconds() - process_first;

        const long long shown = last.delivered - first.delivered;
        const long long produced = last.produced - first.produced;
        auto since_first = [](const std::vector<double>& all, size_t skip) {
            return std::vector<double>(all.begin() + static_cast<std::ptrdiff_t>(std::min(skip, all.size())),
                                       all.end());
        };
        const std::vector<double> held = since_first(last.hold_ms, first.hold_ms.size());
        const std::vector<double> arrival = since_first(last.arrival_ms, first.arrival_ms.size());
        const char* p = prefix.c_str();
        std::printf("%s_frames_shown_per_second %.2f fps\n", p, static_cast<double>(shown) / seconds);
        std::printf("%s_frames_never_shown %lld frames\n", p, produced - shown);
        std::printf("%s_read_to_screen_median %.2f ms\n", p, percentile(held, 0.5));
        std::printf("%s_read_to_screen_p99 %.2f ms\n", p, percentile(held, 0.99));
        std::printf("%s_arrival_to_screen_median %.2f ms\n", p, percentile(arrival, 0.5));
        std::printf("%s_arrival_to_screen_p99 %.2f ms\n", p, percentile(arrival, 0.99));
        if (thread_cpu)
            std::printf("%s_thread_cpu %.1f %%\n", p, 100.0 * cpu / seconds);
        std::printf("%s_cpu_per_frame %.2f ms\n", p, shown ? 1000.0 * process / static_cast<double>(shown) : 0.0);
        std::fflush(stdout);
    });
    video_input_remove_virtual(device);
    return made;
}

// The virtual stick's first eight pictures, as it sends them in BGR, so
// that the emulated sticks send the same content and their decoding costs
// compare.
const std::vector<cv::Mat>& virtual_pictures()
{
    static const std::vector<cv::Mat> pictures = [] {
        std::vector<cv::Mat> read;
        const int device = video_input_add_virtual(video_input_virtual_device{});
        video_input_capture capture;
        if (capture.open(static_cast<int>(video_input_device_names().size()) - 1)) {
            cv::Mat picture;
            for (int i = 0; i < 8 && capture.read(picture); ++i)
                read.push_back(picture.clone());
        }
        capture.release();
        video_input_remove_virtual(device);
        return read;
    }();
    return pictures;
}

// Ten seconds of video from an emulated uvcvideo stick, its format chosen by
// the capture source as for a real one, sending the virtual stick's
// pictures; prints its lines with prefix. The stick's own frame making (a
// real one's DMA) is left out of the CPU time.
void run_v4l2(fake_uvc_device stick, const std::string& prefix)
{
    const std::vector<cv::Mat>& pictures = virtual_pictures();
    stick.picture = [&pictures](int width, int height, int step) {
        if (pictures.empty())
            return cv::Mat();
        const cv::Mat& picture = pictures[static_cast<size_t>(step) % pictures.size()];
        if (picture.cols == width && picture.rows == height)
            return picture;
        cv::Mat fitted;
        cv::resize(picture, fitted, cv::Size(width, height));
        return fitted;
    };
    const fake_v4l2_tree tree;
    const int n = fake_uvc_plug((tree.root + "/class").c_str(), (tree.root + "/dev").c_str(), &stick);
    if (n < 0) {
        std::fprintf(stderr, "bench_capture: the emulated stick could not be plugged in\n");
    } else {
        with_dialog([&] {
            const fake_uvc_stats first = fake_uvc_stats_of(n);
            const double process_first = process_cpu_seconds();
            const auto began = clock_type::now();
            pump_for(std::chrono::seconds(10));
            const double seconds = std::chrono::duration<double>(clock_type::now() - began).count();
            const fake_uvc_stats last = fake_uvc_stats_of(n);
            const double process = process_cpu_seconds() - process_first -
                                   static_cast<double>(last.producer_cpu_ns - first.producer_cpu_ns) * 1e-9;
            const auto shown = static_cast<long long>(last.dequeued - first.dequeued);
            const char* p = prefix.c_str();
            char fourcc[5] = {};
            std::memcpy(fourcc, &last.fourcc, 4);
            std::printf("%s_mode %ux%u_%s_at_%.0f fps\n", p, last.width, last.height, fourcc,
                        last.interval_num ? static_cast<double>(last.interval_den) / last.interval_num : 0.0);
            std::printf("%s_frames_shown_per_second %.2f fps\n", p, static_cast<double>(shown) / seconds);
            std::printf("%s_cpu_per_frame %.2f ms\n", p, shown ? 1000.0 * process / static_cast<double>(shown) : 0.0);
            std::fflush(stdout);
        });
        fake_uvc_forget(n);
    }
}

// The stick's pictures as it encodes them (4:2:2, quality 90, restart
// markers), decoded by
// the layer and by imdecode in turns, so that both see the same load.
void compare_decoders()
{
    video_input_virtual_device stick;
    const int device = video_input_add_virtual(stick);
    video_input_capture capture;
    std::vector<std::vector<uint8_t>> frames;
    if (capture.open(static_cast<int>(video_input_device_names().size()) - 1)) {
        cv::Mat picture;
        for (int i = 0; i < 8 && capture.read(picture); ++i)
            frames.push_back(capture_encode_mjpeg(picture));
    }
    capture.release();
    video_input_remove_virtual(device);
    if (frames.empty()) {
        std::fprintf(stderr, "bench_capture: no frames to decode\n");
        return;
    }
    capture_converter converter;
    std::vector<double> ours, theirs;
    cv::Mat bgr;
    for (int round = 0; round < 20; ++round) {
        for (const auto& jpeg : frames) {
            const capture_raw_frame raw{V4L2_PIX_FMT_MJPEG, 1920, 1080, 0, jpeg.data(), jpeg.size()};
            auto start = clock_type::now();
            converter.to_bgr(raw, bgr);
            ours.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - start).count());
            start = clock_type::now();
            const cv::Mat reference = cv::imdecode(jpeg, cv::IMREAD_COLOR);
            theirs.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - start).count());
        }
    }
    const double a = percentile(ours, 0.5), b = percentile(theirs, 0.5);
    std::printf("capture_mjpeg_decode_median %.2f ms\n", a);
    std::printf("capture_mjpeg_imdecode_median %.2f ms\n", b);
    std::printf("capture_mjpeg_decode_vs_opencv %.2f x\n", a / b);
    std::fflush(stdout);
}

}  // namespace

int main()
{
    // The viewer's own entry point sets the heap up so.
    glibc_heap_for_frames();
    // The stick's sound runs too, as it does with a real stick, on virtual
    // wave devices.
    wave_virtual_install(wave_virtual_config{});
    if (!run(video_input_virtual_format::bgr, "capture", true)) {
        std::fprintf(stderr, "bench_capture: the dialog could not be created (no display?)\n");
        return 1;
    }
    run(video_input_virtual_format::mjpeg, "capture_mjpeg", false);
    run(video_input_virtual_format::yuyv, "capture_yuyv", false);
    run_v4l2(*fake_uvc_cheap_usb2(), "v4l2_mjpeg");
    run_v4l2(*fake_uvc_usb3(), "v4l2_yuyv");
    compare_decoders();
    return 0;
}
