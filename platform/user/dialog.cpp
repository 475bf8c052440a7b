// Dialogs from built-in templates, the dialog class and the two control
// classes the templates use.
#include "user_internal.h"
#include "resources.h"
#include "../x11/x11_display.h"
#include "x11_window.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <chrono>
#include <cwctype>
#include <thread>

namespace {

const wchar_t k_dialog_class[] = L"#32770";
thread_local LONG_PTR t_pending_dialog_proc = 0;

int mul_div(int value, int mul, int div)
{
    long long p = static_cast<long long>(value) * mul;
    return static_cast<int>(p >= 0 ? (p + div / 2) / div : (p - div / 2) / div);
}

// Dialog base units of a template font at 96 dots per inch: the pixel
// height of the font's em, and from it the average character width and the
// line height of the sans-serif dialog fonts (8 pt gives 6 x 13, as on
// Windows; the 9 pt template font gives 7 x 14).
void base_units(const RES_DIALOG& t, int& bx, int& by)
{
    int points = (t.style & DS_SETFONT) && t.pointSize ? t.pointSize : 8;
    int em = mul_div(points, 96, 72);
    bx = static_cast<int>(em * 0.55 + 0.5);
    by = static_cast<int>(em * 1.207 + 0.5);
}

RECT map_rect(int bx, int by, int x, int y, int cx, int cy)
{
    return RECT{mul_div(x, bx, 4), mul_div(y, by, 8), mul_div(x + cx, bx, 4), mul_div(y + cy, by, 8)};
}

LRESULT CALLBACK static_proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_NCHITTEST:
        return (GetWindowLongW(hwnd, GWL_STYLE) & SS_NOTIFY) ? HTCLIENT : HTTRANSPARENT;
    case WM_ERASEBKGND:
        return 1;  // transparent: what lies under it stays
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        if ((GetWindowLongW(hwnd, GWL_STYLE) & SS_TYPEMASK) == SS_BLACKFRAME) {
            RECT rc;
            GetClientRect(hwnd, &rc);
            HBRUSH black = CreateSolidBrush(RGB(0, 0, 0));
            RECT edges[] = {{rc.left, rc.top, rc.right, rc.top + 1},
                            {rc.left, rc.bottom - 1, rc.right, rc.bottom},
                            {rc.left, rc.top, rc.left + 1, rc.bottom},
                            {rc.right - 1, rc.top, rc.right, rc.bottom}};
            for (const RECT& e : edges)
                FillRect(dc, &e, black);
            DeleteObject(black);
        }
        EndPaint(hwnd, &ps);
        return 0;
    }
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

LRESULT CALLBACK listbox_proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

// Waits briefly for the window manager to say how wide its frame will be,
// where it answers such requests at all: kwin, weston and sway do not, and
// their extents come once the window is mapped.
void await_frame_extents(Display* d, Window xid, int& l, int& r, int& t, int& b)
{
    if (!x11_wm_supports(d, "_NET_REQUEST_FRAME_EXTENTS"))
        return;
    x11_send_root_message(d, xid, x11_atom("_NET_REQUEST_FRAME_EXTENTS"), 0, 0, 0, 0, 0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    std::vector<unsigned long> v;
    while (std::chrono::steady_clock::now() < deadline) {
        XSync(d, False);
        if (x11_get_cardinals(d, xid, x11_atom("_NET_FRAME_EXTENTS"), XA_CARDINAL, v) && v.size() == 4)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    x11_read_frame_extents(d, xid, l, r, t, b);
}

// Asks for the client area at origin, which the manager keeps (static
// gravity) even before it maps the window.
void place_client(Display* d, Window xid, POINT origin)
{
    XSizeHints* size = XAllocSizeHints();
    size->flags = PWinGravity | USPosition;
    size->win_gravity = StaticGravity;
    size->x = origin.x;
    size->y = origin.y;
    XSetWMNormalHints(d, xid, size);
    XFree(size);
    XMoveWindow(d, xid, origin.x, origin.y);
}

// Places a top-level window's outer rectangle in the middle of the work
// area of the monitor that holds the pointer.
void center_window(HWND hwnd)
{
    unsigned long xid;
    int width, height;
    {
        std::lock_guard<std::mutex> lock(user_lock());
        user_window* w = user_find(hwnd);
        if (!w)
            return;
        xid = w->xid;
        width = w->width;
        height = w->height;
    }
    int l = 0, r = 0, t = 0, b = 0;
    bool managed = false;
    RECT area{};
    POINT origin{};
    x11_ui_request([&](Display* d) {
        managed = x11_wm_running(d);
        if (managed)
            await_frame_extents(d, xid, l, r, t, b);
        area = x11_pointer_work_area(d);
        origin = user_centred_client_origin(area, SIZE{width, height}, RECT{l, t, r, b});
        place_client(d, xid, origin);
    });
    std::lock_guard<std::mutex> lock(user_lock());
    if (user_window* w = user_find(hwnd)) {
        w->frame_left = l;
        w->frame_right = r;
        w->frame_top = t;
        w->frame_bottom = b;
        w->x = origin.x;
        w->y = origin.y;
        w->centre_pending = managed && l == 0 && r == 0 && t == 0 && b == 0;
        w->centre_area = area;
        w->centre_origin = origin;
    }
}

bool is_dialog_or_child(HWND dialog, HWND hwnd)
{
    std::lock_guard<std::mutex> lock(user_lock());
    for (user_window* w = user_find(hwnd); w; w = user_find(w->parent))
        if (w->hwnd == dialog)
            return true;
    return false;
}

}  // namespace

POINT user_centred_client_origin(const RECT& work_area, SIZE client, const RECT& frame)
{
    const int outer_width = client.cx + frame.left + frame.right;
    const int outer_height = client.cy + frame.top + frame.bottom;
    const int aw = work_area.right - work_area.left, ah = work_area.bottom - work_area.top;
    // Centring a frame wider or taller than the area would put its caption
    // out of reach; Windows keeps the top-left corner on the area instead.
    const int left = work_area.left + std::max(0, (aw - outer_width) / 2);
    const int top = work_area.top + std::max(0, (ah - outer_height) / 2);
    return POINT{left + frame.left, top + frame.top};
}

void user_recentre_after_frame(HWND hwnd)
{
    unsigned long xid = 0;
    RECT area{}, frame{};
    SIZE client{};
    {
        std::lock_guard<std::mutex> lock(user_lock());
        user_window* w = user_find(hwnd);
        if (!w || !w->centre_pending)
            return;
        frame = RECT{w->frame_left, w->frame_top, w->frame_right, w->frame_bottom};
        if (frame.left == 0 && frame.top == 0 && frame.right == 0 && frame.bottom == 0)
            return;
        w->centre_pending = false;
        // Moved meanwhile, by the user or the program: that place stays.
        if (w->x != w->centre_origin.x || w->y != w->centre_origin.y || w->maximized || w->fullscreen)
            return;
        xid = w->xid;
        area = w->centre_area;
        client = SIZE{w->width, w->height};
    }
    const POINT origin = user_centred_client_origin(area, client, frame);
    x11_ui_request([&](Display* d) { place_client(d, xid, origin); });
}

LONG_PTR user_take_pending_dialog_proc()
{
    LONG_PTR p = t_pending_dialog_proc;
    t_pending_dialog_proc = 0;
    return p;
}

bool x11_class_is_mouse_transparent(const std::wstring& className, DWORD style)
{
    std::wstring lower;
    for (wchar_t c : className)
        lower += static_cast<wchar_t>(towlower(c));
    return lower == L"static" && !(style & SS_NOTIFY);
}

void user_register_builtin_classes()
{
    static std::once_flag once;
    std::call_once(once, [] {
        user_register_builtin_class(k_dialog_class, CS_DBLCLKS, DefDlgProcW,
                                    reinterpret_cast<HBRUSH>(static_cast<uintptr_t>(COLOR_3DFACE + 1)));
        user_register_builtin_class(L"Static", 0, static_proc, nullptr);
        user_register_builtin_class(L"ListBox", CS_DBLCLKS, listbox_proc,
                                    reinterpret_cast<HBRUSH>(static_cast<uintptr_t>(COLOR_WINDOW + 1)));
    });
}

HWND CreateDialogParamW(HINSTANCE instance, LPCWSTR templateName, HWND parent, DLGPROC dialogProc,
                        LPARAM initParam)
{
    const RES_DIALOG* t = static_cast<const RES_DIALOG*>(res_find(RT_DIALOG, templateName));
    if (!t) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    user_register_builtin_classes();
    int bx, by;
    base_units(*t, bx, by);
    RECT frame = map_rect(bx, by, t->x, t->y, t->cx, t->cy);
    t_pending_dialog_proc = reinterpret_cast<LONG_PTR>(dialogProc);
    HWND dlg = CreateWindowExW(t->exStyle, t->windowClass ? t->windowClass : k_dialog_class, t->title,
                               t->style & ~WS_VISIBLE, frame.left, frame.top, frame.right - frame.left,
                               frame.bottom - frame.top, parent, nullptr, instance, nullptr);
    t_pending_dialog_proc = 0;
    if (!dlg)
        return nullptr;
    {
        std::lock_guard<std::mutex> lock(user_lock());
        if (user_window* w = user_find(dlg)) {
            w->base_x = bx;
            w->base_y = by;
        }
    }
    HWND first = nullptr;
    for (WORD i = 0; i < t->itemCount; ++i) {
        const RES_DIALOG_ITEM& item = t->items[i];
        RECT rc = map_rect(bx, by, item.x, item.y, item.cx, item.cy);
        HWND ctl = CreateWindowExW(item.exStyle, item.windowClass, item.title, item.style, rc.left, rc.top,
                                   rc.right - rc.left, rc.bottom - rc.top, dlg,
                                   reinterpret_cast<HMENU>(static_cast<uintptr_t>(item.id)), instance, nullptr);
        if (!first && ctl && (item.style & WS_TABSTOP))
            first = ctl;
    }
    if ((t->style & DS_CENTER) && !(t->style & WS_CHILD))
        center_window(dlg);
    SendMessageW(dlg, WM_INITDIALOG, reinterpret_cast<WPARAM>(first), initParam);
    if (IsWindow(dlg) && (t->style & WS_VISIBLE))
        ShowWindow(dlg, SW_SHOWNORMAL);
    return IsWindow(dlg) ? dlg : nullptr;
}

LRESULT DefDlgProcW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto proc = reinterpret_cast<DLGPROC>(GetWindowLongPtrW(hwnd, DWLP_DLGPROC));
    if (proc) {
        INT_PTR handled = proc(hwnd, message, wParam, lParam);
        if (handled) {
            switch (message) {
            case WM_INITDIALOG:
            case WM_QUERYDRAGICON: return handled;
            default: return GetWindowLongPtrW(hwnd, DWLP_MSGRESULT);
            }
        }
    }
    switch (message) {
    case WM_INITDIALOG: return 0;
    case WM_CLOSE:
        // A dialog closes as if its Cancel button had been pressed.
        PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), reinterpret_cast<LPARAM>(GetDlgItem(hwnd, IDCANCEL)));
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

BOOL EndDialog(HWND hwnd, INT_PTR result)
{
    {
        std::lock_guard<std::mutex> lock(user_lock());
        user_window* w = user_find(hwnd);
        if (!w || !w->is_dialog) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        w->dialog_ended = true;
        w->dialog_result = result;
    }
    // Wake the modal loop so it sees the dialog has ended.
    PostMessageW(hwnd, WM_NULL, 0, 0);
    return TRUE;
}

HWND GetDlgItem(HWND dialog, int id)
{
    std::lock_guard<std::mutex> lock(user_lock());
    user_window* w = user_find(dialog);
    if (!w)
        return nullptr;
    for (HWND c : w->children) {
        user_window* child = user_find(c);
        if (child && child->id == id)
            return c;
    }
    return nullptr;
}

int GetDlgCtrlID(HWND hwnd)
{
    std::lock_guard<std::mutex> lock(user_lock());
    user_window* w = user_find(hwnd);
    return w && w->parent ? static_cast<int>(w->id) : 0;
}

BOOL MapDialogRect(HWND dialog, LPRECT rect)
{
    if (!rect)
        return FALSE;
    std::lock_guard<std::mutex> lock(user_lock());
    user_window* w = user_find(dialog);
    if (!w || !w->is_dialog)
        return FALSE;
    *rect = RECT{mul_div(rect->left, w->base_x, 4), mul_div(rect->top, w->base_y, 8),
                 mul_div(rect->right, w->base_x, 4), mul_div(rect->bottom, w->base_y, 8)};
    return TRUE;
}

BOOL IsDialogMessageW(HWND dialog, LPMSG msg)
{
    if (!msg || !dialog || !is_dialog_or_child(dialog, msg->hwnd))
        return FALSE;
    if (msg->message == WM_KEYDOWN) {
        switch (msg->wParam) {
        case VK_ESCAPE:
            SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDCANCEL)));
            return TRUE;
        case VK_RETURN:
            SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, 0), reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
            return TRUE;
        case VK_TAB: return TRUE;  // no focusable controls to move between
        }
    }
    TranslateMessage(msg);
    DispatchMessageW(msg);
    return TRUE;
}
