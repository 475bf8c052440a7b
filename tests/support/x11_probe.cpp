#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>

#include <thread>

#include "x11_probe.h"

namespace {

std::vector<unsigned long> get_cardinals(Display* d, Window w, Atom prop, Atom type)
{
    std::vector<unsigned long> out;
    Atom actual;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, w, prop, 0, 65536, False, type, &actual, &format, &count, &after, &data) == Success &&
        data) {
        if (format == 32) {
            auto* v = reinterpret_cast<unsigned long*>(data);
            out.assign(v, v + count);
        }
        XFree(data);
    }
    return out;
}

int ignore_errors(Display*, XErrorEvent*) { return 0; }

}  // namespace

x11_probe::x11_probe()
{
    XInitThreads();
    m_display = XOpenDisplay(nullptr);
    XSetErrorHandler(ignore_errors);
}

x11_probe::~x11_probe()
{
    if (!m_display)
        return;
    // The server would drop them with the connection, but not necessarily
    // before another client's next request.
    for (Atom name : m_monitors)
        XRRDeleteMonitor(m_display, root(), name);
    XSync(m_display, False);
    XCloseDisplay(m_display);
}

Atom x11_probe::atom(const char* name) { return XInternAtom(m_display, name, False); }
Window x11_probe::root() const { return DefaultRootWindow(m_display); }
int x11_probe::screen_width() const { return DisplayWidth(m_display, DefaultScreen(m_display)); }
int x11_probe::screen_height() const { return DisplayHeight(m_display, DefaultScreen(m_display)); }

std::string x11_probe::title(Window w)
{
    Atom actual;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    std::string out;
    if (XGetWindowProperty(m_display, w, atom("_NET_WM_NAME"), 0, 4096, False, atom("UTF8_STRING"), &actual,
                           &format, &count, &after, &data) == Success &&
        data) {
        out.assign(reinterpret_cast<char*>(data), count);
        XFree(data);
    }
    return out;
}

std::vector<Window> x11_probe::find_by_title(const std::string& wanted)
{
    std::vector<Window> out;
    XSync(m_display, False);
    std::vector<unsigned long> windows = get_cardinals(m_display, root(), atom("_NET_CLIENT_LIST"), XA_WINDOW);
    Window r, p;
    Window* children = nullptr;
    unsigned n = 0;
    // No manager, no list: every window the root holds is top-level.
    if (get_cardinals(m_display, root(), atom("_NET_SUPPORTING_WM_CHECK"), XA_WINDOW).empty() && XQueryTree(m_display, root(), &r, &p, &children, &n)) {
        windows.assign(children, children + n);
        XFree(children);
    }
    for (unsigned long w : windows)
        if (title(w) == wanted)
            out.push_back(w);
    return out;
}

probe_rect x11_probe::client_rect(Window w)
{
    probe_rect r;
    XWindowAttributes attrs;
    Window child;
    XSync(m_display, False);
    if (XGetWindowAttributes(m_display, w, &attrs) &&
        XTranslateCoordinates(m_display, w, root(), 0, 0, &r.x, &r.y, &child)) {
        r.width = attrs.width;
        r.height = attrs.height;
    }
    return r;
}

probe_rect x11_probe::frame_extents(Window w)
{
    probe_rect r;
    // A window in no frame shows none, whatever the property still says
    // (mutter leaves it when it takes a frame away).
    Window root_return = 0, parent = 0;
    Window* children = nullptr;
    unsigned n = 0;
    if (!XQueryTree(m_display, w, &root_return, &parent, &children, &n))
        return r;
    if (children)
        XFree(children);
    auto v = get_cardinals(m_display, w, atom("_NET_FRAME_EXTENTS"), XA_CARDINAL);
    if (v.size() == 4 && parent != root_return)
        r = probe_rect{static_cast<int>(v[0]), static_cast<int>(v[2]), static_cast<int>(v[1]), static_cast<int>(v[3])};
    return r;
}

bool x11_probe::is_iconic(Window w)
{
    XSync(m_display, False);
    auto v = get_cardinals(m_display, w, atom("WM_STATE"), atom("WM_STATE"));
    return !v.empty() && v[0] == IconicState;
}

bool x11_probe::has_net_state(Window w, const char* state)
{
    XSync(m_display, False);
    Atom a = atom(state);
    for (unsigned long s : get_cardinals(m_display, w, atom("_NET_WM_STATE"), XA_ATOM))
        if (s == a)
            return true;
    return false;
}

Window x11_probe::active_window()
{
    XSync(m_display, False);
    auto v = get_cardinals(m_display, root(), atom("_NET_ACTIVE_WINDOW"), XA_WINDOW);
    return v.empty() ? None : v[0];
}

std::string x11_probe::wm_name()
{
    auto check = get_cardinals(m_display, root(), atom("_NET_SUPPORTING_WM_CHECK"), XA_WINDOW);
    return check.empty() ? std::string() : title(check[0]);
}

std::vector<Window> x11_probe::stacking()
{
    XSync(m_display, False);
    auto v = get_cardinals(m_display, root(), atom("_NET_CLIENT_LIST_STACKING"), XA_WINDOW);
    return std::vector<Window>(v.begin(), v.end());
}

long x11_probe::pid_of(Window w)
{
    auto v = get_cardinals(m_display, w, atom("_NET_WM_PID"), XA_CARDINAL);
    return v.empty() ? -1 : static_cast<long>(v[0]);
}

void x11_probe::request_close(Window w)
{
    // As a window manager's close button does.
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = w;
    ev.xclient.message_type = atom("WM_PROTOCOLS");
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = static_cast<long>(atom("WM_DELETE_WINDOW"));
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(m_display, w, False, NoEventMask, &ev);
    XFlush(m_display);
}

void x11_probe::send_window_message(Window w, unsigned message, uint64_t wParam, uint64_t lParam, bool flush)
{
    // The layout the layer uses to carry a window message to another
    // process: the message, then the low and high halves of each parameter.
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = w;
    ev.xclient.message_type = atom("_VISTAMO_WINDOW_MESSAGE");
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = static_cast<long>(message);
    ev.xclient.data.l[1] = static_cast<long>(static_cast<uint32_t>(wParam));
    ev.xclient.data.l[2] = static_cast<long>(static_cast<uint32_t>(wParam >> 32));
    ev.xclient.data.l[3] = static_cast<long>(static_cast<uint32_t>(lParam));
    ev.xclient.data.l[4] = static_cast<long>(static_cast<uint32_t>(lParam >> 32));
    XSendEvent(m_display, w, False, NoEventMask, &ev);
    if (flush)
        XFlush(m_display);
}

void x11_probe::destroy(Window w)
{
    XDestroyWindow(m_display, w);
    XSync(m_display, False);
}

void x11_probe::iconify(Window w)
{
    XIconifyWindow(m_display, w, DefaultScreen(m_display));
    XFlush(m_display);
}

void x11_probe::activate(Window w)
{
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = w;
    ev.xclient.message_type = atom("_NET_ACTIVE_WINDOW");
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = 2;
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(m_display, root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &ev);
    XFlush(m_display);
}

void x11_probe::set_net_state(Window w, bool add, const char* state, const char* state2)
{
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = w;
    ev.xclient.message_type = atom("_NET_WM_STATE");
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = add ? 1 : 0;
    ev.xclient.data.l[1] = static_cast<long>(atom(state));
    ev.xclient.data.l[2] = state2 ? static_cast<long>(atom(state2)) : 0;
    ev.xclient.data.l[3] = 2;
    XSendEvent(m_display, root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &ev);
    XFlush(m_display);
}

void x11_probe::press_key(Window w, unsigned long keysym)
{
    XEvent ev{};
    ev.xkey.type = KeyPress;
    ev.xkey.display = m_display;
    ev.xkey.window = w;
    ev.xkey.root = root();
    ev.xkey.subwindow = 0;
    ev.xkey.time = CurrentTime;
    ev.xkey.same_screen = True;
    ev.xkey.keycode = XKeysymToKeycode(m_display, static_cast<KeySym>(keysym));
    XSendEvent(m_display, w, True, KeyPressMask, &ev);
    ev.xkey.type = KeyRelease;
    XSendEvent(m_display, w, True, KeyReleaseMask, &ev);
    XFlush(m_display);
}

void x11_probe::double_click(Window w, int x, int y)
{
    XEvent ev{};
    ev.xbutton.display = m_display;
    ev.xbutton.window = w;
    ev.xbutton.root = root();
    ev.xbutton.time = CurrentTime;  // both clicks at one time: well within any double-click interval
    ev.xbutton.x = x;
    ev.xbutton.y = y;
    ev.xbutton.button = Button1;
    ev.xbutton.same_screen = True;
    for (int click = 0; click < 2; ++click) {
        ev.xbutton.type = ButtonPress;
        ev.xbutton.state = 0;
        XSendEvent(m_display, w, True, ButtonPressMask, &ev);
        ev.xbutton.type = ButtonRelease;
        ev.xbutton.state = Button1Mask;
        XSendEvent(m_display, w, True, ButtonReleaseMask, &ev);
    }
    XFlush(m_display);
}

void x11_probe::move_pointer(Window w, int x, int y)
{
    XEvent ev{};
    ev.xmotion.type = MotionNotify;
    ev.xmotion.display = m_display;
    ev.xmotion.window = w;
    ev.xmotion.root = root();
    ev.xmotion.time = CurrentTime;
    ev.xmotion.x = x;
    ev.xmotion.y = y;
    ev.xmotion.same_screen = True;
    XSendEvent(m_display, w, True, PointerMotionMask, &ev);
    XFlush(m_display);
}

void x11_probe::click(Window w, int x, int y, unsigned long time)
{
    XEvent ev{};
    ev.xbutton.display = m_display;
    ev.xbutton.window = w;
    ev.xbutton.root = root();
    ev.xbutton.time = time;
    ev.xbutton.x = x;
    ev.xbutton.y = y;
    ev.xbutton.button = Button1;
    ev.xbutton.same_screen = True;
    ev.xbutton.type = ButtonPress;
    XSendEvent(m_display, w, True, ButtonPressMask, &ev);
    ev.xbutton.type = ButtonRelease;
    ev.xbutton.state = Button1Mask;
    XSendEvent(m_display, w, True, ButtonReleaseMask, &ev);
    XFlush(m_display);
}

Window x11_probe::own_xsettings(const std::vector<unsigned char>& settings)
{
    Window w = XCreateSimpleWindow(m_display, root(), 0, 0, 1, 1, 0, 0, 0);
    Atom property = atom("_XSETTINGS_SETTINGS");
    XChangeProperty(m_display, w, property, property, 8, PropModeReplace, settings.data(),
                    static_cast<int>(settings.size()));
    std::string name = "_XSETTINGS_S" + std::to_string(DefaultScreen(m_display));
    Atom selection = atom(name.c_str());
    XSetSelectionOwner(m_display, selection, w, CurrentTime);
    if (XGetSelectionOwner(m_display, selection) != w) {
        XDestroyWindow(m_display, w);
        XSync(m_display, False);
        return 0;
    }
    XSync(m_display, False);
    return w;
}

void x11_probe::move(Window w, int x, int y)
{
    XMoveWindow(m_display, w, x, y);
    XFlush(m_display);
}

void x11_probe::resize(Window w, int width, int height)
{
    XResizeWindow(m_display, w, static_cast<unsigned>(width), static_cast<unsigned>(height));
    XFlush(m_display);
}

Window x11_probe::create_window(const std::string& name, int width, int height)
{
    Window w = XCreateSimpleWindow(m_display, root(), 0, 0, static_cast<unsigned>(width),
                                   static_cast<unsigned>(height), 0, 0, 0xFFFFFF);
    XChangeProperty(m_display, w, atom("_NET_WM_NAME"), atom("UTF8_STRING"), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(name.data()), static_cast<int>(name.size()));
    XStoreName(m_display, w, name.c_str());
    XMapWindow(m_display, w);
    XSync(m_display, False);
    return w;
}

bool x11_probe::set_monitors(const std::vector<probe_rect>& monitors)
{
    int event_base, error_base, major = 0, minor = 0;
    if (!XRRQueryExtension(m_display, &event_base, &error_base) || !XRRQueryVersion(m_display, &major, &minor) ||
        (major == 1 && minor < 5))
        return false;
    XRRScreenResources* resources = XRRGetScreenResources(m_display, root());
    if (!resources)
        return false;
    for (size_t i = 0; i < monitors.size(); ++i) {
        XRRMonitorInfo* m = XRRAllocateMonitor(m_display, i == 0 && resources->noutput > 0 ? 1 : 0);
        m->name = atom(("PROBE-" + std::to_string(i)).c_str());
        m_monitors.push_back(m->name);
        m->x = monitors[i].x;
        m->y = monitors[i].y;
        m->width = monitors[i].width;
        m->height = monitors[i].height;
        m->mwidth = monitors[i].width * 254 / 960;
        m->mheight = monitors[i].height * 254 / 960;
        m->primary = i == 0;
        if (m->noutput)
            m->outputs[0] = resources->outputs[0];
        XRRSetMonitor(m_display, root(), m);
        XRRFreeMonitors(m);
    }
    XRRFreeScreenResources(resources);
    int n = 0;
    XRRMonitorInfo* now = XRRGetMonitors(m_display, root(), True, &n);
    if (now)
        XRRFreeMonitors(now);
    return n == static_cast<int>(monitors.size());
}

void x11_probe::destroy_window(Window w)
{
    XDestroyWindow(m_display, w);
    XSync(m_display, False);
}

unsigned long x11_probe::screen_pixel(int x, int y)
{
    XSync(m_display, False);
    XImage* img = XGetImage(m_display, root(), x, y, 1, 1, AllPlanes, ZPixmap);
    if (!img)
        return ~0ul;
    unsigned long p = XGetPixel(img, 0, 0) & 0xFFFFFF;
    XDestroyImage(img);
    return p;
}

unsigned long x11_probe::window_pixel(Window w, int x, int y)
{
    XSync(m_display, False);
    XImage* img = XGetImage(m_display, w, x, y, 1, 1, AllPlanes, ZPixmap);
    if (!img)
        return ~0ul;
    unsigned long p = XGetPixel(img, 0, 0) & 0xFFFFFF;
    XDestroyImage(img);
    return p;
}

bool x11_probe::wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}
