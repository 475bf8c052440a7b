// Device contexts and window surfaces (layer-internal).
//
// Every window has a surface: its client area's pixels, kept by the layer.
// Drawing goes into the surface under the surface's lock and the changed
// rectangle is then sent to the X server on the presentation connection, so
// any thread can draw and what it draws shows at once. The surface also
// answers Expose events without waking the program.
#pragma once

#include "gdi_surface.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

// Where a surface's pixels live: shared memory that the X server reads
// directly (MIT-SHM), or the heap when the server cannot share memory.
struct x11_pixel_store;
struct x11_pixel_store_free {
    void operator()(x11_pixel_store* store) const;
};

// Whether surfaces made from now on may use shared memory (they do by
// default when the server offers it); tests turn it off to exercise the
// plain transfer.
void x11_surface_allow_shm(bool allowed);

struct gdi_surface {
    std::mutex lock;  // guards everything below, and the pixels' contents
    unsigned long xid = 0;
    int width = 0;
    int height = 0;
    uint32_t* pixels = nullptr;  // width x height, 0x00RRGGBB, top row first; in store
    std::unique_ptr<x11_pixel_store, x11_pixel_store_free> store;
    // A transfer from shared memory the server may still be reading.
    bool server_reading = false;
};

// Call with the surface locked before changing its pixels: waits until the
// server has finished reading what was last presented from shared memory.
// Presenting does not wait itself, so the drawing thread gets on with the
// next frame while the server copies this one.
void gdi_surface_begin_write(gdi_surface& surface);

// A device context: a window's surface seen through a clip rectangle.
// Used by one thread at a time, as on Win32.
struct gdi_dc {
    HWND hwnd = nullptr;
    std::shared_ptr<gdi_surface> surface;
    RECT clip{};  // client coordinates, within the surface
    COLORREF background = RGB(255, 255, 255);
    int stretch_mode = BLACKONWHITE;
    // Found when the DC is made, so drawing into a window without such
    // children (the picture control the video goes to) costs nothing more.
    std::vector<gdi_see_through> see_through;
};

// Copies the DC's pixels in rect (client coordinates, already clipped) into
// its see-through children and shows them. Locks each child surface
// together with the DC's surface; call with neither locked.
void gdi_show_through(gdi_dc& dc, const RECT& rect);

// The DC behind a handle, or nullptr if the handle is not a live DC.
gdi_dc* gdi_dc_from(HDC hdc);
// Intersects r with the DC's clip and the surface; false if nothing is left.
// Call with the surface locked.
bool gdi_clip(const gdi_dc& dc, RECT& r);

// Every change to a window's pixels goes through here: with the surface
// locked and the server done reading it, write(clipped) changes the part of
// rect left after clipping to the DC, which is then shown. Returns false
// (and calls nothing) when nothing of rect is left.
template <typename Write>
bool gdi_draw(gdi_dc& dc, RECT rect, Write write)
{
    {
        std::lock_guard<std::mutex> lock(dc.surface->lock);
        if (!gdi_clip(dc, rect))
            return false;
        gdi_surface_begin_write(*dc.surface);
        write(rect);
    }
    gdi_surface_present(*dc.surface, rect);
    if (!dc.see_through.empty())
        gdi_show_through(dc, rect);
    return true;
}

inline uint32_t gdi_pixel_from_colorref(COLORREF c)
{
    return (static_cast<uint32_t>(GetRValue(c)) << 16) | (static_cast<uint32_t>(GetGValue(c)) << 8) | GetBValue(c);
}
inline COLORREF gdi_colorref_from_pixel(uint32_t p) { return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF); }
