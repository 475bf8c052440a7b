// The display going off and on, and the machine waking from sleep, while
// the main dialog runs: the events come from the virtual devices down the
// path the real sources take, to the hidden "RenderWindow" window and to
// the dialog.
//
// Needs an X display with a window manager (tools/run-tests.sh).
#include "TessalyDlg.h"

#include "message_pump.h"
#include "picture_control.h"
#include "trace_capture.h"

#include <gtest/gtest.h>

#include <powervirtual.h>
#include <videoinput.h>
#include <videovirtual.h>
#include <wavevirtual.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

class PowerDlg : public CTessalyDlg {
public:
    using CTessalyDlg::m_bDevicePresent;
    using CTessalyDlg::m_bFullScreen;
    using CTessalyDlg::m_capture;
    using CTessalyDlg::m_captureThreads;
    using CTessalyDlg::m_nVolumeThreads;
    using CTessalyDlg::WaitForCaptureThreads;
};

const char kOn[] = "display on111111!!\n";
const char kOnAgain[] = "display on!!\n";
const char kOff[] = "display off!!\n";
const char kResume[] = "APMRESUMEAUTOMATIC!!\n";

// The display-state messages a window of the test was sent. Registered
// after the dialog's hidden window, it is sent each state after that
// window's handler has returned.
int g_states_seen = 0;

LRESULT CALLBACK state_probe_proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_POWERBROADCAST && wParam == PBT_POWERSETTINGCHANGE)
        ++g_states_seen;
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

class PowerEvents : public ::testing::Test {
protected:
    // with_stick: the virtual stick is there when the dialog starts, so
    // that live video and sound run from the start.
    void start(bool with_stick)
    {
        // No bus reaches the test machine's own services.
        setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vistamo-test/session", 1);
        setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/vistamo-test/system", 1);
        char dir[] = "/tmp/vistamo-power-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        m_dir = dir;
        wave_virtual_config sound;
        sound.output_file = m_dir + "/out.raw";
        wave_virtual_install(sound);
        video_input_virtual_device d;
        d.width = 640;
        d.height = 360;
        if (with_stick)
            device = video_input_add_virtual(d);
        ASSERT_TRUE(dlg.Create(102));
        hwnd = dlg.m_hWnd;

        WNDCLASSW wc{};
        wc.lpfnWndProc = state_probe_proc;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = L"StateProbe";
        ::RegisterClassW(&wc);
        m_probe = ::CreateWindowExW(0, L"StateProbe", L"", WS_OVERLAPPEDWINDOW, 0, 0, 20, 20, nullptr, nullptr,
                                    wc.hInstance, nullptr);
        m_probe_handle =
            ::RegisterPowerSettingNotification(m_probe, &GUID_CONSOLE_DISPLAY_STATE, DEVICE_NOTIFY_WINDOW_HANDLE);
        // The display's state at registration (Xvfb's screen saver: on).
        ASSERT_TRUE(pump_until([] { return g_states_seen >= 1; }));
    }
    void TearDown() override
    {
        if (m_probe_handle)
            ::UnregisterPowerSettingNotification(m_probe_handle);
        if (m_probe)
            ::DestroyWindow(m_probe);
        if (::IsWindow(hwnd)) {
            dlg.m_capture.release();
            dlg.WaitForCaptureThreads(kHangTimeoutMs);
            ::DestroyWindow(hwnd);
        }
        if (device)
            video_input_remove_virtual(device);
        wave_virtual_uninstall();
        if (!m_dir.empty()) {
            std::remove((m_dir + "/out.raw").c_str());
            ::rmdir(m_dir.c_str());
        }
    }

    // Sends the display's new state and waits until the dialog has handled it.
    void display(unsigned char state)
    {
        const int seen = g_states_seen;
        power_virtual_display(state);
        ASSERT_TRUE(pump_until([&] { return g_states_seen > seen; }, 10s));
    }
    // The machine wakes; returns once the dialog has handled it.
    void resume()
    {
        forget_traces();
        power_virtual_resume();
        ASSERT_TRUE(pump_until([&] { return !power_traces().empty(); }));
        EXPECT_EQ(power_traces(), std::vector<std::string>{kResume});
    }
    // The traces of the display and resume handlers, in order.
    std::vector<std::string> power_traces()
    {
        std::vector<std::string> out;
        for (const auto& t : m_traces.texts())
            if (t == kOn || t == kOnAgain || t == kOff || t == kResume)
                out.push_back(t);
        return out;
    }
    void forget_traces() { m_traces.clear(); }
    bool sound_on() { return ::ReadAcquire(&g_AudioPipe.m_LoopOn) != 0; }
    long long delivered() { return video_input_get_virtual_stats(device).delivered; }
    // Live video with sound, and the run's volume thread done with its raise.
    void wait_for_live()
    {
        ASSERT_TRUE(pump_until(
            [&] { return delivered() >= 3 && sound_on() && ::ReadAcquire(&dlg.m_nVolumeThreads) == 0; }, 10s));
    }
    COLORREF left_middle() { return picture_left_middle(hwnd); }
    // The loudest sample the virtual output played between from and to
    // seconds after it opened (mono, 16-bit, 44.1 kHz).
    int loudest(double from, double to)
    {
        std::ifstream in(m_dir + "/out.raw", std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t count = bytes.size() / 2;
        const auto first = std::min(count, static_cast<size_t>(from * 44100));
        const auto last = std::min(count, static_cast<size_t>(to * 44100));
        int peak = 0;
        for (size_t i = first; i < last; ++i) {
            int16_t s;
            std::memcpy(&s, &bytes[2 * i], 2);
            peak = std::max(peak, std::abs(static_cast<int>(s)));
        }
        return peak;
    }

    PowerDlg dlg;
    HWND hwnd = nullptr;
    int device = 0;

private:
    std::string m_dir;
    trace_capture m_traces{true};
    HWND m_probe = nullptr;
    HPOWERNOTIFY m_probe_handle = nullptr;
};

TEST_F(PowerEvents, BeforeSoundEverStartedTheDisplayOnlyTraces)
{
    if (::ReadAcquire(&g_AudioPipe.m_LoopEverStarted))
        GTEST_SKIP() << "sound ran earlier in this process";
    start(false);
    display(0);
    display(2);  // dimmed counts as on
    display(1);
    EXPECT_EQ(power_traces(), (std::vector<std::string>{kOn, kOn, kOn}));
    EXPECT_FALSE(::ReadAcquire(&g_AudioPipe.m_LoopEverStarted));
}

TEST_F(PowerEvents, DisplayOffStopsSoundAndOnBringsItBackQuietlyThenAtFullVolume)
{
    start(true);
    wait_for_live();
    forget_traces();

    // On while sound is on (after dimmed): traced only.
    display(2);
    display(1);
    EXPECT_EQ(power_traces(), (std::vector<std::string>{kOn, kOn}));
    EXPECT_TRUE(sound_on());

    display(0);
    EXPECT_FALSE(sound_on());
    const long long frames = delivered();
    EXPECT_TRUE(pump_until([&] { return delivered() > frames + 3; })) << "video stopped with the display";
    display(2);  // dimmed: on again
    EXPECT_TRUE(sound_on());
    EXPECT_EQ(power_traces(), (std::vector<std::string>{kOn, kOn, kOff, kOn, kOnAgain}));

    // The output opened again with sound on: a second at about 1 %, then
    // full volume. The input is a tone of amplitude 8000.
    pump_until([] { return false; }, 700ms);
    const int quiet = loudest(0.3, 1.7);
    const int full = loudest(2.2, 2.6);
    EXPECT_GT(quiet, 20);
    EXPECT_LT(quiet, 200);
    EXPECT_GT(full, 7000);
}

TEST_F(PowerEvents, DisplayOnWithTheStickGoneKeepsSoundOff)
{
    start(true);
    wait_for_live();
    display(0);
    ASSERT_FALSE(sound_on());
    video_input_plug_virtual(device, false);
    ASSERT_TRUE(pump_until([&] { return !dlg.m_bDevicePresent && dlg.m_captureThreads.empty(); }));
    forget_traces();

    display(1);
    EXPECT_FALSE(sound_on());
    EXPECT_EQ(power_traces(), std::vector<std::string>{kOn});
}

// With sound off and nothing open, waking searches: none found shows the
// no-signal screen; a stick found (one that came without a word) is opened
// with a new run. Full screen and the stick's presence stay as they are.
TEST_F(PowerEvents, ResumeWithNothingOpenShowsNoSignalOrOpensTheStick)
{
    start(false);
    // Something else on the control, for the no-signal screen to replace.
    cv::Mat white(360, 640, CV_8UC3, cv::Scalar(255, 255, 255));
    IplImage header = cvIplImage(white);
    dlg.DrawFrame(&header);
    ASSERT_EQ(left_middle(), RGB(255, 255, 255));
    resume();
    EXPECT_FALSE(dlg.m_capture.isOpened());
    EXPECT_EQ(left_middle(), RGB(0, 0, 0)) << "no no-signal screen";

    video_input_virtual_device d;
    d.width = 640;
    d.height = 360;
    device = video_input_add_virtual(d);
    resume();
    EXPECT_TRUE(dlg.m_capture.isOpened());
    EXPECT_TRUE(pump_until([&] { return delivered() >= 3; })) << "no frames after waking";
    EXPECT_FALSE(dlg.m_bFullScreen);
    EXPECT_FALSE(dlg.m_bDevicePresent);
}

// The stream hung in sleep: waking switches the sound off and lets the read
// go, the old run ends, and the device opened again delivers to a new run,
// with the sound opened anew, still in full screen.
TEST_F(PowerEvents, ResumeWithAHungReadRestartsTheRunInFullScreen)
{
    start(true);
    wait_for_live();
    dlg.EnterFullScreen();
    CRect before;
    ::GetWindowRect(hwnd, &before);
    ASSERT_EQ(dlg.m_captureThreads.size(), 1u);
    const HANDLE old_run = dlg.m_captureThreads.front();
    video_input_stall_virtual(device);
    const long long frames = delivered();
    pump_until([] { return false; }, 200ms);
    ASSERT_LE(delivered(), frames + 1) << "the stream did not hang";
    const double sound_opened = wave_virtual_get_stats().output_start;

    resume();
    ASSERT_TRUE(pump_until([&] { return delivered() >= 3; })) << "no frames after waking";
    EXPECT_TRUE(std::find(dlg.m_captureThreads.begin(), dlg.m_captureThreads.end(), old_run) ==
                dlg.m_captureThreads.end())
        << "the old run goes on";
    EXPECT_EQ(dlg.m_captureThreads.size(), 1u);
    EXPECT_TRUE(pump_until([&] { return sound_on(); }));
    EXPECT_GT(wave_virtual_get_stats().output_start, sound_opened) << "the sound was not switched off before the release";
    EXPECT_TRUE(dlg.m_bFullScreen);
    CRect after;
    ::GetWindowRect(hwnd, &after);
    EXPECT_TRUE(before == after);
}

TEST_F(PowerEvents, ResumeAfterTheStopCommandReopensAndTheRunLeavesAtOnce)
{
    start(true);
    wait_for_live();
    ::SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(1003, 0), 0);
    ASSERT_FALSE(dlg.m_capture.isOpened());

    resume();
    EXPECT_TRUE(dlg.m_capture.isOpened());
    EXPECT_TRUE(dlg.WaitForCaptureThreads(kHangTimeoutMs)) << "the new run did not leave";
    EXPECT_EQ(delivered(), 0);
}

}  // namespace
