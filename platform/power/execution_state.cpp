// Keeping the system and the display awake.
//
// A continuous request holds, until ES_CONTINUOUS alone clears it:
// - with ES_DISPLAY_REQUIRED, the X screen saver and display power-down
//   suspended, and an inhibit on the session's org.freedesktop.ScreenSaver
//   (which desktops also honour for their idle suspend);
// - a logind inhibitor lock on "idle" for either flag. Never "sleep":
//   ES_SYSTEM_REQUIRED only holds off idle sleep on Windows, and a user
//   who asks the machine to suspend must get it.
// Each of these may be missing (no display, no bus, no service); the rest
// still hold. All of them end with the process, however it ends.
#include "power_internal.h"

#include <windows.h>

#include <unistd.h>

#include <mutex>
#include <string>

namespace {

constexpr EXECUTION_STATE kHoldFlags = ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED;

// Guards everything below. Held across the backends' calls (each bounded by
// a short timeout), so that two threads' requests never interleave.
std::mutex g_lock;
EXECUTION_STATE g_state = ES_CONTINUOUS;  // the last continuous request
EXECUTION_STATE g_held = 0;               // kHoldFlags taken for it
bool g_x_suspended = false;
dbus_screensaver_hold g_screensaver;
int g_logind_lock = -1;

// Failure kinds already traced: a missing service is reported once, not on
// every switch to full screen.
enum trace_kind { trace_x, trace_screensaver, trace_logind, trace_kinds };
bool g_traced[trace_kinds] = {};

void trace_once(trace_kind kind, const std::string& what, const std::string& error)
{
    if (g_traced[kind])
        return;
    g_traced[kind] = true;
    OutputDebugStringA(("SetThreadExecutionState: " + what + " not held (" + error + ")\n").c_str());
}

void release_all()
{
    std::string error;
    if (g_x_suspended && !x11_screensaver_suspend(false, error))
        trace_once(trace_x, "X screen saver", error);
    g_x_suspended = false;
    dbus_screensaver_uninhibit(g_screensaver);
    if (g_logind_lock >= 0)
        ::close(g_logind_lock);
    g_logind_lock = -1;
    g_held = 0;
}

void hold(EXECUTION_STATE flags)
{
    static const char kWho[] = "Vistamo";
    static const char kWhy[] = "Showing live video full screen";
    std::string error;
    if (flags & ES_DISPLAY_REQUIRED) {
        g_x_suspended = x11_screensaver_suspend(true, error);
        if (!g_x_suspended)
            trace_once(trace_x, "X screen saver", error);
        if (!dbus_screensaver_inhibit(g_screensaver, kWho, kWhy, error))
            trace_once(trace_screensaver, "org.freedesktop.ScreenSaver inhibit", error);
    }
    g_logind_lock = dbus_logind_inhibit("idle", kWho, kWhy, error);
    if (g_logind_lock < 0)
        trace_once(trace_logind, "logind inhibitor", error);
    g_held = flags;
}

}  // namespace

EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE flags)
{
    std::lock_guard<std::mutex> lock(g_lock);
    const EXECUTION_STATE previous = g_state;
    if (!(flags & ES_CONTINUOUS)) {
        // A one-off request: as if the user had just been active.
        if (flags & ES_DISPLAY_REQUIRED)
            x11_screensaver_reset();
        return previous;
    }
    const EXECUTION_STATE wanted = flags & kHoldFlags;
    if (wanted != g_held) {
        release_all();
        if (wanted)
            hold(wanted);
    }
    g_state = flags;
    return previous;
}
