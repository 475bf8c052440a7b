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
#include <memory>
#include <string>

// Opens the UI connection on first use; nullptr if no display can be opened.
Display* x11_ui_display();
// Opens the presentation connection on first use; nullptr without a display.
Display* x11_present_display();
// Runs fn with the UI connection locked, flushes, and wakes the X thread
// (Xlib may have read its events into the queue meanwhile).
void x11_ui_request(const std::function<void(Display*)>& fn);
// How x11_ui_request wakes the thread that reads the UI connection's
// events: wake() must do so unless called on that thread. Set by the
// window layer, which owns that thread; nothing is woken before.
void x11_set_event_reader_waker(void (*wake)());

// X errors. Errors are expected only around requests that may fail for
// reasons outside the program: those made inside an x11_expected_errors
// scope (attaching shared memory, say), and requests naming a window that
// may be gone (another client's, or one of ours already destroyed). Every other
// error is reported on the debug output, once for each kind (error code
// and request), since an error repeated for every frame would flood it.
//
// Marks the requests made on d while it lives as ones that may fail. Create
// and destroy it with d locked (XLockDisplay, or inside x11_ui_request), so
// that no other thread's requests fall in between.
class x11_expected_errors {
public:
    explicit x11_expected_errors(Display* d);
    ~x11_expected_errors();
    x11_expected_errors(const x11_expected_errors&) = delete;
    x11_expected_errors& operator=(const x11_expected_errors&) = delete;
    // Whether a request made so far in this scope failed. Syncs.
    bool failed();

private:
    Display* m_display;
    std::shared_ptr<struct expected_range> m_range;
};
// Our windows' lives: errors naming a window that is not one of ours, or
// no longer is (destroyed by us or by another client, with requests still
// on their way to it), are expected.
void x11_note_window_created(unsigned long xid);
void x11_note_window_gone(unsigned long xid);
// The name of the display Xlib would open ($DISPLAY), for messages.
std::string x11_display_name();

Atom x11_atom(const char* name);

// Property helpers on the UI connection.
std::string x11_get_utf8_property(Display* d, Window w, Atom property);
std::string x11_window_title(Display* d, Window w);
bool x11_get_cardinals(Display* d, Window w, Atom property, Atom type, std::vector<unsigned long>& out);
void x11_send_root_message(Display* d, Window w, Atom type, long l0, long l1, long l2, long l3, long l4);

// The server's time now, for requests that window managers order by time
// (activation): read from the PropertyNotify of an empty append to a
// private window. With d locked; the event is taken from the queue here,
// so the X thread never sees it.
Time x11_server_time(Display* d);
// Whether a window manager runs: _NET_SUPPORTING_WM_CHECK names a window
// that names itself, as a manager still running keeps it (one that died
// leaves the root's property behind). With d locked.
bool x11_wm_running(Display* d);
// Whether the running window manager lists the hint in _NET_SUPPORTED.
// With d locked.
bool x11_wm_supports(Display* d, const char* hint);

// Our own protocol for posting window messages across processes.
Atom x11_window_message_atom();
