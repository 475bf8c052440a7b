// Where the display's power state comes from (layer-internal). No Win32
// header here: the X side includes Xlib, whose names clash with Win32's.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

// The console display state as PBT_POWERSETTINGCHANGE carries it.
enum display_state : unsigned char { display_off = 0, display_on = 1, display_dimmed = 2 };

// Sends a power event down the path the real sources' events take (the
// same thread, records and windows), for sources outside the layer's own
// (the virtual power events of tests and the demo): the machine woke from
// sleep (resume), or else the display went to state. Any thread; returns
// at once. Nothing happens while no power-setting registration exists.
void notify_inject_power_event(bool resume, display_state state);

// A DPMS power level (DPMSModeOn, Standby, Suspend, Off) as a display
// state: standby dims, suspend and off are off. With DPMS disabled the
// server never powers the display down, so it is on. Pure.
display_state dpms_display_state(bool enabled, int level);

// Mutter's PowerSaveMode (org.gnome.Mutter.DisplayConfig) as a display
// state: it counts DPMS's levels 0 to 3 and maps as they do. false for -1
// (Mutter has no power saving to report, as over an X server without
// DPMS) and any other number. Pure.
bool mutter_display_state(int power_save_mode, display_state& out);

// Asks the server's DPMS: false if it has no DPMS, else whether DPMS is
// enabled and the power level.
using dpms_query = std::function<bool(bool& enabled, int& level)>;

// Which sources a power watcher started from now on may use, so that tests
// can reach each one: the X display's (DPMS and the screen saver
// extension) or none of them, with DPMS asked through `dpms` where set
// instead of the server (the extension has no events and Xvfb lacks it),
// polled every `dpms_interval`. The session bus's sources follow
// DBUS_SESSION_BUS_ADDRESS.
struct power_sources {
    bool x11 = true;
    dpms_query dpms;
    std::chrono::milliseconds dpms_interval{1000};
};
void notify_set_power_sources(const power_sources& sources);
power_sources notify_power_sources();

// The X display's state on a connection of its own (the UI connection's
// events belong to the X thread). One thread uses an object, from its
// creation to its end.
class x11_display_watch {
public:
    // Opens $DISPLAY and finds DPMS (through dpms where set).
    explicit x11_display_watch(const power_sources& sources);
    ~x11_display_watch();
    x11_display_watch(const x11_display_watch&) = delete;
    x11_display_watch& operator=(const x11_display_watch&) = delete;

    // Without DPMS, selects the screen saver extension's notifications.
    // Asked for only when nothing reports the monitor's own power: the
    // saver starting is not the monitor going off. false if the display
    // has neither.
    bool watch_screensaver();
    // What gives the state: "DPMS", "the X screen saver", or null for
    // neither (then the display's state is not known here).
    const char* source() const;
    // The descriptor to wait on for screen saver events; -1 if none.
    int fd() const;
    // How long until DPMS is due to be asked again (zero: now); max() when
    // nothing is polled.
    std::chrono::milliseconds due() const;
    // Reads what came (events, or DPMS when it is due) and gives the state
    // as now known; false while there is no source.
    bool state(display_state& out);

private:
    struct impl;
    std::unique_ptr<impl> m;
};
