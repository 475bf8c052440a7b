// Invalidation, WM_PAINT bracketing, and the default window procedure.
#include "user_internal.h"
#include "../x11/x11_display.h"
#include "x11_window.h"

#include <X11/Xatom.h>

namespace {

RECT client_of(user_window* w) { return RECT{0, 0, w->width, w->height}; }

RECT unite(const RECT& a, const RECT& b)
{
    if (a.right <= a.left || a.bottom <= a.top)
        return b;
    if (b.right <= b.left || b.bottom <= b.top)
        return a;
    return RECT{std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right),
                std::max(a.bottom, b.bottom)};
}

void fill_with_class_brush(HWND hwnd, HDC hdc)
{
    HBRUSH brush = nullptr;
    RECT rc{};
    {
        std::lock_guard<std::mutex> lock(user_lock());
        user_window* w = user_find(hwnd);
        if (!w || !w->cls)
            return;
        brush = w->cls->background;
        rc = client_of(w);
    }
    if (brush)
        FillRect(hdc, &rc, brush);
}

void set_net_wm_icon(HWND hwnd, HICON icon)
{
    const RES_ICON_IMAGE* image = user_icon_image(icon);
    unsigned long xid = 0;
    bool top = false;
    {
        std::lock_guard<std::mutex> lock(user_lock());
        user_window* w = user_find(hwnd);
        if (!w)
            return;
        xid = w->xid;
        top = !w->parent;
    }
    if (!top)
        return;
    x11_ui_request([&](Display* d) {
        Atom prop = x11_atom("_NET_WM_ICON");
        if (!image) {
            XDeleteProperty(d, xid, prop);
            return;
        }
        std::vector<unsigned long> data;
        data.reserve(2 + static_cast<size_t>(image->width) * image->height);
        data.push_back(static_cast<unsigned long>(image->width));
        data.push_back(static_cast<unsigned long>(image->height));
        for (int i = 0; i < image->width * image->height; ++i)
            data.push_back(image->pixels[i]);
        XChangeProperty(d, xid, prop, XA_CARDINAL, 32, PropModeReplace, reinterpret_cast<unsigned char*>(data.data()),
                        static_cast<int>(data.size()));
    });
}

}  // namespace

void user_invalidate(HWND hwnd, const RECT* rect, bool erase)
{
    DWORD owner = 0;
    {
        std::lock_guard<std::mutex> lock(user_lock());
        user_window* w = user_find(hwnd);
        if (!w)
            return;
        RECT r = rect ? *rect : client_of(w);
        RECT clip = client_of(w);
        r.left = std::max(r.left, clip.left);
        r.top = std::max(r.top, clip.top);
        r.right = std::min(r.right, clip.right);
        r.bottom = std::min(r.bottom, clip.bottom);
        if (r.right <= r.left || r.bottom <= r.top)
            return;
        w->update = w->has_update ? unite(w->update, r) : r;
        w->has_update = true;
        w->erase = w->erase || erase;
        owner = w->thread_id;
    }
    user_wake(owner);
}

BOOL InvalidateRect(HWND hwnd, const RECT* rect, BOOL erase)
{
    if (!IsWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    user_invalidate(hwnd, rect, erase != FALSE);
    return TRUE;
}

BOOL ValidateRect(HWND hwnd, const RECT*)
{
    std::lock_guard<std::mutex> lock(user_lock());
    user_window* w = user_find(hwnd);
    if (!w)
        return FALSE;
    w->has_update = false;
    w->erase = false;
    w->update = RECT{};
    return TRUE;
}

BOOL UpdateWindow(HWND hwnd)
{
    bool due = false;
    {
        std::lock_guard<std::mutex> lock(user_lock());
        user_window* w = user_find(hwnd);
        if (!w)
            return FALSE;
        due = w->has_update;
    }
    if (due)
        SendMessageW(hwnd, WM_PAINT, 0, 0);
    return TRUE;
}

HDC user_open_dc(HWND hwnd, const RECT* clip)
{
    std::shared_ptr<gdi_surface> surface;
    RECT area{};
    std::vector<gdi_see_through> see_through;
    {
        std::lock_guard<std::mutex> lock(user_lock());
        user_window* w = user_find(hwnd);
        if (!w || !w->surface)
            return nullptr;
        surface = w->surface;
        area = clip ? *clip : RECT{0, 0, w->width, w->height};
        // Found when the DC is made, so drawing into a window without such
        // children (the picture control the video goes to) costs nothing more.
        if (!(w->style & WS_CLIPCHILDREN)) {
            for (HWND c : w->children) {
                user_window* cw = user_find(c);
                if (cw && cw->surface && (cw->ex_style & WS_EX_TRANSPARENT) && (cw->style & WS_VISIBLE))
                    see_through.push_back({cw->surface, cw->x, cw->y});
            }
        }
    }
    return gdi_create_dc(hwnd, std::move(surface), area, std::move(see_through));
}

HDC GetDC(HWND hwnd) { return user_open_dc(hwnd, nullptr); }

// Drawn at the system icon size, as on Win32.
BOOL DrawIcon(HDC hdc, int x, int y, HICON icon)
{
    return gdi_draw_icon_image(hdc, x, y, GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON),
                               user_icon_image(icon));
}

HDC BeginPaint(HWND hwnd, LPPAINTSTRUCT paint)
{
    if (!paint)
        return nullptr;
    RECT update{};
    bool erase = false;
    {
        std::lock_guard<std::mutex> lock(user_lock());
        user_window* w = user_find(hwnd);
        if (!w)
            return nullptr;
        update = w->has_update ? w->update : RECT{};
        erase = w->erase;
        w->has_update = false;
        w->erase = false;
        w->update = RECT{};
    }
    *paint = PAINTSTRUCT{};
    paint->rcPaint = update;
    paint->hdc = user_open_dc(hwnd, &update);
    if (paint->hdc && erase)
        paint->fErase = SendMessageW(hwnd, WM_ERASEBKGND, reinterpret_cast<WPARAM>(paint->hdc), 0) ? FALSE : TRUE;
    return paint->hdc;
}

BOOL EndPaint(HWND hwnd, const PAINTSTRUCT* paint)
{
    if (!paint || !paint->hdc)
        return FALSE;
    return ReleaseDC(hwnd, paint->hdc) ? TRUE : FALSE;
}

LRESULT DefWindowProcW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_NCCREATE: return TRUE;
    case WM_CLOSE: DestroyWindow(hwnd); return 0;
    case WM_SYSCOMMAND:
        switch (wParam & 0xFFF0) {
        case SC_CLOSE: SendMessageW(hwnd, WM_CLOSE, 0, 0); break;
        case SC_MINIMIZE: ShowWindow(hwnd, SW_MINIMIZE); break;
        case SC_MAXIMIZE: ShowWindow(hwnd, SW_MAXIMIZE); break;
        case SC_RESTORE: {
            // A full-screen window is neither minimised nor maximised to its
            // user: restoring it only brings it to the front, as Win32's
            // restore does to a window in its normal state.
            bool full = false;
            {
                std::lock_guard<std::mutex> lock(user_lock());
                user_window* w = user_find(hwnd);
                full = w && w->fullscreen && !w->iconic;
            }
            ShowWindow(hwnd, full ? SW_SHOW : SW_RESTORE);
            break;
        }
        default: break;  // commands of menu items the program added, and the rest
        }
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT ps;
        BeginPaint(hwnd, &ps);
        EndPaint(hwnd, &ps);
        return 0;
    }
    case WM_ERASEBKGND:
    case WM_ICONERASEBKGND:
        fill_with_class_brush(hwnd, reinterpret_cast<HDC>(wParam));
        return 1;
    case WM_SETICON: {
        HICON old = nullptr;
        {
            std::lock_guard<std::mutex> lock(user_lock());
            user_window* w = user_find(hwnd);
            if (!w)
                return 0;
            HICON& slot = wParam == ICON_BIG ? w->icon_big : w->icon_small;
            old = slot;
            slot = reinterpret_cast<HICON>(lParam);
        }
        if (wParam == ICON_BIG)
            set_net_wm_icon(hwnd, reinterpret_cast<HICON>(lParam));
        return reinterpret_cast<LRESULT>(old);
    }
    case WM_GETICON: {
        std::lock_guard<std::mutex> lock(user_lock());
        user_window* w = user_find(hwnd);
        if (!w)
            return 0;
        return reinterpret_cast<LRESULT>(wParam == ICON_BIG ? w->icon_big : w->icon_small);
    }
    case WM_SETTEXT: return SetWindowTextW(hwnd, reinterpret_cast<LPCWSTR>(lParam));
    case WM_GETTEXT: return GetWindowTextW(hwnd, reinterpret_cast<LPWSTR>(lParam), static_cast<int>(wParam));
    case WM_GETTEXTLENGTH: {
        std::lock_guard<std::mutex> lock(user_lock());
        user_window* w = user_find(hwnd);
        return w ? static_cast<LRESULT>(w->text.size()) : 0;
    }
    case WM_NCHITTEST: return HTCLIENT;
    default: return 0;
    }
}

LRESULT CallWindowProcW(WNDPROC proc, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    return proc ? proc(hwnd, message, wParam, lParam) : DefWindowProcW(hwnd, message, wParam, lParam);
}
