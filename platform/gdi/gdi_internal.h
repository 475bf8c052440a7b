// Device contexts and window surfaces (layer-internal).
//
// Every window has a surface: its client area's pixels, kept by the layer.
// Drawing goes into the surface under the surface's lock and the changed
// rectangle is then sent to the X server on the presentation connection, so
// any thread can draw and what it draws shows at once. The surface also
// answers Expose events without waking the program.
#pragma once

#include "../user/user_internal.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

struct gdi_surface {
    std::mutex lock;  // guards everything below
    unsigned long xid = 0;
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;  // 0x00RRGGBB, top row first
};

// A device context: a window's surface seen through a clip rectangle.
// Used by one thread at a time, as on Win32.
struct gdi_dc {
    HWND hwnd = nullptr;
    std::shared_ptr<gdi_surface> surface;
    RECT clip{};  // client coordinates, within the surface
    COLORREF background = RGB(255, 255, 255);
    int stretch_mode = 1;
};

// The DC behind a handle, or nullptr if the handle is not a live DC.
gdi_dc* gdi_dc_from(HDC hdc);
// Intersects r with the DC's clip and the surface; false if nothing is left.
// Call with the surface locked.
bool gdi_clip(const gdi_dc& dc, RECT& r);

inline uint32_t gdi_pixel_from_colorref(COLORREF c)
{
    return (static_cast<uint32_t>(GetRValue(c)) << 16) | (static_cast<uint32_t>(GetGValue(c)) << 8) | GetBValue(c);
}
inline COLORREF gdi_colorref_from_pixel(uint32_t p) { return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF); }
