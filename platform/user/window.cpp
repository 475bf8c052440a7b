// Window classes and windows over Xlib.
#include "user_internal.h"
#include "../kernel/text_utf8.h"
#include "../x11/x11_display.h"
#include "x11_window.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <cwctype>
#include <map>
#include <unordered_map>

namespace {

std::mutex g_user_lock;
// Guarded by g_user_lock.
std::unordered_map<HWND, std::unique_ptr<user_window>>& window_table()
{
    static auto* table = new std::unordered_map<HWND, std::unique_ptr<user_window>>();
    return *table;
}
std::map<std::wstring, std::unique_ptr<user_class>>& class_table()
{
    static auto* table = new std::map<std::wstring, std::unique_ptr<user_class>>();
    return *table;
}
DWORD g_x11_thread = 0;

std::wstring class_key(LPCWSTR name)
{
    std::wstring key = name ? name : L"";
    std::transform(key.begin(), key.end(), key.begin(), [](wchar_t c) { return static_cast<wchar_t>(towlower(c)); });
    return key;
}

const user_class* find_class(LPCWSTR name)
{
    if (!name || IS_INTRESOURCE(name))
        return nullptr;
    auto it = class_table().find(class_key(name));
    return it == class_table().end() ? nullptr : it->second.get();
}

COLORREF class_fill(const user_class* cls, DWORD style)
{
    bool ok = false;
    COLORREF c = cls ? gdi_brush_color(cls->background, &ok) : 0;
    if (ok)
        return c;
    // A static black frame with no background of its own shows black.
    if ((style & WS_CHILD) && (style & SS_TYPEMASK) == SS_BLACKFRAME)
        return RGB(0, 0, 0);
    return GetSysColor(COLOR_3DFACE);
}

}  // namespace

std::mutex& user_lock() { return g_user_lock; }

user_window* user_find(HWND hwnd)
{
    auto it = window_table().find(hwnd);
    return it == window_table().end() ? nullptr : it->second.get();
}

void user_for_each_window(const std::function<void(user_window&)>& fn)
{
    for (auto& kv : window_table())
        fn(*kv.second);
}

DWORD user_x11_thread()
{
    std::lock_guard<std::mutex> lock(g_user_lock);
    return g_x11_thread;
}

void x11_set_title(Display* d, Window w, const std::wstring& text)
{
    std::string utf8 = utf8_from_wide(text.c_str());
    XChangeProperty(d, w, x11_atom("_NET_WM_NAME"), x11_atom("UTF8_STRING"), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(utf8.data()), static_cast<int>(utf8.size()));
    XTextProperty prop;
    char* list[] = {utf8.data()};
    if (Xutf8TextListToTextProperty(d, list, 1, XStdICCTextStyle, &prop) >= Success) {
        XSetWMName(d, w, &prop);
        XFree(prop.value);
    }
}

// Decorations and functions through _MOTIF_WM_HINTS, from the style bits.
void x11_apply_frame_style(Display* d, Window w, DWORD style)
{
    enum { FUNCTIONS = 1, DECORATIONS = 2 };
    enum { F_RESIZE = 2, F_MOVE = 4, F_MINIMIZE = 8, F_MAXIMIZE = 16, F_CLOSE = 32 };
    enum { D_BORDER = 2, D_RESIZEH = 4, D_TITLE = 8, D_MENU = 16, D_MINIMIZE = 32, D_MAXIMIZE = 64 };
    long hints[5] = {FUNCTIONS | DECORATIONS, 0, 0, 0, 0};
    bool caption = (style & WS_CAPTION) == WS_CAPTION;
    hints[1] = F_MOVE | F_CLOSE;
    if (style & WS_THICKFRAME) {
        hints[1] |= F_RESIZE;
        hints[2] |= D_RESIZEH | D_BORDER;
    }
    if (style & WS_MINIMIZEBOX)
        hints[1] |= F_MINIMIZE;
    if (style & WS_MAXIMIZEBOX)
        hints[1] |= F_MAXIMIZE;
    if (caption) {
        hints[2] |= D_TITLE | D_BORDER;
        if (style & WS_SYSMENU)
            hints[2] |= D_MENU;
        if (style & WS_MINIMIZEBOX)
            hints[2] |= D_MINIMIZE;
        if (style & WS_MAXIMIZEBOX)
            hints[2] |= D_MAXIMIZE;
    }
    Atom a = x11_atom("_MOTIF_WM_HINTS");
    XChangeProperty(d, w, a, a, 32, PropModeReplace, reinterpret_cast<unsigned char*>(hints), 5);
}

WORD RegisterClassW(const WNDCLASSW* wc)
{
    if (!wc || !wc->lpszClassName || IS_INTRESOURCE(wc->lpszClassName) || !wc->lpfnWndProc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::lock_guard<std::mutex> lock(g_user_lock);
    std::wstring key = class_key(wc->lpszClassName);
    if (class_table().count(key)) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    auto cls = std::make_unique<user_class>();
    cls->name = wc->lpszClassName;
    cls->style = wc->style;
    cls->proc = wc->lpfnWndProc;
    cls->icon = wc->hIcon;
    cls->background = wc->hbrBackground;
    class_table()[key] = std::move(cls);
    return static_cast<WORD>(0xC000 + class_table().size());
}

void user_register_builtin_class(LPCWSTR name, UINT style, WNDPROC proc, HBRUSH background)
{
    std::lock_guard<std::mutex> lock(g_user_lock);
    std::wstring key = class_key(name);
    if (class_table().count(key))
        return;
    auto cls = std::make_unique<user_class>();
    cls->name = name;
    cls->style = style;
    cls->proc = proc;
    cls->background = background;
    class_table()[key] = std::move(cls);
}

HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y, int width,
                     int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param)
{
    user_register_builtin_classes();
    Display* d = x11_ui_display();
    if (!d) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    const user_class* cls;
    unsigned long parent_xid = DefaultRootWindow(d);
    {
        std::lock_guard<std::mutex> lock(g_user_lock);
        cls = find_class(className);
        if (!cls) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        if (style & WS_CHILD) {
            user_window* p = user_find(parent);
            if (!p) {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                return nullptr;
            }
            parent_xid = p->xid;
        }
    }
    width = std::max(width, 1);
    height = std::max(height, 1);
    bool child = (style & WS_CHILD) != 0;
    bool takes_mouse = !(child && x11_class_is_mouse_transparent(cls->name, style));

    XSetWindowAttributes attrs{};
    attrs.background_pixmap = None;
    attrs.bit_gravity = NorthWestGravity;
    attrs.event_mask = ExposureMask | StructureNotifyMask;
    if (!child)
        attrs.event_mask |= PropertyChangeMask | KeyPressMask | KeyReleaseMask | FocusChangeMask;
    if (takes_mouse)
        attrs.event_mask |= ButtonPressMask | ButtonReleaseMask | PointerMotionMask;
    Window xid;
    XLockDisplay(d);
    xid = XCreateWindow(d, parent_xid, child ? x : 0, child ? y : 0, static_cast<unsigned>(width),
                        static_cast<unsigned>(height), 0, CopyFromParent, InputOutput, CopyFromParent,
                        CWBackPixmap | CWBitGravity | CWEventMask, &attrs);
    x11_note_window_created(xid);
    if (!child)
        x11_prepare_toplevel(d, xid, className, style);
    XUnlockDisplay(d);

    HWND hwnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(xid));
    user_queue_attach();
    {
        std::lock_guard<std::mutex> lock(g_user_lock);
        auto w = std::make_unique<user_window>();
        w->hwnd = hwnd;
        w->xid = xid;
        w->thread_id = GetCurrentThreadId();
        w->cls = cls;
        w->proc = cls->proc;
        w->style = style & ~WS_VISIBLE;
        w->ex_style = exStyle;
        w->parent = child ? parent : nullptr;
        w->id = child ? reinterpret_cast<LONG_PTR>(menu) : 0;
        w->text = windowName && !IS_INTRESOURCE(windowName) ? windowName : L"";
        w->x = x;
        w->y = y;
        w->width = width;
        w->height = height;
        if (class_key(cls->name.c_str()) == L"#32770") {
            w->is_dialog = true;
            w->dlg_proc = user_take_pending_dialog_proc();
        }
        w->surface = gdi_surface_create(xid, width, height, class_fill(cls, style));
        if (child)
            user_find(parent)->children.push_back(hwnd);
        if (!g_x11_thread) {
            g_x11_thread = w->thread_id;
            x11_set_event_reader_waker([] {
                const DWORD reader = user_x11_thread();
                if (reader && reader != GetCurrentThreadId())
                    user_wake(reader);
            });
        }
        window_table()[hwnd] = std::move(w);
    }
    if (!child) {
        std::wstring title = windowName && !IS_INTRESOURCE(windowName) ? windowName : L"";
        x11_ui_request([&](Display* dd) { x11_set_title(dd, xid, title); });
        x11_cursor_window_created(hwnd);
    }

    CREATESTRUCTW cs{param, instance, menu, parent, height, width, y, x, static_cast<LONG>(style),
                     windowName, className, exStyle};
    if (!SendMessageW(hwnd, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&cs)) ||
        SendMessageW(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
        DestroyWindow(hwnd);
        return nullptr;
    }
    SendMessageW(hwnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(width, height));
    SendMessageW(hwnd, WM_MOVE, 0, MAKELPARAM(x, y));
    if (style & WS_VISIBLE)
        ShowWindow(hwnd, SW_SHOW);
    return hwnd;
}

static void collect_subtree(HWND hwnd, std::vector<HWND>& out)
{
    out.push_back(hwnd);
    user_window* w = user_find(hwnd);
    if (w)
        for (HWND c : w->children)
            collect_subtree(c, out);
}

BOOL DestroyWindow(HWND hwnd)
{
    std::vector<HWND> subtree;
    unsigned long xid = 0;
    HWND parent = nullptr;
    bool mapped = false;
    {
        std::lock_guard<std::mutex> lock(g_user_lock);
        user_window* w = user_find(hwnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        collect_subtree(hwnd, subtree);
        xid = w->xid;
        parent = w->parent;
        mapped = w->mapped;
    }
    // Parents hear WM_DESTROY before their children, and WM_NCDESTROY after.
    for (HWND h : subtree)
        SendMessageW(h, WM_DESTROY, 0, 0);
    for (auto it = subtree.rbegin(); it != subtree.rend(); ++it)
        SendMessageW(*it, WM_NCDESTROY, 0, 0);
    std::vector<std::unique_ptr<user_window>> doomed;
    {
        std::lock_guard<std::mutex> lock(g_user_lock);
        for (HWND h : subtree) {
            auto it = window_table().find(h);
            if (it != window_table().end()) {
                doomed.push_back(std::move(it->second));
                window_table().erase(it);
            }
        }
        if (user_window* p = user_find(parent))
            p->children.erase(std::remove(p->children.begin(), p->children.end(), hwnd), p->children.end());
    }
    for (auto& w : doomed)
        x11_menu_free(w->system_menu);
    user_timers_forget(subtree);
    for (HWND h : subtree)
        x11_note_window_gone(static_cast<unsigned long>(reinterpret_cast<uintptr_t>(h)));
    if (!parent && mapped)
        x11_withdraw_and_wait(xid);
    x11_ui_request([&](Display* d) { XDestroyWindow(d, xid); });
    return TRUE;
}

void x11_withdraw_and_wait(unsigned long xid)
{
    Display* d = x11_ui_display();
    bool wm = false;
    x11_ui_request([&](Display* dd) {
        XWithdrawWindow(dd, xid, DefaultScreen(dd));
        wm = x11_wm_running(dd);
    });
    if (!wm)
        return;
    // Reads properties only, so no event is taken from the X thread.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < deadline) {
        XLockDisplay(d);
        XSync(d, False);
        const bool held = x11_wm_manages(d, xid);
        XUnlockDisplay(d);
        if (!held)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

BOOL IsWindow(HWND hwnd)
{
    std::lock_guard<std::mutex> lock(g_user_lock);
    return user_find(hwnd) ? TRUE : FALSE;
}

BOOL EnumWindows(WNDENUMPROC proc, LPARAM lParam)
{
    if (!proc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<HWND> top;
    {
        std::lock_guard<std::mutex> lock(g_user_lock);
        user_for_each_window([&](user_window& w) {
            if (!w.parent)
                top.push_back(w.hwnd);
        });
    }
    for (HWND h : top)
        if (IsWindow(h) && !proc(h, lParam))
            break;
    return TRUE;
}

HWND GetParent(HWND hwnd)
{
    std::lock_guard<std::mutex> lock(g_user_lock);
    user_window* w = user_find(hwnd);
    return w ? w->parent : nullptr;
}

DWORD GetWindowThreadProcessId(HWND hwnd, LPDWORD processId)
{
    std::lock_guard<std::mutex> lock(g_user_lock);
    user_window* w = user_find(hwnd);
    if (!w)
        return 0;
    if (processId)
        *processId = static_cast<DWORD>(::getpid());
    return w->thread_id;
}

LONG_PTR GetWindowLongPtrW(HWND hwnd, int index)
{
    std::lock_guard<std::mutex> lock(g_user_lock);
    user_window* w = user_find(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    switch (index) {
    case GWLP_WNDPROC: return reinterpret_cast<LONG_PTR>(w->proc);
    case GWLP_HINSTANCE: return reinterpret_cast<LONG_PTR>(GetModuleHandleW(nullptr));
    case GWLP_ID: return w->id;
    case GWL_STYLE: {
        DWORD style = w->style;
        if (w->mapped || (style & WS_VISIBLE))
            style |= WS_VISIBLE;
        if (w->iconic)
            style |= WS_MINIMIZE;
        if (w->maximized || w->fullscreen)
            style |= WS_MAXIMIZE;
        return static_cast<LONG>(style);
    }
    case GWL_EXSTYLE: return static_cast<LONG>(w->ex_style);
    case GWLP_USERDATA: return w->user_data;
    }
    if (w->is_dialog) {
        switch (index) {
        case DWLP_MSGRESULT: return w->dlg_result;
        case DWLP_DLGPROC: return w->dlg_proc;
        case DWLP_USER: return w->dlg_user;
        }
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
}

LONG_PTR SetWindowLongPtrW(HWND hwnd, int index, LONG_PTR value)
{
    LONG_PTR old = 0;
    DWORD style_now = 0;
    bool frame_changed = false;
    unsigned long xid = 0;
    {
        std::lock_guard<std::mutex> lock(g_user_lock);
        user_window* w = user_find(hwnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        xid = w->xid;
        LONG_PTR* slot = nullptr;
        switch (index) {
        case GWLP_WNDPROC:
            old = reinterpret_cast<LONG_PTR>(w->proc);
            w->proc = reinterpret_cast<WNDPROC>(value);
            return old;
        case GWLP_ID: slot = &w->id; break;
        case GWLP_USERDATA: slot = &w->user_data; break;
        case GWL_STYLE: {
            old = static_cast<LONG>(w->style | (w->mapped ? WS_VISIBLE : 0));
            DWORD next = static_cast<DWORD>(value);
            frame_changed = !w->parent && ((next ^ w->style) & (WS_CAPTION | WS_THICKFRAME | WS_SYSMENU |
                                                                WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
            // Visibility follows ShowWindow and the minimised and maximised
            // bits follow the window manager's state, not the style word, so
            // a style read and written back never pins a stale state.
            const DWORD derived = WS_VISIBLE | WS_MINIMIZE | WS_MAXIMIZE;
            w->style = (next & ~derived) | (w->style & derived);
            style_now = w->style;
            // What the word says of maximising is kept for leaving full
            // screen, which goes back to the state the word was read in.
            w->keep_maximized = (next & WS_MAXIMIZE) != 0;
            if (frame_changed && w->mapped)
                w->frame_pending = true;
            break;
        }
        case GWL_EXSTYLE:
            old = static_cast<LONG>(w->ex_style);
            w->ex_style = static_cast<DWORD>(value);
            return old;
        default:
            if (w->is_dialog && index == DWLP_MSGRESULT)
                slot = &w->dlg_result;
            else if (w->is_dialog && index == DWLP_DLGPROC)
                slot = &w->dlg_proc;
            else if (w->is_dialog && index == DWLP_USER)
                slot = &w->dlg_user;
        }
        if (slot) {
            old = *slot;
            *slot = value;
            return old;
        }
        if (index != GWL_STYLE) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
    }
    if (frame_changed)
        x11_ui_request([&](Display* d) { x11_apply_frame_style(d, xid, style_now); });
    return old;
}

LONG GetWindowLongW(HWND hwnd, int index) { return static_cast<LONG>(GetWindowLongPtrW(hwnd, index)); }

LONG SetWindowLongW(HWND hwnd, int index, LONG value)
{
    // Style words are unsigned 32-bit values carried in a LONG.
    LONG_PTR v = (index == GWL_STYLE || index == GWL_EXSTYLE) ? static_cast<LONG_PTR>(static_cast<DWORD>(value))
                                                              : value;
    return static_cast<LONG>(SetWindowLongPtrW(hwnd, index, v));
}

BOOL SetWindowTextW(HWND hwnd, LPCWSTR text)
{
    unsigned long xid = 0;
    bool top = false;
    std::wstring t = text ? text : L"";
    {
        std::lock_guard<std::mutex> lock(g_user_lock);
        user_window* w = user_find(hwnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        w->text = t;
        xid = w->xid;
        top = !w->parent;
    }
    if (top)
        x11_ui_request([&](Display* d) { x11_set_title(d, xid, t); });
    return TRUE;
}

int GetWindowTextW(HWND hwnd, LPWSTR text, int maxCount)
{
    if (!text || maxCount <= 0)
        return 0;
    std::lock_guard<std::mutex> lock(g_user_lock);
    user_window* w = user_find(hwnd);
    if (!w) {
        text[0] = 0;
        return 0;
    }
    int n = std::min<int>(static_cast<int>(w->text.size()), maxCount - 1);
    std::copy(w->text.begin(), w->text.begin() + n, text);
    text[n] = 0;
    return n;
}
