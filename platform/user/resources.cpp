// The program's built-in resources: icons, strings, templates, version.
#include "resources.h"
#include "user_internal.h"

#include <map>

struct user_icon {
    const RES_ICON_IMAGE* image;
};

namespace {

std::mutex g_res_lock;
const RES_ENTRY* g_entries = nullptr;  // guarded by g_res_lock
size_t g_count = 0;

// Icons are shared: loading the same one twice gives the same handle, and
// handles live as long as the process (as LoadIcon's do).
std::map<UINT, user_icon*>& icon_cache()
{
    static auto* cache = new std::map<UINT, user_icon*>();
    return *cache;
}

bool same_type(LPCWSTR a, LPCWSTR b) { return IS_INTRESOURCE(a) && IS_INTRESOURCE(b) && a == b; }

// A plain window glyph for the system's own application icon.
const RES_ICON_IMAGE* stock_application_icon()
{
    static uint32_t pixels[32 * 32];
    static RES_ICON_IMAGE image{32, 32, 32, pixels};
    static std::once_flag once;
    std::call_once(once, [] {
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 32; ++x) {
                bool border = x == 2 || x == 29 || y == 4 || y == 27;
                bool inside = x > 2 && x < 29 && y > 4 && y < 27;
                bool title = inside && y < 9;
                pixels[y * 32 + x] = border ? 0xFF404040u : title ? 0xFF3060C0u : inside ? 0xFFF0F0F0u : 0;
            }
    });
    return &image;
}

}  // namespace

RES_MODULE::RES_MODULE(const RES_ENTRY* entries, size_t count)
{
    std::lock_guard<std::mutex> lock(g_res_lock);
    g_entries = entries;
    g_count = count;
}

const void* res_find(LPCWSTR type, LPCWSTR name)
{
    if (!IS_INTRESOURCE(name))
        return nullptr;
    UINT id = static_cast<UINT>(reinterpret_cast<ULONG_PTR>(name));
    std::lock_guard<std::mutex> lock(g_res_lock);
    for (size_t i = 0; i < g_count; ++i)
        if (same_type(g_entries[i].type, type) && g_entries[i].id == id)
            return g_entries[i].data;
    return nullptr;
}

const RES_VERSION* GetModuleVersionResource()
{
    return static_cast<const RES_VERSION*>(res_find(RT_VERSION, MAKEINTRESOURCEW(1)));
}

HICON LoadIconW(HINSTANCE instance, LPCWSTR name)
{
    if (!IS_INTRESOURCE(name)) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    UINT id = static_cast<UINT>(reinterpret_cast<ULONG_PTR>(name));
    const RES_ICON_IMAGE* image = nullptr;
    UINT key = id;
    if (!instance) {
        if (name != IDI_APPLICATION) {
            SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
            return nullptr;
        }
        image = stock_application_icon();
        key = 0x10000 | id;
    } else {
        auto* group = static_cast<const RES_ICON_GROUP*>(res_find(RT_GROUP_ICON, name));
        if (!group || group->imageCount <= 0) {
            SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
            return nullptr;
        }
        // The largest image: scaling down keeps it sharp at every size.
        image = &group->images[0];
        for (int i = 1; i < group->imageCount; ++i)
            if (group->images[i].width > image->width)
                image = &group->images[i];
    }
    std::lock_guard<std::mutex> lock(g_res_lock);
    user_icon*& icon = icon_cache()[key];
    if (!icon)
        icon = new user_icon{image};
    return reinterpret_cast<HICON>(icon);
}

const RES_ICON_IMAGE* user_icon_image(HICON icon)
{
    if (!icon)
        return nullptr;
    std::lock_guard<std::mutex> lock(g_res_lock);
    for (auto& kv : icon_cache())
        if (reinterpret_cast<HICON>(kv.second) == icon)
            return kv.second->image;
    return nullptr;
}

HCURSOR LoadCursorW(HINSTANCE instance, LPCWSTR name)
{
    // The system's arrow; the program itself carries no cursors.
    static int arrow;
    if (!instance && name == IDC_ARROW)
        return reinterpret_cast<HCURSOR>(&arrow);
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
}

int LoadStringW(HINSTANCE, UINT id, LPWSTR buffer, int bufferMax)
{
    if (!buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto* text = static_cast<LPCWSTR>(res_find(RT_STRING, MAKEINTRESOURCEW(id)));
    if (!text) {
        if (bufferMax > 0)
            buffer[0] = 0;
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    int len = static_cast<int>(std::char_traits<wchar_t>::length(text));
    if (bufferMax == 0) {
        // As on Win32: hand out a read-only pointer to the resource itself.
        *reinterpret_cast<LPCWSTR*>(buffer) = text;
        return len;
    }
    int n = std::min(len, bufferMax - 1);
    std::char_traits<wchar_t>::copy(buffer, text, static_cast<size_t>(n));
    buffer[n] = 0;
    return n;
}
