// Power and the display: what the X server, the session's screen saver
// service and logind see of SetThreadExecutionState, and what windows are
// sent when the display's state changes or the machine wakes from sleep.
#include <windows.h>

#include <gtest/gtest.h>

#include "../../platform/kernel/debug_output.h"
#include "../../platform/notify/display_state.h"
#include "dbus_services.h"
#include "message_pump.h"
#include "x11_probe.h"

#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>
#include <systemd/sd-bus.h>

#include <powervirtual.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr EXECUTION_STATE kFullScreen = ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED;

// Both buses somewhere nothing listens, so that no test reaches the real
// desktop's services.
void point_buses_nowhere()
{
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vistamo-test/session", 1);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/vistamo-test/system", 1);
}

// Clears the request whatever way the test leaves.
struct release_at_end {
    ~release_at_end() { SetThreadExecutionState(ES_CONTINUOUS); }
};

struct inhibitor {
    std::string what, who, why, mode;
};

std::vector<inhibitor> logind_inhibitors(const std::string& address)
{
    std::vector<inhibitor> out;
    sd_bus* bus = dbus_test_connect(address);
    if (!bus)
        return out;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                           "ListInhibitors", nullptr, &reply, "") >= 0 &&
        sd_bus_message_enter_container(reply, 'a', "(ssssuu)") >= 0) {
        const char *what, *who, *why, *mode;
        uint32_t uid, pid;
        while (sd_bus_message_read(reply, "(ssssuu)", &what, &who, &why, &mode, &uid, &pid) > 0)
            out.push_back({what, who, why, mode});
    }
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return out;
}

// Inhibits in force at the mock screen saver; -1 if it cannot be asked.
long screensaver_inhibits(const std::string& address)
{
    sd_bus* bus = dbus_test_connect(address);
    if (!bus)
        return -1;
    sd_bus_message* reply = nullptr;
    uint32_t count = 0;
    long result = -1;
    if (sd_bus_call_method(bus, "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                           "org.freedesktop.ScreenSaver.Test", "ActiveInhibits", nullptr, &reply, "") >= 0 &&
        sd_bus_message_read(reply, "u", &count) >= 0)
        result = count;
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return result;
}

}  // namespace

TEST(KeepAwake, HoldsExactlyOneInhibitOnEachBusUntilReleased)
{
    if (python_with_dbusmock().empty())
        GTEST_SKIP() << "python3-dbusmock is not installed (tools/install-deps.sh)";
    private_bus session, system;
    ASSERT_FALSE(session.address().empty()) << "no private dbus-daemon";
    ASSERT_FALSE(system.address().empty()) << "no private dbus-daemon";
    dbus_mock_service logind(system, true, "org.freedesktop.login1", {"--template", "logind"});
    ASSERT_TRUE(logind.ready()) << logind.output();
    dbus_mock_service screensaver(session, false, "org.freedesktop.ScreenSaver",
                                  {"--template", test_support_dir() + "/screensaver_mock.py"});
    ASSERT_TRUE(screensaver.ready()) << screensaver.output();
    setenv("DBUS_SESSION_BUS_ADDRESS", session.address().c_str(), 1);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", system.address().c_str(), 1);
    release_at_end release;

    // The same request twice, as entering full screen again would make it.
    EXPECT_EQ(SetThreadExecutionState(kFullScreen), ES_CONTINUOUS);
    EXPECT_EQ(SetThreadExecutionState(kFullScreen), kFullScreen);
    EXPECT_EQ(screensaver_inhibits(session.address()), 1);
    auto held = logind_inhibitors(system.address());
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].what, "idle") << "a suspend the user asks for must not be blocked";
    EXPECT_EQ(held[0].who, "Vistamo");
    EXPECT_EQ(held[0].mode, "block");

    EXPECT_EQ(SetThreadExecutionState(ES_CONTINUOUS), kFullScreen);
    EXPECT_EQ(screensaver_inhibits(session.address()), 0);
    // logind sees the lock's descriptor close.
    EXPECT_TRUE(x11_probe::wait_until([&] { return logind_inhibitors(system.address()).empty(); }));
    EXPECT_EQ(SetThreadExecutionState(ES_CONTINUOUS), ES_CONTINUOUS);
}

TEST(KeepAwake, MissingOrSilentBusesNeitherFailNorHang)
{
    std::mutex lock;
    std::vector<std::string> traced;
    debug_output_set_sink([&](const std::string& text) {
        std::lock_guard<std::mutex> guard(lock);
        traced.push_back(text);
    });
    // A session bus that takes the connection and never answers, and no
    // system bus at all.
    mute_bus silent;
    ASSERT_FALSE(silent.address().empty());
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/vistamo-test/system", 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", silent.address().c_str(), 1);
    release_at_end release;

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SetThreadExecutionState(kFullScreen), ES_CONTINUOUS);
    EXPECT_EQ(SetThreadExecutionState(ES_CONTINUOUS), kFullScreen);
    // Bounded by the layer's own short timeout, far below the tens of
    // seconds a silent bus could hold a client otherwise.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    // Again without any bus: fails at once.
    point_buses_nowhere();
    EXPECT_EQ(SetThreadExecutionState(kFullScreen), ES_CONTINUOUS);
    EXPECT_EQ(SetThreadExecutionState(ES_CONTINUOUS), kFullScreen);
    debug_output_set_sink(nullptr);

    // Each missing service is traced once at most (an earlier case in this
    // process may have traced it already).
    int screensaver_lines = 0, logind_lines = 0;
    for (const auto& t : traced) {
        screensaver_lines += t.find("org.freedesktop.ScreenSaver") != std::string::npos;
        logind_lines += t.find("logind") != std::string::npos;
    }
    EXPECT_LE(screensaver_lines, 1);
    EXPECT_LE(logind_lines, 1);
}

TEST(KeepAwake, ScreenSaverStaysOffWhileHeldAndStartsAfterRelease)
{
    x11_probe probe;
    Display* d = probe.display();
    ASSERT_NE(d, nullptr) << "these tests need an X display (tools/run-tests.sh)";
    int event_base = 0, error_base = 0;
    ASSERT_TRUE(XScreenSaverQueryExtension(d, &event_base, &error_base));
    point_buses_nowhere();

    // A two-second screen saver for this case only.
    int timeout = 0, interval = 0, blanking = 0, exposures = 0;
    XGetScreenSaver(d, &timeout, &interval, &blanking, &exposures);
    struct restore_saver {
        Display* d;
        int timeout, interval, blanking, exposures;
        ~restore_saver()
        {
            XSetScreenSaver(d, timeout, interval, blanking, exposures);
            XForceScreenSaver(d, ScreenSaverReset);
            XSync(d, False);
        }
    } restore{d, timeout, interval, blanking, exposures};
    XSetScreenSaver(d, 2, 0, DontPreferBlanking, AllowExposures);
    XResetScreenSaver(d);
    XSync(d, False);
    auto saver_on = [&] {
        XScreenSaverInfo* info = XScreenSaverAllocInfo();
        bool on = XScreenSaverQueryInfo(d, probe.root(), info) && info->state == ScreenSaverOn;
        XFree(info);
        return on;
    };
    ASSERT_FALSE(saver_on());
    release_at_end release;

    EXPECT_EQ(SetThreadExecutionState(kFullScreen), ES_CONTINUOUS);
    // Idle for longer than the timeout.
    std::this_thread::sleep_for(3500ms);
    EXPECT_FALSE(saver_on()) << "the screen saver started while held";

    EXPECT_EQ(SetThreadExecutionState(ES_CONTINUOUS), kFullScreen);
    EXPECT_TRUE(x11_probe::wait_until(saver_on)) << "the screen saver did not start after release";
}

namespace {

// What the test's windows were sent: the display state's data byte, or 'R'
// for a resume.
struct power_record {
    HWND hwnd;
    int what;
};
std::vector<power_record> g_power_seen;

LRESULT CALLBACK power_probe_proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_POWERBROADCAST && wParam == PBT_POWERSETTINGCHANGE) {
        const auto* setting = reinterpret_cast<const POWERBROADCAST_SETTING*>(lParam);
        EXPECT_EQ(std::memcmp(&setting->PowerSetting, &GUID_CONSOLE_DISPLAY_STATE, sizeof(GUID)), 0);
        EXPECT_EQ(setting->DataLength, sizeof(DWORD));
        g_power_seen.push_back({hwnd, setting->Data[0]});
    } else if (message == WM_POWERBROADCAST && wParam == PBT_APMRESUMEAUTOMATIC) {
        g_power_seen.push_back({hwnd, 'R'});
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

// A window of the test that records its power messages, registered for the
// display state (unless told otherwise) and let go at the end.
class power_window {
public:
    explicit power_window(bool registered = true, HWND parent = nullptr)
    {
        static const bool class_registered = [] {
            WNDCLASSW wc{};
            wc.lpfnWndProc = power_probe_proc;
            wc.hInstance = GetModuleHandleW(nullptr);
            wc.lpszClassName = L"PowerProbe";
            return RegisterClassW(&wc) != 0;
        }();
        EXPECT_TRUE(class_registered);
        hwnd = CreateWindowExW(0, L"PowerProbe", L"power", parent ? WS_CHILD : WS_OVERLAPPEDWINDOW, 0, 0, 40, 30,
                               parent, nullptr, GetModuleHandleW(nullptr), nullptr);
        EXPECT_NE(hwnd, nullptr);
        if (registered)
            handle = RegisterPowerSettingNotification(hwnd, &GUID_CONSOLE_DISPLAY_STATE, DEVICE_NOTIFY_WINDOW_HANDLE);
    }
    ~power_window()
    {
        if (handle) {
            EXPECT_TRUE(UnregisterPowerSettingNotification(handle));
        }
        DestroyWindow(hwnd);
    }
    // What this window was sent so far, in order.
    std::vector<int> seen() const
    {
        std::vector<int> out;
        for (const auto& r : g_power_seen)
            if (r.hwnd == hwnd)
                out.push_back(r.what);
        return out;
    }
    // Pumps until this window has been sent n messages in all.
    bool wait_for(size_t n, std::chrono::milliseconds timeout = kHangTimeout) const
    {
        return pump_until([&] { return seen().size() >= n; }, timeout);
    }

    HWND hwnd = nullptr;
    HPOWERNOTIFY handle = nullptr;
};

// Sources back to the defaults after a case.
struct default_sources_at_end {
    ~default_sources_at_end()
    {
        notify_set_power_sources(power_sources{});
        g_power_seen.clear();
    }
};

// Emits a signal from a dbusmock service's object, as the service would.
bool emit_signal(const std::string& address, const char* service, const char* path, const char* interface,
                 const char* member, bool value)
{
    sd_bus* bus = dbus_test_connect(address);
    if (!bus)
        return false;
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(bus, &m, service, path, "org.freedesktop.DBus.Mock", "EmitSignal");
    if (r >= 0)
        r = sd_bus_message_append(m, "sss", interface, member, "b");
    if (r >= 0)
        r = sd_bus_message_open_container(m, 'a', "v");
    if (r >= 0)
        r = sd_bus_message_append(m, "v", "b", value ? 1 : 0);
    if (r >= 0)
        r = sd_bus_message_close_container(m);
    if (r >= 0)
        r = sd_bus_call(bus, m, 0, nullptr, nullptr);
    sd_bus_message_unref(m);
    sd_bus_flush_close_unref(bus);
    return r >= 0;
}


// What any client on the bus can do: sends member with the body append
// writes as a signal from its own connection, once to everyone and once
// addressed to each other connection on the bus.
bool forge_signal(const std::string& address, const char* path, const char* interface, const char* member,
                  const std::function<int(sd_bus_message*)>& append)
{
    sd_bus* bus = dbus_test_connect(address);
    if (!bus)
        return false;
    std::vector<std::string> destinations{""};
    const char* self = nullptr;
    sd_bus_get_unique_name(bus, &self);
    sd_bus_message* reply = nullptr;
    char** names = nullptr;
    int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "ListNames", nullptr, &reply, "");
    if (r >= 0)
        r = sd_bus_message_read_strv(reply, &names);
    for (char** n = names; n && *n; ++n) {
        if ((*n)[0] == ':' && (!self || std::strcmp(*n, self) != 0))
            destinations.push_back(*n);
        free(*n);
    }
    free(names);
    sd_bus_message_unref(reply);
    for (const std::string& to : destinations) {
        sd_bus_message* m = nullptr;
        if (r >= 0)
            r = sd_bus_message_new_signal(bus, &m, path, interface, member);
        if (r >= 0 && !to.empty())
            r = sd_bus_message_set_destination(m, to.c_str());
        if (r >= 0)
            r = append(m);
        if (r >= 0)
            r = sd_bus_send(bus, m, nullptr);
        sd_bus_message_unref(m);
    }
    sd_bus_flush_close_unref(bus);
    return r >= 0;
}

// Calls a method of a service on the bus at address; false if it failed.
template <class... Args>
bool call_service(const std::string& address, const char* service, const char* path, const char* interface,
                  const char* member, const char* types, Args... args)
{
    sd_bus* bus = dbus_test_connect(address);
    if (!bus)
        return false;
    const int r = sd_bus_call_method(bus, service, path, interface, member, nullptr, nullptr, types, args...);
    sd_bus_flush_close_unref(bus);
    return r >= 0;
}

// The desktop services the power thread listens to, as python3-dbusmock
// plays them.
enum class desktop_service {
    logind,
    screensaver,        // org.freedesktop.ScreenSaver as Plasma has it: GetActive answers
    gnome_screensaver,  // gnome-settings-daemon's: inhibits only, GetActive is NotSupported
    mutter,             // org.gnome.Mutter.DisplayConfig with its PowerSaveMode
};

constexpr const char* kMutter = "org.gnome.Mutter.DisplayConfig";  // the name and the interface
constexpr const char* kMutterPath = "/org/gnome/Mutter/DisplayConfig";

struct service_signal {
    bool system;
    const char *name, *path, *interface, *member;
};

service_signal signal_of(desktop_service s)
{
    switch (s) {
    case desktop_service::logind:
        return {true, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                "PrepareForSleep"};
    case desktop_service::screensaver:
    case desktop_service::gnome_screensaver:
        return {false, "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver",
                "ActiveChanged"};
    case desktop_service::mutter:
        return {false, kMutter, kMutterPath, "org.freedesktop.DBus.Properties", "PropertiesChanged"};
    }
    return {};
}

// Starts the service on bus with what the desktop's own has (Mutter's
// PowerSaveMode at power_save_mode); null, and why in failure, if it did
// not come up.
std::unique_ptr<dbus_mock_service> start_service(const private_bus& bus, desktop_service s, std::string& failure,
                                                 int power_save_mode = 0)
{
    const service_signal sig = signal_of(s);
    std::vector<std::string> args;
    if (s == desktop_service::logind)
        args = {"--template", "logind"};
    else if (s == desktop_service::screensaver)
        args = {"--template", test_support_dir() + "/screensaver_mock.py"};
    else
        args = {sig.name, sig.path, s == desktop_service::mutter ? kMutter : sig.interface};
    auto mock = std::make_unique<dbus_mock_service>(bus, sig.system, sig.name, args);
    if (!mock->ready()) {
        failure = mock->output();
        return nullptr;
    }
    bool set_up = true;
    if (s == desktop_service::gnome_screensaver)
        set_up = call_service(bus.address(), sig.name, sig.path, "org.freedesktop.DBus.Mock", "AddMethod", "sssss",
                              "", "GetActive", "", "b",
                              "raise dbus.exceptions.DBusException('not part of idle inhibition', "
                              "name='org.freedesktop.DBus.Error.NotSupported')");
    else if (s == desktop_service::mutter)
        set_up = call_service(bus.address(), sig.name, sig.path, "org.freedesktop.DBus.Mock", "AddProperty", "ssv",
                              kMutter, "PowerSaveMode", "i", static_cast<int32_t>(power_save_mode));
    if (!set_up) {
        failure = "cannot set up " + std::string(sig.name) + ": " + mock->output();
        return nullptr;
    }
    return mock;
}

// The service announces that its state is now value (a boolean for the
// signals that carry one), as the desktop's own does: from the service.
bool report(const std::string& address, desktop_service s, int value)
{
    const service_signal sig = signal_of(s);
    if (s == desktop_service::mutter)  // the property's setter announces it
        return call_service(address, sig.name, sig.path, "org.freedesktop.DBus.Properties", "Set", "ssv", kMutter,
                            "PowerSaveMode", "i", static_cast<int32_t>(value));
    return emit_signal(address, sig.name, sig.path, sig.interface, sig.member, value != 0);
}

// The same announcement made by another client.
bool forge(const std::string& address, desktop_service s, int value)
{
    const service_signal sig = signal_of(s);
    return forge_signal(address, sig.path, sig.interface, sig.member, [&](sd_bus_message* m) {
        if (s == desktop_service::mutter)
            return sd_bus_message_append(m, "sa{sv}as", kMutter, 1, "PowerSaveMode", "i",
                                         static_cast<int32_t>(value), 0);
        return sd_bus_message_append(m, "b", value != 0);
    });
}

}  // namespace

TEST(DisplayState, DpmsLevelsAreStatesAndOnlyChangesAreSent)
{
    struct {
        bool enabled;
        int level;
        display_state state;
    } const levels[] = {{true, 0, display_on},  {true, 1, display_dimmed}, {true, 2, display_off},
                        {true, 3, display_off}, {false, 3, display_on}};
    for (const auto& l : levels)
        EXPECT_EQ(dpms_display_state(l.enabled, l.level), l.state) << l.enabled << " " << l.level;

    // The server's answers fed to the polling, as Xvfb has no DPMS.
    point_buses_nowhere();
    default_sources_at_end restore;
    struct fed {
        std::mutex lock;
        bool enabled = true;
        int level = 0;
    };
    auto dpms = std::make_shared<fed>();
    auto set = [&](bool enabled, int level) {
        std::lock_guard<std::mutex> guard(dpms->lock);
        dpms->enabled = enabled;
        dpms->level = level;
    };
    power_sources sources;
    sources.dpms = [dpms](bool& enabled, int& level) {
        std::lock_guard<std::mutex> guard(dpms->lock);
        enabled = dpms->enabled;
        level = dpms->level;
        return true;
    };
    sources.dpms_interval = 20ms;
    notify_set_power_sources(sources);

    power_window w;
    ASSERT_NE(w.handle, nullptr);
    ASSERT_TRUE(w.wait_for(1));  // the state at registration
    set(true, 1);
    ASSERT_TRUE(w.wait_for(2));
    set(true, 2);
    ASSERT_TRUE(w.wait_for(3));
    set(true, 3);  // off still
    pump_until([] { return false; }, 200ms);
    set(false, 3);
    ASSERT_TRUE(w.wait_for(4));
    EXPECT_EQ(w.seen(), (std::vector<int>{1, 2, 0, 1}));

    // A second registration gets the state once, the first nothing more.
    power_window late;
    ASSERT_TRUE(late.wait_for(1));
    pump_until([] { return false; }, 200ms);
    EXPECT_EQ(late.seen(), std::vector<int>{1});
    EXPECT_EQ(w.seen().size(), 4u);

    // A state injected by the virtual devices holds until the source changes.
    power_virtual_display(0);
    ASSERT_TRUE(late.wait_for(2));
    pump_until([] { return false; }, 200ms);
    EXPECT_EQ(late.seen(), (std::vector<int>{1, 0}));
}

TEST(DisplayState, XScreenSaverActivatedIsOffAndResetIsOn)
{
    x11_probe probe;
    Display* d = probe.display();
    ASSERT_NE(d, nullptr) << "these tests need an X display (tools/run-tests.sh)";
    point_buses_nowhere();
    default_sources_at_end restore;
    struct reset_at_end {
        Display* d;
        ~reset_at_end()
        {
            XForceScreenSaver(d, ScreenSaverReset);
            XSync(d, False);
        }
    } reset{d};

    power_window w;
    ASSERT_TRUE(w.wait_for(1));
    EXPECT_EQ(w.seen(), std::vector<int>{1});
    // What `xset s activate` and `xset s reset` do.
    XForceScreenSaver(d, ScreenSaverActive);
    XSync(d, False);
    ASSERT_TRUE(w.wait_for(2));
    XForceScreenSaver(d, ScreenSaverReset);
    XSync(d, False);
    ASSERT_TRUE(w.wait_for(3));
    EXPECT_EQ(w.seen(), (std::vector<int>{1, 0, 1}));
}

// What each desktop's session offers, and the source the power thread
// takes from it: the monitor's own power before a screen saver or lock
// screen, and a service that cannot tell is not a source.
TEST(DisplayState, EachDesktopGivesItsBestSource)
{
    if (python_with_dbusmock().empty())
        GTEST_SKIP() << "python3-dbusmock is not installed (tools/install-deps.sh)";
    constexpr int none = -100;
    struct {
        const char* desktop;
        bool x11;                    // the display's sources: Xvfb's are the screen saver extension, no DPMS
        int mutter;                  // Mutter's PowerSaveMode at the start, or none
        desktop_service screensaver; // what answers as org.freedesktop.ScreenSaver
        const char* source;          // the trace names it, or null for none
        int initial;                 // what the window is sent at registration, or none
        std::vector<std::pair<int, int>> changes;  // the source's report, and what the window is sent (or none)
    } const desktops[] = {
        {"GNOME on Wayland", false, 0, desktop_service::gnome_screensaver,
         "Mutter's PowerSaveMode (org.gnome.Mutter.DisplayConfig)", display_on,
         {{-1, none}, {1, display_dimmed}, {2, display_off}, {0, display_on}, {3, display_off}}},
        {"GNOME on Wayland, its Xwayland with the X screen saver", true, 0, desktop_service::gnome_screensaver,
         "Mutter's PowerSaveMode (org.gnome.Mutter.DisplayConfig)", display_on, {{3, display_off}}},
        {"GNOME without power saving", false, -1, desktop_service::gnome_screensaver, nullptr, none, {}},
        {"Plasma on Wayland", false, none, desktop_service::screensaver, "org.freedesktop.ScreenSaver", display_on,
         {{1, display_off}, {0, display_on}}},
    };
    std::mutex lock;
    std::vector<std::string> traced;
    debug_output_set_sink([&](const std::string& text) {
        std::lock_guard<std::mutex> guard(lock);
        if (text.find("display state") != std::string::npos)
            traced.push_back(text);
    });
    struct no_sink_at_end {
        ~no_sink_at_end() { debug_output_set_sink(nullptr); }
    } no_sink;
    auto display_traces = [&] {
        std::lock_guard<std::mutex> guard(lock);
        return traced;
    };

    for (const auto& c : desktops) {
        SCOPED_TRACE(c.desktop);
        private_bus session;
        ASSERT_FALSE(session.address().empty()) << "no private dbus-daemon";
        std::string failure;
        std::unique_ptr<dbus_mock_service> mutter;
        if (c.mutter != none) {
            mutter = start_service(session, desktop_service::mutter, failure, c.mutter);
            ASSERT_TRUE(mutter) << failure;
        }
        auto screensaver = start_service(session, c.screensaver, failure);
        ASSERT_TRUE(screensaver) << failure;
        point_buses_nowhere();
        setenv("DBUS_SESSION_BUS_ADDRESS", session.address().c_str(), 1);
        default_sources_at_end restore;
        power_sources sources;
        sources.x11 = c.x11;
        notify_set_power_sources(sources);
        {
            std::lock_guard<std::mutex> guard(lock);
            traced.clear();
        }

        power_window w;
        ASSERT_TRUE(pump_until([&] { return !display_traces().empty(); }));
        const std::string prefix = "RegisterPowerSettingNotification: ";
        if (c.source) {
            EXPECT_EQ(display_traces()[0], prefix + "the display state comes from " + c.source + "\n");
        } else {
            const std::string neither = display_traces()[0];
            EXPECT_EQ(neither.rfind(prefix + "neither ", 0), 0u) << neither;
            for (const char* name : {"DPMS", "org.gnome.Mutter.DisplayConfig", "the X screen saver",
                                     "org.freedesktop.ScreenSaver"})
                EXPECT_NE(neither.find(name), std::string::npos) << name << " is not named: " << neither;
        }

        std::vector<int> expected;
        if (c.initial != none) {
            expected.push_back(c.initial);
            ASSERT_TRUE(w.wait_for(expected.size()));
        }
        const desktop_service reporter = c.mutter >= 0 ? desktop_service::mutter : c.screensaver;
        for (const auto& [value, record] : c.changes) {
            ASSERT_TRUE(report(session.address(), reporter, value));
            if (record == none) {
                // Given the time to arrive, so that a wrong one would show.
                pump_until([] { return false; }, 300ms);
                continue;
            }
            expected.push_back(record);
            ASSERT_TRUE(w.wait_for(expected.size()));
        }
        pump_until([] { return false; }, 200ms);
        EXPECT_EQ(w.seen(), expected);
        EXPECT_EQ(display_traces().size(), 1u) << "the source is traced once";
    }
}

TEST(Resume, LogindWakingGoesToEveryTopLevelWindow)
{
    if (python_with_dbusmock().empty())
        GTEST_SKIP() << "python3-dbusmock is not installed (tools/install-deps.sh)";
    private_bus system;
    ASSERT_FALSE(system.address().empty()) << "no private dbus-daemon";
    dbus_mock_service logind(system, true, "org.freedesktop.login1", {"--template", "logind"});
    ASSERT_TRUE(logind.ready()) << logind.output();
    point_buses_nowhere();
    setenv("DBUS_SYSTEM_BUS_ADDRESS", system.address().c_str(), 1);
    default_sources_at_end restore;
    power_sources sources;
    sources.x11 = false;  // no display state: only the resumes are seen
    notify_set_power_sources(sources);

    power_window registered;
    power_window other(false);
    power_window child(false, other.hwnd);
    // The match is made on the power thread; a resume emitted before it
    // would be missed, so the first is repeated until it arrives.
    ASSERT_TRUE(pump_until(
        [&] {
            emit_signal(system.address(), "org.freedesktop.login1", "/org/freedesktop/login1",
                        "org.freedesktop.login1.Manager", "PrepareForSleep", false);
            return pump_until([&] { return !registered.seen().empty(); }, 300ms);
        },
        10s));
    g_power_seen.clear();
    // Going to sleep is not passed on; waking is, to both top-level windows.
    ASSERT_TRUE(emit_signal(system.address(), "org.freedesktop.login1", "/org/freedesktop/login1",
                            "org.freedesktop.login1.Manager", "PrepareForSleep", true));
    ASSERT_TRUE(emit_signal(system.address(), "org.freedesktop.login1", "/org/freedesktop/login1",
                            "org.freedesktop.login1.Manager", "PrepareForSleep", false));
    ASSERT_TRUE(pump_until([&] { return registered.seen().size() == 1 && other.seen().size() == 1; }));
    pump_until([] { return false; }, 200ms);
    EXPECT_EQ(registered.seen(), std::vector<int>{'R'});
    EXPECT_EQ(other.seen(), std::vector<int>{'R'});
    EXPECT_TRUE(child.seen().empty());

    // The virtual devices' resume takes the same way.
    power_virtual_resume();
    EXPECT_TRUE(pump_until([&] { return registered.seen().size() == 2 && other.seen().size() == 2; }));
}

// Only the service may speak for itself: signals of the same shape from
// any other client, even addressed to the viewer, are dropped, and whoever
// owns the service's name next is believed.
TEST(PowerNotifications, SignalsCountOnlyFromTheServicesCurrentOwner)
{
    if (python_with_dbusmock().empty())
        GTEST_SKIP() << "python3-dbusmock is not installed (tools/install-deps.sh)";
    struct {
        desktop_service service;
        const char* name;
        int forged;  // also what the service then sends, and
        int record;  // what that gives the window
        int after_restart;
        int record_after_restart;
    } const cases[] = {
        {desktop_service::logind, "PrepareForSleep", 0, 'R', 0, 'R'},
        {desktop_service::screensaver, "ActiveChanged", 1, display_off, 0, display_on},
        {desktop_service::mutter, "PowerSaveMode", 3, display_off, 0, display_on},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const bool system = signal_of(c.service).system;
        private_bus bus;
        ASSERT_FALSE(bus.address().empty()) << "no private dbus-daemon";
        std::string failure;
        auto service = start_service(bus, c.service, failure);
        ASSERT_TRUE(service) << failure;
        point_buses_nowhere();
        setenv(system ? "DBUS_SYSTEM_BUS_ADDRESS" : "DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
        default_sources_at_end restore;
        power_sources sources;
        sources.x11 = false;
        notify_set_power_sources(sources);

        power_window w;
        // The watcher is listening once the first record came: the display
        // state the service gives, or a resume logind sent.
        ASSERT_TRUE(pump_until(
            [&] {
                report(bus.address(), c.service, 0);
                return pump_until([&] { return !w.seen().empty(); }, 300ms);
            },
            10s));
        g_power_seen.clear();

        ASSERT_TRUE(forge(bus.address(), c.service, c.forged));
        pump_until([] { return false; }, 500ms);
        EXPECT_TRUE(w.seen().empty());
        ASSERT_TRUE(report(bus.address(), c.service, c.forged));
        ASSERT_TRUE(w.wait_for(1, 10s));

        service.reset();
        service = start_service(bus, c.service, failure);
        ASSERT_TRUE(service) << failure;
        ASSERT_TRUE(report(bus.address(), c.service, c.after_restart));
        ASSERT_TRUE(w.wait_for(2, 10s));
        pump_until([] { return false; }, 200ms);
        EXPECT_EQ(w.seen(), (std::vector<int>{c.record, c.record_after_restart}));
    }
}

// A window that holds each record (a display coming on, a resume) must not
// be sent a backlog: of what waits, only the newest state and one resume.
// A later registration is sent the state it finds.
TEST(PowerNotifications, ABurstDeliversTheNewestStateAndOneResume)
{
    point_buses_nowhere();
    default_sources_at_end restore;
    power_sources sources;
    sources.x11 = false;
    notify_set_power_sources(sources);
    power_window w;
    // Nothing is pumped while the burst is injected, so the power thread
    // waits on its first record throughout.
    for (int i = 0; i < 100; ++i) {
        power_virtual_display(i % 2 ? display_on : display_off);
        power_virtual_resume();
    }
    power_virtual_display(display_dimmed);
    ASSERT_TRUE(pump_until([&] { return !w.seen().empty() && w.seen().back() == display_dimmed; }, 10s));
    pump_until([] { return false; }, 300ms);
    const std::vector<int> seen = w.seen();
    EXPECT_LE(seen.size(), 3u) << testing::PrintToString(seen);
    EXPECT_NE(std::find(seen.begin(), seen.end(), 'R'), seen.end());

    // A window registering now hears the state, though nothing changes and
    // no source wakes the power thread.
    power_window late;
    ASSERT_TRUE(late.wait_for(1)) << "the display's state never reached a later registration";
    EXPECT_EQ(late.seen(), std::vector<int>{display_dimmed});
}

TEST(PowerNotifications, WithoutBusesOrExtensionsRegistrationWorksAndNothingComes)
{
    // A system bus that takes the connection and never answers, no session bus.
    mute_bus silent;
    ASSERT_FALSE(silent.address().empty());
    point_buses_nowhere();
    setenv("DBUS_SYSTEM_BUS_ADDRESS", silent.address().c_str(), 1);
    default_sources_at_end restore;
    power_sources sources;
    sources.x11 = false;
    notify_set_power_sources(sources);

    {
        const auto start = std::chrono::steady_clock::now();
        power_window w;
        EXPECT_NE(w.handle, nullptr);
        // The buses are the power thread's to wait for, not the caller's.
        EXPECT_LT(std::chrono::steady_clock::now() - start, kHangTimeout) << "registration waited for the silent bus";
        pump_until([] { return false; }, 1500ms);
        EXPECT_TRUE(w.seen().empty());
    }

    // Refused: no window, a window that is not one, other settings and flags.
    power_window w(false);
    const GUID other = {0x02731015, 0x4510, 0x4526, {0x99, 0xE6, 0xE5, 0xA1, 0x7E, 0xBD, 0x1A, 0xEA}};
    struct {
        HANDLE recipient;
        const GUID* setting;
        DWORD flags;
    } const refused[] = {{nullptr, &GUID_CONSOLE_DISPLAY_STATE, DEVICE_NOTIFY_WINDOW_HANDLE},
                         {reinterpret_cast<HANDLE>(0x7fff0001), &GUID_CONSOLE_DISPLAY_STATE, 0},
                         {w.hwnd, nullptr, 0},
                         {w.hwnd, &other, 0},
                         {w.hwnd, &GUID_CONSOLE_DISPLAY_STATE, 1}};
    for (const auto& r : refused) {
        SetLastError(0);
        EXPECT_EQ(RegisterPowerSettingNotification(r.recipient, r.setting, r.flags), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_FALSE(UnregisterPowerSettingNotification(reinterpret_cast<HPOWERNOTIFY>(0x1234)));
}

// The power thread uses Xlib and sd-bus, whose globals go as the process
// ends: a process that unregisters and exits at once waits for the thread.
TEST(PowerNotifications, TheProcessEndsOnlyAfterThePowerThread)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            point_buses_nowhere();
            power_sources sources;
            sources.dpms = [](bool& enabled, int& level) {
                std::this_thread::sleep_for(300ms);
                std::fputs("DPMS answered\n", stderr);
                enabled = true;
                level = 0;
                return true;
            };
            notify_set_power_sources(sources);
            { power_window w; }
            std::exit(0);
        },
        testing::ExitedWithCode(0), "DPMS answered");
}
