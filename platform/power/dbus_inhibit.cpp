// Inhibits on the session bus (org.freedesktop.ScreenSaver) and the system
// bus (logind), over sd-bus.
#include "power_internal.h"

#include "../dbus/dbus_connection.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

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
