// The desktop's settings for double clicks, from its XSETTINGS manager
// (layer-internal).
//
// The settings manager is another X client: the owner of the selection
// _XSETTINGS_S<screen> keeps every setting in one property of its window,
// _XSETTINGS_SETTINGS. Anyone can own that selection, so the property is
// read as untrusted input.
#pragma once

#include <cstddef>

struct x11_double_click {
    // Two presses at most this many milliseconds apart ... (GetDoubleClickTime)
    unsigned time_ms = 500;
    // ... inside a rectangle this many pixels wide and high, centred on the
    // first press, make a double click (SM_CXDOUBLECLK, SM_CYDOUBLECLK). The
    // desktop gives a distance d from the first press: the rectangle is 2d.
    int rect = 4;
    // Why the property, or one of the settings, was not used; null if it was
    // (or there was none). A static text.
    const char* refused = nullptr;
};

// Largest property that is read; the desktop's come to a few KiB.
constexpr std::size_t k_x11_settings_max_size = 64 * 1024;

// Reads "Net/DoubleClickTime" (1..5000 ms) and "Net/DoubleClickDistance"
// (1..100 px) from the bytes of a _XSETTINGS_SETTINGS property, never reading
// outside [data, data + size). A malformed property gives the defaults for
// both; a setting out of range, or of another type than an integer, gives the
// default for itself. Pure: any thread.
x11_double_click x11_parse_double_click(const unsigned char* data, std::size_t size);

// The display's double-click settings, or the defaults without a settings
// manager. Read from the display on first use and again, when asked, once a
// second has passed, so changes the user makes on the desktop apply within a
// second. Any thread; makes X requests on the UI connection (a round trip or
// two) at most once a second, and takes no lock of the layer while it does.
x11_double_click x11_double_click_settings();
