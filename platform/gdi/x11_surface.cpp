// Window surfaces and their transfer to the X server.
//
// With MIT-SHM (a local server) a surface's pixels are a shared-memory
// segment the server reads directly: presenting is one XShmPutImage, and
// the next change to the pixels first waits until the server has copied
// them (gdi_surface_begin_write), so no drawing thread changes them
// underneath it. Without it the pixels are on the heap and go over the
// connection with XPutImage.
#include "gdi_internal.h"

#include "../x11/x11_display.h"

#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

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

std::atomic<bool> g_shm_allowed{true};

// Pictures then take a copy through the socket: slower, so say it once.
void report_plain_transfer()
{
    static std::atomic<bool> reported{false};
    if (!reported.exchange(true))
        OutputDebugStringA("X: shared memory with the X server is not available; pictures go by plain image "
                           "transfer\n");
}

// Whether the presentation connection can share memory with the server.
bool shm_usable()
{
    static const bool usable = [] {
        Display* d = x11_present_display();
        return d && XShmQueryExtension(d);
    }();
    return usable && g_shm_allowed;
}

}  // namespace

void x11_surface_allow_shm(bool allowed) { g_shm_allowed = allowed; }

struct x11_pixel_store {
    size_t count = 0;
    std::vector<uint32_t> heap;  // used when shared memory is not
    XShmSegmentInfo shm{};       // shmaddr is null when not attached
    uint32_t* data() { return shm.shmaddr ? reinterpret_cast<uint32_t*>(shm.shmaddr) : heap.data(); }
};

void x11_pixel_store_free::operator()(x11_pixel_store* store) const
{
    if (store->shm.shmaddr) {
        Display* d = x11_present_display();
        XLockDisplay(d);
        XShmDetach(d, &store->shm);
        XSync(d, False);
        XUnlockDisplay(d);
        shmdt(store->shm.shmaddr);
    }
    delete store;
}

namespace {

// Shared memory when the server takes it, else the heap. Never fails for
// lack of shared memory; a zero-pixel surface gets an empty store.
std::unique_ptr<x11_pixel_store, x11_pixel_store_free> make_store(size_t count)
{
    std::unique_ptr<x11_pixel_store, x11_pixel_store_free> store(new x11_pixel_store);
    store->count = count;
    if (count && shm_usable()) {
        int id = shmget(IPC_PRIVATE, count * 4, IPC_CREAT | 0600);
        if (id >= 0) {
            void* addr = shmat(id, nullptr, 0);
            if (addr != reinterpret_cast<void*>(-1)) {
                Display* d = x11_present_display();
                store->shm.shmid = id;
                store->shm.shmaddr = static_cast<char*>(addr);
                store->shm.readOnly = True;
                XLockDisplay(d);
                bool attached;
                {
                    // A server that is not on this machine (or not in our
                    // IPC namespace) refuses the segment.
                    x11_expected_errors may_fail(d);
                    attached = XShmAttach(d, &store->shm) && !may_fail.failed();
                }
                XUnlockDisplay(d);
                if (!attached) {
                    shmdt(addr);
                    store->shm.shmaddr = nullptr;
                }
            }
            // Removed now, freed by the kernel once both sides detach.
            shmctl(id, IPC_RMID, nullptr);
        }
    }
    if (!store->shm.shmaddr) {
        if (count)
            report_plain_transfer();
        store->heap.resize(count);
    }
    return store;
}

}  // namespace

std::shared_ptr<gdi_surface> gdi_surface_create(unsigned long xid, int width, int height, COLORREF fill)
{
    auto s = std::make_shared<gdi_surface>();
    s->xid = xid;
    s->width = std::max(width, 0);
    s->height = std::max(height, 0);
    const size_t count = static_cast<size_t>(s->width) * s->height;
    s->store = make_store(count);
    s->pixels = s->store->data();
    std::fill_n(s->pixels, count, gdi_pixel_from_colorref(fill));
    return s;
}

void gdi_surface_resize(gdi_surface& s, int width, int height, COLORREF fill)
{
    width = std::max(width, 0);
    height = std::max(height, 0);
    {
        std::lock_guard<std::mutex> lock(s.lock);
        if (width == s.width && height == s.height)
            return;
    }
    // Made before taking the lock: attaching talks to the server.
    auto next = make_store(static_cast<size_t>(width) * height);
    uint32_t* to = next->data();
    std::fill_n(to, next->count, gdi_pixel_from_colorref(fill));
    std::unique_ptr<x11_pixel_store, x11_pixel_store_free> old;
    {
        std::lock_guard<std::mutex> lock(s.lock);
        int w = std::min(width, s.width), h = std::min(height, s.height);
        for (int y = 0; y < h; ++y)
            std::copy_n(s.pixels + static_cast<size_t>(y) * s.width, w, to + static_cast<size_t>(y) * width);
        old = std::move(s.store);
        s.store = std::move(next);
        s.pixels = to;
        s.width = width;
        s.height = height;
    }
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
    if (vis.native && s.store->shm.shmaddr) {
        XImage* image = XShmCreateImage(d, vis.visual, static_cast<unsigned>(vis.depth), ZPixmap,
                                        s.store->shm.shmaddr, &s.store->shm, static_cast<unsigned>(s.width),
                                        static_cast<unsigned>(s.height));
        if (image) {
            XShmPutImage(d, s.xid, vis.gc, image, x0, y0, x0, y0, static_cast<unsigned>(w), static_cast<unsigned>(h),
                         False);
            image->data = nullptr;  // the pixels and segment belong to the surface
            image->obdata = nullptr;
            XDestroyImage(image);
            s.server_reading = true;
        }
    } else if (vis.native) {
        // Straight from the surface: the image describes the whole buffer.
        XImage* image = XCreateImage(d, vis.visual, static_cast<unsigned>(vis.depth), ZPixmap, 0,
                                     reinterpret_cast<char*>(s.pixels), static_cast<unsigned>(s.width),
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

void gdi_surface_begin_write(gdi_surface& s)
{
    if (!s.server_reading)
        return;
    Display* d = x11_present_display();
    XLockDisplay(d);
    XSync(d, False);
    XUnlockDisplay(d);
    s.server_reading = false;
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
