// The main dialog's full-screen mode and the cursor that hides itself while
// it is on.
#include "TessalyDlg.h"

#include <algorithm>

namespace {

// WS_DLGFRAME | WS_THICKFRAME: the caption bar and the sizing frame.
const LONG kFrameBits = 0x00440000;
const LONG kFullScreenStyleMask = static_cast<LONG>(0xFFBBFFFFu);
const UINT_PTR kCursorTimer = 1;
const UINT kCursorTimerPeriod = 10000;

// The rectangle moved, and shrunk where it is larger, so that all of it lies
// in area.
RECT FitInto(const RECT& r, const RECT& area)
{
    const LONG width = std::min(r.right - r.left, area.right - area.left);
    const LONG height = std::min(r.bottom - r.top, area.bottom - area.top);
    const LONG left = std::max(area.left, std::min(r.left, area.right - width));
    const LONG top = std::max(area.top, std::min(r.top, area.bottom - height));
    return RECT{left, top, left + width, top + height};
}

}  // namespace

void CTessalyDlg::EnterFullScreen()
{
    if (m_bFullScreen)
        return;
    m_bFullScreen = TRUE;
    m_lStyle = ::GetWindowLongW(m_hWnd, GWL_STYLE);
    ::GetWindowRect(m_hWnd, &m_rcRestore);
    m_lStyle &= kFullScreenStyleMask;
    ::SetWindowLongW(m_hWnd, GWL_STYLE, m_lStyle);
    ShowWindow(SW_MAXIMIZE);
    // Grown past the maximised rectangle so that no edge of a frame the
    // window manager might keep shows around the picture.
    CRect r;
    ::GetWindowRect(m_hWnd, &r);
    ::SetWindowPos(m_hWnd, HWND_NOTOPMOST, r.left - 1, r.top - 1, (r.right - r.left) + 3, (r.bottom - r.top) + 3,
                   SWP_FRAMECHANGED);
    ::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED);
    // The first hide comes with the first tick, not now.
    ::SetTimer(m_hWnd, kCursorTimer, kCursorTimerPeriod, nullptr);
}

void CTessalyDlg::ExitFullScreen()
{
    if (!m_bFullScreen)
        return;
    // The style read before maximising, so the window comes back restored
    // without a ShowWindow of its own.
    m_lStyle |= kFrameBits;
    m_bFullScreen = FALSE;
    ::SetWindowLongW(m_hWnd, GWL_STYLE, m_lStyle);
    // The screen may have changed while the window filled it (another
    // resolution, a monitor gone): the window comes back whole on the
    // monitor it fills now.
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (::GetMonitorInfoW(::MonitorFromWindow(m_hWnd, MONITOR_DEFAULTTONEAREST), &monitor))
        m_rcRestore = FitInto(m_rcRestore, monitor.rcWork);
    ::SetWindowPos(m_hWnd, nullptr, m_rcRestore.left, m_rcRestore.top, m_rcRestore.right - m_rcRestore.left,
                   m_rcRestore.bottom - m_rcRestore.top, 0);
    ::SetThreadExecutionState(ES_CONTINUOUS);
    ::KillTimer(m_hWnd, kCursorTimer);
    ::ShowCursor(TRUE);
}

void CTessalyDlg::OnLButtonDblClk(UINT, CPoint)
{
    Default();
    if (m_bFullScreen)
        ExitFullScreen();
    else
        EnterFullScreen();
}

BOOL CTessalyDlg::PreTranslateMessage(MSG* pMsg)
{
    // Ahead of the dialog's own handling, which would end the dialog on
    // either key.
    if (pMsg->message == WM_KEYDOWN && pMsg->wParam == VK_ESCAPE) {
        if (m_bFullScreen)
            ExitFullScreen();
        return TRUE;
    }
    if (pMsg->message == WM_KEYDOWN && pMsg->wParam == VK_RETURN)
        return TRUE;
    return CDialog::PreTranslateMessage(pMsg);
}

void CTessalyDlg::OnTimer(UINT_PTR nIDEvent)
{
    if (nIDEvent == kSignalTimer)
        WatchSignal();
    if (nIDEvent == kCursorTimer) {
        // Two steps at a time while the count is not yet negative: however
        // high mouse motion has driven it, it ends below zero.
        int count = ::ShowCursor(FALSE);
        while (count >= 0) {
            ::ShowCursor(FALSE);
            count = ::ShowCursor(FALSE);
        }
    }
    Default();
}

void CTessalyDlg::OnMouseMove(UINT, CPoint point)
{
    // 64-bit differences: any two client positions compare without overflow.
    const long long dx = static_cast<long long>(point.x) - m_ptLastMouse.x;
    const long long dy = static_cast<long long>(point.y) - m_ptLastMouse.y;
    if (dx > 1 || dx < -1 || dy > 1 || dy < -1)
        ::ShowCursor(TRUE);
    else
        ::OutputDebugStringA("OnMouseMove 1111\n");
    // The timer is not restarted: the next tick hides the cursor however
    // recently the mouse moved.
    m_ptLastMouse = point;
}
