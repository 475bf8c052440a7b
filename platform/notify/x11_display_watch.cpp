// The display's power state from the X server: DPMS, polled since the
// extension sends no events, or else, when the power thread asks for it,
// the screen saver extension's notifications. Also the reading of DPMS
// levels, which Mutter's PowerSaveMode shares.
#include "display_state.h"

#include <X11/Xlib.h>
#include <X11/extensions/dpms.h>
#include <X11/extensions/scrnsaver.h>

#include <algorithm>
#include <mutex>

namespace {

std::mutex g_sources_lock;
power_sources g_sources;

using clock_type = std::chrono::steady_clock;

}  // namespace

void notify_set_power_sources(const power_sources& sources)
{
    std::lock_guard<std::mutex> guard(g_sources_lock);
    g_sources = sources;
}

power_sources notify_power_sources()
{
    std::lock_guard<std::mutex> guard(g_sources_lock);
    return g_sources;
}

display_state dpms_display_state(bool enabled, int level)
{
    if (!enabled)
        return display_on;
    switch (level) {
    case DPMSModeOn:
        return display_on;
    case DPMSModeStandby:
        return display_dimmed;
    default:
        return display_off;
    }
}

bool mutter_display_state(int power_save_mode, display_state& out)
{
    switch (power_save_mode) {
    case DPMSModeOn:
    case DPMSModeStandby:
    case DPMSModeSuspend:
    case DPMSModeOff:
        out = dpms_display_state(true, power_save_mode);
        return true;
    default:
        return false;
    }
}

struct x11_display_watch::impl {
    Display* display = nullptr;
    dpms_query dpms;
    std::chrono::milliseconds interval{1000};
    clock_type::time_point next_poll{};
    bool screensaver = false;
    int saver_event_base = 0;
    bool known = false;
    display_state last = display_on;
};

x11_display_watch::x11_display_watch(const power_sources& sources) : m(new impl)
{
    m->interval = std::max(sources.dpms_interval, std::chrono::milliseconds(1));
    if (!sources.x11)
        return;
    m->display = XOpenDisplay(nullptr);
    if (!m->display)
        return;
    Display* d = m->display;
    bool enabled = false;
    int level = 0;
    if (sources.dpms) {
        m->dpms = sources.dpms;
    } else {
        int event_base = 0, error_base = 0;
        if (DPMSQueryExtension(d, &event_base, &error_base) && DPMSCapable(d))
            m->dpms = [d](bool& on, int& power) {
                CARD16 power_level = 0;
                BOOL state = False;
                if (!DPMSInfo(d, &power_level, &state))
                    return false;
                on = state != False;
                power = power_level;
                return true;
            };
    }
    if (!m->dpms || !m->dpms(enabled, level))
        m->dpms = nullptr;
}

x11_display_watch::~x11_display_watch()
{
    if (m->display)
        XCloseDisplay(m->display);
}

bool x11_display_watch::watch_screensaver()
{
    if (!m->display || m->dpms)
        return false;
    if (m->screensaver)
        return true;
    Display* d = m->display;
    int error_base = 0;
    if (XScreenSaverQueryExtension(d, &m->saver_event_base, &error_base)) {
        XScreenSaverSelectInput(d, DefaultRootWindow(d), ScreenSaverNotifyMask);
        XScreenSaverInfo* info = XScreenSaverAllocInfo();
        if (info && XScreenSaverQueryInfo(d, DefaultRootWindow(d), info)) {
            m->screensaver = true;
            m->known = true;
            m->last = info->state == ScreenSaverOn ? display_off : display_on;
        }
        XFree(info);
        XFlush(d);
    }
    return m->screensaver;
}

const char* x11_display_watch::source() const
{
    return m->dpms ? "DPMS" : m->screensaver ? "the X screen saver" : nullptr;
}

int x11_display_watch::fd() const
{
    return m->screensaver ? ConnectionNumber(m->display) : -1;
}

std::chrono::milliseconds x11_display_watch::due() const
{
    if (!m->dpms)
        return std::chrono::milliseconds::max();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m->next_poll - clock_type::now());
    return std::max(left, std::chrono::milliseconds(0));
}

bool x11_display_watch::state(display_state& out)
{
    if (m->dpms) {
        const auto now = clock_type::now();
        if (now >= m->next_poll) {
            m->next_poll = now + m->interval;
            bool enabled = false;
            int level = 0;
            if (m->dpms(enabled, level)) {
                m->last = dpms_display_state(enabled, level);
                m->known = true;
            }
        }
    } else if (m->screensaver) {
        while (XPending(m->display)) {
            XEvent event;
            XNextEvent(m->display, &event);
            if (event.type != m->saver_event_base + ScreenSaverNotify)
                continue;
            const auto& notify = reinterpret_cast<const XScreenSaverNotifyEvent&>(event);
            // Any client may send an event that looks like the server's;
            // only the server's own count.
            if (notify.send_event)
                continue;
            if (notify.state == ScreenSaverOn)
                m->last = display_off;
            else if (notify.state == ScreenSaverOff)
                m->last = display_on;
        }
    }
    out = m->last;
    return m->known;
}
