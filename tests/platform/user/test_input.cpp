// The pointer: the cursor's display count, and what counts as a double
// click, from the desktop's settings.
#include "window_test_support.h"

#include "../../../platform/user/x11_settings.h"

#include <X11/extensions/Xfixes.h>

#include <memory>
#include <random>

TEST_F(WindowTest, CursorIsHiddenOverTheThreadsWindowsWhileItsDisplayCountIsNegative)
{
    HWND h = create_top(L"cursor count");
    ASSERT_NE(h, nullptr);
    HWND child = create_child(h, 7, 0, 0, 300, 200);
    ASSERT_NE(child, nullptr);
    ASSERT_TRUE(show_managed(h, "cursor count"));

    // The pointer over the child, which takes its cursor from the window.
    // Relative to the child as the server has it: the window manager may
    // still be placing the frame.
    Display* d = m_probe.display();
    XWarpPointer(d, None, xid_of(child), 0, 0, 0, 0, 150, 100);
    XSync(d, False);
    // What the server shows there, as another client sees it.
    auto cursor_shows = [&] {
        XFixesCursorImage* image = XFixesGetCursorImage(d);
        if (!image)
            return false;
        bool opaque = false;
        for (int i = 0; i < image->width * image->height; ++i)
            opaque |= ((image->pixels[i] >> 24) & 0xFF) != 0;
        XFree(image);
        return opaque;
    };
    ASSERT_TRUE(x11_probe::wait_until(cursor_shows)) << "no visible cursor to begin with";

    EXPECT_EQ(ShowCursor(FALSE), -1);
    EXPECT_TRUE(x11_probe::wait_until([&] { return !cursor_shows(); })) << "still shown at -1";
    // Another thread's count is its own, and it owns no window here.
    int other = 0;
    std::thread([&] { other = ShowCursor(TRUE); }).join();
    EXPECT_EQ(other, 1);
    EXPECT_EQ(ShowCursor(FALSE), -2);
    EXPECT_EQ(ShowCursor(TRUE), -1);
    EXPECT_FALSE(cursor_shows()) << "shown again at -1";

    // A window the thread makes while its count is negative starts without
    // the cursor; one destroyed meanwhile takes nothing of it along.
    HWND late = create_top(L"cursor late");
    ASSERT_NE(late, nullptr);
    ASSERT_TRUE(show_managed(late, "cursor late"));
    ASSERT_TRUE(DestroyWindow(h));
    const probe_rect placed = m_probe.client_rect(xid_of(late));
    XWarpPointer(d, None, xid_of(late), 0, 0, 0, 0, placed.width / 2, placed.height / 2);
    XSync(d, False);
    EXPECT_TRUE(x11_probe::wait_until([&] { return !cursor_shows(); })) << "shown over a window made at -1";
    EXPECT_EQ(ShowCursor(TRUE), 0);
    EXPECT_TRUE(x11_probe::wait_until(cursor_shows)) << "still hidden at 0";
    EXPECT_EQ(ShowCursor(FALSE), -1);
    EXPECT_TRUE(x11_probe::wait_until([&] { return !cursor_shows(); })) << "not hidden a second time";
    EXPECT_EQ(ShowCursor(TRUE), 0);
    EXPECT_TRUE(x11_probe::wait_until(cursor_shows)) << "still hidden at 0 the second time";
}

// The desktop's double-click settings come from another client's property.
namespace {

// Builds _XSETTINGS_SETTINGS properties the way settings managers write them.
class xsettings_bytes {
public:
    explicit xsettings_bytes(unsigned char order = 'l') : m_big(order == 'B' || order == 1)
    {
        m_bytes = {order, 0, 0, 0};
        card32(7);  // serial
        card32(0);  // count, set by done()
    }
    xsettings_bytes& integer(const std::string& name, uint32_t value)
    {
        head(0, name);
        card32(value);
        return *this;
    }
    xsettings_bytes& string(const std::string& name, const std::string& text)
    {
        head(1, name);
        card32(static_cast<uint32_t>(text.size()));
        padded(text);
        return *this;
    }
    xsettings_bytes& color(const std::string& name)
    {
        head(2, name);
        for (int i = 0; i < 4; ++i)
            card16(0xABCD);
        return *this;
    }
    // The count says how many settings there are, unless told otherwise.
    std::vector<unsigned char> done(int64_t count = -1)
    {
        std::vector<unsigned char> out = m_bytes;
        uint32_t n = count < 0 ? m_count : static_cast<uint32_t>(count);
        for (int i = 0; i < 4; ++i)
            out[8 + (m_big ? i : 3 - i)] = static_cast<unsigned char>(n >> (24 - 8 * i));
        return out;
    }
    void card16(uint16_t v)
    {
        unsigned char b[] = {static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
        if (!m_big)
            std::swap(b[0], b[1]);
        m_bytes.insert(m_bytes.end(), b, b + 2);
    }
    void card32(uint32_t v)
    {
        card16(static_cast<uint16_t>(m_big ? v >> 16 : v));
        card16(static_cast<uint16_t>(m_big ? v : v >> 16));
    }
    void padded(const std::string& s)
    {
        m_bytes.insert(m_bytes.end(), s.begin(), s.end());
        m_bytes.resize(m_bytes.size() + (4 - s.size() % 4) % 4, 0);
    }
    void head(unsigned char type, const std::string& name, int name_length = -1)
    {
        ++m_count;
        m_bytes.push_back(type);
        m_bytes.push_back(0);
        card16(static_cast<uint16_t>(name_length < 0 ? name.size() : static_cast<size_t>(name_length)));
        padded(name);
        card32(3);  // last-change serial
    }

private:
    bool m_big;
    uint32_t m_count = 0;
    std::vector<unsigned char> m_bytes;
};

// Parses a copy of exactly the given bytes, so that the address sanitizer
// sees any read past them.
x11_double_click parse_exactly(const std::vector<unsigned char>& bytes, size_t size)
{
    std::unique_ptr<unsigned char[]> copy(new unsigned char[size == 0 ? 1 : size]);
    std::memcpy(copy.get(), bytes.data(), size);
    return x11_parse_double_click(size == 0 ? nullptr : copy.get(), size);
}
x11_double_click parse_exactly(const std::vector<unsigned char>& bytes) { return parse_exactly(bytes, bytes.size()); }

const char kTime[] = "Net/DoubleClickTime";
const char kDistance[] = "Net/DoubleClickDistance";

std::vector<unsigned char> typical(unsigned char order)
{
    return xsettings_bytes(order)
        .string("Net/ThemeName", "Adwaita")
        .color("Gtk/ColorScheme")
        .integer("Net/CursorBlink", 1)
        .integer(kTime, 250)
        .string("Gtk/FontName", "Cantarell 11")
        .integer(kDistance, 6)
        .done();
}

}  // namespace

TEST(DoubleClickSettings, DesktopsPropertyGivesTimeAndRectangleAndMalformedOnesTheDefaults)
{
    struct {
        const char* what;
        std::vector<unsigned char> bytes;
        unsigned time_ms;
        int rect;
        bool refused;
    } const cases[] = {
        {"little endian among other settings", typical('l'), 250, 12, false},
        {"big endian among other settings", typical('B'), 250, 12, false},
        {"LSBFirst", typical(0), 250, 12, false},
        {"MSBFirst", typical(1), 250, 12, false},
        {"no settings", xsettings_bytes().done(), 500, 4, false},
        {"time only", xsettings_bytes('B').integer(kTime, 5000).done(), 5000, 4, false},
        {"distance only", xsettings_bytes().integer(kDistance, 100).done(), 500, 200, false},
        {"smallest values", xsettings_bytes().integer(kTime, 1).integer(kDistance, 1).done(), 1, 2, false},
        {"similar names", xsettings_bytes().integer("Net/DoubleClickTimeX", 200).integer("Net/DoubleClick", 200).done(),
         500, 4, false},
        {"time as a string", xsettings_bytes().string(kTime, "200").integer(kDistance, 3).done(), 500, 6, false},
        {"time as a colour", xsettings_bytes().color(kTime).done(), 500, 4, false},
        {"time 0", xsettings_bytes().integer(kTime, 0).integer(kDistance, 3).done(), 500, 6, true},
        {"time 5001", xsettings_bytes().integer(kTime, 5001).done(), 500, 4, true},
        {"time negative", xsettings_bytes().integer(kTime, 0xFFFFFF38u).done(), 500, 4, true},
        {"distance 0", xsettings_bytes().integer(kTime, 300).integer(kDistance, 0).done(), 300, 4, true},
        {"distance 101", xsettings_bytes().integer(kDistance, 101).done(), 500, 4, true},
        {"distance negative", xsettings_bytes().integer(kDistance, 0x80000000u).done(), 500, 4, true},
        {"unknown byte order", typical('x'), 500, 4, true},
        {"count one more", xsettings_bytes().integer(kTime, 200).done(2), 500, 4, true},
        {"count huge", xsettings_bytes().integer(kTime, 200).done(0xFFFFFFFF), 500, 4, true},
        {"count one less", xsettings_bytes().integer(kTime, 200).integer(kDistance, 9).done(1), 200, 4, false},
    };
    for (const auto& c : cases) {
        x11_double_click got = parse_exactly(c.bytes);
        EXPECT_EQ(got.time_ms, c.time_ms) << c.what;
        EXPECT_EQ(got.rect, c.rect) << c.what;
        EXPECT_EQ(got.refused != nullptr, c.refused) << c.what;
    }

    // Lengths that run past the end, and a setting of unknown type.
    auto with_head = [](unsigned char order, unsigned char type, int name_length, uint32_t string_length) {
        xsettings_bytes b(order);
        b.head(type, "Net/x", name_length);
        if (type == 1) {
            b.card32(string_length);
            b.padded("abc");
        } else {
            b.card32(200);
        }
        b.integer(kTime, 200);
        return b.done();
    };
    for (unsigned char order : {'l', 'B'}) {
        EXPECT_EQ(parse_exactly(with_head(order, 0, 5, 0)).time_ms, 200u) << order;  // well formed
        EXPECT_EQ(parse_exactly(with_head(order, 1, 5, 3)).time_ms, 200u) << order;
        for (int name_length : {60, 1000, 0xFFFF})
            EXPECT_NE(parse_exactly(with_head(order, 0, name_length, 0)).refused, nullptr) << name_length;
        for (uint32_t string_length : {37u, 1000u, 0x7FFFFFFFu, 0xFFFFFFFCu, 0xFFFFFFFFu}) {
            x11_double_click got = parse_exactly(with_head(order, 1, 5, string_length));
            EXPECT_EQ(got.time_ms, 500u) << string_length;
            EXPECT_NE(got.refused, nullptr) << string_length;
        }
        for (unsigned char type : {3, 0x80, 0xFF})
            EXPECT_NE(parse_exactly(with_head(order, type, 5, 0)).refused, nullptr) << int{type};
    }

    // Cut short anywhere, the property is refused as a whole.
    for (unsigned char order : {'l', 'B'}) {
        std::vector<unsigned char> whole = typical(order);
        for (size_t size = 0; size < whole.size(); ++size) {
            x11_double_click got = parse_exactly(whole, size);
            EXPECT_EQ(got.time_ms, 500u) << size;
            EXPECT_EQ(got.rect, 4) << size;
            EXPECT_NE(got.refused, nullptr) << size;
        }
    }

    // Too large to be a desktop's.
    std::vector<unsigned char> large = xsettings_bytes().integer(kTime, 200).done();
    large.resize(k_x11_settings_max_size + 1);
    EXPECT_EQ(parse_exactly(large).time_ms, 500u);
}

// 10,000 random and damaged properties (fixed seed), under the sanitizers:
// nothing is read past the property, and what comes out is in range.
TEST(DoubleClickSettings, RandomPropertiesAreParsedSafely)
{
    std::mt19937 random(20261207);
    auto below = [&](size_t n) { return static_cast<size_t>(random() % n); };
    const std::vector<unsigned char> valid[] = {typical('l'), typical('B')};
    for (int round = 0; round < 10000; ++round) {
        std::vector<unsigned char> bytes;
        switch (round % 3) {
        case 0:  // random bytes behind a valid header
            bytes = {static_cast<unsigned char>(round % 2 ? 'B' : 'l'), 0, 0, 0, 0, 0, 0, 0};
            bytes.resize(8 + below(200));
            for (size_t i = 4; i < bytes.size(); ++i)
                bytes[i] = static_cast<unsigned char>(random());
            break;
        default:  // a desktop's property, damaged and cut short
            bytes = valid[round % 2];
            for (size_t n = 1 + below(4); n > 0; --n)
                bytes[below(bytes.size())] = static_cast<unsigned char>(random());
            bytes.resize(bytes.size() - below(bytes.size() / 2 + 1));
            break;
        }
        x11_double_click got = parse_exactly(bytes);
        ASSERT_GE(got.time_ms, 1u) << round;
        ASSERT_LE(got.time_ms, 5000u) << round;
        ASSERT_GE(got.rect, 2) << round;
        ASSERT_LE(got.rect, 200) << round;
    }
}

TEST_F(WindowTest, DesktopsDoubleClickTimeAndDistanceDecideWhatIsADoubleClick)
{
    static const wchar_t kDoubleClickClass[] = L"VistamoTestDoubleClickWindow";
    static bool registered = false;
    if (!registered) {
        WNDCLASSW wc{};
        wc.style = CS_DBLCLKS;
        wc.lpfnWndProc = test_window_proc;
        wc.hInstance = instance();
        wc.lpszClassName = kDoubleClickClass;
        ASSERT_NE(RegisterClassW(&wc), 0);
        registered = true;
    }
    Window manager =
        m_probe.own_xsettings(xsettings_bytes().integer(kTime, 200).integer(kDistance, 10).done());
    ASSERT_NE(manager, 0ul) << "another settings manager runs on the display";
    ASSERT_TRUE(x11_probe::wait_until([] { return GetDoubleClickTime() == 200; }, kWait));
    EXPECT_EQ(GetSystemMetrics(SM_CXDOUBLECLK), 20);
    EXPECT_EQ(GetSystemMetrics(SM_CYDOUBLECLK), 20);

    HWND h = CreateWindowExW(0, kDoubleClickClass, L"double clicks", WS_OVERLAPPEDWINDOW, 100, 100, 300, 200,
                             nullptr, nullptr, instance(), nullptr);
    ASSERT_NE(h, nullptr);
    m_windows.push_back(h);
    pump_messages();
    clear_log();
    auto clicks = [&](std::initializer_list<std::tuple<int, unsigned long>> at) {
        clear_log();
        for (const auto& c : at)
            m_probe.click(xid_of(h), std::get<0>(c), 50, std::get<1>(c));
        EXPECT_TRUE(pump_until([&] { return log_of(WM_LBUTTONUP, h).size() == at.size(); }, kWait));
        return std::make_tuple(log_of(WM_LBUTTONDOWN, h).size(), log_of(WM_LBUTTONDBLCLK, h).size());
    };
    // Times are the server's, in milliseconds.
    EXPECT_EQ(clicks({{50, 10000}, {50, 10300}}), std::make_tuple(size_t{2}, size_t{0})) << "300 ms apart";
    EXPECT_EQ(clicks({{50, 20000}, {50, 20100}}), std::make_tuple(size_t{1}, size_t{1})) << "100 ms apart";
    EXPECT_EQ(clicks({{50, 30000}, {58, 30100}}), std::make_tuple(size_t{1}, size_t{1})) << "8 px apart";
    EXPECT_EQ(clicks({{50, 40000}, {61, 40100}}), std::make_tuple(size_t{2}, size_t{0})) << "11 px apart";

    // Without a settings manager, the defaults apply again.
    m_probe.destroy_window(manager);
    EXPECT_TRUE(x11_probe::wait_until([] { return GetDoubleClickTime() == 500; }, kWait));
    EXPECT_EQ(GetSystemMetrics(SM_CXDOUBLECLK), 4);
}
