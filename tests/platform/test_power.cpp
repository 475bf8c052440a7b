// Keeping the display and the system awake: what the X server, the
// session's screen saver service and logind see of SetThreadExecutionState.
#include <windows.h>

#include <gtest/gtest.h>

#include "../../platform/kernel/debug_output.h"
#include "dbus_services.h"
#include "x11_probe.h"

#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
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
    EXPECT_EQ(held[0].what, "idle:sleep");
    EXPECT_EQ(held[0].who, "Vistamo");
    EXPECT_EQ(held[0].mode, "block");

    EXPECT_EQ(SetThreadExecutionState(ES_CONTINUOUS), kFullScreen);
    EXPECT_EQ(screensaver_inhibits(session.address()), 0);
    // logind sees the lock's descriptor close.
    EXPECT_TRUE(x11_probe::wait_until([&] { return logind_inhibitors(system.address()).empty(); }, 5000ms));
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
    EXPECT_TRUE(x11_probe::wait_until(saver_on, 6000ms)) << "the screen saver did not start after release";
}
