// Window classes, creating and destroying windows, their styles and other
// window data, and what the calls do with windows that do not exist.
#include "window_test_support.h"
#include "resource.h"

TEST_F(WindowTest, RegisteringAClassTwiceFails)
{
    WNDCLASSW wc{};
    wc.lpfnWndProc = test_window_proc;
    wc.hInstance = instance();
    wc.lpszClassName = L"VistamoTestTwice";
    EXPECT_NE(RegisterClassW(&wc), 0);

    SetLastError(0);
    EXPECT_EQ(RegisterClassW(&wc), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));

    // Class names do not depend on case.
    wc.lpszClassName = L"VISTAMOTESTTWICE";
    SetLastError(0);
    EXPECT_EQ(RegisterClassW(&wc), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));

    SetLastError(0);
    EXPECT_EQ(CreateWindowExW(0, L"VistamoNoSuchClass", L"x", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr, nullptr,
                              instance(), nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
}

namespace {

struct create_seen {
    UINT message;
    HWND hwnd;
    LPVOID params;
    HMENU menu;
    HWND parent;
    int x, y, cx, cy;
    LONG style;
    std::wstring name;
    std::wstring cls;
};

}  // namespace

TEST_F(WindowTest, CreationSendsNcCreateThenCreateWithTheCreateStruct)
{
    std::vector<create_seen> seen;
    g_hook = [&](HWND h, UINT m, WPARAM, LPARAM l, LRESULT&) {
        if (m == WM_NCCREATE || m == WM_CREATE) {
            auto* cs = reinterpret_cast<const CREATESTRUCTW*>(l);
            seen.push_back({m, h, cs->lpCreateParams, cs->hMenu, cs->hwndParent, cs->x, cs->y, cs->cx, cs->cy,
                            cs->style, cs->lpszName ? cs->lpszName : L"<null>",
                            cs->lpszClass ? cs->lpszClass : L"<null>"});
        }
        return false;
    };
    int token = 0;
    HWND h = CreateWindowExW(0, kClass, L"创建 create", WS_OVERLAPPEDWINDOW, 120, 130, 320, 240, nullptr, nullptr,
                             instance(), &token);
    ASSERT_NE(h, nullptr);
    m_windows.push_back(h);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].message, static_cast<UINT>(WM_NCCREATE));
    EXPECT_EQ(seen[1].message, static_cast<UINT>(WM_CREATE));
    for (const auto& s : seen) {
        EXPECT_EQ(s.hwnd, h);
        EXPECT_EQ(s.params, &token);
        EXPECT_EQ(s.parent, nullptr);
        EXPECT_EQ(std::make_tuple(s.x, s.y, s.cx, s.cy), std::make_tuple(120, 130, 320, 240));
        EXPECT_EQ(static_cast<DWORD>(s.style) & WS_OVERLAPPEDWINDOW, static_cast<DWORD>(WS_OVERLAPPEDWINDOW));
        EXPECT_EQ(s.name, L"创建 create");
        EXPECT_EQ(s.cls, kClass);
    }

    seen.clear();
    HWND child = create_child(h, 42, 7, 8, 60, 30);
    ASSERT_NE(child, nullptr);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].message, static_cast<UINT>(WM_CREATE));
    EXPECT_EQ(seen[1].hwnd, child);
    EXPECT_EQ(seen[1].parent, h);
    EXPECT_EQ(seen[1].menu, reinterpret_cast<HMENU>(42));
    EXPECT_EQ(std::make_tuple(seen[1].x, seen[1].y, seen[1].cx, seen[1].cy), std::make_tuple(7, 8, 60, 30));
    EXPECT_TRUE(static_cast<DWORD>(seen[1].style) & WS_CHILD);
    EXPECT_EQ(GetParent(child), h);
    EXPECT_EQ(GetDlgCtrlID(child), 42);
    EXPECT_EQ(GetDlgItem(h, 42), child);
    RECT rc{};
    EXPECT_TRUE(GetClientRect(child, &rc));
    EXPECT_EQ(sides(rc), sides(RECT{0, 0, 60, 30}));
}

TEST_F(WindowTest, CreationFailsWhenCreateOrNcCreateRefuses)
{
    g_hook = [](HWND, UINT m, WPARAM, LPARAM l, LRESULT& r) {
        if (m != WM_NCCREATE && m != WM_CREATE)
            return false;
        std::wstring name = reinterpret_cast<const CREATESTRUCTW*>(l)->lpszName;
        if (m == WM_CREATE && name == L"refuse create") {
            r = -1;
            return true;
        }
        if (m == WM_NCCREATE && name == L"refuse nccreate") {
            r = FALSE;
            return true;
        }
        return false;
    };
    EXPECT_EQ(create_top(L"refuse create"), nullptr);
    EXPECT_EQ(create_top(L"refuse nccreate"), nullptr);
    for (const auto& e : log_all())
        EXPECT_FALSE(IsWindow(e.hwnd)) << "a refused window must not stay";
    EXPECT_FALSE(log_of(WM_NCDESTROY).empty()) << "a refused window is destroyed as any other";
    EXPECT_EQ(FindWindowW(nullptr, L"refuse create"), nullptr);
}

TEST_F(WindowTest, DestroyWindowSendsDestroyParentFirstAndNcDestroyChildrenFirst)
{
    HWND parent = create_top(L"family");
    ASSERT_NE(parent, nullptr);
    HWND first = create_child(parent, 1);
    HWND grandchild = create_child(first, 2);
    HWND second = create_child(parent, 3);
    ASSERT_TRUE(first && grandchild && second);
    const HWND all[] = {parent, first, grandchild, second};

    bool children_alive_in_parents_destroy = false;
    g_hook = [&](HWND h, UINT m, WPARAM, LPARAM, LRESULT&) {
        if (m == WM_DESTROY && h == parent)
            children_alive_in_parents_destroy = IsWindow(first) && IsWindow(grandchild) && IsWindow(second);
        return false;
    };
    clear_log();
    EXPECT_TRUE(DestroyWindow(parent));

    std::vector<HWND> destroy, ncdestroy;
    for (const auto& e : log_all()) {
        if (e.message == WM_DESTROY)
            destroy.push_back(e.hwnd);
        if (e.message == WM_NCDESTROY)
            ncdestroy.push_back(e.hwnd);
    }
    auto pos = [](const std::vector<HWND>& v, HWND h) {
        return std::find(v.begin(), v.end(), h) - v.begin();
    };
    ASSERT_EQ(destroy.size(), 4u);
    ASSERT_EQ(ncdestroy.size(), 4u);
    for (HWND h : all) {
        EXPECT_EQ(std::count(destroy.begin(), destroy.end(), h), 1);
        EXPECT_EQ(std::count(ncdestroy.begin(), ncdestroy.end(), h), 1);
    }
    EXPECT_LT(pos(destroy, parent), pos(destroy, first));
    EXPECT_LT(pos(destroy, first), pos(destroy, grandchild));
    EXPECT_LT(pos(destroy, parent), pos(destroy, second));
    EXPECT_LT(pos(ncdestroy, grandchild), pos(ncdestroy, first));
    EXPECT_LT(pos(ncdestroy, first), pos(ncdestroy, parent));
    EXPECT_LT(pos(ncdestroy, second), pos(ncdestroy, parent));
    EXPECT_TRUE(children_alive_in_parents_destroy);
    for (HWND h : all)
        EXPECT_FALSE(IsWindow(h));
}

TEST_F(WindowTest, DestroyingAChildLeavesItsParent)
{
    HWND parent = create_top(L"parent keeps going");
    HWND child = create_child(parent, 11);
    HWND other = create_child(parent, 12);
    ASSERT_TRUE(parent && child && other);
    EXPECT_TRUE(DestroyWindow(child));
    EXPECT_FALSE(IsWindow(child));
    EXPECT_TRUE(IsWindow(parent));
    EXPECT_EQ(GetDlgItem(parent, 11), nullptr);
    EXPECT_EQ(GetDlgItem(parent, 12), other);
}

TEST_F(WindowTest, StyleWordIsKeptThroughSetWindowLong)
{
    HWND h = create_top(L"style word", WS_OVERLAPPEDWINDOW);
    ASSERT_NE(h, nullptr);

    auto round_trip = [&](const char* when) {
        const LONG style = GetWindowLongW(h, GWL_STYLE);
        EXPECT_EQ(static_cast<DWORD>(style) & WS_OVERLAPPEDWINDOW, static_cast<DWORD>(WS_OVERLAPPEDWINDOW)) << when;
        const LONG without = style & ~0x00440000L;
        EXPECT_EQ(SetWindowLongW(h, GWL_STYLE, without), style) << when << ": returns the previous style";
        EXPECT_EQ(GetWindowLongW(h, GWL_STYLE), without) << when;
        EXPECT_EQ(SetWindowLongW(h, GWL_STYLE, style), without) << when;
        EXPECT_EQ(GetWindowLongW(h, GWL_STYLE), style) << when;
    };
    round_trip("hidden");
    EXPECT_FALSE(GetWindowLongW(h, GWL_STYLE) & WS_VISIBLE);

    ASSERT_TRUE(show_managed(h, "style word"));
    EXPECT_TRUE(GetWindowLongW(h, GWL_STYLE) & WS_VISIBLE);
    round_trip("shown");

    // The top bit is a style bit like the others.
    const LONG popup = static_cast<LONG>(WS_POPUP | WS_SYSMENU | WS_VISIBLE);
    SetWindowLongW(h, GWL_STYLE, popup);
    EXPECT_EQ(GetWindowLongW(h, GWL_STYLE), popup);

    // Other window data keeps its values too.
    EXPECT_EQ(SetWindowLongPtrW(h, GWLP_USERDATA, static_cast<LONG_PTR>(0x123456789abcLL)), 0);
    EXPECT_EQ(GetWindowLongPtrW(h, GWLP_USERDATA), static_cast<LONG_PTR>(0x123456789abcLL));
    EXPECT_EQ(GetWindowLongPtrW(h, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(test_window_proc));
}

TEST_F(WindowTest, DestroyedAndMadeUpWindowsFailCleanly)
{
    HWND gone = create_top(L"gone");
    ASSERT_NE(gone, nullptr);
    ASSERT_TRUE(DestroyWindow(gone));
    HWND made_up = reinterpret_cast<HWND>(0x1234);
    {
        XWindowAttributes attrs;
        ASSERT_FALSE(XGetWindowAttributes(m_probe.display(), 0x1234, &attrs)) << "0x1234 exists on this display";
    }

    for (HWND h : {gone, made_up}) {
        SCOPED_TRACE(h == gone ? "destroyed window" : "made-up window");
        EXPECT_FALSE(IsWindow(h));
        SetLastError(0);
        EXPECT_FALSE(DestroyWindow(h));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
        SetLastError(0);
        EXPECT_EQ(GetWindowLongW(h, GWL_STYLE), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
        EXPECT_EQ(SetWindowLongW(h, GWL_STYLE, WS_OVERLAPPEDWINDOW), 0);
        EXPECT_EQ(SetWindowLongPtrW(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(test_window_proc)), 0);
        EXPECT_FALSE(SetWindowTextW(h, L"x"));
        wchar_t text[8] = L"junk";
        EXPECT_EQ(GetWindowTextW(h, text, 8), 0);
        EXPECT_EQ(text[0], L'\0');
        RECT rc{1, 2, 3, 4};
        EXPECT_FALSE(GetClientRect(h, &rc));
        EXPECT_FALSE(GetWindowRect(h, &rc));
        POINT pt{5, 6};
        EXPECT_FALSE(ScreenToClient(h, &pt));
        EXPECT_FALSE(ClientToScreen(h, &pt));
        EXPECT_EQ(pt.x, 5);
        EXPECT_FALSE(ShowWindow(h, SW_SHOW));
        EXPECT_FALSE(MoveWindow(h, 0, 0, 10, 10, TRUE));
        EXPECT_FALSE(IsIconic(h));
        EXPECT_FALSE(IsZoomed(h));
        EXPECT_FALSE(IsWindowVisible(h));
        SetLastError(0);
        EXPECT_FALSE(PostMessageW(h, WM_USER, 0, 0));
        EXPECT_EQ(SendMessageW(h, WM_GETTEXTLENGTH, 0, 0), 0);
        EXPECT_FALSE(InvalidateRect(h, nullptr, TRUE));
        EXPECT_FALSE(UpdateWindow(h));
        EXPECT_EQ(GetDC(h), nullptr);
        PAINTSTRUCT ps;
        EXPECT_EQ(BeginPaint(h, &ps), nullptr);
        EXPECT_EQ(SetTimer(h, 1, 10, nullptr), 0u);
        EXPECT_FALSE(KillTimer(h, 1));
        EXPECT_EQ(GetParent(h), nullptr);
        EXPECT_EQ(GetDlgItem(h, IDC_PICTURE), nullptr);
        EXPECT_EQ(GetSystemMenu(h, FALSE), nullptr);
        EXPECT_FALSE(EndDialog(h, IDOK));
        RECT units{4, 8, 4, 8};
        EXPECT_FALSE(MapDialogRect(h, &units));
        EXPECT_EQ(GetWindowThreadProcessId(h, nullptr), 0u);
        MSG msg{h, WM_USER + 1, 0, 0, 0, {0, 0}};
        EXPECT_EQ(DispatchMessageW(&msg), 0);
    }
    // Device contexts and brushes that were never handed out.
    RECT r{0, 0, 1, 1};
    EXPECT_EQ(FillRect(nullptr, &r, GetSysColorBrush(COLOR_WINDOW)), 0);
    EXPECT_EQ(GetPixel(reinterpret_cast<HDC>(0x1234), 0, 0), CLR_INVALID);
    EXPECT_FALSE(DrawIcon(reinterpret_cast<HDC>(0x1234), 0, 0, nullptr));
    EXPECT_EQ(ReleaseDC(nullptr, reinterpret_cast<HDC>(0x1234)), 0);
    EXPECT_FALSE(DeleteObject(reinterpret_cast<HGDIOBJ>(0x1234)));
}
