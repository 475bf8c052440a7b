// The cursor's display count.
//
// As on Windows, the count belongs to a thread and governs the cursor over
// that thread's windows only: while it is negative, the thread's top-level
// windows (and so their children, which take their cursor from them) carry
// an invisible cursor. Hiding it through XFixes instead would hide it over
// the whole screen, and leave it hidden over other programs' windows after
// the user switched to one of them, since no mouse message then reaches the
// thread to raise its count again.
#include "user_internal.h"
#include "../x11/x11_display.h"
#include "x11_window.h"

#include <cstdint>
#include <vector>

namespace {

thread_local int t_cursor_count = 0;

// The invisible cursor, made on the UI connection at first need and kept,
// like the connection, for the process: every hidden window shares it.
// Guarded by that connection's lock (only touched inside x11_ui_request).
Cursor g_invisible = 0;

Cursor x11_invisible_cursor(Display* d)
{
    if (!g_invisible) {
        static const char empty[1] = {0};
        Pixmap bits = XCreateBitmapFromData(d, DefaultRootWindow(d), empty, 1, 1);
        if (!bits)
            return 0;
        XColor black{};
        g_invisible = XCreatePixmapCursor(d, bits, bits, &black, &black, 0, 0);
        XFreePixmap(d, bits);
    }
    return g_invisible;
}

void x11_show_cursor_over(DWORD thread, bool shown)
{
    std::vector<unsigned long> windows;
    {
        std::lock_guard<std::mutex> lock(user_lock());
        user_for_each_window([&](user_window& w) {
            if (!w.parent && w.thread_id == thread)
                windows.push_back(w.xid);
        });
    }
    if (windows.empty())
        return;
    // A window destroyed meanwhile makes its request fail, which the
    // error handler expects of windows that are gone.
    x11_ui_request([&](Display* d) {
        Cursor invisible = shown ? 0 : x11_invisible_cursor(d);
        for (unsigned long xid : windows) {
            if (shown)
                XUndefineCursor(d, xid);
            else if (invisible)
                XDefineCursor(d, xid, invisible);
        }
    });
}

}  // namespace

void x11_cursor_window_created(HWND hwnd)
{
    // The count is the calling thread's, which is the window's owner.
    if (t_cursor_count >= 0)
        return;
    const unsigned long xid = static_cast<unsigned long>(reinterpret_cast<uintptr_t>(hwnd));
    x11_ui_request([&](Display* d) {
        if (Cursor invisible = x11_invisible_cursor(d))
            XDefineCursor(d, xid, invisible);
    });
}

int ShowCursor(BOOL show)
{
    const int before = t_cursor_count;
    t_cursor_count += show ? 1 : -1;
    if ((before < 0) != (t_cursor_count < 0))
        x11_show_cursor_over(GetCurrentThreadId(), t_cursor_count >= 0);
    return t_cursor_count;
}
