// Windows of the whole display: finding one by caption, and registered
// message numbers that every process on the display agrees on.
#include "user_internal.h"
#include "../kernel/text_utf8.h"
#include "../x11/x11_display.h"
#include "x11_window.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cwctype>

namespace {

std::wstring lower(std::wstring s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](wchar_t c) { return static_cast<wchar_t>(towlower(c)); });
    return s;
}

std::vector<Window> children_top_first(Display* d, Window w)
{
    std::vector<Window> out;
    Window r, p;
    Window* children = nullptr;
    unsigned n = 0;
    if (XQueryTree(d, w, &r, &p, &children, &n)) {
        out.assign(std::reverse_iterator<Window*>(children + n), std::reverse_iterator<Window*>(children));
        XFree(children);
    }
    return out;
}

bool has_wm_state(Display* d, Window w)
{
    std::vector<unsigned long> state;
    return x11_get_cardinals(d, w, x11_atom("WM_STATE"), x11_atom("WM_STATE"), state);
}

// Top-level windows, topmost first: the managed ones in stacking order,
// then every direct child of the root (unmanaged and never-shown windows).
// A manager that publishes no client list (weston's) has the clients in
// its frames, the root's children: those are found as ICCCM tools find
// them, by their WM_STATE, one level down.
std::vector<Window> toplevels_top_first(Display* d)
{
    std::vector<Window> out;
    std::vector<unsigned long> managed;
    Window root = DefaultRootWindow(d);
    const bool listed = x11_get_cardinals(d, root, x11_atom("_NET_CLIENT_LIST_STACKING"), XA_WINDOW, managed) ||
                        x11_get_cardinals(d, root, x11_atom("_NET_CLIENT_LIST"), XA_WINDOW, managed);
    if (listed)
        out.assign(managed.rbegin(), managed.rend());
    for (Window top : children_top_first(d, root)) {
        if (!listed && !has_wm_state(d, top))
            for (Window client : children_top_first(d, top))
                if (has_wm_state(d, client))
                    out.push_back(client);
        if (std::find(out.begin(), out.end(), top) == out.end())
            out.push_back(top);
    }
    return out;
}

}  // namespace

HWND FindWindowW(LPCWSTR className, LPCWSTR windowName)
{
    if (className && IS_INTRESOURCE(className))
        return nullptr;
    // This process's own windows first, without a round trip: the sound
    // threads look for the dialog with every buffer, about 20 times a
    // second, and a walk of the display's windows takes the connection.
    if (windowName) {
        const std::wstring wanted = className ? lower(className) : std::wstring();
        std::lock_guard<std::mutex> lock(user_lock());
        HWND own = nullptr;
        user_for_each_window([&](user_window& w) {
            if (!own && !w.parent && w.text == windowName &&
                (!className || (w.cls && lower(w.cls->name) == wanted)))
                own = w.hwnd;
        });
        if (own)
            return own;
    }
    std::string wanted_title = windowName ? utf8_from_wide(windowName) : std::string();
    std::string wanted_class = className ? utf8_from_wide(className) : std::string();
    HWND found = nullptr;
    x11_ui_request([&](Display* d) {
        for (Window xid : toplevels_top_first(d)) {
            HWND hwnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(xid));
            bool local = false;
            bool match = true;
            {
                std::lock_guard<std::mutex> lock(user_lock());
                if (user_window* w = user_find(hwnd)) {
                    local = true;
                    if (w->parent)
                        continue;
                    if (windowName && w->text != windowName)
                        match = false;
                    if (className && (!w->cls || lower(w->cls->name) != lower(className)))
                        match = false;
                }
            }
            if (!local) {
                if (windowName && x11_window_title(d, xid) != wanted_title)
                    match = false;
                if (match && className) {
                    XClassHint hint{};
                    match = XGetClassHint(d, xid, &hint) && hint.res_class && wanted_class == hint.res_class;
                    if (hint.res_name)
                        XFree(hint.res_name);
                    if (hint.res_class)
                        XFree(hint.res_class);
                }
            }
            if (match) {
                found = hwnd;
                return;
            }
        }
    });
    if (!found)
        SetLastError(ERROR_FILE_NOT_FOUND);
    return found;
}

UINT RegisterWindowMessageW(LPCWSTR name)
{
    if (!name || !*name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    Display* d = x11_ui_display();
    if (!d)
        return 0;
    // Atoms are shared by every client of the display, so the same name gives
    // the same number in every process; 0xC000 up is the registered range.
    std::string key = "_VISTAMO_MESSAGE_" + utf8_from_wide(name);
    Atom a = XInternAtom(d, key.c_str(), False);
    return a == None ? 0 : static_cast<UINT>(0xC000 + a);
}

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init)
{
    return init && init->dwSize == sizeof(INITCOMMONCONTROLSEX) ? TRUE : FALSE;
}
