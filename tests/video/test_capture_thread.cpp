// Capture runs against the virtual capture device: frames reaching the
// picture control, stopping, a failing read, a source that never delivers,
// and many runs started and stopped, also in the middle of a read.
//
// Needs an X display with a window manager (tools/run-tests.sh).
#include "TessalyDlg.h"

#include "../../platform/kernel/debug_output.h"
#include "pixels.h"

#include <gtest/gtest.h>
#include <wavevirtual.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

class CaptureDlg : public CTessalyDlg {
public:
    using CTessalyDlg::m_bDevicePresent;
    using CTessalyDlg::m_bStopCapture;
    using CTessalyDlg::m_capture;
    using CTessalyDlg::m_hCaptureThread;
    using CTessalyDlg::StartCaptureThread;
    using CTessalyDlg::WaitForCaptureThread;
};

class CaptureRun : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (dlg.m_hWnd) {
            dlg.m_capture.release();
            dlg.WaitForCaptureThread(5000);
            dlg.DestroyWindow();
        }
        if (device)
            video_input_remove_virtual(device);
        debug_output_set_sink(nullptr);
    }

    // A stick with the given behaviour, then the dialog, which finds it.
    void start(video_input_virtual_device d)
    {
        d.width = 640;
        d.height = 360;
        device = video_input_add_virtual(d);
        debug_output_set_sink([this](const std::string& text) {
            std::lock_guard<std::mutex> lock(m_lock);
            m_traces.push_back(text);
        });
        ASSERT_TRUE(dlg.Create(102));
        control = ::GetDlgItem(dlg.m_hWnd, 1001);
    }

    long long delivered() { return video_input_get_virtual_stats(device).delivered; }
    bool thread_ended() { return dlg.m_hCaptureThread == nullptr; }
    int traces_of(const std::string& text)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return static_cast<int>(std::count(m_traces.begin(), m_traces.end(), text));
    }
    // The test pattern's bars are never black; the no-signal field is.
    COLORREF at(int x, int y)
    {
        HDC dc = ::GetDC(control);
        COLORREF c = ::GetPixel(dc, x, y);
        ::ReleaseDC(control, dc);
        return c;
    }

    CaptureDlg dlg;
    HWND control = nullptr;
    int device = 0;
    std::mutex m_lock;
    std::vector<std::string> m_traces;
};

TEST_F(CaptureRun, FramesOfAFoundStickShowInThePictureControl)
{
    start({});
    EXPECT_TRUE(dlg.m_bDevicePresent);
    EXPECT_TRUE(dlg.m_capture.isOpened());
    ASSERT_TRUE(pump_until([&] { return delivered() >= 5; }));
    // The control is 863 x 565; the 16:9 picture fills its width.
    ASSERT_TRUE(pump_until([&] { return at(20, 282) != RGB(0, 0, 0); }));
    EXPECT_EQ(at(20, 5), RGB(0, 0, 0)) << "the band above the picture is the black frame's";
    // Two frames apart, the moving square has moved.
    EXPECT_EQ(video_input_get_virtual_stats(device).reader_tid != 0, true);
}

TEST_F(CaptureRun, TheStopCommandEndsTheRunAndReleasesTheSource)
{
    start({});
    ASSERT_TRUE(pump_until([&] { return delivered() >= 3; }));
    ::SendMessageW(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(1003, 0), 0);
    EXPECT_FALSE(dlg.m_capture.isOpened());
    EXPECT_TRUE(thread_ended()) << "the run did not end with the stop command";
    const long long after = delivered();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(delivered(), after);
    // The next paint shows the no-signal screen: its green text on the
    // control's centre line.
    ::InvalidateRect(dlg.m_hWnd, nullptr, TRUE);
    EXPECT_TRUE(pump_until([&] {
        for (int x = 331; x < 531; ++x)
            if (at(x, 281) == RGB(0, 255, 0) || at(x, 280) == RGB(0, 255, 0))
                return true;
        return false;
    }));
}

TEST_F(CaptureRun, WithoutAStickNoRunStarts)
{
    dlg.Create(102);
    control = ::GetDlgItem(dlg.m_hWnd, 1001);
    EXPECT_FALSE(dlg.m_bDevicePresent);
    EXPECT_FALSE(dlg.m_capture.isOpened());
    EXPECT_EQ(dlg.m_hCaptureThread, nullptr);
}

TEST_F(CaptureRun, AReadThatRaisesIsTracedOnceAndStreamingGoesOn)
{
    video_input_virtual_device d;
    d.raise_on_read = 2;
    start(d);
    ASSERT_TRUE(pump_until([&] { return delivered() >= 6; }));
    EXPECT_EQ(traces_of("OnSize error\n"), 1);
}

TEST_F(CaptureRun, ASourceThatNeverDeliversEndsTheRunAfterItsSetUp)
{
    video_input_virtual_device d;
    d.never_delivers = true;
    start(d);
    dlg.WaitForCaptureThread(3000);
    EXPECT_TRUE(thread_ended());
    EXPECT_TRUE(dlg.m_capture.isOpened()) << "nobody released it";
    EXPECT_EQ(at(431, 282), RGB(0, 0, 0)) << "the black frame stays";
}

TEST_F(CaptureRun, ClosingIsPromptWhileTheSourceIsBetweenFrames)
{
    // No sound devices: switching sound off is then instant, and what is
    // timed is the video source alone.
    wave_virtual_config no_sound;
    no_sound.input_missing = no_sound.output_missing = true;
    wave_virtual_install(no_sound);
    video_input_virtual_device d;
    d.fps = 1;  // a read waits up to a second for its frame
    start(d);
    ASSERT_TRUE(pump_until([&] { return delivered() >= 1; }));
    auto began = std::chrono::steady_clock::now();
    ::SendMessageW(dlg.m_hWnd, WM_CLOSE, 0, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 500ms);
    EXPECT_TRUE(thread_ended());
    wave_virtual_uninstall();
}

// Runs started and stopped in quick succession, each stop landing at a
// different point of the run: never two readers of one source, never a
// source closed under a read.
TEST_F(CaptureRun, ManyRunsStartedAndStopped)
{
    start({});
    ASSERT_TRUE(pump_until([&] { return delivered() >= 1; }));
    const int index = static_cast<int>(video_input_device_names().size()) - 1;
    for (int i = 0; i < 30; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds((i * 5) % 23));
        dlg.m_capture.release();
        dlg.WaitForCaptureThread(3000);
        ASSERT_TRUE(thread_ended()) << "run " << i << " did not end after its source was released";
        dlg.m_capture.open(index);
        dlg.StartCaptureThread();
    }
    dlg.m_capture.release();
    dlg.WaitForCaptureThread(3000);
    EXPECT_TRUE(thread_ended());
}

}  // namespace
