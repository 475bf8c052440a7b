// An independent X client for tests: sees windows the way the window
// manager and the user do, on its own connection to $DISPLAY.
#pragma once

// Xlib's own header defines macros (None, Bool, Status) that clash with
// test frameworks, so only the types are declared here.
struct _XDisplay;
typedef struct _XDisplay Display;
typedef unsigned long Window;
typedef unsigned long Atom;

#include "hang_timeout.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct probe_rect {
    int x = 0, y = 0, width = 0, height = 0;
};

class x11_probe {
public:
    x11_probe();  // opens $DISPLAY; display() is null if that fails
    ~x11_probe();
    x11_probe(const x11_probe&) = delete;
    x11_probe& operator=(const x11_probe&) = delete;

    Display* display() const { return m_display; }
    Window root() const;
    int screen_width() const;
    int screen_height() const;

    // Managed top-level windows (_NET_CLIENT_LIST; without a window
    // manager, the root's children) whose _NET_WM_NAME is exactly title.
    std::vector<Window> find_by_title(const std::string& title);
    std::string title(Window w);
    // The client area on the screen; the window manager's frame extents.
    probe_rect client_rect(Window w);
    // The frame the manager draws (none for a window in no frame):
    // x=left, y=top, width=right, height=bottom.
    probe_rect frame_extents(Window w);
    bool is_iconic(Window w);            // WM_STATE says IconicState
    bool has_net_state(Window w, const char* state);  // e.g. "_NET_WM_STATE_ABOVE"
    Window active_window();
    // The running window manager's _NET_WM_NAME, or "" without one.
    std::string wm_name();
    // Managed windows, bottom to top.
    std::vector<Window> stacking();
    long pid_of(Window w);  // _NET_WM_PID, or -1

    // Asks the window manager to close (WM_DELETE_WINDOW), iconify, or
    // activate the window; and resizes its client area.
    void request_close(Window w);
    // Sends w a window message as another process using the layer does;
    // any client can, hostile ones included. Without flush, the message
    // waits in this client's buffer for the next flush.
    void send_window_message(Window w, unsigned message, uint64_t wParam, uint64_t lParam, bool flush = true);
    // Destroys another client's window, as a misbehaving client can.
    void destroy(Window w);
    void iconify(Window w);
    void activate(Window w);
    // Asks the window manager to add or remove up to two _NET_WM_STATE
    // states, as its title-bar buttons do.
    void set_net_state(Window w, bool add, const char* state, const char* state2 = nullptr);
    void resize(Window w, int width, int height);
    // A key pressed and released with the window focused, as the server
    // delivers it; keysym is an X keysym (XK_Escape, XK_Return ...).
    void press_key(Window w, unsigned long keysym);
    // The left button clicked twice in quick succession, and the pointer
    // moved, at (x, y) in w's coordinates, as the server delivers them to w.
    void double_click(Window w, int x, int y);
    void move_pointer(Window w, int x, int y);
    // One left-button click (press and release) at (x, y) in w's
    // coordinates, stamped with the given server time in milliseconds.
    void click(Window w, int x, int y, unsigned long time);
    // Becomes the display's settings manager, as a desktop's is: owns
    // _XSETTINGS_S<screen> with a window of this client whose
    // _XSETTINGS_SETTINGS property holds settings (the raw bytes). Returns the
    // window (destroy_window ends the ownership), or 0 if the selection could
    // not be taken.
    Window own_xsettings(const std::vector<unsigned char>& settings);
    // Moves a top-level window, as a user dragging its caption does.
    void move(Window w, int x, int y);
    // A plain window of this client with the given _NET_WM_NAME, mapped.
    Window create_window(const std::string& title, int width = 200, int height = 100);
    void destroy_window(Window w);

    // Splits the screen into these monitors (RandR 1.5), the first taking
    // the screen's output, as a desktop with several monitors has them.
    // They last as long as this client's connection. False if the server
    // cannot.
    bool set_monitors(const std::vector<probe_rect>& monitors);

    // RGB of one screen pixel (0xRRGGBB), read from the root window.
    unsigned long screen_pixel(int x, int y);
    // RGB of one pixel of a window's own contents (not what the screen
    // shows of it: a compositing manager shows its own copy); ~0 if the
    // window cannot be read.
    unsigned long window_pixel(Window w, int x, int y);

    // Polls pred every 10 ms until true or timeout; returns its last value.
    static bool wait_until(const std::function<bool()>& pred,
                           std::chrono::milliseconds timeout = kHangTimeout);

    Atom atom(const char* name);

private:
    Display* m_display = nullptr;
    std::vector<Atom> m_monitors;  // set by set_monitors
};
