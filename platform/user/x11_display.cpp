#include "x11_display.h"

#include "user_internal.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

std::once_flag g_ui_once;
Display* g_ui = nullptr;
std::once_flag g_present_once;
Display* g_present = nullptr;

// The last error seen on the presentation connection, for callers that
// need to know whether a request of theirs failed.
std::atomic<unsigned long> g_present_error_serial{0};

// Asynchronous errors (a window that another process destroyed, pixels sent
// to a window that just went away) are expected here and must not end the
// program, which is what Xlib's default handler does.
int x11_ignore_error(Display* d, XErrorEvent* e)
{
    if (d == g_present)
        g_present_error_serial = e->serial;
    return 0;
}

int x11_io_error(Display*)
{
    std::fputs("vistamo: lost the connection to the X display\n", stderr);
    std::_Exit(1);
}

Display* x11_open()
{
    XSetErrorHandler(x11_ignore_error);
    XSetIOErrorHandler(x11_io_error);
    return XOpenDisplay(nullptr);
}

}  // namespace

Display* x11_ui_display()
{
    std::call_once(g_ui_once, [] {
        XInitThreads();
        g_ui = x11_open();
    });
    return g_ui;
}

Display* x11_present_display()
{
    if (!x11_ui_display())
        return nullptr;
    std::call_once(g_present_once, [] { g_present = x11_open(); });
    return g_present;
}

void x11_ui_request(const std::function<void(Display*)>& fn)
{
    Display* d = x11_ui_display();
    if (!d)
        return;
    XLockDisplay(d);
    fn(d);
    XFlush(d);
    XUnlockDisplay(d);
    DWORD x_thread = user_x11_thread();
    if (x_thread && x_thread != GetCurrentThreadId())
        user_wake(x_thread);
}

bool x11_present_failed_since(unsigned long serial)
{
    Display* d = x11_present_display();
    if (!d)
        return true;
    XSync(d, False);
    return g_present_error_serial.load() >= serial;
}

std::string x11_display_name() { return XDisplayName(nullptr); }

Atom x11_atom(const char* name)
{
    Display* d = x11_ui_display();
    return d ? XInternAtom(d, name, False) : None;
}

Atom x11_window_message_atom()
{
    static Atom atom = x11_atom("_VISTAMO_WINDOW_MESSAGE");
    return atom;
}

std::string x11_get_utf8_property(Display* d, Window w, Atom property)
{
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    std::string out;
    if (XGetWindowProperty(d, w, property, 0, 4096, False, AnyPropertyType, &type, &format, &count, &after,
                           &data) == Success &&
        data) {
        if (format == 8)
            out.assign(reinterpret_cast<char*>(data), count);
        XFree(data);
    }
    return out;
}

std::string x11_window_title(Display* d, Window w)
{
    std::string title = x11_get_utf8_property(d, w, x11_atom("_NET_WM_NAME"));
    if (title.empty())
        title = x11_get_utf8_property(d, w, XA_WM_NAME);
    return title;
}

bool x11_get_cardinals(Display* d, Window w, Atom property, Atom type, std::vector<unsigned long>& out)
{
    Atom actual;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    out.clear();
    if (XGetWindowProperty(d, w, property, 0, 65536, False, type, &actual, &format, &count, &after, &data) !=
            Success ||
        !data)
        return false;
    if (format == 32) {
        auto* values = reinterpret_cast<unsigned long*>(data);
        out.assign(values, values + count);
    }
    XFree(data);
    return format == 32;
}

void x11_send_root_message(Display* d, Window w, Atom type, long l0, long l1, long l2, long l3, long l4)
{
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = w;
    ev.xclient.message_type = type;
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = l0;
    ev.xclient.data.l[1] = l1;
    ev.xclient.data.l[2] = l2;
    ev.xclient.data.l[3] = l3;
    ev.xclient.data.l[4] = l4;
    XSendEvent(d, DefaultRootWindow(d), False, SubstructureRedirectMask | SubstructureNotifyMask, &ev);
}
