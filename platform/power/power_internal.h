// Backends of the keep-awake request (layer-internal). Only
// SetThreadExecutionState calls them, one call at a time (under its lock).
// Each may find its service missing: it then reports why in `error` and
// holds nothing. None blocks for longer than dbus_call_timeout_usec per
// bus round trip, so the UI thread, which makes the request, never hangs on a
// service that does not answer.
#pragma once

#include "../dbus/dbus_connection.h"

#include <cstdint>
#include <string>

// Suspends (or resumes) the X screen saver and the display power-down
// timers for the UI connection. The server ends the suspension by itself
// when that connection closes, whatever way the process ends.
bool x11_screensaver_suspend(bool suspend, std::string& error);
// Restarts the X idle timer once, as user input would.
void x11_screensaver_reset();

// An Inhibit on the session's org.freedesktop.ScreenSaver. The services
// drop an inhibit when the connection that made it closes, so the
// connection stays open while it is held and dies with the process.
struct dbus_screensaver_hold {
    sd_bus* bus = nullptr;
    uint32_t cookie = 0;
    const char* path = nullptr;  // the object that took the inhibit
};
bool dbus_screensaver_inhibit(dbus_screensaver_hold& hold, const char* app, const char* reason, std::string& error);
void dbus_screensaver_uninhibit(dbus_screensaver_hold& hold);

// A logind inhibitor lock (mode "block") on the system bus: the returned
// descriptor is the lock; closing it, or the process ending, releases it.
// -1 if none could be taken.
int dbus_logind_inhibit(const char* what, const char* who, const char* why, std::string& error);
