// sd-bus client connections with short, bounded timeouts.
#include "dbus_connection.h"

#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

uint64_t dbus_now_usec()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

namespace {

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
    const uint64_t deadline = dbus_now_usec() + dbus_call_timeout_usec;
    while ((r = sd_bus_is_ready(bus)) == 0) {
        r = sd_bus_process(bus, nullptr);
        if (r < 0)
            break;
        if (r > 0)
            continue;
        const uint64_t now = dbus_now_usec();
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

