// RegisterDeviceNotificationW over a libudev monitor. One notification
// thread per run of registrations reads the monitor (and the injected
// events) and sends each record to the registered windows, waiting each
// time until the window's thread has handled it, as SendMessageW does.
#include "notify_internal.h"
#include "notify_thread.h"
#include "../kernel/text_utf8.h"

#include <windows.h>

#include <dirent.h>
#include <libudev.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <future>
#include <memory>
#include <mutex>

namespace {

using clock_type = std::chrono::steady_clock;

// How long a sound card's arrival waits for the video node of its USB
// device: the capture device search on that arrival looks for the node.
constexpr auto video_wait = std::chrono::seconds(2);

struct registration {
    HWND hwnd;
    bool all_classes;
    GUID class_guid;
};

struct udev_like_event {
    std::string action;
    udev_props props;
};

struct held_arrival {
    std::vector<interface_name> names;
    std::string usb_devpath;
    clock_type::time_point deadline;
};

// One notification thread's state. The thread owns everything but the
// mailbox.
struct notifier : notify_mailbox<udev_like_event> {
    notifier() : notify_mailbox("RegisterDeviceNotificationW") {}

    udev* udev_ctx = nullptr;
    udev_monitor* monitor = nullptr;

    // Names given at arrival, by devpath: a removal event carries too little
    // to build them again.
    std::map<std::string, std::vector<interface_name>> arrived;
    std::vector<held_arrival> held;
    std::vector<std::string> videos;  // video4linux devpaths seen arriving

    ~notifier()
    {
        if (monitor)
            udev_monitor_unref(monitor);
        if (udev_ctx)
            udev_unref(udev_ctx);
    }
};

auto& g = *new notify_registry<registration, notifier>;
std::atomic<bool> g_udev_traced{false};

void trace_udev_once(const char* what)
{
    if (!g_udev_traced.exchange(true))
        OutputDebugStringA((std::string("RegisterDeviceNotificationW: ") + what +
                            "; device arrivals and removals will not be reported\n")
                               .c_str());
}

bool same_guid(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

void deliver(UINT event, const std::vector<interface_name>& names)
{
    for (const interface_name& name : names) {
        std::wstring wide = wide_from_utf8(name.name);
        const size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (wide.size() + 1) * sizeof(WCHAR);
        std::unique_ptr<unsigned char[]> buffer(new unsigned char[size]());
        auto* record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(buffer.get());
        record->dbcc_size = static_cast<DWORD>(size);
        record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        record->dbcc_classguid = name.class_guid;
        std::memcpy(record->dbcc_name, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));

        std::vector<std::pair<uintptr_t, HWND>> targets;
        {
            std::lock_guard<std::mutex> guard(g.lock);
            for (const auto& [id, reg] : g.registrations)
                if (reg.all_classes || same_guid(reg.class_guid, name.class_guid))
                    targets.emplace_back(id, reg.hwnd);
        }
        for (const auto& [id, hwnd] : targets) {
            if (g.registered(id) && IsWindow(hwnd))
                SendMessageW(hwnd, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(record));
        }
    }
}

bool under(const std::string& devpath, const std::string& parent)
{
    return !parent.empty() && devpath.size() > parent.size() && devpath.compare(0, parent.size(), parent) == 0 &&
           devpath[parent.size()] == '/';
}

void release_held(notifier& n, const std::string& video_devpath, bool all, clock_type::time_point now)
{
    // Taken out first: a delivery may take long and the list must not change
    // under it.
    std::vector<held_arrival> due;
    for (auto it = n.held.begin(); it != n.held.end();) {
        if (all || under(video_devpath, it->usb_devpath) || it->deadline <= now) {
            due.push_back(std::move(*it));
            it = n.held.erase(it);
        } else {
            ++it;
        }
    }
    for (const held_arrival& h : due)
        deliver(DBT_DEVICEARRIVAL, h.names);
}

void handle_event(notifier& n, const udev_like_event& e)
{
    auto prop = [&](const char* key) {
        auto it = e.props.find(key);
        return it == e.props.end() ? std::string() : it->second;
    };
    const std::string devpath = prop("DEVPATH");
    if (e.action == "remove") {
        // Arrivals first, whatever they wait for: a removal never overtakes.
        release_held(n, {}, true, clock_type::now());
        std::vector<interface_name> names;
        auto it = n.arrived.find(devpath);
        if (it != n.arrived.end()) {
            names = std::move(it->second);
            n.arrived.erase(it);
        } else {
            names = notify_interface_names(e.props);
        }
        for (auto v = n.videos.begin(); v != n.videos.end();)
            v = (*v == devpath || under(*v, devpath)) ? n.videos.erase(v) : v + 1;
        deliver(DBT_DEVICEREMOVECOMPLETE, names);
        return;
    }
    if (e.action != "add")
        return;
    std::vector<interface_name> names = notify_interface_names(e.props);
    if (names.empty())
        return;
    n.arrived[devpath] = names;
    const std::string usb = prop(".USB_DEVPATH");
    if (prop(".AWAIT_VIDEO") == "1" && !usb.empty()) {
        bool seen = false;
        for (const std::string& v : n.videos)
            seen = seen || under(v, usb);
        if (!seen) {
            n.held.push_back({std::move(names), usb, clock_type::now() + video_wait});
            return;
        }
    }
    deliver(DBT_DEVICEARRIVAL, names);
    if (prop("SUBSYSTEM") == "video4linux") {
        n.videos.push_back(devpath);
        release_held(n, devpath, false, clock_type::now());
    }
}

std::string read_attr(const std::string& path)
{
    std::string value;
    if (FILE* f = std::fopen(path.c_str(), "r")) {
        char buf[64] = {};
        if (std::fgets(buf, sizeof buf, f))
            value = buf;
        std::fclose(f);
    }
    while (!value.empty() && (value.back() == '\n' || value.back() == ' '))
        value.pop_back();
    return value;
}

std::vector<std::string> dir_entries(const std::string& path)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* ent = readdir(d))
            if (ent->d_name[0] != '.')
                names.emplace_back(ent->d_name);
        closedir(d);
    }
    return names;
}

// A sound card's facts the names and the hold need, read from sysfs while
// the card is there.
void add_sound_facts(udev_device* dev, udev_props& props)
{
    udev_device* card = udev_device_get_parent(dev);
    if (card) {
        if (!props.count("ID_PATH"))
            if (const char* path = udev_device_get_property_value(card, "ID_PATH"))
                props["ID_PATH"] = path;
        if (const char* syspath = udev_device_get_syspath(card))
            for (const std::string& entry : dir_entries(syspath))
                if (entry.compare(0, 4, "pcmC") == 0 && entry.size() > 4)
                    props[entry.back() == 'c' ? ".PCM_CAPTURE" : ".PCM_PLAYBACK"] = "1";
    }
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(dev, "usb", "usb_device");
    if (!usb || !udev_device_get_devpath(usb) || !udev_device_get_syspath(usb))
        return;
    props[".USB_DEVPATH"] = udev_device_get_devpath(usb);
    const std::string usb_sys = udev_device_get_syspath(usb);
    bool video_interface = false, video_node = false;
    for (const std::string& intf : dir_entries(usb_sys)) {
        if (intf.find(':') == std::string::npos)
            continue;
        if (read_attr(usb_sys + "/" + intf + "/bInterfaceClass") == "0e")
            video_interface = true;
        for (const std::string& node : dir_entries(usb_sys + "/" + intf + "/video4linux"))
            if (access(("/dev/" + node).c_str(), F_OK) == 0)
                video_node = true;
    }
    if (video_interface && !video_node)
        props[".AWAIT_VIDEO"] = "1";
}

udev_like_event event_from_udev(udev_device* dev)
{
    udev_like_event e;
    if (const char* action = udev_device_get_action(dev))
        e.action = action;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_device_get_properties_list_entry(dev))
    {
        const char* value = udev_list_entry_get_value(entry);
        e.props[udev_list_entry_get_name(entry)] = value ? value : "";
    }
    if (e.action != "add")
        return e;
    const char* subsystem = udev_device_get_subsystem(dev);
    const char* devtype = udev_device_get_devtype(dev);
    if (subsystem && devtype && !std::strcmp(subsystem, "usb") && !std::strcmp(devtype, "usb_device")) {
        for (const char* attr : {"idVendor", "idProduct"})
            if (const char* value = udev_device_get_sysattr_value(dev, attr))
                e.props[std::string("ATTR{") + attr + "}"] = value;
    } else if (subsystem && !std::strcmp(subsystem, "sound")) {
        add_sound_facts(dev, e.props);
    }
    return e;
}

void notification_thread(std::shared_ptr<notifier> n)
{
    for (;;) {
        int timeout = -1;
        if (!n->held.empty()) {
            auto first = n->held.front().deadline;
            for (const held_arrival& h : n->held)
                first = std::min(first, h.deadline);
            auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(first - clock_type::now()).count();
            timeout = static_cast<int>(std::max<long long>(0, wait + 1));
        }
        pollfd fds[2] = {{n->wakeup.fd(), POLLIN, 0}, {n->monitor ? udev_monitor_get_fd(n->monitor) : -1, POLLIN, 0}};
        int r = poll(fds, n->monitor ? 2 : 1, timeout);
        if (r < 0 && errno != EINTR) {
            OutputDebugStringA("RegisterDeviceNotificationW: poll failed; notifications stop\n");
            return;
        }
        std::deque<udev_like_event> injected;
        if (!n->take(r > 0 && (fds[0].revents & POLLIN), injected))
            return;
        for (const udev_like_event& e : injected)
            handle_event(*n, e);
        if (r > 0 && n->monitor && (fds[1].revents & POLLIN)) {
            while (udev_device* dev = udev_monitor_receive_device(n->monitor)) {
                udev_like_event e = event_from_udev(dev);
                udev_device_unref(dev);
                handle_event(*n, e);
            }
        }
        if (!n->held.empty())
            release_held(*n, {}, false, clock_type::now());
    }
}

// Opens the udev monitor. On the notification thread: libudev objects, and
// some of libudev's lazily set up globals, are not for use from several
// threads.
void open_monitor(notifier& n)
{
    n.udev_ctx = udev_new();
    if (!n.udev_ctx) {
        trace_udev_once("no udev");
        return;
    }
    n.monitor = udev_monitor_new_from_netlink(n.udev_ctx, "udev");
    if (!n.monitor) {
        trace_udev_once("no udev monitor");
    } else if (udev_monitor_enable_receiving(n.monitor) < 0) {
        trace_udev_once("the udev monitor cannot receive");
        udev_monitor_unref(n.monitor);
        n.monitor = nullptr;
    }
}

// Called with g.lock held. Returns once the monitor listens, so that a
// device appearing after the registration is reported.
void start_notifier()
{
    auto n = std::make_shared<notifier>();
    if (!n->wakeup.ok())
        return;
    auto listening = std::make_shared<std::promise<void>>();
    std::future<void> ready = listening->get_future();
    const bool started = notify_start_thread(
        [n, listening] {
            open_monitor(*n);
            listening->set_value();
            notification_thread(n);
        },
        [n] { n->request_stop(); });
    if (!started) {
        OutputDebugStringA("RegisterDeviceNotificationW: cannot start the notification thread\n");
        return;
    }
    ready.wait();
    g.running = std::move(n);
}

}  // namespace

HDEVNOTIFY RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags)
{
    auto* hwnd = static_cast<HWND>(recipient);
    auto* header = static_cast<const DEV_BROADCAST_HDR*>(filter);
    if (!hwnd || !IsWindow(hwnd) || (flags & ~DWORD{DEVICE_NOTIFY_ALL_INTERFACE_CLASSES}) || !header ||
        header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
        header->dbch_size < offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name)) {
        OutputDebugStringA("RegisterDeviceNotificationW: only windows and device interface filters are supported\n");
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    registration reg{hwnd, (flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0,
                     static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(filter)->dbcc_classguid};
    std::lock_guard<std::mutex> guard(g.lock);
    if (!g.running)
        start_notifier();
    uintptr_t id = g.next_id++;
    g.registrations[id] = reg;
    return reinterpret_cast<HDEVNOTIFY>(id);
}

BOOL UnregisterDeviceNotification(HDEVNOTIFY handle)
{
    if (!g.remove(reinterpret_cast<uintptr_t>(handle))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

void notify_inject_udev_like(const std::string& action, const udev_props& props)
{
    std::shared_ptr<notifier> n;
    {
        std::lock_guard<std::mutex> guard(g.lock);
        n = g.running;
    }
    if (!n)
        return;
    n->post({action, props});
}
