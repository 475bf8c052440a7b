// Helpers shared by the window-manager files (layer-internal).
#pragma once

#include "user_internal.h"

#include <X11/Xlib.h>

#include <string>
#include <vector>

// Built-in window classes: the dialog class, "Static" and "ListBox".
void user_register_builtin_classes();
void user_register_builtin_class(LPCWSTR name, UINT style, WNDPROC proc, HBRUSH background);
// The dialog procedure CreateDialogParamW is about to attach to the dialog
// window being created on this thread (taken once).
LONG_PTR user_take_pending_dialog_proc();
// Whether mouse input over a control of this class passes to its parent
// (statics without SS_NOTIFY, as their hit test is transparent).
bool x11_class_is_mouse_transparent(const std::wstring& className, DWORD style);

// Top-level window properties: class hints, protocols, frame style.
void x11_prepare_toplevel(Display* d, Window w, LPCWSTR className, DWORD style);
void x11_set_title(Display* d, Window w, const std::wstring& text);
void x11_apply_frame_style(Display* d, Window w, DWORD style);

// Records a top-level window's state as the window manager reports it (or
// as ShowWindow saw it confirmed); sends WM_SIZE and invalidates when the
// state changes. Call without user_lock().
void user_set_state(HWND hwnd, bool iconic, bool maximized, bool fullscreen);
// Records a new client size and origin; resizes the surface and sends
// WM_SIZE / WM_MOVE as Win32 would. Call without user_lock().
void user_set_geometry(HWND hwnd, int x, int y, int width, int height);
// Reads a top-level window's client area and frame extents from X and
// records them (user_set_geometry). Call without user_lock() and without
// the display locked.
void x11_refresh_toplevel(Display* d, HWND hwnd, Window xid);
// Whether the window manager has taken the window on: shown or iconified,
// but not withdrawn. Its state then changes only by request to the manager.
bool x11_wm_manages(Display* d, Window w);
// Reads WM_STATE and _NET_WM_STATE of a top-level window.
void x11_read_state(Display* d, Window w, bool& iconic, bool& maximized, bool& fullscreen, bool& above);
void x11_read_frame_extents(Display* d, Window w, int& left, int& right, int& top, int& bottom);
// The work area (the desktop's, on that monitor) of the monitor that
// holds the pointer, where Win32 centres a dialog without an owner. With
// d locked.
RECT x11_pointer_work_area(Display* d);
// The client area's position on the root window.
bool x11_client_origin(Display* d, Window w, int& x, int& y);

// Gives a new top-level window the invisible cursor if the calling thread,
// its owner, has a negative cursor display count (ShowCursor). Call on the
// owner thread right after creating the window, without user_lock() and
// without the display locked.
void x11_cursor_window_created(HWND hwnd);

// Takes a mapped top-level window out of the window manager's hands and
// waits (up to 300 ms) until it has let go, before the window is destroyed:
// mutter 43 dies on an error about a window destroyed while it still
// redraws its frame. Call without user_lock().
void x11_withdraw_and_wait(unsigned long xid);
// Timers of destroyed windows are dropped.
void user_timers_forget(const std::vector<HWND>& windows);
void x11_menu_free(user_menu* menu);
// X events of this process: translated into messages by the X thread.
void x11_dispatch_event(XEvent& ev);
// Whether a window message that another X client sends us (a
// _VISTAMO_WINDOW_MESSAGE ClientMessage) may be posted. Any client on the
// display can send one, so, as Win32 does between processes, only messages
// whose parameters are plain values are taken: WM_NULL, WM_CLOSE,
// WM_COMMAND, WM_SYSCOMMAND and registered messages (0xC000-0xFFFF).
// Everything else, above all the messages whose parameters the receiver
// reads as pointers, is dropped.
bool x11_message_from_client_allowed(UINT message);
