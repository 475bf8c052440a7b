// Menus kept by the layer. Only system menus exist: X window managers draw
// their own window menu, so the items are stored and can be read back, but
// nobody can choose them.
#include "user_internal.h"
#include "x11_window.h"

struct user_menu {
    struct item {
        UINT flags;
        UINT_PTR id;
        std::wstring text;
    };
    std::vector<item> items;
};

namespace {

std::mutex g_menu_lock;  // guards every user_menu's items

user_menu* default_system_menu()
{
    auto* m = new user_menu();
    m->items = {{MF_STRING, SC_RESTORE, L"&Restore"}, {MF_STRING, SC_MOVE, L"&Move"},
                {MF_STRING, SC_SIZE, L"&Size"},       {MF_STRING, SC_MINIMIZE, L"Mi&nimize"},
                {MF_STRING, SC_MAXIMIZE, L"Ma&ximize"}, {MF_SEPARATOR, 0, L""},
                {MF_STRING, SC_CLOSE, L"&Close\tAlt+F4"}};
    return m;
}

user_menu* as_menu(HMENU menu) { return reinterpret_cast<user_menu*>(menu); }

const user_menu::item* find_item(user_menu* m, UINT item, UINT flags)
{
    if (flags & MF_BYPOSITION)
        return item < m->items.size() ? &m->items[item] : nullptr;
    for (auto& it : m->items)
        if (!(it.flags & MF_SEPARATOR) && it.id == item)
            return &it;
    return nullptr;
}

}  // namespace

void x11_menu_free(user_menu* menu) { delete menu; }

HMENU GetSystemMenu(HWND hwnd, BOOL revert)
{
    std::lock_guard<std::mutex> lock(user_lock());
    user_window* w = user_find(hwnd);
    if (!w || !(w->style & WS_SYSMENU))
        return nullptr;
    if (revert) {
        delete w->system_menu;
        w->system_menu = nullptr;
        return nullptr;
    }
    if (!w->system_menu)
        w->system_menu = default_system_menu();
    return reinterpret_cast<HMENU>(w->system_menu);
}

BOOL AppendMenuW(HMENU menu, UINT flags, UINT_PTR idNewItem, LPCWSTR newItem)
{
    if (!menu)
        return FALSE;
    std::lock_guard<std::mutex> lock(g_menu_lock);
    as_menu(menu)->items.push_back({flags, idNewItem, (newItem && !(flags & MF_SEPARATOR)) ? newItem : L""});
    return TRUE;
}

int GetMenuItemCount(HMENU menu)
{
    if (!menu)
        return -1;
    std::lock_guard<std::mutex> lock(g_menu_lock);
    return static_cast<int>(as_menu(menu)->items.size());
}

UINT GetMenuItemID(HMENU menu, int position)
{
    if (!menu || position < 0)
        return static_cast<UINT>(-1);
    std::lock_guard<std::mutex> lock(g_menu_lock);
    auto* it = find_item(as_menu(menu), static_cast<UINT>(position), MF_BYPOSITION);
    return it && !(it->flags & MF_SEPARATOR) ? static_cast<UINT>(it->id) : it ? 0 : static_cast<UINT>(-1);
}

int GetMenuStringW(HMENU menu, UINT item, LPWSTR text, int maxCount, UINT flags)
{
    if (!menu)
        return 0;
    std::lock_guard<std::mutex> lock(g_menu_lock);
    auto* it = find_item(as_menu(menu), item, flags);
    if (!it)
        return 0;
    int len = static_cast<int>(it->text.size());
    if (!text || maxCount <= 0)
        return len;
    int n = std::min(len, maxCount - 1);
    std::copy(it->text.begin(), it->text.begin() + n, text);
    text[n] = 0;
    return n;
}

UINT GetMenuState(HMENU menu, UINT item, UINT flags)
{
    if (!menu)
        return static_cast<UINT>(-1);
    std::lock_guard<std::mutex> lock(g_menu_lock);
    auto* it = find_item(as_menu(menu), item, flags);
    return it ? it->flags : static_cast<UINT>(-1);
}
