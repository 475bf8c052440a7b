// Inhibits on the session bus (org.freedesktop.ScreenSaver) and the system
// bus (logind), over sd-bus.
#include "power_internal.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

uint64_t now_usec()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

std::string bus_address(bool system)
{
    const char* env = std::getenv(system ? "DBUS_SYSTEM_BUS_ADDRESS" : "DBUS_SESSION_BUS_ADDRESS");
    if (env && *env)
        return env;
    if (system)
        return "unix:path=/run/dbus/system_bus_socket";
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime)
        return {};
    return std::string("unix:path=") + runtime + "/bus";
}

}  // namespace

std::string dbus_describe(int r, const sd_bus_error* e)
{
    if (e && sd_bus_error_is_set(e))
        return std::string(e->name ? e->name : "") + (e->message ? std::string(": ") + e->message : std::string());
    return std::strerror(r < 0 ? -r : r);
}

sd_bus* dbus_connect(bool system, std::string& error)
{
    std::string address = bus_address(system);
    if (address.empty()) {
        error = "no session bus address";
        return nullptr;
    }
    sd_bus* bus = nullptr;
    int r = sd_bus_new(&bus);
    if (r < 0) {
        error = dbus_describe(r, nullptr);
        return nullptr;
    }
    if ((r = sd_bus_set_address(bus, address.c_str())) < 0 || (r = sd_bus_set_bus_client(bus, 1)) < 0 ||
        (r = sd_bus_negotiate_fds(bus, 1)) < 0 ||
        (r = sd_bus_set_method_call_timeout(bus, dbus_call_timeout_usec)) < 0 || (r = sd_bus_start(bus)) < 0) {
        error = address + ": " + dbus_describe(r, nullptr);
        sd_bus_close_unref(bus);
        return nullptr;
    }
    const uint64_t deadline = now_usec() + dbus_call_timeout_usec;
    while ((r = sd_bus_is_ready(bus)) == 0) {
        r = sd_bus_process(bus, nullptr);
        if (r < 0)
            break;
        if (r > 0)
            continue;
        const uint64_t now = now_usec();
        if (now >= deadline) {
            r = -ETIMEDOUT;
            break;
        }
        r = sd_bus_wait(bus, deadline - now);
        if (r < 0)
            break;
    }
    if (r < 0) {
        error = address + ": " + dbus_describe(r, nullptr);
        sd_bus_close_unref(bus);
        return nullptr;
    }
    return bus;
}

namespace {

bool is_missing_object(const sd_bus_error& e)
{
    return sd_bus_error_has_name(&e, SD_BUS_ERROR_UNKNOWN_OBJECT) ||
           sd_bus_error_has_name(&e, SD_BUS_ERROR_UNKNOWN_METHOD) ||
           sd_bus_error_has_name(&e, SD_BUS_ERROR_UNKNOWN_INTERFACE);
}

}  // namespace

bool dbus_screensaver_inhibit(dbus_screensaver_hold& hold, const char* app, const char* reason, std::string& error)
{
    sd_bus* bus = dbus_connect(false, error);
    if (!bus)
        return false;
    // GNOME serves the interface at the first path; KDE and others at the
    // second as well, and some only there.
    static const char* const paths[] = {"/org/freedesktop/ScreenSaver", "/ScreenSaver"};
    for (const char* path : paths) {
        sd_bus_error e = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        int r = sd_bus_call_method(bus, "org.freedesktop.ScreenSaver", path, "org.freedesktop.ScreenSaver", "Inhibit",
                                   &e, &reply, "ss", app, reason);
        uint32_t cookie = 0;
        if (r >= 0)
            r = sd_bus_message_read(reply, "u", &cookie);
        sd_bus_message_unref(reply);
        if (r >= 0) {
            sd_bus_error_free(&e);
            hold.bus = bus;
            hold.cookie = cookie;
            hold.path = path;
            return true;
        }
        error = "org.freedesktop.ScreenSaver " + std::string(path) + ": " + dbus_describe(r, &e);
        const bool try_next = is_missing_object(e);
        sd_bus_error_free(&e);
        if (!try_next)
            break;
    }
    sd_bus_close_unref(bus);
    return false;
}

void dbus_screensaver_uninhibit(dbus_screensaver_hold& hold)
{
    if (!hold.bus)
        return;
    // Waits for the reply (bounded) so that the request has reached the
    // service before the connection closes; a service that misses it still
    // drops the inhibit with the connection.
    sd_bus_error e = SD_BUS_ERROR_NULL;
    sd_bus_call_method(hold.bus, "org.freedesktop.ScreenSaver", hold.path, "org.freedesktop.ScreenSaver",
                       "UnInhibit", &e, nullptr, "u", hold.cookie);
    sd_bus_error_free(&e);
    sd_bus_close_unref(hold.bus);
    hold = dbus_screensaver_hold{};
}

int dbus_logind_inhibit(const char* what, const char* who, const char* why, std::string& error)
{
    sd_bus* bus = dbus_connect(true, error);
    if (!bus)
        return -1;
    sd_bus_error e = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                               "org.freedesktop.login1.Manager", "Inhibit", &e, &reply, "ssss", what, who, why,
                               "block");
    int fd = -1;
    if (r >= 0)
        r = sd_bus_message_read(reply, "h", &fd);
    int lock = -1;
    if (r >= 0) {
        // The message owns the descriptor it carries. Close-on-exec, so
        // that a program started meanwhile does not keep the lock.
        lock = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        if (lock < 0)
            r = -errno;
    }
    if (r < 0)
        error = "logind Inhibit: " + dbus_describe(r, &e);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&e);
    sd_bus_close_unref(bus);
    return lock;
}
