// The main dialog in this process: created from its template, driven
// through its messages, observed through the layer and an independent X
// client. And the application object's settings for the framework.
#include "TessalyApp.h"
#include "resource.h"
#include "TessalyDlg.h"

#include "message_pump.h"
#include "x11_probe.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

// Rectangles print as "(left, top)-(right, bottom)" in failures.
void PrintTo(const CRect& r, std::ostream* os)
{
    *os << "(" << r.left << ", " << r.top << ")-(" << r.right << ", " << r.bottom << ")";
}

namespace {

using namespace std::chrono_literals;

// Exposes the dialog's state to the tests.
class TestDlg : public CTessalyDlg {
public:
    using CTessalyDlg::m_bStopCapture;
    using CTessalyDlg::m_capture;
    using CTessalyDlg::m_hIcon;
    using CTessalyDlg::m_rcClient;
    using CTessalyDlg::m_strNoSignalImage;
};

// Runs this thread's messages, the framework's pre-translation first,
// until pred holds or the time is up.
bool run_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout = kHangTimeout)
{
    return pump_until(pred, timeout, AfxPreTranslateMessage);
}

CRect client_of(HWND hwnd)
{
    CRect rc;
    ::GetClientRect(hwnd, &rc);
    return rc;
}

// The picture control's rectangle in the dialog's client coordinates.
CRect picture_rect(HWND dialog)
{
    CRect rc;
    ::GetWindowRect(::GetDlgItem(dialog, IDC_PICTURE), &rc);
    ::ScreenToClient(dialog, reinterpret_cast<LPPOINT>(&rc.left));
    ::ScreenToClient(dialog, reinterpret_cast<LPPOINT>(&rc.right));
    return rc;
}

// The main dialog of this process, once it exists (windows of programs that
// just ended may still be listed by the window manager for a moment).
HWND await_own_dialog()
{
    HWND h = nullptr;
    x11_probe::wait_until([&] {
        h = ::FindWindowW(nullptr, L"Vistamo v2.1.9");
        return h && ::GetWindowThreadProcessId(h, nullptr) != 0;
    });
    return h;
}

bool near(const CRect& a, const CRect& b, int slack = 1)
{
    return std::abs(a.left - b.left) <= slack && std::abs(a.top - b.top) <= slack &&
           std::abs(a.right - b.right) <= slack && std::abs(a.bottom - b.bottom) <= slack;
}

class MainDialog : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dlg.Create(102));
        hwnd = dlg.m_hWnd;
        ASSERT_TRUE(::IsWindow(hwnd));
        // Shown and laid out by the window manager.
        ASSERT_TRUE(run_until([&] { return probe.client_rect(window()).width == 863; }));
    }
    void TearDown() override
    {
        if (::IsWindow(hwnd))
            ::DestroyWindow(hwnd);
    }
    Window window() const { return static_cast<Window>(reinterpret_cast<uintptr_t>(hwnd)); }

    // Resizes the client area the way a user dragging the frame does.
    bool resize_client(int width, int height)
    {
        probe.resize(window(), width, height);
        return run_until([&] { return client_of(hwnd).Width() == width && client_of(hwnd).Height() == height; });
    }

    bool paint_now()
    {
        ::InvalidateRect(hwnd, nullptr, TRUE);
        ::UpdateWindow(hwnd);
        return true;
    }

    COLORREF pixel(int x, int y)
    {
        HDC dc = ::GetDC(hwnd);
        COLORREF c = ::GetPixel(dc, x, y);
        ::ReleaseDC(hwnd, dc);
        return c;
    }

    x11_probe probe;
    TestDlg dlg;
    HWND hwnd = nullptr;
};

TEST_F(MainDialog, StartsWithThePictureControlFillingTheClientArea)
{
    EXPECT_EQ(client_of(hwnd), CRect(0, 0, 863, 565));
    EXPECT_EQ(picture_rect(hwnd), CRect(0, 0, 863, 565));
    EXPECT_EQ(dlg.m_rcClient, CRect(0, 0, 863, 565));
    EXPECT_FALSE(::IsWindowVisible(::GetDlgItem(hwnd, 1007)));
    EXPECT_FALSE(dlg.m_capture.isOpened());
}

TEST_F(MainDialog, CarriesItsIconAndTheAboutItemThatDoesNothing)
{
    ASSERT_NE(dlg.m_hIcon, nullptr);
    EXPECT_EQ(reinterpret_cast<HICON>(::SendMessageW(hwnd, WM_GETICON, ICON_BIG, 0)), dlg.m_hIcon);
    EXPECT_EQ(reinterpret_cast<HICON>(::SendMessageW(hwnd, WM_GETICON, ICON_SMALL, 0)), dlg.m_hIcon);
    EXPECT_EQ(reinterpret_cast<HCURSOR>(::SendMessageW(hwnd, WM_QUERYDRAGICON, 0, 0)), dlg.m_hIcon);

    HMENU menu = ::GetSystemMenu(hwnd, FALSE);
    ASSERT_NE(menu, nullptr);
    int n = ::GetMenuItemCount(menu);
    ASSERT_GE(n, 2);
    EXPECT_EQ(::GetMenuState(menu, static_cast<UINT>(n - 2), MF_BYPOSITION) & MF_SEPARATOR, static_cast<UINT>(MF_SEPARATOR));
    EXPECT_EQ(::GetMenuItemID(menu, n - 1), 16u);
    wchar_t text[64];
    ::GetMenuStringW(menu, 16, text, 64, MF_BYCOMMAND);
    EXPECT_STREQ(text, L"关于 Tessaly(&A)...");

    ::SendMessageW(hwnd, WM_SYSCOMMAND, 16, 0);
    run_until([] { return false; }, 100ms);
    EXPECT_TRUE(::IsWindow(hwnd));
    EXPECT_FALSE(::IsIconic(hwnd));
    EXPECT_EQ(client_of(hwnd), CRect(0, 0, 863, 565));
}

TEST_F(MainDialog, NoSignalPicturePathIsBesideTheExecutable)
{
    char exe[MAX_PATH] = {0};
    ::GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string dir(exe, std::strrchr(exe, '/') + 1);
    EXPECT_EQ(std::string(dlg.m_strNoSignalImage.GetString()), dir + "res/dis.jpg");
}

TEST_F(MainDialog, PictureControlFollowsResizesProportionally)
{
    ASSERT_TRUE(resize_client(400, 300));
    ASSERT_TRUE(run_until([&] { return near(picture_rect(hwnd), CRect(0, 0, 400, 300)); }));

    ASSERT_TRUE(resize_client(800, 600));
    EXPECT_TRUE(run_until([&] { return near(picture_rect(hwnd), CRect(0, 0, 800, 600)); }))
        << picture_rect(hwnd).Width() << "x" << picture_rect(hwnd).Height();
    EXPECT_EQ(dlg.m_rcClient, CRect(0, 0, 800, 600));

    ASSERT_TRUE(resize_client(400, 300));
    EXPECT_TRUE(run_until([&] { return near(picture_rect(hwnd), CRect(0, 0, 400, 300)); }));
}

TEST_F(MainDialog, MinimiseAndRestoreKeepTheLayout)
{
    ASSERT_TRUE(resize_client(640, 480));
    ASSERT_TRUE(run_until([&] { return near(picture_rect(hwnd), CRect(0, 0, 640, 480)); }));

    ::SendMessageW(hwnd, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    ASSERT_TRUE(run_until([&] { return ::IsIconic(hwnd) != FALSE; }));
    EXPECT_EQ(dlg.m_rcClient, CRect(0, 0, 640, 480));

    ::SendMessageW(hwnd, WM_SYSCOMMAND, SC_RESTORE, 0);
    ASSERT_TRUE(run_until([&] { return !::IsIconic(hwnd); }));
    EXPECT_TRUE(run_until([&] { return near(picture_rect(hwnd), CRect(0, 0, 640, 480)); }));
    EXPECT_EQ(client_of(hwnd), CRect(0, 0, 640, 480));
}

TEST_F(MainDialog, ZeroSizedClientAreaNeverDividesByZero)
{
    // Shrunk to nothing on one axis, then grown again: the control comes
    // back filling the client area.
    ::SendMessageW(hwnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(863, 0));
    EXPECT_EQ(dlg.m_rcClient.Width(), 863);
    dlg.m_rcClient = CRect(0, 0, 863, 0);
    ::SendMessageW(hwnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(500, 400));
    EXPECT_EQ(picture_rect(hwnd), CRect(0, 0, 500, 400));

    dlg.m_rcClient = CRect(0, 0, 0, 0);
    ::SendMessageW(hwnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(300, 200));
    EXPECT_EQ(picture_rect(hwnd), CRect(0, 0, 300, 200));
}

TEST_F(MainDialog, PaintsBlackAroundTheNoSignalScreenWhileShown)
{
    paint_now();
    EXPECT_EQ(pixel(5, 5), RGB(0, 0, 0));
    EXPECT_EQ(pixel(862, 564), RGB(0, 0, 0));
    // And the screen shows it, clear of the no-signal text in the middle.
    probe_rect r = probe.client_rect(window());
    EXPECT_EQ(probe.screen_pixel(r.x + 10, r.y + 10), 0u);
}

TEST_F(MainDialog, PaintsTheIconCentredWhileMinimised)
{
    ::SendMessageW(hwnd, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    ASSERT_TRUE(run_until([&] { return ::IsIconic(hwnd) != FALSE; }));
    paint_now();

    const COLORREF face = ::GetSysColor(COLOR_3DFACE);
    const int x = (863 - 32 + 1) / 2, y = (565 - 32 + 1) / 2;  // 416, 267
    // The icon's square, and the erased background around it.
    EXPECT_NE(pixel(x + 16, y + 16), face);
    EXPECT_NE(pixel(x + 16, y + 24), face);
    EXPECT_EQ(pixel(x - 1, y + 16), face);
    EXPECT_EQ(pixel(x + 32, y + 16), face);
    EXPECT_EQ(pixel(x + 16, y - 1), face);
    EXPECT_EQ(pixel(x + 16, y + 32), face);
    EXPECT_EQ(pixel(10, 10), face);
}

TEST_F(MainDialog, StopCommandReleasesTheSourceAndKeepsTheWindow)
{
    ::SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(1003, 0), 0);
    EXPECT_TRUE(dlg.m_bStopCapture);
    EXPECT_FALSE(dlg.m_capture.isOpened());
    EXPECT_TRUE(::IsWindow(hwnd));
    EXPECT_TRUE(::IsWindowVisible(hwnd));

    // Other notification codes of the same identifier are not the command.
    TestDlg other;
    ASSERT_TRUE(other.Create(102));
    ::SendMessageW(other.m_hWnd, WM_COMMAND, MAKEWPARAM(1003, 1), 0);
    EXPECT_FALSE(other.m_bStopCapture);

    // The command is meant to come from other programs: one on the display
    // can send it.
    probe.send_window_message(static_cast<Window>(reinterpret_cast<uintptr_t>(other.m_hWnd)), WM_COMMAND,
                              MAKEWPARAM(1003, 0), 0);
    EXPECT_TRUE(run_until([&] { return other.m_bStopCapture != FALSE; }));
    ::DestroyWindow(other.m_hWnd);
}

TEST(MainDialogModal, ClosingEndsTheDialogWithCancel)
{
    TestDlg dlg;
    std::thread closer([] { ::PostMessageW(await_own_dialog(), WM_CLOSE, 0, 0); });
    auto start = std::chrono::steady_clock::now();
    INT_PTR result = dlg.DoModal();
    auto took = std::chrono::steady_clock::now() - start;
    closer.join();
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_TRUE(dlg.m_bStopCapture);
    EXPECT_FALSE(dlg.m_capture.isOpened());
    EXPECT_EQ(dlg.m_hWnd, nullptr);
    EXPECT_LT(took, kHangTimeout);
}

// The application object the program is built around.
TEST(Application, AsksForRestartSupportOnly)
{
    CTessalyApp app;
    EXPECT_EQ(app.m_dwRestartManagerSupportFlags, static_cast<DWORD>(AFX_RESTART_MANAGER_SUPPORT_RESTART));
}

}  // namespace
