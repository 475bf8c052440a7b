// Client connections to the system and session buses (layer-internal),
// over sd-bus, for the parts of the layer that talk to desktop services.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <string>

// The longest any method call, and the connection itself, may take: a
// service that does not answer must not hold its caller.
constexpr uint64_t dbus_call_timeout_usec = 1000000;

// A client connection to the system or the session bus, ready for calls
// (method calls time out after dbus_call_timeout_usec); nullptr and the
// reason in error if there is none. sd-bus would otherwise wait for the
// authentication and the Hello reply with its own, far longer, timeouts: a
// bus that accepts the connection and never answers would hold the caller
// for tens of seconds. The connection belongs to the caller's thread.
sd_bus* dbus_connect(bool system, std::string& error);
// What a failed sd-bus call says: the error's name and message, else errno's text.
std::string dbus_describe(int r, const sd_bus_error* e);
// CLOCK_MONOTONIC in microseconds, the clock of sd-bus's timeouts.
uint64_t dbus_now_usec();
