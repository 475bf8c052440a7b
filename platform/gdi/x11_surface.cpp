// Window surfaces and their transfer to the X server.
#include "gdi_internal.h"

#include "../user/x11_display.h"

#include <X11/Xutil.h>

#include <algorithm>
#include <cstdlib>

namespace {

// Pixel layout of the presentation connection's default visual.
struct x11_visual_info {
    Visual* visual = nullptr;
    int depth = 0;
    GC gc = nullptr;
    bool native = false;  // 24-bit colour in 32-bit words, 0xRRGGBB: no conversion
    unsigned long masks[3] = {0, 0, 0};
};

x11_visual_info& present_visual()
{
    static x11_visual_info info;
    static std::once_flag once;
    std::call_once(once, [] {
        Display* d = x11_present_display();
        if (!d)
            return;
        int screen = DefaultScreen(d);
        info.visual = DefaultVisual(d, screen);
        info.depth = DefaultDepth(d, screen);
        info.gc = XCreateGC(d, RootWindow(d, screen), 0, nullptr);
        info.masks[0] = info.visual->red_mask;
        info.masks[1] = info.visual->green_mask;
        info.masks[2] = info.visual->blue_mask;
        info.native = (info.depth == 24 || info.depth == 32) && info.masks[0] == 0xFF0000 &&
                      info.masks[1] == 0x00FF00 && info.masks[2] == 0x0000FF;
    });
    return info;
}

// Scales an 8-bit channel into a visual's mask.
unsigned long to_mask(uint32_t value, unsigned long mask)
{
    if (!mask)
        return 0;
    int shift = __builtin_ctzl(mask);
    unsigned long max = mask >> shift;
    return ((value * max + 127) / 255) << shift;
}

}  // namespace

std::shared_ptr<gdi_surface> gdi_surface_create(unsigned long xid, int width, int height, COLORREF fill)
{
    auto s = std::make_shared<gdi_surface>();
    s->xid = xid;
    s->width = std::max(width, 0);
    s->height = std::max(height, 0);
    s->pixels.assign(static_cast<size_t>(s->width) * s->height, gdi_pixel_from_colorref(fill));
    return s;
}

void gdi_surface_resize(gdi_surface& s, int width, int height, COLORREF fill)
{
    width = std::max(width, 0);
    height = std::max(height, 0);
    std::lock_guard<std::mutex> lock(s.lock);
    if (width == s.width && height == s.height)
        return;
    std::vector<uint32_t> next(static_cast<size_t>(width) * height, gdi_pixel_from_colorref(fill));
    int w = std::min(width, s.width), h = std::min(height, s.height);
    for (int y = 0; y < h; ++y)
        std::copy_n(&s.pixels[static_cast<size_t>(y) * s.width], w, &next[static_cast<size_t>(y) * width]);
    s.pixels.swap(next);
    s.width = width;
    s.height = height;
}

void gdi_surface_present(gdi_surface& s, const RECT& rect)
{
    Display* d = x11_present_display();
    x11_visual_info& vis = present_visual();
    if (!d || !vis.gc)
        return;
    std::lock_guard<std::mutex> lock(s.lock);
    int x0 = std::max<int>(rect.left, 0), y0 = std::max<int>(rect.top, 0);
    int x1 = std::min<int>(rect.right, s.width), y1 = std::min<int>(rect.bottom, s.height);
    if (x1 <= x0 || y1 <= y0)
        return;
    int w = x1 - x0, h = y1 - y0;
    XLockDisplay(d);
    if (vis.native) {
        // Straight from the surface: the image describes the whole buffer.
        XImage* image = XCreateImage(d, vis.visual, static_cast<unsigned>(vis.depth), ZPixmap, 0,
                                     reinterpret_cast<char*>(s.pixels.data()), static_cast<unsigned>(s.width),
                                     static_cast<unsigned>(s.height), 32, s.width * 4);
        if (image) {
            XPutImage(d, s.xid, vis.gc, image, x0, y0, x0, y0, static_cast<unsigned>(w), static_cast<unsigned>(h));
            image->data = nullptr;  // the pixels belong to the surface
            XDestroyImage(image);
        }
    } else {
        XImage* image = XCreateImage(d, vis.visual, static_cast<unsigned>(vis.depth), ZPixmap, 0, nullptr,
                                     static_cast<unsigned>(w), static_cast<unsigned>(h), 32, 0);
        if (image) {
            image->data = static_cast<char*>(std::malloc(static_cast<size_t>(image->bytes_per_line) * h));
            for (int y = 0; image->data && y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    uint32_t p = s.pixels[static_cast<size_t>(y0 + y) * s.width + x0 + x];
                    XPutPixel(image, x, y,
                              to_mask((p >> 16) & 0xFF, vis.masks[0]) | to_mask((p >> 8) & 0xFF, vis.masks[1]) |
                                  to_mask(p & 0xFF, vis.masks[2]));
                }
            if (image->data)
                XPutImage(d, s.xid, vis.gc, image, 0, 0, x0, y0, static_cast<unsigned>(w), static_cast<unsigned>(h));
            XDestroyImage(image);
        }
    }
    XFlush(d);
    XUnlockDisplay(d);
}

void gdi_surface_present_all(gdi_surface& s)
{
    RECT all;
    {
        std::lock_guard<std::mutex> lock(s.lock);
        all = RECT{0, 0, s.width, s.height};
    }
    gdi_surface_present(s, all);
}
