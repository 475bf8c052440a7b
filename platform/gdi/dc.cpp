// Window device contexts and the drawing the dialog needs: solid fills,
// icons and single pixels.
#include "gdi_internal.h"

#include <algorithm>
#include <set>

namespace {

std::mutex g_objects_lock;
// Guarded by g_objects_lock: the live DCs and brushes.
std::set<gdi_dc*>& live_dcs()
{
    static auto* s = new std::set<gdi_dc*>();
    return *s;
}

struct gdi_brush {
    COLORREF color;
};
std::set<gdi_brush*>& live_brushes()
{
    static auto* s = new std::set<gdi_brush*>();
    return *s;
}

bool is_system_brush(HBRUSH brush)
{
    auto v = reinterpret_cast<uintptr_t>(brush);
    return v >= 1 && v <= 31;
}

void fill(gdi_dc& dc, const RECT& rect, COLORREF color)
{
    gdi_draw(dc, rect, [&](const RECT& r) {
        uint32_t p = gdi_pixel_from_colorref(color);
        for (int y = r.top; y < r.bottom; ++y)
            std::fill_n(&dc.surface->pixels[static_cast<size_t>(y) * dc.surface->width + r.left], r.right - r.left, p);
    });
}

}  // namespace

gdi_dc* gdi_dc_from(HDC hdc)
{
    auto* dc = reinterpret_cast<gdi_dc*>(hdc);
    std::lock_guard<std::mutex> lock(g_objects_lock);
    return live_dcs().count(dc) ? dc : nullptr;
}

bool gdi_clip(const gdi_dc& dc, RECT& r)
{
    r.left = std::max({r.left, dc.clip.left, 0});
    r.top = std::max({r.top, dc.clip.top, 0});
    r.right = std::min({r.right, dc.clip.right, static_cast<LONG>(dc.surface->width)});
    r.bottom = std::min({r.bottom, dc.clip.bottom, static_cast<LONG>(dc.surface->height)});
    return r.right > r.left && r.bottom > r.top;
}

HDC gdi_create_dc(HWND hwnd, std::shared_ptr<gdi_surface> surface, const RECT& clip,
                  std::vector<gdi_see_through> see_through)
{
    auto dc = std::make_unique<gdi_dc>();
    dc->hwnd = hwnd;
    dc->surface = std::move(surface);
    dc->clip = clip;
    dc->see_through = std::move(see_through);
    std::lock_guard<std::mutex> lock(g_objects_lock);
    live_dcs().insert(dc.get());
    return reinterpret_cast<HDC>(dc.release());
}

void gdi_show_through(gdi_dc& dc, const RECT& rect)
{
    gdi_surface& from = *dc.surface;
    for (const gdi_see_through& child : dc.see_through) {
        gdi_surface& to = *child.surface;
        RECT shown{};
        {
            std::scoped_lock lock(from.lock, to.lock);
            const int left = std::max<int>({rect.left, child.x, 0});
            const int top = std::max<int>({rect.top, child.y, 0});
            const int right = std::min<int>({rect.right, child.x + to.width, from.width});
            const int bottom = std::min<int>({rect.bottom, child.y + to.height, from.height});
            if (right <= left || bottom <= top)
                continue;
            gdi_surface_begin_write(to);
            for (int y = top; y < bottom; ++y)
                std::copy_n(from.pixels + static_cast<size_t>(y) * from.width + left, right - left,
                            to.pixels + static_cast<size_t>(y - child.y) * to.width + (left - child.x));
            shown = RECT{left - child.x, top - child.y, right - child.x, bottom - child.y};
        }
        gdi_surface_present(to, shown);
    }
}

int ReleaseDC(HWND, HDC hdc)
{
    auto* dc = reinterpret_cast<gdi_dc*>(hdc);
    {
        std::lock_guard<std::mutex> lock(g_objects_lock);
        if (!live_dcs().erase(dc))
            return 0;
    }
    delete dc;
    return 1;
}

COLORREF gdi_brush_color(HBRUSH brush, bool* ok)
{
    *ok = false;
    if (!brush)
        return 0;
    if (is_system_brush(brush)) {
        *ok = true;
        return GetSysColor(static_cast<int>(reinterpret_cast<uintptr_t>(brush)) - 1);
    }
    std::lock_guard<std::mutex> lock(g_objects_lock);
    auto* b = reinterpret_cast<gdi_brush*>(brush);
    if (!live_brushes().count(b))
        return 0;
    *ok = true;
    return b->color;
}

HBRUSH CreateSolidBrush(COLORREF color)
{
    auto* b = new gdi_brush{color & 0xFFFFFF};
    std::lock_guard<std::mutex> lock(g_objects_lock);
    live_brushes().insert(b);
    return reinterpret_cast<HBRUSH>(b);
}

BOOL DeleteObject(HGDIOBJ object)
{
    auto* b = reinterpret_cast<gdi_brush*>(object);
    {
        std::lock_guard<std::mutex> lock(g_objects_lock);
        if (!live_brushes().erase(b))
            return FALSE;
    }
    delete b;
    return TRUE;
}

DWORD GetSysColor(int index)
{
    switch (index) {
    case COLOR_WINDOW: return RGB(255, 255, 255);
    case COLOR_WINDOWFRAME: return RGB(100, 100, 100);
    case COLOR_3DFACE: return RGB(240, 240, 240);
    }
    return RGB(0, 0, 0);
}

HBRUSH GetSysColorBrush(int index) { return reinterpret_cast<HBRUSH>(static_cast<uintptr_t>(index + 1)); }

int FillRect(HDC hdc, const RECT* rect, HBRUSH brush)
{
    gdi_dc* dc = gdi_dc_from(hdc);
    bool ok = false;
    COLORREF color = gdi_brush_color(brush, &ok);
    if (!dc || !rect || !ok)
        return 0;
    fill(*dc, *rect, color);
    return 1;
}

COLORREF SetBkColor(HDC hdc, COLORREF color)
{
    gdi_dc* dc = gdi_dc_from(hdc);
    if (!dc)
        return CLR_INVALID;
    COLORREF old = dc->background;
    dc->background = color & 0xFFFFFF;
    return old;
}

COLORREF GetBkColor(HDC hdc)
{
    gdi_dc* dc = gdi_dc_from(hdc);
    return dc ? dc->background : CLR_INVALID;
}

BOOL ExtTextOutW(HDC hdc, int, int, UINT options, const RECT* rect, LPCWSTR, UINT, const INT*)
{
    gdi_dc* dc = gdi_dc_from(hdc);
    if (!dc)
        return FALSE;
    // Only the opaque background is drawn: the program shows no text
    // through GDI.
    if ((options & ETO_OPAQUE) && rect)
        fill(*dc, *rect, dc->background);
    return TRUE;
}

BOOL gdi_draw_icon_image(HDC hdc, int x, int y, int size_w, int size_h, const RES_ICON_IMAGE* image)
{
    gdi_dc* dc = gdi_dc_from(hdc);
    if (!dc || !image || image->width <= 0 || image->height <= 0 || size_w <= 0 || size_h <= 0)
        return FALSE;
    // Each target pixel averages the source pixels it covers, weighting
    // colour by alpha.
    gdi_draw(*dc, RECT{x, y, x + size_w, y + size_h}, [&](const RECT& r) {
        for (int ty = r.top; ty < r.bottom; ++ty) {
            int sy0 = (ty - y) * image->height / size_h, sy1 = std::max(sy0 + 1, (ty - y + 1) * image->height / size_h);
            for (int tx = r.left; tx < r.right; ++tx) {
                int sx0 = (tx - x) * image->width / size_w, sx1 = std::max(sx0 + 1, (tx - x + 1) * image->width / size_w);
                uint64_t a = 0, cr = 0, cg = 0, cb = 0, n = 0;
                for (int sy = sy0; sy < sy1; ++sy)
                    for (int sx = sx0; sx < sx1; ++sx) {
                        uint32_t p = image->pixels[sy * image->width + sx];
                        uint32_t pa = p >> 24;
                        a += pa;
                        cr += pa * ((p >> 16) & 0xFF);
                        cg += pa * ((p >> 8) & 0xFF);
                        cb += pa * (p & 0xFF);
                        ++n;
                    }
                if (a == 0)
                    continue;
                uint32_t& dst = dc->surface->pixels[static_cast<size_t>(ty) * dc->surface->width + tx];
                uint32_t alpha = static_cast<uint32_t>(a / n);
                auto blend = [&](uint64_t sum, int shift) {
                    uint32_t src = static_cast<uint32_t>(sum / a);
                    uint32_t under = (dst >> shift) & 0xFF;
                    return ((src * alpha + under * (255 - alpha) + 127) / 255) << shift;
                };
                dst = blend(cr, 16) | blend(cg, 8) | blend(cb, 0);
            }
        }
    });
    return TRUE;
}

COLORREF GetPixel(HDC hdc, int x, int y)
{
    gdi_dc* dc = gdi_dc_from(hdc);
    if (!dc)
        return CLR_INVALID;
    std::lock_guard<std::mutex> lock(dc->surface->lock);
    if (x < 0 || y < 0 || x >= dc->surface->width || y >= dc->surface->height)
        return CLR_INVALID;
    return gdi_colorref_from_pixel(dc->surface->pixels[static_cast<size_t>(y) * dc->surface->width + x]);
}

COLORREF SetPixel(HDC hdc, int x, int y, COLORREF color)
{
    gdi_dc* dc = gdi_dc_from(hdc);
    if (!dc)
        return CLR_INVALID;
    fill(*dc, RECT{x, y, x + 1, y + 1}, color);
    return color & 0xFFFFFF;
}
