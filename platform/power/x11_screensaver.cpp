// The X screen saver and display power-down, held off through the
// MIT-SCREEN-SAVER extension on the UI connection.
#include "power_internal.h"

#include "../x11/x11_display.h"

#include <X11/extensions/scrnsaver.h>

bool x11_screensaver_suspend(bool suspend, std::string& error)
{
    bool done = false;
    bool have_display = false;
    x11_ui_request([&](Display* d) {
        have_display = true;
        int event_base = 0, error_base = 0, major = 0, minor = 0;
        // Suspend came with version 1.1; an older server would answer it
        // with an error.
        if (!XScreenSaverQueryExtension(d, &event_base, &error_base) ||
            !XScreenSaverQueryVersion(d, &major, &minor) || (major < 1 || (major == 1 && minor < 1)))
            return;
        XScreenSaverSuspend(d, suspend ? True : False);
        done = true;
    });
    if (!done)
        error = have_display ? "the X server has no screen saver extension (1.1)" : "no X display";
    return done;
}

void x11_screensaver_reset()
{
    x11_ui_request([](Display* d) { XResetScreenSaver(d); });
}
