// Painting: invalid regions and WM_PAINT, drawing that reads back and shows
// on the screen, and icons.
#include "window_test_support.h"

namespace {

bool handles_paint_with(HWND target, const std::function<void(HDC, const PAINTSTRUCT&)>& draw, HWND h, UINT m,
                        LRESULT& r)
{
    if (h != target || m != WM_PAINT)
        return false;
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(h, &ps);
    if (dc)
        draw(dc, ps);
    EndPaint(h, &ps);
    r = 0;
    return true;
}

}  // namespace

TEST_F(WindowTest, InvalidatingLeadsToOnePaintCoveringEveryInvalidRectangle)
{
    HWND h = create_top(L"paint count");
    ASSERT_NE(h, nullptr);
    std::vector<RECT> painted;
    g_hook = [&](HWND w, UINT m, WPARAM, LPARAM, LRESULT& r) {
        return handles_paint_with(h, [&](HDC, const PAINTSTRUCT& ps) { painted.push_back(ps.rcPaint); }, w, m, r);
    };
    ASSERT_TRUE(show_managed(h, "paint count"));
    ASSERT_TRUE(pump_until([&] { return !painted.empty(); }, kWait)) << "a shown window is painted";
    pump_messages();
    painted.clear();

    RECT a{10, 10, 20, 20}, b{50, 40, 60, 70};
    EXPECT_TRUE(InvalidateRect(h, &a, FALSE));
    EXPECT_TRUE(InvalidateRect(h, &b, FALSE));
    pump_messages();
    ASSERT_EQ(painted.size(), 1u) << "two invalidations, one WM_PAINT";
    EXPECT_EQ(sides(painted[0]), sides(RECT{10, 10, 60, 70}));

    // Painted means valid: nothing more is due.
    MSG m;
    EXPECT_FALSE(PeekMessageW(&m, h, WM_PAINT, WM_PAINT, PM_NOREMOVE));

    // UpdateWindow paints at once, without the message loop.
    painted.clear();
    EXPECT_TRUE(InvalidateRect(h, nullptr, TRUE));
    EXPECT_TRUE(UpdateWindow(h));
    ASSERT_EQ(painted.size(), 1u);
    EXPECT_EQ(sides(painted[0]), sides(RECT{0, 0, 300, 200}));
}

TEST_F(WindowTest, PaintingFillsPixelsThatReadBackAndShowOnScreen)
{
    HWND h = create_top(L"paint pixels");
    ASSERT_NE(h, nullptr);
    const COLORREF blue = RGB(0, 128, 255), red = RGB(220, 20, 30);
    COLORREF fill = blue;
    COLORREF read_in_paint = CLR_INVALID;
    g_hook = [&](HWND w, UINT m, WPARAM, LPARAM, LRESULT& r) {
        return handles_paint_with(
            h,
            [&](HDC dc, const PAINTSTRUCT&) {
                RECT all{0, 0, 300, 200};
                HBRUSH brush = CreateSolidBrush(fill);
                FillRect(dc, &all, brush);
                DeleteObject(brush);
                read_in_paint = GetPixel(dc, 5, 5);
            },
            w, m, r);
    };
    ASSERT_TRUE(show_managed(h, "paint pixels"));
    ASSERT_TRUE(pump_until([&] { return read_in_paint == blue; }, kWait));

    HDC dc = GetDC(h);
    ASSERT_NE(dc, nullptr);
    EXPECT_EQ(GetPixel(dc, 5, 5), blue);
    EXPECT_EQ(GetPixel(dc, 299, 199), blue);
    EXPECT_EQ(GetPixel(dc, 300, 200), CLR_INVALID) << "outside the client area";
    ReleaseDC(h, dc);

    // What is drawn shows on the screen, where the server has the window.
    // A manager may map the client late (mutter, once its frame is drawn):
    // what was drawn before is lost, and the exposure, taken from the queue,
    // draws it again.
    auto shown = [&] {
        const probe_rect c = m_probe.client_rect(xid_of(h));
        return m_probe.screen_pixel(c.x + 5, c.y + 5);
    };
    EXPECT_TRUE(pump_until([&] { return shown() == 0x0080FFul; }, kWait)) << std::hex << shown();

    // BeginPaint's device context only reaches the invalid part.
    fill = red;
    RECT corner{0, 0, 10, 10};
    read_in_paint = CLR_INVALID;
    InvalidateRect(h, &corner, FALSE);
    ASSERT_TRUE(pump_until([&] { return read_in_paint != CLR_INVALID; }, kWait));
    dc = GetDC(h);
    EXPECT_EQ(GetPixel(dc, 5, 5), red);
    EXPECT_EQ(GetPixel(dc, 50, 50), blue) << "painted outside the update rectangle";
    ReleaseDC(h, dc);
}

TEST_F(WindowTest, DrawIconScalesTheIconToTheSystemIconSize)
{
    HWND h = create_top(L"draw icon");
    ASSERT_NE(h, nullptr);
    HICON icon = LoadIconW(instance(), MAKEINTRESOURCEW(128));
    ASSERT_NE(icon, nullptr);
    ASSERT_EQ(GetSystemMetrics(SM_CXICON), 32);
    const COLORREF green = RGB(0, 255, 0);
    bool drawn = false;
    g_hook = [&](HWND w, UINT m, WPARAM, LPARAM, LRESULT& r) {
        return handles_paint_with(
            h,
            [&](HDC dc, const PAINTSTRUCT&) {
                RECT all{0, 0, 300, 200};
                HBRUSH brush = CreateSolidBrush(green);
                FillRect(dc, &all, brush);
                DeleteObject(brush);
                drawn = DrawIcon(dc, 10, 10, icon) != FALSE;
            },
            w, m, r);
    };
    ASSERT_TRUE(show_managed(h, "draw icon"));
    ASSERT_TRUE(pump_until([&] { return drawn; }, kWait));

    HDC dc = GetDC(h);
    ASSERT_NE(dc, nullptr);
    int inside = 0;
    for (int y = 10; y < 42; ++y)
        for (int x = 10; x < 42; ++x)
            inside += GetPixel(dc, x, y) != green;
    EXPECT_GT(inside, 32 * 32 / 4) << "the icon is mostly opaque";
    int outside = 0;
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 100; ++x)
            if (x < 10 || y < 10 || x >= 42 || y >= 42)
                outside += GetPixel(dc, x, y) != green;
    EXPECT_EQ(outside, 0) << "the icon reaches beyond 32 x 32 pixels";
    ReleaseDC(h, dc);
}
