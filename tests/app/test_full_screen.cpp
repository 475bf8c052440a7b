// The main dialog's full-screen mode and its cursor, driven with input as
// the X server delivers it and observed through the layer and an
// independent X client.
#include "TessalyDlg.h"

#include "message_pump.h"
#include "trace_capture.h"
#include "x11_probe.h"

#include <X11/keysym.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

// "(left, top)-(right, bottom)", for failure messages.
std::string text_of(const CRect& r)
{
    return "(" + std::to_string(r.left) + ", " + std::to_string(r.top) + ")-(" + std::to_string(r.right) + ", " +
           std::to_string(r.bottom) + ")";
}

using namespace std::chrono_literals;

const LONG kFrameBits = 0x00440000;

class TestDlg : public CTessalyDlg {
public:
    using CTessalyDlg::m_bFullScreen;
    using CTessalyDlg::m_bStopCapture;
    using CTessalyDlg::m_lStyle;
    using CTessalyDlg::m_ptLastMouse;
    using CTessalyDlg::m_rcRestore;
};

bool run_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 10s)
{
    return pump_until(pred, timeout, AfxPreTranslateMessage);
}

CRect window_rect(HWND hwnd)
{
    CRect rc;
    ::GetWindowRect(hwnd, &rc);
    return rc;
}

CRect client_of(HWND hwnd)
{
    CRect rc;
    ::GetClientRect(hwnd, &rc);
    return rc;
}

// This thread's cursor display count, read without changing it.
int cursor_count()
{
    ::ShowCursor(TRUE);
    return ::ShowCursor(FALSE);
}

void set_cursor_count(int n)
{
    int c = cursor_count();
    while (c < n)
        c = ::ShowCursor(TRUE);
    while (c > n)
        c = ::ShowCursor(FALSE);
}

Window xid(HWND h) { return static_cast<Window>(reinterpret_cast<uintptr_t>(h)); }

class FullScreen : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dlg.Create(102));
        hwnd = dlg.m_hWnd;
        ASSERT_TRUE(run_until([&] { return probe.client_rect(window()).width == 863; }));
        cursor_at_start = cursor_count();
    }
    void TearDown() override
    {
        set_cursor_count(cursor_at_start);
        if (::IsWindow(hwnd))
            ::DestroyWindow(hwnd);
    }
    Window window() const { return xid(hwnd); }

    // The screen shows the window as it holds it: the no-signal picture's
    // middle and the black beside it (a compositing manager shows a copy of
    // its own, which must follow). mutter 43, under Xvfb at least, misses
    // drawing done around a resize and goes on showing an old copy while
    // the window holds the new picture (with MIT-SHM off in the server too,
    // and with the compositor not bypassed), so there the check is left out.
    bool screen_shows_the_window()
    {
        if (probe.wm_name() == "Mutter")
            return true;
        const probe_rect c = probe.client_rect(window());
        for (POINT p : {POINT{c.width / 2, c.height / 2 - 100}, POINT{c.width / 2, c.height / 2}, POINT{5, 5}}) {
            const unsigned long own = probe.window_pixel(window(), p.x, p.y);
            if (own == ~0ul || probe.screen_pixel(c.x + p.x, c.y + p.y) != own)
                return false;
        }
        return true;
    }

    // The window covers the whole screen with nothing of a frame showing.
    bool covers_screen()
    {
        probe_rect c = probe.client_rect(window());
        probe_rect f = probe.frame_extents(window());
        return c.x <= 0 && c.y <= 0 && c.x + c.width >= probe.screen_width() &&
               c.y + c.height >= probe.screen_height() && f.x == 0 && f.y == 0 && f.width == 0 && f.height == 0;
    }

    x11_probe probe;
    TestDlg dlg;
    HWND hwnd = nullptr;
    int cursor_at_start = 0;
};

TEST_F(FullScreen, DoubleClickTwiceGivesBackTheWindowAsItWas)
{
    for (const char* before_entering : {"as it opened", "after the user moved and resized it", "maximised"}) {
        SCOPED_TRACE(before_entering);
        const bool maximised = std::string(before_entering) == "maximised";
        if (std::string(before_entering) == "after the user moved and resized it") {
            const CRect before = window_rect(hwnd);
            probe.resize(window(), 640, 480);
            ASSERT_TRUE(run_until([&] { return client_of(hwnd) == CRect(0, 0, 640, 480); }));
            probe.move(window(), 150, 120);
            ASSERT_TRUE(run_until([&] { return window_rect(hwnd).TopLeft() != before.TopLeft(); }));
        }
        if (maximised) {
            // The maximise button, as the window manager acts on it.
            probe.set_net_state(window(), true, "_NET_WM_STATE_MAXIMIZED_VERT", "_NET_WM_STATE_MAXIMIZED_HORZ");
            ASSERT_TRUE(run_until([&] { return ::IsZoomed(hwnd) && probe.frame_extents(window()).y > 0; }));
        }
        const LONG style = ::GetWindowLongW(hwnd, GWL_STYLE);
        const CRect rect = window_rect(hwnd);
        ASSERT_EQ(style & kFrameBits, kFrameBits);

        probe.double_click(window(), 300, 200);  // over the picture control
        ASSERT_TRUE(run_until([&] { return dlg.m_bFullScreen != FALSE; }));
        EXPECT_EQ(dlg.m_lStyle, style & static_cast<LONG>(0xFFBBFFFFu));
        EXPECT_EQ(::GetWindowLongW(hwnd, GWL_STYLE) & ~WS_MAXIMIZE, style & static_cast<LONG>(0xFFBBFFFFu) & ~WS_MAXIMIZE);
        EXPECT_TRUE(dlg.m_rcRestore == rect) << text_of(dlg.m_rcRestore) << " != " << text_of(rect);
        EXPECT_TRUE(run_until([&] { return covers_screen(); }))
            << "client " << probe.client_rect(window()).x << "," << probe.client_rect(window()).y << " "
            << probe.client_rect(window()).width << "x" << probe.client_rect(window()).height;
        EXPECT_TRUE(run_until([&] { return screen_shows_the_window(); })) << "full screen";
        // The display and the system are kept awake.
        EXPECT_EQ(::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED),
                  ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED);

        probe.double_click(window(), 300, 200);
        ASSERT_TRUE(run_until([&] { return !dlg.m_bFullScreen; }));
        EXPECT_EQ(::GetWindowLongW(hwnd, GWL_STYLE), style);
        EXPECT_EQ(probe.has_net_state(window(), "_NET_WM_STATE_MAXIMIZED_VERT"), maximised);
        EXPECT_EQ(::IsZoomed(hwnd) != FALSE, maximised);
        EXPECT_TRUE(run_until([&] { return window_rect(hwnd) == rect; }))
            << text_of(window_rect(hwnd)) << " != " << text_of(rect) << "; client " << probe.client_rect(window()).x
            << "," << probe.client_rect(window()).y << " " << probe.client_rect(window()).width << "x"
            << probe.client_rect(window()).height << ", frame top " << probe.frame_extents(window()).y;
        EXPECT_TRUE(run_until([&] { return probe.frame_extents(window()).y > 0; })) << "no caption";
        EXPECT_TRUE(run_until([&] { return screen_shows_the_window(); })) << "back from full screen";
        EXPECT_EQ(::SetThreadExecutionState(ES_CONTINUOUS), ES_CONTINUOUS);
    }
}

TEST_F(FullScreen, EscLeavesFullScreenAndEnterKeepsIt)
{
    const LONG style = ::GetWindowLongW(hwnd, GWL_STYLE);
    dlg.EnterFullScreen();
    ASSERT_TRUE(dlg.m_bFullScreen);

    // The stop command, sent after the key, shows when the key has been
    // handled.
    probe.press_key(window(), XK_Return);
    probe.send_window_message(window(), WM_COMMAND, MAKEWPARAM(1003, 0), 0);
    ASSERT_TRUE(run_until([&] { return dlg.m_bStopCapture != FALSE; }));
    EXPECT_TRUE(dlg.m_bFullScreen);
    EXPECT_TRUE(::IsWindowVisible(hwnd));

    probe.press_key(window(), XK_Escape);
    ASSERT_TRUE(run_until([&] { return !dlg.m_bFullScreen; }));
    // Leaving gives the caption and frame back (what else of the window
    // comes back, DoubleClickTwiceGivesBackTheWindowAsItWas shows).
    EXPECT_EQ(dlg.m_lStyle, style);
    EXPECT_EQ(::GetWindowLongW(hwnd, GWL_STYLE) & kFrameBits, kFrameBits);
    EXPECT_TRUE(::IsWindowVisible(hwnd));
}

// The screen at another size, through RandR as a user's display settings
// change it, until the object goes; not ok() where the server cannot.
class screen_size {
public:
    screen_size(int width, int height) : m_mode(std::to_string(width) + "x" + std::to_string(height) + "_vistamo")
    {
        // Timings do not matter to Xvfb; xrandr wants some.
        m_ok = run("xrandr --newmode " + m_mode + " 60 " + std::to_string(width) + " " + std::to_string(width + 8) +
                   " " + std::to_string(width + 16) + " " + std::to_string(width + 24) + " " +
                   std::to_string(height) + " " + std::to_string(height + 2) + " " + std::to_string(height + 4) +
                   " " + std::to_string(height + 6)) &&
               run("xrandr --addmode screen " + m_mode) && run("xrandr --output screen --mode " + m_mode);
    }
    ~screen_size()
    {
        run("xrandr --output screen --mode 1920x1080");
        run("xrandr --delmode screen " + m_mode);
        run("xrandr --rmmode " + m_mode);
    }
    screen_size(const screen_size&) = delete;
    screen_size& operator=(const screen_size&) = delete;
    bool ok() const { return m_ok; }

private:
    static bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }
    std::string m_mode;
    bool m_ok = false;
};

TEST_F(FullScreen, LeavingOnAScreenThatShrankMeanwhileBringsTheWholeWindowBack)
{
    probe.move(window(), 1000, 500);
    ASSERT_TRUE(run_until([&] { return window_rect(hwnd).left >= 900; }));
    const CRect before = window_rect(hwnd);
    dlg.EnterFullScreen();
    ASSERT_TRUE(run_until([&] { return covers_screen(); }));
    screen_size smaller(1280, 720);
    if (!smaller.ok())
        GTEST_SKIP() << "the X server cannot change its size (xrandr, x11-xserver-utils)";
    ASSERT_TRUE(run_until([&] {
        MONITORINFO monitor{};
        monitor.cbSize = sizeof monitor;
        return ::GetMonitorInfoW(::MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST), &monitor) &&
               monitor.rcMonitor.right == 1280;
    }));

    dlg.ExitFullScreen();
    // Until the window manager has placed it (its move comes after the size).
    ASSERT_TRUE(run_until([&] {
        const CRect now = window_rect(hwnd);
        return probe.frame_extents(window()).y > 0 && now.Width() == before.Width() &&
               now.Height() == before.Height() && now.right <= 1280 && now.bottom <= 720;
    })) << text_of(window_rect(hwnd));
    const CRect after = window_rect(hwnd);
    EXPECT_GE(after.left, 0) << text_of(after);
    EXPECT_GE(after.top, 0) << text_of(after);
    EXPECT_LE(after.right, 1280) << text_of(after);
    EXPECT_LE(after.bottom, 720) << text_of(after);
    EXPECT_EQ(after.Width(), before.Width()) << "the window fits: only its place changes";
    EXPECT_EQ(after.Height(), before.Height());
}

// The dialog as the program runs it, with one more command that ends it
// with a result of its own.
class ModalDlg : public TestDlg {
public:
    std::atomic<HWND> window{nullptr};
    static const UINT kEndCommand = 4242;

protected:
    BOOL OnInitDialog() override
    {
        BOOL result = TestDlg::OnInitDialog();
        window = m_hWnd;
        return result;
    }
    void OnEndCommand() { EndDialog(static_cast<int>(kEndCommand)); }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(ModalDlg, TestDlg)
    ON_COMMAND(ModalDlg::kEndCommand, &ModalDlg::OnEndCommand)
END_MESSAGE_MAP()

TEST(FullScreenModal, EscAndEnterNeverEndTheDialog)
{
    ModalDlg dlg;
    std::thread user([&] {
        x11_probe probe;
        ASSERT_TRUE(x11_probe::wait_until([&] { return dlg.window.load() != nullptr; }));
        const Window w = xid(dlg.window);
        probe.press_key(w, XK_Escape);
        probe.press_key(w, XK_Return);
        // Delivered after the keys: the dialog is still running when it comes.
        probe.send_window_message(w, WM_COMMAND, MAKEWPARAM(ModalDlg::kEndCommand, 0), 0);
    });
    const INT_PTR result = dlg.DoModal();
    user.join();
    EXPECT_EQ(result, static_cast<INT_PTR>(ModalDlg::kEndCommand));
    EXPECT_FALSE(dlg.m_bFullScreen);
}

TEST_F(FullScreen, TimerTickDrivesTheCursorCountBelowZero)
{
    const struct {
        int before, after;
    } cases[] = {{0, -1}, {2, -1}, {4, -1}, {1, -2}, {3, -2}, {-1, -2}, {-3, -4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before);
        set_cursor_count(c.before);
        ::SendMessageW(hwnd, WM_TIMER, 1, 0);
        EXPECT_EQ(cursor_count(), c.after);
    }
    // Other timers leave the cursor alone.
    set_cursor_count(2);
    ::SendMessageW(hwnd, WM_TIMER, 2, 0);
    EXPECT_EQ(cursor_count(), 2);
}

TEST_F(FullScreen, MotionOfMoreThanOnePixelShowsTheCursor)
{
    trace_capture traces;
    const struct {
        int x, y;
        bool shows;
    } steps[] = {
        {100, 100, true},   // from where the dialog starts counting, (0, 0)
        {102, 100, true},   // 2 px across
        {102, 98, true},    // 2 px up
        {103, 99, false},   // 1 px on both axes
        {102, 100, false},  // and back
        {102, 101, false},  // 1 px down only
        {99, 101, true},    // 3 px back
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(std::to_string(s.x) + "," + std::to_string(s.y));
        const int before = cursor_count();
        const int traced = traces.count("OnMouseMove 1111\n");
        probe.move_pointer(window(), s.x, s.y);
        ASSERT_TRUE(run_until([&] { return dlg.m_ptLastMouse == CPoint(s.x, s.y); }));
        EXPECT_EQ(cursor_count(), before + (s.shows ? 1 : 0));
        EXPECT_EQ(traces.count("OnMouseMove 1111\n"), traced + (s.shows ? 0 : 1));
    }
}

TEST_F(FullScreen, CursorTimerAndKeepAwakeLastOnlyWhileFullScreen)
{
    set_cursor_count(0);
    dlg.EnterFullScreen();
    const CRect restore = dlg.m_rcRestore;
    const LONG style = dlg.m_lStyle;
    // Entering again keeps what the first entry saved; the cursor shows on.
    dlg.EnterFullScreen();
    EXPECT_TRUE(dlg.m_rcRestore == restore);
    EXPECT_EQ(dlg.m_lStyle, style);
    EXPECT_EQ(cursor_count(), 0);

    dlg.ExitFullScreen();
    EXPECT_FALSE(::KillTimer(hwnd, 1)) << "the cursor timer runs on";
    EXPECT_EQ(::SetThreadExecutionState(ES_CONTINUOUS), ES_CONTINUOUS);
    EXPECT_EQ(cursor_count(), 1);
    // Leaving again does nothing more.
    dlg.ExitFullScreen();
    EXPECT_EQ(cursor_count(), 1);

    dlg.EnterFullScreen();
    EXPECT_TRUE(::KillTimer(hwnd, 1)) << "no cursor timer in full screen";
    dlg.ExitFullScreen();
}

// The one case that waits for a real ten-second tick: the cursor stays
// until then (a busy machine can only make the tick later).
TEST_F(FullScreen, CursorHidesAtTheFirstTickAfterEntering)
{
    set_cursor_count(3);  // the mouse has moved a few times
    const auto entered = std::chrono::steady_clock::now();
    dlg.EnterFullScreen();
    EXPECT_EQ(cursor_count(), 3) << "hidden at once";
    EXPECT_TRUE(run_until([] { return cursor_count() < 0; }, 20s));
    EXPECT_GE(std::chrono::steady_clock::now() - entered, 9500ms) << "hidden before the ten-second tick";
    EXPECT_EQ(cursor_count(), -2);
    dlg.ExitFullScreen();
    EXPECT_EQ(cursor_count(), -1);
}

}  // namespace
