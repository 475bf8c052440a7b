// What the drawing layer offers the window layer (layer-internal): the
// pixel surface behind each window, device contexts over it, brushes and
// icon images. The drawing layer knows nothing of windows; the window layer
// hands it the surfaces and what a DC of a window must reach.
#pragma once

#include <windows.h>

#include <memory>
#include <vector>

struct gdi_surface;

// Creates, resizes (keeping the overlap, filling new area with fill) and
// shows the pixel surface of X window xid. Any thread.
std::shared_ptr<gdi_surface> gdi_surface_create(unsigned long xid, int width, int height, COLORREF fill);
void gdi_surface_resize(gdi_surface& surface, int width, int height, COLORREF fill);
// Copies the surface's pixels in rect (surface coordinates) to the screen.
void gdi_surface_present(gdi_surface& surface, const RECT& rect);
void gdi_surface_present_all(gdi_surface& surface);

// A child that the parent's drawing shows through: a visible child with
// WS_EX_TRANSPARENT of a window without WS_CLIPCHILDREN. On Win32 such a
// parent paints over the child's area and the child does not hide it; here
// every window has its own X window and surface, so the parent's pixels
// are copied into the child's surface where the two overlap.
struct gdi_see_through {
    std::shared_ptr<gdi_surface> surface;
    int x = 0, y = 0;  // the child's origin in the parent's client area
};

// A device context of window hwnd drawing into surface, clipped to clip
// (client coordinates), and copying what it draws into see_through.
// ReleaseDC frees it.
HDC gdi_create_dc(HWND hwnd, std::shared_ptr<gdi_surface> surface, const RECT& clip,
                  std::vector<gdi_see_through> see_through);

// Colour of a class background brush or a solid brush; *ok false if the
// brush is neither.
COLORREF gdi_brush_color(HBRUSH brush, bool* ok);

// Draws an icon's image scaled to size_w x size_h with its alpha; FALSE
// for no image or an unusable one.
BOOL gdi_draw_icon_image(HDC hdc, int x, int y, int size_w, int size_h, const RES_ICON_IMAGE* image);
