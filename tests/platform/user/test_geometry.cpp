// Where windows go: moving, sizing, the window manager's states (minimised,
// full screen), and centring dialogs on the monitors.
#include "window_test_support.h"

#include "../../../platform/user/user_internal.h"

#include <X11/Xatom.h>

TEST_F(WindowTest, MovingAChildChangesItsRectanglesConsistently)
{
    HWND parent = create_top(L"geometry");
    ASSERT_NE(parent, nullptr);
    ASSERT_TRUE(show_managed(parent, "geometry"));
    HWND child = create_child(parent, 7, 5, 6, 50, 40);
    ASSERT_NE(child, nullptr);
    pump_messages();
    clear_log();

    EXPECT_TRUE(MoveWindow(child, 30, 20, 120, 80, TRUE));
    RECT rc{};
    ASSERT_TRUE(GetClientRect(child, &rc));
    EXPECT_EQ(sides(rc), sides(RECT{0, 0, 120, 80}));

    RECT wr{};
    ASSERT_TRUE(GetWindowRect(child, &wr));
    EXPECT_EQ(wr.right - wr.left, 120);
    EXPECT_EQ(wr.bottom - wr.top, 80);
    POINT in_parent{wr.left, wr.top};
    ASSERT_TRUE(ScreenToClient(parent, &in_parent));
    EXPECT_EQ(in_parent.x, 30);
    EXPECT_EQ(in_parent.y, 20);
    POINT in_child{wr.left, wr.top};
    ASSERT_TRUE(ScreenToClient(child, &in_child));
    EXPECT_EQ(in_child.x, 0);
    EXPECT_EQ(in_child.y, 0);
    POINT p{3, 4};
    ASSERT_TRUE(ClientToScreen(child, &p));
    ASSERT_TRUE(ScreenToClient(child, &p));
    EXPECT_EQ(p.x, 3);
    EXPECT_EQ(p.y, 4);

    auto sizes = log_of(WM_SIZE, child);
    ASSERT_FALSE(sizes.empty());
    EXPECT_EQ(LOWORD(sizes.back().lParam), 120);
    EXPECT_EQ(HIWORD(sizes.back().lParam), 80);
    auto moves = log_of(WM_MOVE, child);
    ASSERT_FALSE(moves.empty());
    EXPECT_EQ(GET_X_LPARAM(moves.back().lParam), 30);
    EXPECT_EQ(GET_Y_LPARAM(moves.back().lParam), 20);

    // The X window is where the layer says it is, once the layer has heard
    // where the window manager put the parent (mutter places it late).
    EXPECT_TRUE(pump_until([&] {
        RECT now{};
        GetWindowRect(child, &now);
        probe_rect x = m_probe.client_rect(xid_of(child));
        return x.x == now.left && x.y == now.top && x.width == 120 && x.height == 80;
    }, kWait));
}

TEST_F(WindowTest, WindowManagerResizeSendsWmSize)
{
    HWND h = create_top(L"resize me");
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(show_managed(h, "resize me"));
    pump_messages();
    clear_log();

    m_probe.resize(xid_of(h), 420, 310);
    auto resized = [&] {
        for (const auto& e : log_of(WM_SIZE, h))
            if (e.wParam == SIZE_RESTORED && LOWORD(e.lParam) == 420 && HIWORD(e.lParam) == 310)
                return true;
        return false;
    };
    ASSERT_TRUE(pump_until(resized, kWait)) << "no WM_SIZE for the new size";
    RECT rc{};
    ASSERT_TRUE(GetClientRect(h, &rc));
    EXPECT_EQ(sides(rc), sides(RECT{0, 0, 420, 310}));
    for (const auto& e : log_of(WM_SIZE, h))
        EXPECT_EQ(e.thread, GetCurrentThreadId());

    // The outer rectangle adds the frame the window manager drew.
    RECT wr{};
    ASSERT_TRUE(GetWindowRect(h, &wr));
    probe_rect frame = m_probe.frame_extents(xid_of(h));
    EXPECT_EQ(wr.right - wr.left, 420 + frame.x + frame.width);
    EXPECT_EQ(wr.bottom - wr.top, 310 + frame.y + frame.height);
}

TEST_F(WindowTest, MinimizeAndRestore)
{
    HWND h = create_top(L"minimize me");
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(show_managed(h, "minimize me"));
    pump_messages();
    clear_log();

    ShowWindow(h, SW_MINIMIZE);
    ASSERT_TRUE(pump_until([&] { return IsIconic(h) != FALSE; }, kWait));
    EXPECT_TRUE(m_probe.is_iconic(xid_of(h)));
    auto sizes = log_of(WM_SIZE, h);
    ASSERT_FALSE(sizes.empty());
    EXPECT_EQ(sizes.back().wParam, static_cast<WPARAM>(SIZE_MINIMIZED));
    EXPECT_TRUE(GetWindowLongW(h, GWL_STYLE) & WS_MINIMIZE);

    clear_log();
    ShowWindow(h, SW_RESTORE);
    ASSERT_TRUE(pump_until([&] { return !IsIconic(h); }, kWait));
    EXPECT_TRUE(x11_probe::wait_until([&] { return !m_probe.is_iconic(xid_of(h)); }));
    ASSERT_TRUE(pump_until([&] {
        for (const auto& e : log_of(WM_SIZE, h))
            if (e.wParam == SIZE_RESTORED)
                return true;
        return false;
    }, kWait));
    EXPECT_FALSE(GetWindowLongW(h, GWL_STYLE) & WS_MINIMIZE);
    EXPECT_TRUE(IsWindowVisible(h));
}

TEST_F(WindowTest, StyleWrittenBackWhileMinimizedDoesNotStayMinimized)
{
    HWND h = create_top(L"minimized style");
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(show_managed(h, "minimized style"));
    ShowWindow(h, SW_MINIMIZE);
    ASSERT_TRUE(pump_until([&] { return IsIconic(h) != FALSE; }, kWait));

    // Read and written back unchanged, as code saving and restoring the
    // style around a change does.
    const LONG style = GetWindowLongW(h, GWL_STYLE);
    ASSERT_TRUE(style & WS_MINIMIZE);
    SetWindowLongW(h, GWL_STYLE, style);

    ShowWindow(h, SW_RESTORE);
    ASSERT_TRUE(pump_until([&] { return !IsIconic(h); }, kWait));
    EXPECT_FALSE(GetWindowLongW(h, GWL_STYLE) & WS_MINIMIZE) << "the style still says minimised after a restore";
}

// The dialog's full-screen switch: frame bits off, maximise, grow past the
// maximised rectangle; back by setting the bits and the saved rectangle.
TEST_F(WindowTest, FullScreenCoversTheMonitorAndLeavesForTheSavedRectangle)
{
    enum how { as_created, placed, resized_by_user };
    struct move_first {
        const char* title;
        how before;
        int x, y, width, height;  // outer rectangle (placed) or client size (resized) before entering
    };
    const move_first cases[] = {
        {"full screen as created", as_created, 0, 0, 0, 0},
        {"full screen after a move", placed, 333, 222, 640, 410},
        {"full screen after a resize by the user", resized_by_user, 0, 0, 517, 333},
    };
    const int sw = m_probe.screen_width(), sh = m_probe.screen_height();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        std::wstring title(c.title, c.title + std::strlen(c.title));
        HWND h = create_top(title.c_str(), WS_OVERLAPPEDWINDOW | WS_VISIBLE);
        ASSERT_NE(h, nullptr);
        ASSERT_TRUE(show_managed(h, c.title));
        const Window xid = xid_of(h);
        if (c.before == resized_by_user) {
            m_probe.resize(xid, c.width, c.height);
            ASSERT_TRUE(pump_until([&] {
                RECT r{};
                GetClientRect(h, &r);
                return r.right == c.width && r.bottom == c.height;
            }, kWait));
        }
        if (c.before == placed) {
            SetWindowPos(h, nullptr, c.x, c.y, c.width, c.height, SWP_NOZORDER);
            ASSERT_TRUE(pump_until([&] {
                RECT r{};
                GetWindowRect(h, &r);
                return r.left == c.x && r.top == c.y && r.right == c.x + c.width && r.bottom == c.y + c.height;
            }, kWait));
        }
        pump_messages();
        const probe_rect client_before = m_probe.client_rect(xid);
        const probe_rect frame_before = m_probe.frame_extents(xid);

        const LONG style = GetWindowLongW(h, GWL_STYLE);
        RECT restore{};
        GetWindowRect(h, &restore);
        SetWindowLongW(h, GWL_STYLE, static_cast<LONG>(style & 0xFFBBFFFF));
        ShowWindow(h, SW_MAXIMIZE);
        RECT r{};
        GetWindowRect(h, &r);
        EXPECT_EQ(sides(r), sides(RECT{0, 0, sw, sh}));
        SetWindowPos(h, HWND_NOTOPMOST, r.left - 1, r.top - 1, r.right - r.left + 3, r.bottom - r.top + 3,
                     SWP_FRAMECHANGED);
        auto covers_screen = [&] {
            return sides(m_probe.client_rect(xid)) == sides(probe_rect{0, 0, sw, sh}) &&
                   sides(m_probe.frame_extents(xid)) == sides(probe_rect{}) &&
                   m_probe.has_net_state(xid, "_NET_WM_STATE_FULLSCREEN");
        };
        // Long enough for the window manager to have acted on everything.
        pump_until([] { return false; }, 300ms);
        EXPECT_TRUE(pump_until(covers_screen, kWait));
        EXPECT_EQ(sides(m_probe.client_rect(xid)), sides(probe_rect{0, 0, sw, sh}));
        EXPECT_EQ(m_probe.frame_extents(xid).y, 0);
        EXPECT_TRUE(IsZoomed(h));
        GetWindowRect(h, &r);
        EXPECT_EQ(sides(r), sides(RECT{0, 0, sw, sh}));
        RECT rc{};
        GetClientRect(h, &rc);
        EXPECT_EQ(sides(rc), sides(RECT{0, 0, sw, sh}));

        SetWindowLongW(h, GWL_STYLE, style | 0x00440000);
        SetWindowPos(h, nullptr, restore.left, restore.top, restore.right - restore.left,
                     restore.bottom - restore.top, 0);
        auto restored = [&] {
            RECT now{};
            GetWindowRect(h, &now);
            return sides(m_probe.client_rect(xid)) == sides(client_before) &&
                   sides(m_probe.frame_extents(xid)) == sides(frame_before) && sides(now) == sides(restore) &&
                   !m_probe.has_net_state(xid, "_NET_WM_STATE_FULLSCREEN");
        };
        pump_until([] { return false; }, 300ms);
        EXPECT_TRUE(pump_until(restored, kWait));
        EXPECT_EQ(sides(m_probe.client_rect(xid)), sides(client_before));
        EXPECT_EQ(m_probe.frame_extents(xid).y, frame_before.y);
        EXPECT_FALSE(m_probe.has_net_state(xid, "_NET_WM_STATE_FULLSCREEN"));
        EXPECT_FALSE(m_probe.has_net_state(xid, "_NET_WM_STATE_MAXIMIZED_VERT"));
        EXPECT_FALSE(IsZoomed(h));
        EXPECT_EQ(GetWindowLongW(h, GWL_STYLE), style);
        RECT now{};
        GetWindowRect(h, &now);
        EXPECT_EQ(sides(now), sides(restore));
        DestroyWindow(h);
    }
}

TEST(DialogCentring, FrameLargerThanTheWorkAreaKeepsItsTopLeftCornerOnIt)
{
    // The main dialog's client area in a frame with a 20-pixel caption.
    const SIZE client{863, 565};
    const RECT frame{1, 20, 1, 1};
    struct {
        const char* what;
        RECT area;
        POINT origin;  // of the client area
    } const cases[] = {
        {"fits: centred", {0, 0, 1920, 1080}, {528, 267}},
        {"fits exactly", {0, 0, 865, 586}, {1, 20}},
        {"640 x 480 screen", {0, 0, 640, 480}, {1, 20}},
        {"640 x 480 work area beside panels", {50, 30, 690, 510}, {51, 50}},
        {"only too wide", {0, 0, 800, 1080}, {1, 267}},
        {"only too tall", {0, 0, 1920, 500}, {528, 20}},
        {"work area left of and above the origin", {-1000, -700, -360, -220}, {-999, -680}},
    };
    for (const auto& c : cases) {
        POINT p = user_centred_client_origin(c.area, client, frame);
        EXPECT_EQ(p.x, c.origin.x) << c.what;
        EXPECT_EQ(p.y, c.origin.y) << c.what;
    }
}

TEST_F(WindowTest, DialogIsCentredOnTheMonitorThatHoldsThePointer)
{
    Display* d = m_probe.display();
    const Atom supported = m_probe.atom("_NET_SUPPORTED");
    struct {
        const char* what;
        std::vector<probe_rect> monitors;
        int monitor;               // the one the pointer is on
        bool frame_requests = true;  // the manager answers _NET_REQUEST_FRAME_EXTENTS
    } const cases[] = {
        {"two side by side, pointer on the right", {{0, 0, 960, 1080}, {960, 0, 960, 1080}}, 1},
        {"two side by side, pointer on the left", {{0, 0, 960, 1080}, {960, 0, 960, 1080}}, 0},
        // As kwin, weston and sway: the extents come only with the frame.
        {"a manager that does not answer frame requests", {{0, 0, 1920, 1080}}, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        x11_probe desk;  // its monitors go with its connection
        if (!desk.set_monitors(c.monitors))
            GTEST_SKIP() << "the X server has no RandR 1.5 monitors";
        const probe_rect m = c.monitors[c.monitor];
        XWarpPointer(d, None, m_probe.root(), 0, 0, 0, 0, m.x + m.width / 3, m.y + m.height / 3);
        XSync(d, False);
        std::vector<Atom> hints;
        if (!c.frame_requests) {
            Atom type;
            int format;
            unsigned long count, after;
            unsigned char* data = nullptr;
            ASSERT_EQ(XGetWindowProperty(d, m_probe.root(), supported, 0, 4096, False, XA_ATOM, &type, &format,
                                         &count, &after, &data),
                      Success);
            hints.assign(reinterpret_cast<Atom*>(data), reinterpret_cast<Atom*>(data) + count);
            XFree(data);
            std::vector<Atom> fewer;
            for (Atom a : hints)
                if (a != m_probe.atom("_NET_REQUEST_FRAME_EXTENTS"))
                    fewer.push_back(a);
            XChangeProperty(d, m_probe.root(), supported, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<unsigned char*>(fewer.data()), static_cast<int>(fewer.size()));
            XSync(d, False);
        }
        HWND dlg = CreateDialogParamW(instance(), MAKEINTRESOURCEW(102), nullptr, test_dialog_proc, 0);
        if (!hints.empty()) {
            XChangeProperty(d, m_probe.root(), supported, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<unsigned char*>(hints.data()), static_cast<int>(hints.size()));
            XSync(d, False);
        }
        ASSERT_NE(dlg, nullptr);
        m_windows.push_back(dlg);
        // The frame as the server has it, once the manager has drawn it.
        auto margins = [&] {
            const probe_rect client = m_probe.client_rect(xid_of(dlg)), frame = m_probe.frame_extents(xid_of(dlg));
            const int left = client.x - frame.x - m.x, top = client.y - frame.y - m.y;
            const int right = m.x + m.width - (client.x + client.width + frame.width);
            const int bottom = m.y + m.height - (client.y + client.height + frame.height);
            return std::vector<int>{left, right, top, bottom, frame.y};
        };
        EXPECT_TRUE(pump_until([&] {
            const std::vector<int> g = margins();
            return g[4] > 0 && g[0] >= 0 && g[2] >= 0 && std::abs(g[0] - g[1]) <= 1 && std::abs(g[2] - g[3]) <= 1;
        })) << "margins left/right/top/bottom " << margins()[0] << "/" << margins()[1] << "/" << margins()[2] << "/"
            << margins()[3];
        DestroyWindow(dlg);
    }
}
