// X events of this process's windows, turned into window messages on the
// X thread, and the properties a top-level window carries.
#include "user_internal.h"
#include "../x11/x11_display.h"
#include "x11_settings.h"
#include "x11_window.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

HWND as_hwnd(Window w) { return reinterpret_cast<HWND>(static_cast<uintptr_t>(w)); }

bool is_toplevel(HWND hwnd)
{
    std::lock_guard<std::mutex> lock(user_lock());
    user_window* w = user_find(hwnd);
    return w && !w->parent;
}

// The last left-button press, for double clicks (X thread only).
struct last_click {
    HWND hwnd = nullptr;
    Time time = 0;
    int x = 0, y = 0;
} g_last_click;

WPARAM mouse_keys(unsigned state)
{
    WPARAM keys = 0;
    if (state & Button1Mask)
        keys |= MK_LBUTTON;
    if (state & Button2Mask)
        keys |= MK_MBUTTON;
    if (state & Button3Mask)
        keys |= MK_RBUTTON;
    if (state & ShiftMask)
        keys |= MK_SHIFT;
    if (state & ControlMask)
        keys |= MK_CONTROL;
    return keys;
}

void on_button(XButtonEvent& e)
{
    HWND hwnd = as_hwnd(e.window);
    LPARAM pos = MAKELPARAM(e.x, e.y);
    WPARAM keys = mouse_keys(e.state);
    bool press = e.type == ButtonPress;
    if (e.button == 4 || e.button == 5) {
        if (press)
            user_post(hwnd, WM_MOUSEWHEEL, MAKEWPARAM(keys, e.button == 4 ? 120 : -120), MAKELPARAM(e.x_root, e.y_root));
        return;
    }
    static const UINT down[] = {WM_LBUTTONDOWN, WM_MBUTTONDOWN, WM_RBUTTONDOWN};
    static const UINT up[] = {WM_LBUTTONUP, WM_MBUTTONUP, WM_RBUTTONUP};
    static const UINT dbl[] = {WM_LBUTTONDBLCLK, WM_MBUTTONDBLCLK, WM_RBUTTONDBLCLK};
    static const WPARAM bit[] = {MK_LBUTTON, MK_MBUTTON, MK_RBUTTON};
    if (e.button < 1 || e.button > 3)
        return;
    int i = static_cast<int>(e.button) - 1;
    if (!press) {
        user_post(hwnd, up[i], keys & ~bit[i], pos);
        return;
    }
    keys |= bit[i];
    bool dblclks = false;
    {
        std::lock_guard<std::mutex> lock(user_lock());
        user_window* w = user_find(hwnd);
        dblclks = w && w->cls && (w->cls->style & CS_DBLCLKS);
    }
    // Asked only when a double click is possible: a stale reading costs a
    // round trip to the desktop's settings manager.
    bool is_double = dblclks && i == 0 && g_last_click.hwnd == hwnd;
    if (is_double) {
        x11_double_click settings = x11_double_click_settings();
        int half = settings.rect / 2;
        is_double = e.time - g_last_click.time <= settings.time_ms && std::abs(e.x - g_last_click.x) <= half &&
                    std::abs(e.y - g_last_click.y) <= half;
    }
    if (i == 0)
        g_last_click = is_double ? last_click{} : last_click{hwnd, e.time, e.x, e.y};
    user_post(hwnd, is_double ? dbl[i] : down[i], keys, pos);
}

UINT virtual_key(KeySym sym)
{
    if (sym >= XK_a && sym <= XK_z)
        return static_cast<UINT>('A' + (sym - XK_a));
    if (sym >= XK_A && sym <= XK_Z)
        return static_cast<UINT>('A' + (sym - XK_A));
    if (sym >= XK_0 && sym <= XK_9)
        return static_cast<UINT>('0' + (sym - XK_0));
    if (sym >= XK_F1 && sym <= XK_F12)
        return static_cast<UINT>(VK_F1 + (sym - XK_F1));
    switch (sym) {
    case XK_Escape: return VK_ESCAPE;
    case XK_Return:
    case XK_KP_Enter: return VK_RETURN;
    case XK_Tab: return VK_TAB;
    case XK_BackSpace: return VK_BACK;
    case XK_space: return VK_SPACE;
    case XK_Left: return VK_LEFT;
    case XK_Right: return VK_RIGHT;
    case XK_Up: return VK_UP;
    case XK_Down: return VK_DOWN;
    case XK_Shift_L:
    case XK_Shift_R: return VK_SHIFT;
    case XK_Control_L:
    case XK_Control_R: return VK_CONTROL;
    case XK_Alt_L:
    case XK_Alt_R: return VK_MENU;
    }
    return 0;
}

void on_key(XKeyEvent& e)
{
    KeySym sym = XLookupKeysym(&e, 0);
    UINT vk = virtual_key(sym);
    if (!vk)
        return;
    LPARAM data = 1 | (static_cast<LPARAM>((e.keycode - 8) & 0xFF) << 16);
    if (e.type == KeyRelease)
        data |= static_cast<LPARAM>(0xC0000000u);
    user_post(as_hwnd(e.window), e.type == KeyPress ? WM_KEYDOWN : WM_KEYUP, vk, data);
}

void refresh_state(Display* d, HWND hwnd, Window xid)
{
    bool iconic, maximized, fullscreen, above;
    XLockDisplay(d);
    x11_read_state(d, xid, iconic, maximized, fullscreen, above);
    XUnlockDisplay(d);
    user_set_state(hwnd, iconic, maximized, fullscreen);
}

void on_client_message(Display* d, XClientMessageEvent& e)
{
    HWND hwnd = as_hwnd(e.window);
    if (e.message_type == x11_window_message_atom() && e.format == 32) {
        auto u32 = [&](int i) { return static_cast<uint64_t>(static_cast<uint32_t>(e.data.l[i])); };
        const UINT message = static_cast<UINT>(u32(0));
        // Any client on the display can send these: only messages whose
        // parameters are plain values get through (see x11_message_from_client_allowed).
        if (!x11_message_from_client_allowed(message))
            return;
        WPARAM wParam = static_cast<WPARAM>(u32(1) | (u32(2) << 32));
        LPARAM lParam = static_cast<LPARAM>(u32(3) | (u32(4) << 32));
        user_post(hwnd, message, wParam, lParam);
        return;
    }
    if (e.message_type != x11_atom("WM_PROTOCOLS"))
        return;
    Atom protocol = static_cast<Atom>(e.data.l[0]);
    if (protocol == x11_atom("WM_DELETE_WINDOW")) {
        user_post(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else if (protocol == x11_atom("_NET_WM_PING")) {
        XEvent reply{};
        reply.xclient = e;
        reply.xclient.window = DefaultRootWindow(d);
        XLockDisplay(d);
        XSendEvent(d, DefaultRootWindow(d), False, SubstructureNotifyMask | SubstructureRedirectMask, &reply);
        XUnlockDisplay(d);
    }
}

}  // namespace

void x11_refresh_toplevel(Display* d, HWND hwnd, Window xid)
{
    int x = 0, y = 0, l = 0, r = 0, t = 0, b = 0;
    XWindowAttributes attrs;
    XLockDisplay(d);
    bool ok = XGetWindowAttributes(d, xid, &attrs) && x11_client_origin(d, xid, x, y);
    // A window the manager keeps in no frame has none, whatever an old
    // _NET_FRAME_EXTENTS says: mutter leaves the property as it was when it
    // takes the frame away from a window that drops its decorations.
    Window root = None, parent = None;
    Window* children = nullptr;
    unsigned n = 0;
    if (XQueryTree(d, xid, &root, &parent, &children, &n)) {
        if (children)
            XFree(children);
        if (parent != root)
            x11_read_frame_extents(d, xid, l, r, t, b);
    }
    XUnlockDisplay(d);
    if (!ok)
        return;
    {
        std::lock_guard<std::mutex> lock(user_lock());
        user_window* w = user_find(hwnd);
        if (!w)
            return;
        w->frame_left = l;
        w->frame_right = r;
        w->frame_top = t;
        w->frame_bottom = b;
    }
    user_set_geometry(hwnd, x, y, attrs.width, attrs.height);
}

bool x11_message_from_client_allowed(UINT message)
{
    switch (message) {
    case WM_NULL:
    case WM_CLOSE:
    case WM_COMMAND:
    case WM_SYSCOMMAND: return true;
    default:
        // Registered messages: their parameters mean what the registering
        // programs agree on, and the layer passes them on as numbers.
        return message >= 0xC000 && message <= 0xFFFF;
    }
}

void x11_dispatch_event(XEvent& ev)
{
    Display* d = x11_ui_display();
    HWND hwnd = as_hwnd(ev.xany.window);
    switch (ev.type) {
    case Expose: {
        std::shared_ptr<gdi_surface> surface;
        {
            std::lock_guard<std::mutex> lock(user_lock());
            if (user_window* w = user_find(hwnd))
                surface = w->surface;
        }
        if (surface)
            gdi_surface_present(*surface, RECT{ev.xexpose.x, ev.xexpose.y, ev.xexpose.x + ev.xexpose.width,
                                               ev.xexpose.y + ev.xexpose.height});
        break;
    }
    case ConfigureNotify:
        if (ev.xconfigure.window == ev.xconfigure.event && is_toplevel(hwnd))
            x11_refresh_toplevel(d, hwnd, ev.xconfigure.window);
        break;
    case MapNotify:
        if (is_toplevel(hwnd)) {
            x11_refresh_toplevel(d, hwnd, ev.xmap.window);
            refresh_state(d, hwnd, ev.xmap.window);
        }
        break;
    case PropertyNotify: {
        Atom a = ev.xproperty.atom;
        if (a == x11_atom("WM_STATE") || a == x11_atom("_NET_WM_STATE"))
            refresh_state(d, hwnd, ev.xproperty.window);
        else if (a == x11_atom("_NET_FRAME_EXTENTS")) {
            x11_refresh_toplevel(d, hwnd, ev.xproperty.window);
            user_recentre_after_frame(hwnd);
        }
        break;
    }
    case DestroyNotify:
        // Only another client destroys a window still in our table (ours
        // leave it first). The program cannot go on without its window, so
        // this is handled as the user closing it.
        if (ev.xdestroywindow.window == ev.xdestroywindow.event) {
            x11_note_window_gone(ev.xdestroywindow.window);
            if (is_toplevel(hwnd))
                user_post(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
        }
        break;
    case ClientMessage: on_client_message(d, ev.xclient); break;
    case ButtonPress:
    case ButtonRelease: on_button(ev.xbutton); break;
    case MotionNotify:
        user_post(hwnd, WM_MOUSEMOVE, mouse_keys(ev.xmotion.state), MAKELPARAM(ev.xmotion.x, ev.xmotion.y));
        break;
    case KeyPress:
    case KeyRelease: on_key(ev.xkey); break;
    default: break;
    }
}

void x11_prepare_toplevel(Display* d, Window w, LPCWSTR, DWORD style)
{
    // Instance name from the executable, class "Vistamo".
    char path[4096] = {0};
    GetModuleFileNameA(nullptr, path, sizeof path);
    const char* base = std::strrchr(path, '/');
    std::string instance = base ? base + 1 : "vistamo";
    XClassHint hint;
    hint.res_name = instance.data();
    hint.res_class = const_cast<char*>("Vistamo");
    XSetClassHint(d, w, &hint);

    Atom protocols[] = {x11_atom("WM_DELETE_WINDOW"), x11_atom("_NET_WM_PING")};
    XSetWMProtocols(d, w, protocols, 2);
    long pid = static_cast<long>(::getpid());
    XChangeProperty(d, w, x11_atom("_NET_WM_PID"), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&pid), 1);
    char host[256] = {0};
    if (::gethostname(host, sizeof host - 1) == 0)
        XChangeProperty(d, w, XA_WM_CLIENT_MACHINE, XA_STRING, 8, PropModeReplace,
                        reinterpret_cast<unsigned char*>(host), static_cast<int>(std::strlen(host)));
    Atom normal = x11_atom("_NET_WM_WINDOW_TYPE_NORMAL");
    XChangeProperty(d, w, x11_atom("_NET_WM_WINDOW_TYPE"), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&normal), 1);

    // Positions we set are those of the client area, as Win32 tracks them.
    XSizeHints* size = XAllocSizeHints();
    size->flags = PWinGravity;
    size->win_gravity = StaticGravity;
    XSetWMNormalHints(d, w, size);
    XFree(size);
    XWMHints hints{};
    hints.flags = InputHint | StateHint;
    hints.input = True;
    hints.initial_state = NormalState;
    XSetWMHints(d, w, &hints);
    x11_apply_frame_style(d, w, style);
}
