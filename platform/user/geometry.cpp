// Window geometry, visibility, window-manager states and Z order.
#include "user_internal.h"
#include "../x11/x11_display.h"
#include "x11_settings.h"
#include "x11_window.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <chrono>
#include <thread>

namespace {

enum { NET_WM_STATE_REMOVE = 0, NET_WM_STATE_ADD = 1 };

// Screen position of a window's client origin. Call with user_lock() held.
bool screen_origin(user_window* w, int& x, int& y)
{
    x = 0;
    y = 0;
    while (w) {
        x += w->x;
        y += w->y;
        if (!w->parent)
            return true;
        w = user_find(w->parent);
    }
    return false;
}

// Whether a window manager runs, asked on the UI connection. Call without
// the display locked.
bool wm_running()
{
    bool wm = false;
    x11_ui_request([&](Display* d) { wm = x11_wm_running(d); });
    return wm;
}

void change_net_state(Display* d, Window w, bool mapped, long action, const char* a1, const char* a2)
{
    Atom first = x11_atom(a1);
    Atom second = a2 ? x11_atom(a2) : 0;
    // Without a manager the property is the state: nobody else keeps it.
    if ((mapped || x11_wm_manages(d, w)) && x11_wm_running(d)) {
        x11_send_root_message(d, w, x11_atom("_NET_WM_STATE"), action, static_cast<long>(first),
                              static_cast<long>(second), 2, 0);
        return;
    }
    // Before the first map the window manager reads the property itself.
    std::vector<unsigned long> atoms;
    x11_get_cardinals(d, w, x11_atom("_NET_WM_STATE"), XA_ATOM, atoms);
    for (Atom a : {first, second}) {
        if (!a)
            continue;
        auto it = std::find(atoms.begin(), atoms.end(), a);
        if (action == NET_WM_STATE_ADD && it == atoms.end())
            atoms.push_back(a);
        if (action == NET_WM_STATE_REMOVE && it != atoms.end())
            atoms.erase(it);
    }
    XChangeProperty(d, w, x11_atom("_NET_WM_STATE"), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(atoms.data()), static_cast<int>(atoms.size()));
}

// Asks for the maximised and full-screen states the window has to end, in
// the reverse order of entering: a manager that is asked to end maximised
// while full screen may take no note of it (xfwm4), and then keeps the
// full-screen rectangle for the maximised window.
void drop_full_states(Display* d, Window w, bool mapped, bool maximized, bool fullscreen)
{
    if (fullscreen)
        change_net_state(d, w, mapped, NET_WM_STATE_REMOVE, "_NET_WM_STATE_FULLSCREEN", nullptr);
    if (maximized)
        change_net_state(d, w, mapped, NET_WM_STATE_REMOVE, "_NET_WM_STATE_MAXIMIZED_VERT",
                         "_NET_WM_STATE_MAXIMIZED_HORZ");
}

// Gives a mapped window the keyboard focus and raises it, as Win32's
// activation does. The request carries the server's time now, so managers
// that hold off focus stealing (mutter, xfwm4, kwin) see it as newer than
// the last input to the window that has the focus; our own windows carry
// the same time as their last user time. Source 1 is an application
// acting for itself, 2 a request on the user's behalf (as a pager's).
void activate(Display* d, Window xid, bool ours, long source)
{
    if (!x11_wm_running(d)) {
        XRaiseWindow(d, xid);
        XSetInputFocus(d, xid, RevertToParent, CurrentTime);
        return;
    }
    const long now = static_cast<long>(x11_server_time(d));
    if (ours)
        XChangeProperty(d, xid, x11_atom("_NET_WM_USER_TIME"), XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&now), 1);
    x11_send_root_message(d, xid, x11_atom("_NET_ACTIVE_WINDOW"), source, now, 0, 0, 0);
}

// The user time a window is first mapped with: now for a window that is to
// take the focus, 0 (EWMH: do not focus) for one shown without activation.
void set_map_user_time(Display* d, Window xid, bool activates)
{
    const long when = activates ? static_cast<long>(x11_server_time(d)) : 0;
    XChangeProperty(d, xid, x11_atom("_NET_WM_USER_TIME"), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&when), 1);
}

// Without a window manager nobody puts a window into the state it asks
// for, so the layer does: over the whole monitor that holds it for full
// screen, over that monitor's work area when maximised, with the state
// kept in _NET_WM_STATE as a manager would. The client rectangle from
// before is kept for SW_RESTORE.
void maximize_unmanaged(HWND hwnd, Window xid, bool fullscreen)
{
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (!GetMonitorInfoW(MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST), &info))
        return;
    const RECT r = fullscreen ? info.rcMonitor : info.rcWork;
    {
        std::lock_guard<std::mutex> lock(user_lock());
        user_window* w = user_find(hwnd);
        if (!w)
            return;
        if (!w->maximized && !w->fullscreen)
            w->unmanaged_normal = RECT{w->x, w->y, w->x + w->width, w->y + w->height};
    }
    x11_ui_request([&](Display* d) {
        change_net_state(d, xid, true, NET_WM_STATE_ADD,
                         fullscreen ? "_NET_WM_STATE_FULLSCREEN" : "_NET_WM_STATE_MAXIMIZED_VERT",
                         fullscreen ? nullptr : "_NET_WM_STATE_MAXIMIZED_HORZ");
        XMoveResizeWindow(d, xid, r.left, r.top, static_cast<unsigned>(r.right - r.left),
                          static_cast<unsigned>(r.bottom - r.top));
        XMapRaised(d, xid);
    });
    Display* d = x11_ui_display();
    bool iconic, maximized, full, above;
    XLockDisplay(d);
    x11_read_state(d, xid, iconic, maximized, full, above);
    XUnlockDisplay(d);
    user_set_state(hwnd, false, maximized, full);
    x11_refresh_toplevel(d, hwnd, xid);
}

// Ends a state the layer put a window into without a manager, back to the
// rectangle it had (SW_RESTORE) or, with no rectangle, in place.
void restore_unmanaged(HWND hwnd, Window xid, bool to_normal)
{
    RECT normal{};
    {
        std::lock_guard<std::mutex> lock(user_lock());
        user_window* w = user_find(hwnd);
        if (!w)
            return;
        normal = w->unmanaged_normal;
    }
    x11_ui_request([&](Display* d) {
        drop_full_states(d, xid, true, true, true);
        if (to_normal && normal.right > normal.left && normal.bottom > normal.top)
            XMoveResizeWindow(d, xid, normal.left, normal.top, static_cast<unsigned>(normal.right - normal.left),
                              static_cast<unsigned>(normal.bottom - normal.top));
    });
    user_set_state(hwnd, false, false, false);
    x11_refresh_toplevel(x11_ui_display(), hwnd, xid);
}

// Waits up to 300 ms for the window manager to put a window into the state
// asked for, reading properties only, so no event is taken from the queue.
void await_state(HWND hwnd, Window xid, const std::function<bool(bool, bool, bool)>& reached)
{
    Display* d = x11_ui_display();
    bool iconic = false, maximized = false, fullscreen = false, above = false;
    if (!wm_running())
        return;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    do {
        XLockDisplay(d);
        XSync(d, False);
        x11_read_state(d, xid, iconic, maximized, fullscreen, above);
        XUnlockDisplay(d);
        if (reached(iconic, maximized, fullscreen))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (std::chrono::steady_clock::now() < deadline);
    user_set_state(hwnd, iconic, maximized, fullscreen);
    // The manager places the window before it announces the state, so the
    // rectangle read now is the one on the screen: GetWindowRect right
    // after ShowWindow gives it even on the X thread, which has not yet
    // seen the ConfigureNotify.
    x11_refresh_toplevel(d, hwnd, xid);
}

// Waits up to 300 ms for the window manager's frame to match the style
// (a caption bar when the style has a caption, none without a frame
// style) and reads its extents.
void await_frame(Window xid, DWORD style, int& left, int& right, int& top, int& bottom)
{
    Display* d = x11_ui_display();
    const bool caption = (style & WS_CAPTION) == WS_CAPTION;
    const bool framed = caption || (style & WS_THICKFRAME);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    for (;;) {
        int l = 0, r = 0, t = 0, b = 0;
        XLockDisplay(d);
        XSync(d, False);
        x11_read_frame_extents(d, xid, l, r, t, b);
        XUnlockDisplay(d);
        left = l;
        right = r;
        top = t;
        bottom = b;
        const bool reached = caption ? t > 0 : (framed || (l == 0 && r == 0 && t == 0 && b == 0));
        if (reached || std::chrono::steady_clock::now() >= deadline)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

bool x11_wm_manages(Display* d, Window w)
{
    std::vector<unsigned long> values;
    Atom wm_state = x11_atom("WM_STATE");
    return x11_get_cardinals(d, w, wm_state, wm_state, values) && !values.empty() &&
           values[0] != WithdrawnState;
}

void x11_read_state(Display* d, Window w, bool& iconic, bool& maximized, bool& fullscreen, bool& above)
{
    std::vector<unsigned long> values;
    iconic = false;
    Atom wm_state = x11_atom("WM_STATE");
    if (x11_get_cardinals(d, w, wm_state, wm_state, values) && !values.empty())
        iconic = values[0] == IconicState;
    bool hidden = false, vert = false, horz = false;
    fullscreen = false;
    above = false;
    if (x11_get_cardinals(d, w, x11_atom("_NET_WM_STATE"), XA_ATOM, values)) {
        for (unsigned long a : values) {
            hidden |= a == x11_atom("_NET_WM_STATE_HIDDEN");
            vert |= a == x11_atom("_NET_WM_STATE_MAXIMIZED_VERT");
            horz |= a == x11_atom("_NET_WM_STATE_MAXIMIZED_HORZ");
            fullscreen |= a == x11_atom("_NET_WM_STATE_FULLSCREEN");
            above |= a == x11_atom("_NET_WM_STATE_ABOVE");
        }
    }
    iconic = iconic || hidden;
    maximized = vert && horz;
}

void x11_read_frame_extents(Display* d, Window w, int& left, int& right, int& top, int& bottom)
{
    std::vector<unsigned long> v;
    if (x11_get_cardinals(d, w, x11_atom("_NET_FRAME_EXTENTS"), XA_CARDINAL, v) && v.size() == 4) {
        left = static_cast<int>(v[0]);
        right = static_cast<int>(v[1]);
        top = static_cast<int>(v[2]);
        bottom = static_cast<int>(v[3]);
    }
}

bool x11_client_origin(Display* d, Window w, int& x, int& y)
{
    Window child;
    return XTranslateCoordinates(d, w, DefaultRootWindow(d), 0, 0, &x, &y, &child) != 0;
}

void user_set_state(HWND hwnd, bool iconic, bool maximized, bool fullscreen)
{
    bool changed = false;
    int width = 0, height = 0;
    {
        std::lock_guard<std::mutex> lock(user_lock());
        user_window* w = user_find(hwnd);
        if (!w)
            return;
        changed = w->iconic != iconic || w->maximized != maximized || w->fullscreen != fullscreen;
        w->iconic = iconic;
        w->maximized = maximized;
        w->fullscreen = fullscreen;
        width = w->width;
        height = w->height;
    }
    if (!changed)
        return;
    if (iconic) {
        SendMessageW(hwnd, WM_SIZE, SIZE_MINIMIZED, 0);
        return;
    }
    SendMessageW(hwnd, WM_SIZE, (maximized || fullscreen) ? SIZE_MAXIMIZED : SIZE_RESTORED,
                 MAKELPARAM(width, height));
    user_invalidate(hwnd, nullptr, true);
}

void user_set_geometry(HWND hwnd, int x, int y, int width, int height)
{
    bool moved = false, sized = false, iconic = false, maximized = false;
    std::shared_ptr<gdi_surface> surface;
    COLORREF fill = 0;
    {
        std::lock_guard<std::mutex> lock(user_lock());
        user_window* w = user_find(hwnd);
        if (!w)
            return;
        moved = w->x != x || w->y != y;
        sized = w->width != width || w->height != height;
        w->x = x;
        w->y = y;
        w->width = width;
        w->height = height;
        iconic = w->iconic;
        maximized = w->maximized || w->fullscreen;
        surface = w->surface;
        bool ok = false;
        fill = gdi_brush_color(w->cls ? w->cls->background : nullptr, &ok);
        if (!ok)
            fill = (w->parent && (w->style & SS_TYPEMASK) == SS_BLACKFRAME) ? RGB(0, 0, 0) : GetSysColor(COLOR_3DFACE);
    }
    if (sized && surface)
        gdi_surface_resize(*surface, width, height, fill);
    if (sized && !iconic) {
        SendMessageW(hwnd, WM_SIZE, maximized ? SIZE_MAXIMIZED : SIZE_RESTORED, MAKELPARAM(width, height));
        user_invalidate(hwnd, nullptr, true);
    }
    if (moved)
        SendMessageW(hwnd, WM_MOVE, 0, MAKELPARAM(x, y));
}

BOOL GetClientRect(HWND hwnd, LPRECT rect)
{
    if (!rect)
        return FALSE;
    std::lock_guard<std::mutex> lock(user_lock());
    user_window* w = user_find(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    *rect = RECT{0, 0, w->width, w->height};
    return TRUE;
}

BOOL GetWindowRect(HWND hwnd, LPRECT rect)
{
    if (!rect)
        return FALSE;
    {
        std::lock_guard<std::mutex> lock(user_lock());
        if (user_window* w = user_find(hwnd)) {
            int x, y;
            screen_origin(w, x, y);
            *rect = RECT{x - w->frame_left, y - w->frame_top, x + w->width + w->frame_right,
                         y + w->height + w->frame_bottom};
            return TRUE;
        }
    }
    // A window of another process: its client area and frame as X tells.
    BOOL ok = FALSE;
    x11_ui_request([&](Display* d) {
        XWindowAttributes attrs;
        int x, y;
        Window xid = static_cast<Window>(reinterpret_cast<uintptr_t>(hwnd));
        if (!XGetWindowAttributes(d, xid, &attrs) || !x11_client_origin(d, xid, x, y))
            return;
        int l = 0, r = 0, t = 0, b = 0;
        x11_read_frame_extents(d, xid, l, r, t, b);
        *rect = RECT{x - l, y - t, x + attrs.width + r, y + attrs.height + b};
        ok = TRUE;
    });
    if (!ok)
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return ok;
}

BOOL ScreenToClient(HWND hwnd, LPPOINT point)
{
    if (!point)
        return FALSE;
    std::lock_guard<std::mutex> lock(user_lock());
    int x, y;
    user_window* w = user_find(hwnd);
    if (!w || !screen_origin(w, x, y))
        return FALSE;
    point->x -= x;
    point->y -= y;
    return TRUE;
}

BOOL ClientToScreen(HWND hwnd, LPPOINT point)
{
    if (!point)
        return FALSE;
    std::lock_guard<std::mutex> lock(user_lock());
    int x, y;
    user_window* w = user_find(hwnd);
    if (!w || !screen_origin(w, x, y))
        return FALSE;
    point->x += x;
    point->y += y;
    return TRUE;
}

BOOL MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL repaint)
{
    return SetWindowPos(hwnd, nullptr, x, y, width, height,
                        SWP_NOZORDER | SWP_NOACTIVATE | (repaint ? 0 : SWP_NOREDRAW));
}

BOOL SetWindowPos(HWND hwnd, HWND insertAfter, int x, int y, int cx, int cy, UINT flags)
{
    bool local = false, child = false, mapped = false, maximized = false, fullscreen = false;
    bool frame_pending = false, keep_maximized = false;
    unsigned long xid = static_cast<unsigned long>(reinterpret_cast<uintptr_t>(hwnd));
    int fl = 0, fr = 0, ft = 0, fb = 0;
    RECT outer{};
    DWORD style = 0;
    {
        std::lock_guard<std::mutex> lock(user_lock());
        if (user_window* w = user_find(hwnd)) {
            local = true;
            child = w->parent != nullptr;
            mapped = w->mapped;
            maximized = w->maximized;
            fullscreen = w->fullscreen;
            frame_pending = w->frame_pending;
            keep_maximized = w->keep_maximized;
            fl = w->frame_left;
            fr = w->frame_right;
            ft = w->frame_top;
            fb = w->frame_bottom;
            style = w->style;
            int ox, oy;
            screen_origin(w, ox, oy);
            outer = RECT{ox - fl, oy - ft, ox + w->width + fr, oy + w->height + fb};
        }
    }
    const bool places = !(flags & SWP_NOSIZE) || !(flags & SWP_NOMOVE);
    if (local && !child && places && (maximized || fullscreen)) {
        // A full-screen window without a caption asked to cover at least
        // its monitor (its rectangle now) stays full screen: the manager
        // keeps it on the monitor, and a request past the edges changes
        // nothing anyone sees. Any other placement ends the maximised or
        // full-screen state first, so the manager, which keeps such a
        // window where the state puts it, takes the rectangle asked for.
        const int nx = (flags & SWP_NOMOVE) ? outer.left : x, ny = (flags & SWP_NOMOVE) ? outer.top : y;
        const int nw = (flags & SWP_NOSIZE) ? outer.right - outer.left : cx;
        const int nh = (flags & SWP_NOSIZE) ? outer.bottom - outer.top : cy;
        const bool covers = nx <= outer.left && ny <= outer.top && nx + nw >= outer.right && ny + nh >= outer.bottom;
        const bool wm = wm_running();
        if (fullscreen && (style & WS_CAPTION) != WS_CAPTION && covers) {
            flags |= SWP_NOMOVE | SWP_NOSIZE;
        } else if (!wm) {
            restore_unmanaged(hwnd, xid, false);
        } else if (fullscreen && keep_maximized && (style & WS_CAPTION) == WS_CAPTION) {
            // Leaving full screen for the maximised state the style word
            // says the window had: the manager places it, as before. Both
            // states go first, as a manager may keep the full-screen
            // rectangle for a window that stays marked maximised (xfwm4),
            // and the frame goes back on before it sizes the window for it.
            x11_ui_request([&](Display* d) { drop_full_states(d, xid, mapped, true, true); });
            await_state(hwnd, xid, [](bool, bool m, bool f) { return !m && !f; });
            await_frame(xid, style, fl, fr, ft, fb);
            x11_ui_request([&](Display* d) {
                change_net_state(d, xid, mapped, NET_WM_STATE_ADD, "_NET_WM_STATE_MAXIMIZED_VERT",
                                 "_NET_WM_STATE_MAXIMIZED_HORZ");
            });
            await_state(hwnd, xid, [](bool, bool m, bool f) { return m && !f; });
            frame_pending = false;
            flags |= SWP_NOMOVE | SWP_NOSIZE;
        } else {
            x11_ui_request([&](Display* d) { drop_full_states(d, xid, mapped, maximized, fullscreen); });
            await_state(hwnd, xid, [](bool, bool m, bool f) { return !m && !f; });
            // Sizes are asked for the client area, so the frame the manager
            // draws back around the window must be known first.
            await_frame(xid, style, fl, fr, ft, fb);
            frame_pending = false;
        }
        if (fullscreen) {
            std::lock_guard<std::mutex> lock(user_lock());
            if (user_window* w = user_find(hwnd))
                w->keep_maximized = false;
        }
    }
    if (local && !child && places && frame_pending && mapped) {
        // The style changed the frame (a caption back, say) since the
        // manager last drew it: the new extents decide where the client
        // goes.
        if (wm_running())
            await_frame(xid, style, fl, fr, ft, fb);
    }
    if (local && !child && places) {
        std::lock_guard<std::mutex> lock(user_lock());
        if (user_window* w = user_find(hwnd)) {
            w->frame_pending = false;
            w->centre_pending = false;
        }
    }
    if (!local && !IsWindow(hwnd)) {
        bool exists = false;
        x11_ui_request([&](Display* d) {
            XWindowAttributes attrs;
            exists = XGetWindowAttributes(d, xid, &attrs) != 0;
            if (exists)
                mapped = attrs.map_state != IsUnmapped;
        });
        if (!exists) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
    }
    if (!(flags & SWP_NOSIZE) || !(flags & SWP_NOMOVE)) {
        if (child) {
            RECT now{};
            GetClientRect(hwnd, &now);
            int px = x, py = y;
            if (flags & SWP_NOMOVE) {
                std::lock_guard<std::mutex> lock(user_lock());
                user_window* w = user_find(hwnd);
                px = w ? w->x : 0;
                py = w ? w->y : 0;
            }
            int w = (flags & SWP_NOSIZE) ? now.right : std::max(cx, 0);
            int h = (flags & SWP_NOSIZE) ? now.bottom : std::max(cy, 0);
            x11_ui_request([&](Display* d) {
                XMoveResizeWindow(d, xid, px, py, static_cast<unsigned>(std::max(w, 1)),
                                  static_cast<unsigned>(std::max(h, 1)));
            });
            user_set_geometry(hwnd, px, py, w, h);
        } else {
            // Outer rectangle in, client area out; the window manager keeps
            // the client where asked (static gravity).
            x11_ui_request([&](Display* d) {
                XWindowChanges ch{};
                unsigned mask = 0;
                if (!(flags & SWP_NOMOVE)) {
                    ch.x = x + fl;
                    ch.y = y + ft;
                    mask |= CWX | CWY;
                }
                if (!(flags & SWP_NOSIZE)) {
                    ch.width = std::max(cx - fl - fr, 1);
                    ch.height = std::max(cy - ft - fb, 1);
                    mask |= CWWidth | CWHeight;
                }
                XConfigureWindow(d, xid, mask, &ch);
            });
        }
    }
    if (!child && !(flags & SWP_NOZORDER)) {
        x11_ui_request([&](Display* d) {
            if (insertAfter == HWND_TOPMOST || insertAfter == HWND_NOTOPMOST) {
                change_net_state(d, xid, mapped, insertAfter == HWND_TOPMOST ? NET_WM_STATE_ADD : NET_WM_STATE_REMOVE,
                                 "_NET_WM_STATE_ABOVE", nullptr);
            }
            if (insertAfter == HWND_TOP || insertAfter == HWND_TOPMOST)
                XRaiseWindow(d, xid);
        });
    }
    if (local && (flags & SWP_FRAMECHANGED) && !child)
        x11_ui_request([&](Display* d) { x11_apply_frame_style(d, xid, style); });
    if (flags & SWP_SHOWWINDOW)
        ShowWindow(hwnd, SW_SHOWNA);
    if (flags & SWP_HIDEWINDOW)
        ShowWindow(hwnd, SW_HIDE);
    return TRUE;
}

BOOL ShowWindow(HWND hwnd, int command)
{
    bool was_visible, child, mapped, iconic, maximized, fullscreen;
    unsigned long xid;
    DWORD style;
    {
        std::lock_guard<std::mutex> lock(user_lock());
        user_window* w = user_find(hwnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        was_visible = (w->style & WS_VISIBLE) != 0;
        child = w->parent != nullptr;
        mapped = w->mapped;
        iconic = w->iconic;
        maximized = w->maximized;
        fullscreen = w->fullscreen;
        xid = w->xid;
        style = w->style;
        if (command == SW_HIDE)
            w->style &= ~WS_VISIBLE;
        else
            w->style |= WS_VISIBLE;
        w->mapped = command != SW_HIDE;
    }
    if (command == SW_HIDE) {
        x11_ui_request([&](Display* d) {
            if (child)
                XUnmapWindow(d, xid);
            else
                XWithdrawWindow(d, xid, DefaultScreen(d));
        });
        return was_visible;
    }
    if (!mapped)
        user_invalidate(hwnd, nullptr, true);
    if (child) {
        // Pixels go on the presentation connection, which the server orders
        // independently: a drawing made as soon as this returns must find
        // the child mapped, or it is lost until the next expose.
        x11_ui_request([&](Display* d) {
            XMapWindow(d, xid);
            XSync(d, False);
        });
        return was_visible;
    }
    // A window without caption covers the whole monitor when maximised.
    const bool caption = (style & WS_CAPTION) == WS_CAPTION;
    const char* full = caption ? "_NET_WM_STATE_MAXIMIZED_VERT" : "_NET_WM_STATE_FULLSCREEN";
    const char* full2 = caption ? "_NET_WM_STATE_MAXIMIZED_HORZ" : nullptr;
    // As in Win32, these commands activate the window as they show it.
    const bool activates = command == SW_SHOWNORMAL || command == SW_SHOWMAXIMIZED || command == SW_SHOW ||
                           command == SW_RESTORE || command == SW_SHOWDEFAULT;
    const bool wm = wm_running();
    // Maps the window, or activates it if it was mapped already; a window
    // mapped now carries the user time that tells the manager whether to
    // give it the focus.
    auto map = [&](Display* d) {
        if (!mapped)
            set_map_user_time(d, xid, activates);
        XMapWindow(d, xid);
        // Without a manager the map is done at once, and the focus is ours
        // to set.
        if (activates && (mapped || !wm))
            activate(d, xid, true, 1);
    };
    switch (command) {
    case SW_MINIMIZE:
    case SW_SHOWMINIMIZED:
    case SW_SHOWMINNOACTIVE:
        x11_ui_request([&](Display* d) {
            if (!mapped) {
                XWMHints hints{};
                hints.flags = StateHint;
                hints.initial_state = IconicState;
                XSetWMHints(d, xid, &hints);
                XMapWindow(d, xid);
            } else {
                XIconifyWindow(d, xid, DefaultScreen(d));
            }
        });
        await_state(hwnd, xid, [](bool i, bool, bool) { return i; });
        break;
    case SW_MAXIMIZE:
        if (!wm) {
            maximize_unmanaged(hwnd, xid, !caption);
            x11_ui_request([&](Display* d) { activate(d, xid, true, 1); });
            break;
        }
        x11_ui_request([&](Display* d) {
            change_net_state(d, xid, mapped, NET_WM_STATE_ADD, full, full2);
            map(d);
        });
        await_state(hwnd, xid, [&](bool, bool m, bool f) { return full2 ? m : f; });
        break;
    case SW_RESTORE:
        if (!iconic && (maximized || fullscreen) && !wm) {
            restore_unmanaged(hwnd, xid, true);
            x11_ui_request([&](Display* d) { activate(d, xid, true, 1); });
            break;
        }
        // From the taskbar the window comes back in the state it had, as
        // Win32 restores a minimised window that was maximised: the
        // manager keeps that state while the window is iconic.
        x11_ui_request([&](Display* d) {
            if (!iconic)
                drop_full_states(d, xid, mapped, maximized, fullscreen);
            map(d);
        });
        if (iconic)
            await_state(hwnd, xid, [](bool i, bool, bool) { return !i; });
        else if (maximized || fullscreen)
            await_state(hwnd, xid, [](bool i, bool m, bool f) { return !i && !m && !f; });
        break;
    default:
        x11_ui_request([&](Display* d) { map(d); });
        break;
    }
    return was_visible;
}

BOOL IsIconic(HWND hwnd)
{
    std::lock_guard<std::mutex> lock(user_lock());
    user_window* w = user_find(hwnd);
    return w && w->iconic;
}

BOOL IsZoomed(HWND hwnd)
{
    std::lock_guard<std::mutex> lock(user_lock());
    user_window* w = user_find(hwnd);
    return w && (w->maximized || w->fullscreen);
}

BOOL IsWindowVisible(HWND hwnd)
{
    std::lock_guard<std::mutex> lock(user_lock());
    for (user_window* w = user_find(hwnd); w; w = user_find(w->parent)) {
        if (!(w->style & WS_VISIBLE))
            return FALSE;
        if (!w->parent)
            return TRUE;
    }
    return FALSE;
}

int GetSystemMetrics(int index)
{
    Display* d = x11_ui_display();
    switch (index) {
    case SM_CXSCREEN: return d ? DisplayWidth(d, DefaultScreen(d)) : 0;
    case SM_CYSCREEN: return d ? DisplayHeight(d, DefaultScreen(d)) : 0;
    case SM_CXICON:
    case SM_CYICON: return 32;
    case SM_CXSMICON:
    case SM_CYSMICON: return 16;
    case SM_CXDOUBLECLK:
    case SM_CYDOUBLECLK: return x11_double_click_settings().rect;
    }
    return 0;
}

BOOL SetForegroundWindow(HWND hwnd)
{
    Window xid = static_cast<Window>(reinterpret_cast<uintptr_t>(hwnd));
    BOOL ok = FALSE;
    x11_ui_request([&](Display* d) {
        XWindowAttributes attrs;
        if (!XGetWindowAttributes(d, xid, &attrs))
            return;
        // Source 2 (a pager) asks the window manager to honour the request
        // even though it comes from another program.
        activate(d, xid, false, 2);
        XRaiseWindow(d, xid);
        ok = TRUE;
    });
    return ok;
}

HWND GetForegroundWindow()
{
    HWND out = nullptr;
    x11_ui_request([&](Display* d) {
        std::vector<unsigned long> v;
        if (x11_get_cardinals(d, DefaultRootWindow(d), x11_atom("_NET_ACTIVE_WINDOW"), XA_WINDOW, v) && !v.empty())
            out = reinterpret_cast<HWND>(static_cast<uintptr_t>(v[0]));
    });
    return out;
}
