#include "dbus_services.h"
#include "hang_timeout.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;

std::string make_temp_dir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "vistamo-bus-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        return {};
    return pattern;
}

bool name_has_owner(const std::string& address, const std::string& name)
{
    sd_bus* bus = dbus_test_connect(address);
    if (!bus)
        return false;
    sd_bus_message* reply = nullptr;
    int owned = 0;
    int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "NameHasOwner", nullptr, &reply, "s", name.c_str());
    if (r >= 0 && sd_bus_message_read(reply, "b", &owned) < 0)
        owned = 0;
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return owned != 0;
}

bool poll_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

}  // namespace

std::string test_support_dir() { return VISTAMO_TEST_SUPPORT_DIR; }

private_bus::private_bus()
{
    m_dir = make_temp_dir();
    if (m_dir.empty() || ::access("/usr/bin/dbus-daemon", X_OK) != 0)
        return;
    const std::string address = "unix:path=" + m_dir + "/bus";
    m_daemon = std::make_unique<child_process>(
        "/usr/bin/dbus-daemon",
        std::vector<std::string>{"--session", "--nofork", "--nopidfile", "--nosyslog", "--address=" + address});
    // Up once it answers.
    if (poll_until([&] { return m_daemon->running() && name_has_owner(address, "org.freedesktop.DBus"); }, 10s))
        m_address = address;
}

private_bus::~private_bus()
{
    m_daemon.reset();
    if (!m_dir.empty())
        std::filesystem::remove_all(m_dir);
}

std::string python_with_dbusmock()
{
    std::vector<std::string> candidates{"/usr/bin/python3", "/usr/local/bin/python3"};
    if (const char* path = std::getenv("PATH")) {
        std::stringstream dirs(path);
        std::string dir;
        while (std::getline(dirs, dir, ':'))
            if (!dir.empty())
                candidates.push_back(dir + "/python3");
    }
    for (const auto& python : candidates) {
        if (::access(python.c_str(), X_OK) != 0)
            continue;
        child_process probe(python, {"-c", "import dbusmock"});
        if (probe.wait(20s) && probe.exit_status() == 0)
            return python;
    }
    return {};
}

dbus_mock_service::dbus_mock_service(const private_bus& bus, bool system, const std::string& name,
                                     const std::vector<std::string>& args)
{
    std::string python = python_with_dbusmock();
    if (python.empty() || bus.address().empty())
        return;
    // Its call log would otherwise go to the test's output.
    std::vector<std::string> argv{"-m", "dbusmock", system ? "--system" : "--session", "--logfile", "/dev/null"};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string variable = system ? "DBUS_SYSTEM_BUS_ADDRESS=" : "DBUS_SESSION_BUS_ADDRESS=";
    m_process = std::make_unique<child_process>(python, argv, std::vector<std::string>{variable + bus.address()});
    m_ready = poll_until([&] { return m_process->running() && name_has_owner(bus.address(), name); }, 20s);
}

sd_bus* dbus_test_connect(const std::string& address)
{
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0)
        return nullptr;
    if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_set_method_call_timeout(bus, std::chrono::microseconds(kHangTimeout).count()) < 0 ||
        sd_bus_start(bus) < 0) {
        sd_bus_close_unref(bus);
        return nullptr;
    }
    return bus;
}

mute_bus::mute_bus()
{
    m_dir = make_temp_dir();
    if (m_dir.empty())
        return;
    const std::string path = m_dir + "/bus";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(m_fd, 8) != 0)
        return;
    m_address = "unix:path=" + path;
}

mute_bus::~mute_bus()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_dir.empty())
        std::filesystem::remove_all(m_dir);
}
