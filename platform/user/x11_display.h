// X connections and atoms (layer-internal).
//
// The UI connection carries window management and events; its events are
// read only by the X thread (user_x11_thread()). Other threads may make
// requests on it through x11_ui_request, which wakes the X thread afterwards
// in case Xlib queued events while they held the connection.
//
// The presentation connection carries pixels only (see platform/gdi), so
// drawing threads never touch the UI connection's event queue.
#pragma once

#include <X11/Xlib.h>

#include <functional>
#include <string>

// Opens the UI connection on first use; nullptr if no display can be opened.
Display* x11_ui_display();
// Opens the presentation connection on first use; nullptr without a display.
Display* x11_present_display();
// Runs fn with the UI connection locked, flushes, and wakes the X thread.
void x11_ui_request(const std::function<void(Display*)>& fn);
// Whether a request made on the presentation connection at or after serial
// (NextRequest before it) failed. Syncs; call with the connection locked.
bool x11_present_failed_since(unsigned long serial);
// The name of the display Xlib would open ($DISPLAY), for messages.
std::string x11_display_name();

Atom x11_atom(const char* name);

// Property helpers on the UI connection.
std::string x11_get_utf8_property(Display* d, Window w, Atom property);
std::string x11_window_title(Display* d, Window w);
bool x11_get_cardinals(Display* d, Window w, Atom property, Atom type, std::vector<unsigned long>& out);
void x11_send_root_message(Display* d, Window w, Atom type, long l0, long l1, long l2, long l3, long l4);

// Our own protocol for posting window messages across processes.
Atom x11_window_message_atom();
