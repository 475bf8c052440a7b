// Presenting a 1080p BGR frame into the picture control with DrawFrame, at
// two control sizes, against a plain copy of the frame measured in the same
// run. Prints "<name> <value> <unit>" lines.
#include "TessalyDlg.h"
#include "resource.h"
#include "bench_support.h"
#include "../platform/entry/glibc_heap.h"

#include <opencv2/core.hpp>
#include <opencv2/core/core_c.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

class BenchDlg : public CTessalyDlg {
};

std::vector<double> time_calls(int count, const std::function<void()>& fn)
{
    std::vector<double> ms;
    ms.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        auto start = clock_type::now();
        fn();
        ms.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - start).count());
    }
    return ms;
}

}  // namespace

int main()
{
    // The viewer's own entry point sets the heap up so.
    glibc_heap_for_frames();
    BenchDlg dlg;
    if (!dlg.Create(102)) {
        std::fprintf(stderr, "bench_draw_frame: the dialog could not be created (no display?)\n");
        return 1;
    }
    pump_for(std::chrono::milliseconds(300));
    CWnd* control = dlg.GetDlgItem(IDC_PICTURE);

    cv::Mat frame(1080, 1920, CV_8UC3);
    for (int y = 0; y < frame.rows; ++y)
        for (int x = 0; x < frame.cols; ++x)
            frame.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uchar>(x), static_cast<uchar>(y), static_cast<uchar>(x ^ y));
    IplImage header = cvIplImage(frame);
    const size_t bytes = frame.total() * frame.elemSize();  // 6,220,800
    std::vector<unsigned char> copy(bytes);

    const int samples = 200;
    struct target {
        const char* name;
        int width, height;
    };
    for (target t : {target{"1080p_into_720p", 1280, 720}, target{"1080p_into_1080p", 1920, 1080}}) {
        ::MoveWindow(dlg.m_hWnd, 0, 0, t.width + 40, t.height + 60, TRUE);
        pump_for(std::chrono::milliseconds(200));
        ::MoveWindow(control->m_hWnd, 0, 0, t.width, t.height, TRUE);
        pump_for(std::chrono::milliseconds(100));
        for (int i = 0; i < 10; ++i)
            dlg.DrawFrame(&header);
        // Interleaved in blocks, so that both see the same machine load.
        std::vector<double> draw, plain;
        for (int block = 0; block < samples / 20; ++block) {
            auto d = time_calls(20, [&] { dlg.DrawFrame(&header); });
            auto c = time_calls(20, [&] { std::memcpy(copy.data(), frame.data, bytes); });
            draw.insert(draw.end(), d.begin(), d.end());
            plain.insert(plain.end(), c.begin(), c.end());
        }
        const double median = percentile(draw, 0.5), copy_median = percentile(plain, 0.5);
        std::printf("draw_frame_%s_median %.2f ms\n", t.name, median);
        std::printf("draw_frame_%s_p99 %.2f ms\n", t.name, percentile(draw, 0.99));
        std::printf("memcpy_6220800_bytes_median %.3f ms\n", copy_median);
        std::printf("draw_frame_%s_vs_memcpy %.1f x\n", t.name, median / copy_median);
        std::fflush(stdout);
    }
    dlg.DestroyWindow();
    return 0;
}
