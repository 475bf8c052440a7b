// State shared by the window-manager and drawing parts of the layer
// (layer-internal; no system code includes this).
//
// Locking: g_user_lock (user_lock()) guards the window table and every field
// of user_window except `surface`, which has its own lock. Nothing calls a
// window procedure, a sink or X while holding user_lock(), except the short
// X property reads noted below. Window procedures run on the window's owner
// thread.
#pragma once

#include <windows.h>

#include "../gdi/gdi_surface.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct user_menu;

struct user_class {
    std::wstring name;
    UINT style = 0;
    WNDPROC proc = nullptr;
    HICON icon = nullptr;
    HBRUSH background = nullptr;
};

struct user_window {
    HWND hwnd = nullptr;         // equals the X window id
    unsigned long xid = 0;       // the X window
    DWORD thread_id = 0;         // owner thread
    const user_class* cls = nullptr;
    WNDPROC proc = nullptr;
    DWORD style = 0;
    DWORD ex_style = 0;
    LONG_PTR id = 0;             // GWLP_ID: control identifier
    LONG_PTR user_data = 0;      // GWLP_USERDATA
    LONG_PTR dlg_result = 0;     // DWLP_MSGRESULT
    LONG_PTR dlg_proc = 0;       // DWLP_DLGPROC
    LONG_PTR dlg_user = 0;       // DWLP_USER
    HWND parent = nullptr;
    std::vector<HWND> children;  // creation order
    std::wstring text;

    // Client area: origin relative to the parent's client area, or on the
    // screen for top-level windows; size in pixels.
    int x = 0, y = 0, width = 0, height = 0;
    // Frame the window manager draws around a top-level window.
    int frame_left = 0, frame_right = 0, frame_top = 0, frame_bottom = 0;
    bool mapped = false;
    bool iconic = false;
    bool maximized = false;
    bool fullscreen = false;
    // The style's frame changed since the manager last reported extents:
    // a placement waits for the new ones, as sizes are asked for the
    // client area.
    bool frame_pending = false;
    // The style word last written carried WS_MAXIMIZE: leaving full screen
    // goes back to the maximised state rather than to a rectangle.
    bool keep_maximized = false;
    // Centred (DS_CENTER) before the manager said how wide its frame is:
    // centred again on this work area when the extents arrive.
    bool centre_pending = false;
    RECT centre_area{};
    POINT centre_origin{};
    // Client rectangle on the screen before the layer itself maximised the
    // window, where no window manager runs.
    RECT unmanaged_normal{};

    bool has_update = false;  // a WM_PAINT is due
    bool erase = false;       // ... and the background must be erased first
    RECT update{};            // bounding rectangle of the invalid area

    HICON icon_big = nullptr;
    HICON icon_small = nullptr;
    user_menu* system_menu = nullptr;

    bool is_dialog = false;
    int base_x = 0, base_y = 0;  // dialog base units, in pixels
    bool dialog_ended = false;
    INT_PTR dialog_result = 0;

    std::shared_ptr<gdi_surface> surface;
};

std::mutex& user_lock();
// The window, if it belongs to this process and still exists. Call with
// user_lock() held; the pointer is valid only while the lock is held.
user_window* user_find(HWND hwnd);
// Visits every window of this process. Call with user_lock() held.
void user_for_each_window(const std::function<void(user_window&)>& fn);
// Thread that handles X events (the owner of the first window), or 0.
DWORD user_x11_thread();

// A device context of the window, clipped to clip (client coordinates;
// nullptr for the whole client area); nullptr if the window is not ours.
HDC user_open_dc(HWND hwnd, const RECT* clip);
// The image an icon handle stands for, or nullptr.
const RES_ICON_IMAGE* user_icon_image(HICON icon);

// SIGTERM, SIGINT and SIGHUP close the program's windows as their close box
// does (WM_SYSCOMMAND SC_CLOSE, taken on the X thread), and the process ends
// at most 10 s later whatever they do; a second such signal ends it at once.
// The process entry installs this before it makes any window; the X thread
// waits on user_close_signal_fd() (-1 until then) with its connection, and
// calls user_take_close_signal() on each turn of its message wait.
void user_close_on_signals();
int user_close_signal_fd();
void user_take_close_signal();

// Posts a message into the queue of the window's owner thread.
BOOL user_post(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
// Marks part of a window invalid and wakes its owner to paint it.
void user_invalidate(HWND hwnd, const RECT* rect, bool erase);
// Wakes the thread's message wait (from any thread).
void user_wake(DWORD thread_id);
// Gives the calling thread its message queue, as creating its first window
// does, so that messages posted to that window from now on are kept.
void user_queue_attach();

// The client origin on the screen that centres a top-level window's outer
// rectangle (client size grown by the frame thicknesses in frame) on the
// work area, as DS_CENTER does. A frame larger than the work area keeps its
// top-left corner on the area, so that the caption stays within reach.
POINT user_centred_client_origin(const RECT& work_area, SIZE client, const RECT& frame);
// A top-level window whose frame extents arrived after it was centred
// (managers that do not answer _NET_REQUEST_FRAME_EXTENTS): centres the
// frame now. Call on the X thread without user_lock().
void user_recentre_after_frame(HWND hwnd);
