#include "x11_display.h"

#include <winbase.h>

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <tuple>
#include <vector>

struct expected_range {
    Display* display;
    unsigned long first;
    unsigned long last;  // ULONG_MAX while the scope is open
    bool failed = false;
};

namespace {

// Set by the window layer once a thread reads the UI connection's events.
std::atomic<void (*)()> g_wake_event_reader{nullptr};
std::once_flag g_ui_once;
Display* g_ui = nullptr;
std::once_flag g_present_once;
Display* g_present = nullptr;

// Requests that may fail for reasons outside the program (see
// x11_expected_errors). Guarded by g_expected_lock, a leaf lock: the error
// handler takes it, and nothing is called while it is held.
std::mutex g_expected_lock;
std::vector<std::shared_ptr<expected_range>> g_expected;

// Our windows that exist: any other window a request names may vanish
// between two requests (another client's, or ours once destroyed, by us
// or by another client, while requests were still on their way to it).
// Same leaf lock.
std::set<unsigned long> g_live_windows;

// Error kinds already reported: each unexpected kind is traced once, so
// that a fault repeated on every frame does not flood the output.
std::set<std::tuple<int, int, int>> g_reported;

// Called by Xlib, on whichever thread reads the error, with the display
// locked: makes no request.
int x11_error_handler(Display* d, XErrorEvent* e)
{
    bool expected = false;
    std::tuple<int, int, int> kind{e->error_code, e->request_code, e->minor_code};
    bool report = false;
    {
        std::lock_guard<std::mutex> lock(g_expected_lock);
        for (auto& r : g_expected) {
            if (r->display == d && e->serial >= r->first && e->serial <= r->last) {
                r->failed = true;
                expected = true;
            }
        }
        if ((e->error_code == BadWindow || e->error_code == BadDrawable) && !g_live_windows.count(e->resourceid))
            expected = true;
        if (!expected)
            report = g_reported.insert(kind).second;
    }
    if (report) {
        char text[160] = {0};
        XGetErrorText(d, e->error_code, text, sizeof text - 1);
        char line[320];
        std::snprintf(line, sizeof line, "X error: %s (request %d.%d, resource 0x%lx)\n", text, e->request_code,
                      e->minor_code, e->resourceid);
        OutputDebugStringA(line);
    }
    return 0;
}

int x11_io_error(Display*)
{
    std::fputs("vistamo: lost the connection to the X display\n", stderr);
    std::_Exit(1);
}

Display* x11_open()
{
    XSetErrorHandler(x11_error_handler);
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
    if (void (*wake)() = g_wake_event_reader.load())
        wake();
}

void x11_set_event_reader_waker(void (*wake)())
{
    g_wake_event_reader = wake;
}

x11_expected_errors::x11_expected_errors(Display* d) : m_display(d)
{
    if (!d)
        return;
    auto range = std::make_shared<expected_range>(expected_range{d, NextRequest(d), ULONG_MAX});
    std::lock_guard<std::mutex> lock(g_expected_lock);
    // Ranges whose requests the server has answered can no longer match
    // (looked at for d only, which the caller holds locked).
    const unsigned long answered = LastKnownRequestProcessed(d);
    g_expected.erase(std::remove_if(g_expected.begin(), g_expected.end(),
                                    [&](const std::shared_ptr<expected_range>& r) {
                                        return r->display == d && r->last != ULONG_MAX && answered >= r->last;
                                    }),
                     g_expected.end());
    g_expected.push_back(range);
    m_range = range;
}

x11_expected_errors::~x11_expected_errors()
{
    if (!m_range)
        return;
    unsigned long last = NextRequest(m_display) - 1;
    std::lock_guard<std::mutex> lock(g_expected_lock);
    m_range->last = last;
}

bool x11_expected_errors::failed()
{
    if (!m_range)
        return true;
    XSync(m_display, False);
    std::lock_guard<std::mutex> lock(g_expected_lock);
    return m_range->failed;
}

void x11_note_window_created(unsigned long xid)
{
    std::lock_guard<std::mutex> lock(g_expected_lock);
    g_live_windows.insert(xid);
}

void x11_note_window_gone(unsigned long xid)
{
    std::lock_guard<std::mutex> lock(g_expected_lock);
    g_live_windows.erase(xid);
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

Time x11_server_time(Display* d)
{
    static Window stamp = None;
    if (stamp == None) {
        XSetWindowAttributes attrs{};
        attrs.event_mask = PropertyChangeMask;
        stamp = XCreateWindow(d, DefaultRootWindow(d), -1, -1, 1, 1, 0, 0, InputOnly, CopyFromParent, CWEventMask,
                              &attrs);
        x11_note_window_created(stamp);
    }
    const Atom a = x11_atom("_VISTAMO_TIMESTAMP");
    XChangeProperty(d, stamp, a, XA_STRING, 8, PropModeAppend, nullptr, 0);
    // After the sync the event is in the queue: nothing waits on the server.
    XSync(d, False);
    XEvent ev;
    auto is_stamp = [](Display*, XEvent* e, XPointer arg) -> Bool {
        return e->type == PropertyNotify && e->xproperty.window == *reinterpret_cast<Window*>(arg);
    };
    Time t = CurrentTime;
    while (XCheckIfEvent(d, &ev, is_stamp, reinterpret_cast<XPointer>(&stamp)))
        t = ev.xproperty.time;
    return t;
}

bool x11_wm_running(Display* d)
{
    std::vector<unsigned long> check, self;
    const Atom a = x11_atom("_NET_SUPPORTING_WM_CHECK");
    return x11_get_cardinals(d, DefaultRootWindow(d), a, XA_WINDOW, check) && !check.empty() &&
           x11_get_cardinals(d, static_cast<Window>(check[0]), a, XA_WINDOW, self) && !self.empty() &&
           self[0] == check[0];
}

bool x11_wm_supports(Display* d, const char* hint)
{
    std::vector<unsigned long> atoms;
    if (!x11_wm_running(d) || !x11_get_cardinals(d, DefaultRootWindow(d), x11_atom("_NET_SUPPORTED"), XA_ATOM, atoms))
        return false;
    return std::find(atoms.begin(), atoms.end(), x11_atom(hint)) != atoms.end();
}
