// Capture runs against the virtual capture device: frames reaching the
// picture control, stopping, a failing read, a source that never delivers,
// many runs started and stopped, also in the middle of a read, and every
// way the dialog can end while a run is live. Live video and a source that
// pauses also run through the V4L2 path, against an emulated uvcvideo
// stick (fake_uvc.h).
//
// Needs an X display with a window manager (tools/run-tests.sh).
#include "TessalyDlg.h"
#include "resource.h"

#include "../../platform/kernel/debug_output.h"
#include "../devices/fake_v4l2_tree.h"
#include "fake_uvc.h"
#include "picture_control.h"
#include "pixels.h"
#include "x11_probe.h"

#include <X11/keysym.h>
#include <linux/videodev2.h>

#include <gtest/gtest.h>
#include <videovirtual.h>
#include <wavevirtual.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

// The emulated stick's 1080p streams are slow under a sanitizer: waits for
// its frames only catch a hang.
constexpr auto kEmulatedFrames = 20s;

class CaptureDlg : public CTessalyDlg {
public:
    using CTessalyDlg::m_bDevicePresent;
    using CTessalyDlg::m_bStopCapture;
    using CTessalyDlg::m_capture;
    using CTessalyDlg::m_captureThreads;
    using CTessalyDlg::StartCaptureThread;
    using CTessalyDlg::WaitForCaptureThreads;

    // Runs as the dialog comes up, once its own initialisation (and so the
    // start of its run) is done.
    std::function<void(CaptureDlg&)> on_init;

protected:
    BOOL OnInitDialog() override
    {
        BOOL result = CTessalyDlg::OnInitDialog();
        if (on_init)
            on_init(*this);
        return result;
    }
};

class CaptureRun : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (dlg.m_hWnd) {
            dlg.m_capture.release();
            dlg.WaitForCaptureThreads(kHangTimeoutMs);
            dlg.DestroyWindow();
        }
        if (device)
            video_input_remove_virtual(device);
        if (tree) {
            fake_uvc_forget(stick);
            tree.reset();
        }
        debug_output_set_sink(nullptr);
    }

    // A stick with the given behaviour, then the dialog, which finds it.
    void start(video_input_virtual_device d, bool signal = true)
    {
        d.width = 640;
        d.height = 360;
        device = video_input_add_virtual(d);
        video_input_set_virtual_signal(device, signal);
        debug_output_set_sink([this](const std::string& text) {
            std::lock_guard<std::mutex> lock(m_lock);
            m_traces.push_back(text);
        });
        ASSERT_TRUE(dlg.Create(102));
        control = ::GetDlgItem(dlg.m_hWnd, IDC_PICTURE);
    }

    // An emulated uvcvideo stick of that kind, then the dialog, which finds it.
    void start_v4l2(const fake_uvc_device& kind, bool signal = true)
    {
        tree = std::make_unique<fake_v4l2_tree>();
        stick = fake_uvc_plug((tree->root + "/class").c_str(), (tree->root + "/dev").c_str(), &kind);
        ASSERT_GE(stick, 0);
        fake_uvc_set_signal(stick, signal);
        ASSERT_TRUE(dlg.Create(102));
        control = ::GetDlgItem(dlg.m_hWnd, IDC_PICTURE);
    }

    long long delivered()
    {
        if (tree)
            return static_cast<long long>(fake_uvc_stats_of(stick).delivered);
        return video_input_get_virtual_stats(device).delivered;
    }
    bool thread_ended() { return dlg.m_captureThreads.empty(); }
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
    std::vector<COLORREF> row(int y)
    {
        RECT rc;
        ::GetClientRect(control, &rc);
        std::vector<COLORREF> pixels;
        HDC dc = ::GetDC(control);
        for (int x = 0; x < rc.right; ++x)
            pixels.push_back(::GetPixel(dc, x, y));
        ::ReleaseDC(control, dc);
        return pixels;
    }

    bool no_signal_shown() { return picture_shows_no_signal(dlg.m_hWnd); }
    // The test pattern fills the 863 x 565 control's width; its bars are
    // never black.
    bool picture_shown() { return at(20, 282) != RGB(0, 0, 0); }

    CaptureDlg dlg;
    HWND control = nullptr;
    int device = 0;
    std::unique_ptr<fake_v4l2_tree> tree;  // with the emulated stick
    int stick = -1;
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
    // Frame after frame the square moves along the row through its middle.
    const std::vector<COLORREF> shown = row(282);
    EXPECT_TRUE(pump_until([&] { return row(282) != shown; })) << "the picture on screen stays as it was";
}

// The same through the V4L2 path: a stick found as the dialog comes up,
// streaming its best mode through ioctls, memory-mapped buffers and poll.
TEST_F(CaptureRun, FramesOfAnEmulatedV4l2StickShowInThePictureControl)
{
    start_v4l2(*fake_uvc_cheap_usb2());
    EXPECT_TRUE(dlg.m_capture.isOpened());
    ASSERT_TRUE(pump_until([&] { return delivered() >= 5 && picture_shown(); }, kEmulatedFrames));
    const std::vector<COLORREF> shown = row(282);
    EXPECT_TRUE(pump_until([&] { return row(282) != shown; }, kEmulatedFrames))
        << "the picture on screen stays as it was";
    const fake_uvc_stats stats = fake_uvc_stats_of(stick);
    EXPECT_EQ(stats.fourcc, static_cast<uint32_t>(V4L2_PIX_FMT_MJPEG));
    EXPECT_EQ(stats.height, 1080u);
    EXPECT_EQ(stats.interval_den, 60u);
}

// Growing the dialog while video runs: the picture is fitted to the larger
// control, and the bands beside it are black, not what the last frame of
// the old size left there.
TEST_F(CaptureRun, BandsBesideThePictureAreBlackAfterAResize)
{
    start({});
    ASSERT_TRUE(pump_until([&] { return delivered() >= 5; }));
    RECT before{};
    ::GetClientRect(control, &before);
    ASSERT_TRUE(pump_until([&] { return at(20, before.bottom / 2) != RGB(0, 0, 0); }));
    RECT client{};
    ::GetClientRect(dlg.m_hWnd, &client);
    x11_probe probe;
    // About 1000 x 700 for the control: a 16:9 picture then leaves higher
    // bands than before, where the old frames were.
    probe.resize(static_cast<Window>(reinterpret_cast<uintptr_t>(dlg.m_hWnd)), client.right * 1000 / before.right,
                 client.bottom * 700 / before.bottom);
    RECT after{};
    ASSERT_TRUE(pump_until([&] {
        ::GetClientRect(control, &after);
        return after.right > before.right && after.bottom > before.bottom;
    }));
    const int picture_top = (after.bottom - after.right * 9 / 16) / 2;
    const int old_top = (before.bottom - before.right * 9 / 16) / 2;
    ASSERT_GT(picture_top - 2, old_top + 1);
    const long long seen = delivered();
    // Frames drawn at the new size, and the dialog's paint done.
    ASSERT_TRUE(pump_until([&] { return delivered() >= seen + 5 && at(20, after.bottom / 2) != RGB(0, 0, 0); }));
    pump_messages();
    for (int y : {old_top + 1, (old_top + picture_top) / 2, picture_top - 2})
        for (int x : {5, after.right / 3, after.right / 2, after.right - 5})
            EXPECT_EQ(at(x, y), RGB(0, 0, 0)) << "stale pixels at " << x << ", " << y << " of the control";
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
    EXPECT_TRUE(pump_until([&] { return no_signal_shown(); }));
}

// A stick whose HDMI source is off, at the start (a console switched on
// after the viewer) or for a while mid-stream: the run waits, longer than
// any read used to, the no-signal screen shows once no frame has come for
// 2 s, also after a repaint, and the first frame after the pause replaces
// it. Through the V4L2 path, whose reads used to give up after 10 s.
struct pause_case {
    const char* name;
    bool at_start;
    std::chrono::seconds pause;
};
void PrintTo(const pause_case& c, std::ostream* out) { *out << c.name; }
class CaptureRunPause : public CaptureRun, public ::testing::WithParamInterface<pause_case> {};

TEST_P(CaptureRunPause, ShowsNoSignalAndThenThePictureAgain)
{
    const pause_case& c = GetParam();
    auto off = std::chrono::steady_clock::now();
    start_v4l2(*fake_uvc_usb3(), !c.at_start);
    ASSERT_TRUE(dlg.m_capture.isOpened());
    if (!c.at_start) {
        ASSERT_TRUE(pump_until([&] { return delivered() >= 3 && picture_shown(); }, kEmulatedFrames));
        fake_uvc_set_signal(stick, false);
        off = std::chrono::steady_clock::now();
    }
    const long long before = delivered();
    ASSERT_TRUE(pump_until([&] { return no_signal_shown(); }, 10s));
    // (The last frame may have come a little before the switch.)
    EXPECT_GE(std::chrono::steady_clock::now() - off, 1000ms) << "shown well before 2 s without a frame";
    pump_until([&] { return std::chrono::steady_clock::now() - off >= c.pause; }, c.pause + 5s);
    ::InvalidateRect(dlg.m_hWnd, nullptr, TRUE);
    pump_messages();
    EXPECT_TRUE(no_signal_shown()) << "a repaint during the pause lost the no-signal screen";
    EXPECT_EQ(delivered(), before);
    EXPECT_FALSE(thread_ended()) << "the run gave up during the pause";

    fake_uvc_set_signal(stick, true);
    EXPECT_TRUE(pump_until([&] { return delivered() >= before + 3 && picture_shown(); }, kEmulatedFrames))
        << "the picture did not come back";
}

INSTANTIATE_TEST_SUITE_P(Sources, CaptureRunPause,
                         ::testing::Values(pause_case{"SwitchedOn20sAfterTheViewer", true, 20s},
                                           pause_case{"Off12sMidStream", false, 12s}),
                         [](const ::testing::TestParamInfo<pause_case>& p) { return p.param.name; });

// During a pause, the stop command, the stick's removal and closing each
// end the run as they do while frames come: their handler waits a little
// for the run, and no longer.
class CaptureRunPauseEnd : public CaptureRun, public ::testing::WithParamInterface<const char*> {};

TEST_P(CaptureRunPauseEnd, EndsTheRunAtOnce)
{
    const std::string how = GetParam();
    start({}, false);
    ASSERT_TRUE(pump_until([&] { return no_signal_shown(); }, 10s));
    if (how == "Stop") {
        ::SendMessageW(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(1003, 0), 0);
    } else if (how == "Unplug") {
        ASSERT_TRUE(dlg.m_bDevicePresent);
        video_input_plug_virtual(device, false);
        ASSERT_TRUE(pump_until([&] { return !dlg.m_bDevicePresent; }));
    } else {
        ::SendMessageW(dlg.m_hWnd, WM_CLOSE, 0, 0);
    }
    EXPECT_TRUE(thread_ended()) << "the run outlived its handler";
    EXPECT_FALSE(dlg.m_capture.isOpened());
}

INSTANTIATE_TEST_SUITE_P(Commands, CaptureRunPauseEnd, ::testing::Values("Stop", "Unplug", "Close"),
                         [](const ::testing::TestParamInfo<const char*>& p) { return std::string(p.param); });

// The stop command given as the dialog comes up finds its run still setting
// up, about to switch sound on: once that run is over, sound is off.
TEST_F(CaptureRun, TheStopCommandWhileTheRunStartsLeavesSoundOff)
{
    wave_virtual_config no_sound;  // switching sound is then instant
    no_sound.input_missing = no_sound.output_missing = true;
    wave_virtual_install(no_sound);
    dlg.on_init = [](CaptureDlg& d) { d.SendMessage(WM_COMMAND, MAKEWPARAM(1003, 0)); };
    start({});
    EXPECT_FALSE(dlg.m_capture.isOpened());
    ASSERT_TRUE(thread_ended()) << "the run did not end with the stop command";
    EXPECT_TRUE(::ReadAcquire(&g_AudioPipe.m_LoopEverStarted)) << "the run never switched sound on";
    EXPECT_FALSE(::ReadAcquire(&g_AudioPipe.m_LoopOn)) << "the run left sound on";
    wave_virtual_uninstall();
}

TEST_F(CaptureRun, WithoutAStickNoRunStarts)
{
    dlg.Create(102);
    control = ::GetDlgItem(dlg.m_hWnd, IDC_PICTURE);
    EXPECT_FALSE(dlg.m_bDevicePresent);
    EXPECT_FALSE(dlg.m_capture.isOpened());
    EXPECT_TRUE(dlg.m_captureThreads.empty());
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
    dlg.WaitForCaptureThreads(kHangTimeoutMs);
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
        dlg.WaitForCaptureThreads(kHangTimeoutMs);
        ASSERT_TRUE(thread_ended()) << "run " << i << " did not end after its source was released";
        dlg.m_capture.open(index);
        dlg.StartCaptureThread();
    }
    dlg.m_capture.release();
    dlg.WaitForCaptureThreads(kHangTimeoutMs);
    EXPECT_TRUE(thread_ended());
}

// A run still in its loop when another starts (a read held by a driver
// after a release does that) stays one the dialog waits for as it goes.
TEST_F(CaptureRun, ARunStillGoingWhenAnotherStartsIsWaitedForToo)
{
    video_input_virtual_device d;
    d.fps = 2;
    start(d);
    ASSERT_TRUE(pump_until([&] { return delivered() >= 1; }));
    // The first run waits in its read for the next frame, and never ends by
    // itself while its source stays open.
    dlg.StartCaptureThread();
    EXPECT_EQ(dlg.m_captureThreads.size(), 2u);
    dlg.DestroyWindow();
    EXPECT_TRUE(dlg.m_captureThreads.empty());
    EXPECT_FALSE(dlg.m_capture.isOpened());
}

// The dialog run as the program runs it, telling the test its window once
// it exists.
class ModalDlg : public CaptureDlg {
public:
    std::atomic<HWND> window{nullptr};

protected:
    BOOL OnInitDialog() override
    {
        BOOL result = CaptureDlg::OnInitDialog();
        window = m_hWnd;
        return result;
    }
};

bool thread_alive(int tid) { return ::access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) == 0; }

// However the dialog ends while video is live (a posted OK or Cancel, the
// end of the program's message loop), its capture run has left before the dialog goes: the source is
// released, sound is off, and no thread reads or draws through the dialog.
// The dialog lives on the heap, so that a run left behind would touch freed
// memory, which the sanitizer builds report.
TEST(CaptureTeardown, EveryWayOfEndingTheDialogEndsItsRunFirst)
{
    wave_virtual_config no_sound;  // switching sound off is then instant
    no_sound.input_missing = no_sound.output_missing = true;
    wave_virtual_install(no_sound);
    const DWORD ui_thread = ::GetCurrentThreadId();

    struct ending {
        const char* name;
        INT_PTR result;
        std::function<void(x11_probe&, HWND)> end;
    };
    const ending endings[] = {
        {"posted Cancel", IDCANCEL, [](x11_probe&, HWND h) { ::PostMessageW(h, WM_COMMAND, IDCANCEL, 0); }},
        {"posted OK", IDOK, [](x11_probe&, HWND h) { ::PostMessageW(h, WM_COMMAND, IDOK, 0); }},
        {"quit", -1, [&](x11_probe&, HWND) { ::PostThreadMessageW(ui_thread, WM_QUIT, 0, 0); }},
    };
    for (const ending& e : endings) {
        SCOPED_TRACE(e.name);
        video_input_virtual_device d;
        d.width = 640;
        d.height = 360;
        const int device = video_input_add_virtual(d);
        auto* dlg = new ModalDlg;

        std::atomic<int> reader{0};
        std::thread user([&] {
            x11_probe probe;
            HWND h = nullptr;
            const bool live = x11_probe::wait_until([&] {
                h = dlg->window;
                return h && video_input_get_virtual_stats(device).delivered >= 3;
            });
            reader = video_input_get_virtual_stats(device).reader_tid;
            if (live)
                e.end(probe, h);
            else
                ::PostMessageW(h, WM_CLOSE, 0, 0);
        });
        const INT_PTR result = dlg->DoModal();
        user.join();
        ASSERT_NE(reader, 0) << "video never ran";
        EXPECT_EQ(result, e.result);
        // The loop ended by the quit hands it on to the next loop.
        MSG quit;
        ::PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);

        EXPECT_EQ(dlg->m_hWnd, nullptr);
        EXPECT_TRUE(dlg->m_bStopCapture);
        EXPECT_FALSE(dlg->m_capture.isOpened());
        EXPECT_FALSE(::ReadAcquire(&g_AudioPipe.m_LoopOn)) << "sound still on";
        // Its thread may take a moment to go once its procedure has returned.
        EXPECT_TRUE(x11_probe::wait_until([&] { return !thread_alive(reader); })) << "the capture thread runs on";
        delete dlg;
        EXPECT_FALSE(::ReadAcquire(&g_AudioPipe.m_LoopOn)) << "sound switched on again";
        video_input_remove_virtual(device);
    }
    wave_virtual_uninstall();
}

}  // namespace
