// Private D-Bus daemons and mock services (python3-dbusmock) for tests, so
// that the layer's real bus client code runs against a known service.
// Everything started here stops with its object.
#pragma once

#include "process.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

typedef struct sd_bus sd_bus;

// A dbus-daemon of the test's own, listening in a fresh directory. Serves
// as a session or a system bus alike: the services decide which they
// believe it is from the variable they are given.
class private_bus {
public:
    private_bus();  // address() is empty if the daemon did not come up
    ~private_bus();
    private_bus(const private_bus&) = delete;
    private_bus& operator=(const private_bus&) = delete;

    const std::string& address() const { return m_address; }

private:
    std::string m_dir;
    std::string m_address;
    std::unique_ptr<child_process> m_daemon;
};

// A python3 that can import dbusmock, or "" when python3-dbusmock is missing.
std::string python_with_dbusmock();

// python3 -m dbusmock with args, on bus as the system bus (system) or the
// session bus; ready() once it owns name.
class dbus_mock_service {
public:
    dbus_mock_service(const private_bus& bus, bool system, const std::string& name,
                      const std::vector<std::string>& args);
    bool ready() const { return m_ready; }
    std::string output() { return m_process ? m_process->stderr_text() : std::string(); }

private:
    std::unique_ptr<child_process> m_process;
    bool m_ready = false;
};

// A client connection to the bus at address, for a test to look at the
// services; nullptr if it cannot connect. Free with sd_bus_flush_close_unref.
sd_bus* dbus_test_connect(const std::string& address);

// A listening socket that never answers, for a bus that hangs; its address.
class mute_bus {
public:
    mute_bus();
    ~mute_bus();
    mute_bus(const mute_bus&) = delete;
    mute_bus& operator=(const mute_bus&) = delete;
    const std::string& address() const { return m_address; }

private:
    int m_fd = -1;
    std::string m_dir;
    std::string m_address;
};

// Where the test's own sources lie (for mock templates).
std::string test_support_dir();
