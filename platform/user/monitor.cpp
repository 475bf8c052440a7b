// Monitors over RandR 1.5 (the server's monitors, virtual ones included)
// or, on servers without it, Xinerama; and the work area the desktop's
// panels leave on each.
#include "user_internal.h"
#include "../x11/x11_display.h"
#include "x11_window.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xinerama.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

struct x11_monitor {
    RECT rect;
    bool primary;
};

// In the server's order; the whole screen where RandR has no monitors.
// With the display locked.
std::vector<x11_monitor> x11_monitors(Display* d)
{
    std::vector<x11_monitor> out;
    int event_base, error_base, major = 0, minor = 0;
    if (XRRQueryExtension(d, &event_base, &error_base) && XRRQueryVersion(d, &major, &minor) &&
        (major > 1 || (major == 1 && minor >= 5))) {
        int n = 0;
        if (XRRMonitorInfo* m = XRRGetMonitors(d, DefaultRootWindow(d), True, &n)) {
            for (int i = 0; i < n; ++i)
                if (m[i].width > 0 && m[i].height > 0)
                    out.push_back({RECT{m[i].x, m[i].y, m[i].x + m[i].width, m[i].y + m[i].height}, m[i].primary != 0});
            XRRFreeMonitors(m);
        }
    }
    int n = 0;
    XineramaScreenInfo* screens = nullptr;
    if (out.empty() && XineramaIsActive(d) && (screens = XineramaQueryScreens(d, &n))) {
        for (int i = 0; i < n; ++i)
            if (screens[i].width > 0 && screens[i].height > 0)
                out.push_back({RECT{screens[i].x_org, screens[i].y_org, screens[i].x_org + screens[i].width,
                                    screens[i].y_org + screens[i].height},
                               false});
        XFree(screens);
    }
    if (out.empty())
        out.push_back({RECT{0, 0, DisplayWidth(d, DefaultScreen(d)), DisplayHeight(d, DefaultScreen(d))}, true});
    if (std::none_of(out.begin(), out.end(), [](const x11_monitor& m) { return m.primary; }))
        out.front().primary = true;
    return out;
}

std::vector<x11_monitor> monitors()
{
    std::vector<x11_monitor> out;
    x11_ui_request([&](Display* d) { out = x11_monitors(d); });
    return out;
}

long long overlap(const RECT& a, const RECT& b)
{
    const long long w = std::min(a.right, b.right) - std::max(a.left, b.left);
    const long long h = std::min(a.bottom, b.bottom) - std::max(a.top, b.top);
    return w > 0 && h > 0 ? w * h : 0;
}

// How far apart two rectangles are (0 when they touch or overlap), squared.
long long distance2(const RECT& a, const RECT& b)
{
    const long long dx = std::max({0L, static_cast<long>(b.left) - a.right, static_cast<long>(a.left) - b.right});
    const long long dy = std::max({0L, static_cast<long>(b.top) - a.bottom, static_cast<long>(a.top) - b.bottom});
    return dx * dx + dy * dy;
}

// The monitor's part of the desktop's work area, which spans every
// monitor. Any client may set the property, so its values are only bounds.
RECT work_part(const RECT& monitor, const std::vector<unsigned long>& area)
{
    if (area.size() < 4)
        return monitor;
    const long long ax = area[0], ay = area[1];
    const long long left = std::max<long long>(monitor.left, ax), top = std::max<long long>(monitor.top, ay);
    const long long right = std::min<long long>(monitor.right, ax + static_cast<long long>(area[2]));
    const long long bottom = std::min<long long>(monitor.bottom, ay + static_cast<long long>(area[3]));
    if (right <= left || bottom <= top)
        return monitor;
    return RECT{static_cast<LONG>(left), static_cast<LONG>(top), static_cast<LONG>(right), static_cast<LONG>(bottom)};
}

HMONITOR handle_of(size_t index) { return reinterpret_cast<HMONITOR>(static_cast<uintptr_t>(index + 1)); }

}  // namespace

HMONITOR MonitorFromRect(LPCRECT rect, DWORD flags)
{
    if (!rect)
        return nullptr;
    const std::vector<x11_monitor> list = monitors();
    size_t best = list.size();
    long long best_overlap = 0;
    for (size_t i = 0; i < list.size(); ++i) {
        const long long o = overlap(*rect, list[i].rect);
        if (o > best_overlap) {
            best = i;
            best_overlap = o;
        }
    }
    if (best == list.size()) {
        if (flags == MONITOR_DEFAULTTONEAREST) {
            best = 0;
            for (size_t i = 1; i < list.size(); ++i)
                if (distance2(*rect, list[i].rect) < distance2(*rect, list[best].rect))
                    best = i;
        } else if (flags == MONITOR_DEFAULTTOPRIMARY) {
            best = std::find_if(list.begin(), list.end(), [](const x11_monitor& m) { return m.primary; }) -
                   list.begin();
        } else {
            return nullptr;
        }
    }
    return handle_of(best);
}

HMONITOR MonitorFromWindow(HWND hwnd, DWORD flags)
{
    RECT r{0, 0, 0, 0};
    if (!GetWindowRect(hwnd, &r) && flags == MONITOR_DEFAULTTONULL)
        return nullptr;
    // A window of no size, or none, still lies somewhere.
    r.right = std::max(r.right, r.left + 1);
    r.bottom = std::max(r.bottom, r.top + 1);
    return MonitorFromRect(&r, flags);
}

BOOL GetMonitorInfoW(HMONITOR monitor, LPMONITORINFO info)
{
    if (!info || info->cbSize < sizeof(MONITORINFO))
        return FALSE;
    const uintptr_t index = reinterpret_cast<uintptr_t>(monitor);
    std::vector<x11_monitor> list;
    std::vector<unsigned long> area;
    x11_ui_request([&](Display* d) {
        list = x11_monitors(d);
        x11_get_cardinals(d, DefaultRootWindow(d), x11_atom("_NET_WORKAREA"), XA_CARDINAL, area);
    });
    if (index == 0 || index > list.size())
        return FALSE;
    const x11_monitor& m = list[index - 1];
    info->rcMonitor = m.rect;
    info->rcWork = work_part(m.rect, area);
    info->dwFlags = m.primary ? MONITORINFOF_PRIMARY : 0;
    return TRUE;
}

RECT x11_pointer_work_area(Display* d)
{
    Window root_return, child;
    int x = 0, y = 0, wx, wy;
    unsigned mask;
    XQueryPointer(d, DefaultRootWindow(d), &root_return, &child, &x, &y, &wx, &wy, &mask);
    const std::vector<x11_monitor> list = x11_monitors(d);
    const RECT at{x, y, x + 1, y + 1};
    size_t best = 0;
    for (size_t i = 1; i < list.size(); ++i)
        if (distance2(at, list[i].rect) < distance2(at, list[best].rect))
            best = i;
    std::vector<unsigned long> area;
    x11_get_cardinals(d, DefaultRootWindow(d), x11_atom("_NET_WORKAREA"), XA_CARDINAL, area);
    return work_part(list[best].rect, area);
}
