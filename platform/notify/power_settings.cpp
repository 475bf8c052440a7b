// RegisterPowerSettingNotification and the resume notification. One
// watcher thread per run of registrations waits on the display's source
// (the X server's, see display_state.h, or a session bus service), on
// logind and on injected events, and sends each record to the windows,
// waiting each time until the window's thread has handled it, as
// SendMessageW does.
#include "display_state.h"
#include "notify_thread.h"
#include "../dbus/dbus_connection.h"

#include <windows.h>

#include <poll.h>
#include <systemd/sd-bus.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct power_event {
    bool resume = false;
    display_state state = display_on;
};

// What the watcher thread shares with the others.
struct watcher : notify_mailbox<power_event> {
    watcher() : notify_mailbox("RegisterPowerSettingNotification") {}
};

struct registration {
    HWND hwnd;
    bool initial_sent;  // the state at the time has gone out once
};

auto& g = *new notify_registry<registration, watcher>;

std::atomic<bool> g_resume_traced{false};

void trace_once(std::atomic<bool>& done, const std::string& text)
{
    if (!done.exchange(true))
        OutputDebugStringA(("RegisterPowerSettingNotification: " + text + "\n").c_str());
}

// A bus connection of the watcher thread, the service whose signals it
// takes and the events its signal handlers have seen since they were last
// taken.
//
// Any client may send a signal addressed to us, naming any path and
// interface: the bus only sets its sender to the client's unique name. A
// signal counts only if it comes from the unique name that owns the
// service's well-known name now, as the bus daemon reports it.
struct bus_watch {
    sd_bus* bus = nullptr;
    sd_bus_slot* slot = nullptr;
    sd_bus_slot* owner_slot = nullptr;
    const char* service = nullptr;
    std::string owner;  // empty while nobody owns the service's name
    std::vector<power_event> seen;

    ~bus_watch() { close(); }
    // Drops the service's signals, keeping the connection for another.
    void forget()
    {
        slot = sd_bus_slot_unref(slot);
        owner_slot = sd_bus_slot_unref(owner_slot);
        owner.clear();
    }
    void close()
    {
        forget();
        if (bus)
            sd_bus_flush_close_unref(bus);
        bus = nullptr;
    }
    // Runs what came in; false once the connection is lost.
    bool process()
    {
        int r;
        while ((r = sd_bus_process(bus, nullptr)) > 0) {
        }
        return r >= 0;
    }
    bool from_service(sd_bus_message* m) const
    {
        const char* sender = sd_bus_message_get_sender(m);
        return sender && !owner.empty() && owner == sender;
    }
};

int on_name_owner_changed(sd_bus_message* m, void* userdata, sd_bus_error*)
{
    auto& w = *static_cast<bus_watch*>(userdata);
    const char* sender = sd_bus_message_get_sender(m);
    const char *name = nullptr, *old_owner = nullptr, *new_owner = nullptr;
    if (sender && std::strcmp(sender, "org.freedesktop.DBus") == 0 &&
        sd_bus_message_read(m, "sss", &name, &old_owner, &new_owner) >= 0 && std::strcmp(name, w.service) == 0)
        w.owner = new_owner;
    return 0;
}

// Follows who owns service from now on (the match first, so that no change
// falls between it and the question). false and the reason in error if the
// bus will not say.
bool follow_owner(bus_watch& w, const char* service, std::string& error)
{
    w.service = service;
    const std::string rule = std::string("type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
                                         "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='") +
                             service + "'";
    int r = sd_bus_add_match(w.bus, &w.owner_slot, rule.c_str(), on_name_owner_changed, &w);
    sd_bus_error e = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    if (r >= 0) {
        r = sd_bus_call_method(w.bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "GetNameOwner", &e, &reply, "s", service);
        const char* owner = nullptr;
        if (r >= 0 && sd_bus_message_read(reply, "s", &owner) >= 0)
            w.owner = owner;
        else if (sd_bus_error_has_name(&e, "org.freedesktop.DBus.Error.NameHasNoOwner"))
            r = 0;  // not running now; its start comes as NameOwnerChanged
        else if (r >= 0)
            r = -EBADMSG;
    }
    if (r < 0)
        error = dbus_describe(r, &e);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&e);
    return r >= 0;
}

int on_prepare_for_sleep(sd_bus_message* m, void* userdata, sd_bus_error*)
{
    auto& w = *static_cast<bus_watch*>(userdata);
    int sleeping = 0;
    if (w.from_service(m) && sd_bus_message_read(m, "b", &sleeping) >= 0 && !sleeping)
        w.seen.push_back({true, display_on});
    return 0;
}

int on_active_changed(sd_bus_message* m, void* userdata, sd_bus_error*)
{
    auto& w = *static_cast<bus_watch*>(userdata);
    int active = 0;
    if (w.from_service(m) && sd_bus_message_read(m, "b", &active) >= 0)
        w.seen.push_back({false, active ? display_off : display_on});
    return 0;
}

// logind's PrepareForSleep on the system bus.
void watch_logind(bus_watch& w)
{
    std::string error;
    w.bus = dbus_connect(true, error);
    int r = w.bus ? sd_bus_match_signal(w.bus, &w.slot, "org.freedesktop.login1", "/org/freedesktop/login1",
                                        "org.freedesktop.login1.Manager", "PrepareForSleep", on_prepare_for_sleep, &w)
                  : 0;
    if (r < 0)
        error = dbus_describe(r, nullptr);
    else if (w.bus && !follow_owner(w, "org.freedesktop.login1", error))
        r = -1;
    if (r < 0)
        error = "logind: " + error;
    if (!w.bus || r < 0) {
        w.close();
        trace_once(g_resume_traced, error + "; resume from sleep will not be reported");
    }
}

const char* const mutter_display_config = "org.gnome.Mutter.DisplayConfig";  // the name and the interface
const char* const mutter_display_config_path = "/org/gnome/Mutter/DisplayConfig";

int on_properties_changed(sd_bus_message* m, void* userdata, sd_bus_error*)
{
    auto& w = *static_cast<bus_watch*>(userdata);
    const char* interface = nullptr;
    if (!w.from_service(m) || sd_bus_message_read(m, "s", &interface) < 0 ||
        std::strcmp(interface, mutter_display_config) != 0 || sd_bus_message_enter_container(m, 'a', "{sv}") < 0)
        return 0;
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
        const char* name = nullptr;
        const char* contents = nullptr;
        if (sd_bus_message_read(m, "s", &name) < 0 || sd_bus_message_peek_type(m, nullptr, &contents) < 0)
            return 0;
        int32_t mode = -1;
        display_state state;
        if (std::strcmp(name, "PowerSaveMode") == 0 && contents && std::strcmp(contents, "i") == 0) {
            if (sd_bus_message_read(m, "v", "i", &mode) < 0)
                return 0;
            // -1 says nothing of the monitors: the last state holds.
            if (mutter_display_state(mode, state))
                w.seen.push_back({false, state});
        } else if (sd_bus_message_skip(m, "v") < 0) {
            return 0;
        }
        if (sd_bus_message_exit_container(m) < 0)
            return 0;
    }
    return 0;
}

// Mutter's display configuration: PowerSaveMode is the monitors' DPMS
// level, and every change comes as PropertiesChanged. false, with the
// connection kept for the next source, if Mutter is not there or has no
// power saving (-1, which it then keeps).
bool watch_mutter(bus_watch& w, display_state& state)
{
    // The match first, so that no change falls between it and the question.
    int r = sd_bus_match_signal(w.bus, &w.slot, mutter_display_config, mutter_display_config_path,
                                "org.freedesktop.DBus.Properties", "PropertiesChanged", on_properties_changed, &w);
    std::string error;
    if (r >= 0 && !follow_owner(w, mutter_display_config, error))
        r = -1;
    int32_t mode = -1;
    if (r >= 0)
        r = sd_bus_get_property_trivial(w.bus, mutter_display_config, mutter_display_config_path,
                                        mutter_display_config, "PowerSaveMode", nullptr, 'i', &mode);
    if (r < 0 || !mutter_display_state(mode, state)) {
        w.forget();
        return false;
    }
    return true;
}

// The session's screen saver service: active means the display is off.
// false, with the connection kept, if there is none or it cannot say
// (GNOME's answers GetActive with NotSupported and never changes).
bool watch_session_screensaver(bus_watch& w, display_state& state)
{
    // The match first, so that no change falls between it and the question.
    int r = sd_bus_match_signal(w.bus, &w.slot, "org.freedesktop.ScreenSaver", nullptr, "org.freedesktop.ScreenSaver",
                                "ActiveChanged", on_active_changed, &w);
    std::string error;
    if (r >= 0 && !follow_owner(w, "org.freedesktop.ScreenSaver", error))
        r = -1;
    sd_bus_error e = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int active = 0;
    if (r >= 0)
        r = sd_bus_call_method(w.bus, "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                               "org.freedesktop.ScreenSaver", "GetActive", &e, &reply, "");
    if (r >= 0)
        r = sd_bus_message_read(reply, "b", &active);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&e);
    if (r < 0) {
        w.forget();
        return false;
    }
    state = active ? display_off : display_on;
    return true;
}

// Finds what gives the display's state, those that report the monitor's
// own power first: DPMS, Mutter's PowerSaveMode; then those that report a
// screen saver or a lock screen: the X screen saver, org.freedesktop.
// ScreenSaver. Plasma has no source of the first kind for us: it tells its
// monitors' power only over KWin's Wayland protocol, out of an X client's
// reach. A bus source's first word goes to state, and known is set; the X
// sources give theirs through x11.state(). Null if none answers.
const char* find_display_source(x11_display_watch& x11, bus_watch& session, bool& known, display_state& state)
{
    if (x11.source())
        return x11.source();
    std::string error;
    session.bus = dbus_connect(false, error);
    const char* found = nullptr;
    if (session.bus && watch_mutter(session, state)) {
        found = "Mutter's PowerSaveMode (org.gnome.Mutter.DisplayConfig)";
        known = true;
    } else if (x11.watch_screensaver()) {
        found = x11.source();
    } else if (session.bus && watch_session_screensaver(session, state)) {
        found = "org.freedesktop.ScreenSaver";
        known = true;
    }
    if (!known)
        session.close();
    return found;
}

void send_display_state(const std::vector<std::pair<uintptr_t, HWND>>& targets, display_state state)
{
    if (targets.empty())
        return;
    // The record as Win32 lays it out: the GUID, DataLength, then the
    // DWORD whose first byte is the state.
    unsigned char buffer[sizeof(POWERBROADCAST_SETTING) + sizeof(DWORD)] = {};
    auto* record = reinterpret_cast<POWERBROADCAST_SETTING*>(buffer);
    record->PowerSetting = GUID_CONSOLE_DISPLAY_STATE;
    record->DataLength = sizeof(DWORD);
    record->Data[0] = state;
    for (const auto& [id, hwnd] : targets) {
        if (g.registered(id) && IsWindow(hwnd))
            SendMessageW(hwnd, WM_POWERBROADCAST, PBT_POWERSETTINGCHANGE, reinterpret_cast<LPARAM>(record));
    }
}

// Sends state to the registrations not yet told anything, and to all the
// others too when it changed.
void publish(display_state state, bool changed)
{
    std::vector<std::pair<uintptr_t, HWND>> targets;
    {
        std::lock_guard<std::mutex> guard(g.lock);
        for (auto& [id, reg] : g.registrations) {
            if (reg.initial_sent && !changed)
                continue;
            reg.initial_sent = true;
            targets.emplace_back(id, reg.hwnd);
        }
    }
    send_display_state(targets, state);
}

void send_resume()
{
    std::vector<HWND> windows;
    EnumWindows(
        [](HWND hwnd, LPARAM list) {
            reinterpret_cast<std::vector<HWND>*>(list)->push_back(hwnd);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&windows));
    for (HWND hwnd : windows)
        if (IsWindow(hwnd))
            SendMessageW(hwnd, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0);
}

// Keeps, of the events waiting to be delivered, the newest display state
// and the newest resume, in their order.
void drop_superseded(std::deque<power_event>& events)
{
    const auto newest = [&](bool resume) {
        auto it = std::find_if(events.rbegin(), events.rend(), [&](const power_event& e) { return e.resume == resume; });
        return it == events.rend() ? events.size() : static_cast<size_t>(events.rend() - it - 1);
    };
    const size_t state = newest(false), resume = newest(true);
    std::deque<power_event> kept;
    for (size_t i = 0; i < events.size(); ++i)
        if (i == state || i == resume)
            kept.push_back(events[i]);
    events.swap(kept);
}

// Adds a bus connection to the poll set; lowers timeout_ms to its next timeout.
void add_bus(const bus_watch& w, std::vector<pollfd>& fds, int& timeout_ms)
{
    if (!w.bus)
        return;
    fds.push_back({sd_bus_get_fd(w.bus), static_cast<short>(sd_bus_get_events(w.bus)), 0});
    uint64_t until = 0;
    if (sd_bus_get_timeout(w.bus, &until) >= 0 && until != UINT64_MAX) {
        const uint64_t now = dbus_now_usec();
        const int wait = until <= now ? 0 : static_cast<int>(std::min<uint64_t>((until - now + 999) / 1000, 60000));
        timeout_ms = timeout_ms < 0 ? wait : std::min(timeout_ms, wait);
    }
}

void watch(const std::shared_ptr<watcher>& self)
{
    const power_sources sources = notify_power_sources();
    x11_display_watch x11(sources);
    bus_watch logind, session;
    watch_logind(logind);

    // The source's own last word, kept apart from what was last sent, so
    // that a DPMS poll repeating it does not undo an injected state.
    bool source_known = false;
    display_state source_state = display_on;
    display_state sent = display_on;
    bool sent_any = false;
    auto take = [&](display_state state) {
        publish(state, !sent_any || state != sent);
        sent = state;
        sent_any = true;
    };

    // Once per run, and so once in the program, whose registration lasts
    // the process.
    const char* source = find_display_source(x11, session, source_known, source_state);
    const std::string found =
        source ? std::string("the display state comes from ") + source
               : "neither DPMS, Mutter's PowerSaveMode (org.gnome.Mutter.DisplayConfig), the X screen saver nor "
                 "org.freedesktop.ScreenSaver is there; display state changes will not be reported";
    OutputDebugStringA(("RegisterPowerSettingNotification: " + found + "\n").c_str());

    for (;;) {
        display_state state;
        if (x11.state(state) && (!source_known || state != source_state)) {
            source_known = true;
            source_state = state;
            take(state);
        } else if (source_known && !sent_any) {
            take(source_state);
        } else if (sent_any) {
            publish(sent, false);  // registrations made since
        }

        std::vector<pollfd> fds{{self->wakeup.fd(), POLLIN, 0}};
        if (x11.fd() >= 0)
            fds.push_back({x11.fd(), POLLIN, 0});
        int timeout_ms = -1;
        if (x11.due() != std::chrono::milliseconds::max())
            timeout_ms = static_cast<int>(std::min<long long>(x11.due().count(), 60000));
        add_bus(logind, fds, timeout_ms);
        add_bus(session, fds, timeout_ms);
        if (poll(fds.data(), fds.size(), timeout_ms) < 0 && errno != EINTR) {
            OutputDebugStringA("RegisterPowerSettingNotification: poll failed; power notifications stop\n");
            return;
        }

        // A window may hold each record for seconds (a display coming on
        // waits for it to settle; a resume reopens the stick). What came
        // meanwhile is taken before the next delivery, so that a state a
        // newer one has replaced and a second pending resume are never sent.
        std::deque<power_event> events;
        bool woken = fds[0].revents & POLLIN;
        for (;;) {
            if (!self->take(woken, events))
                return;
            woken = false;
            for (bus_watch* w : {&logind, &session}) {
                if (w->bus && !w->process()) {
                    OutputDebugStringA("RegisterPowerSettingNotification: a bus connection was lost\n");
                    w->close();
                }
                events.insert(events.end(), w->seen.begin(), w->seen.end());
                w->seen.clear();
            }
            drop_superseded(events);
            if (events.empty())
                break;
            const power_event e = events.front();
            events.pop_front();
            if (e.resume)
                send_resume();
            else
                take(e.state);
        }
    }
}

// Called with g.lock held. Returns at once: the sources are opened on the
// watcher thread, since a bus may take up to its timeout to answer.
void start_watcher()
{
    auto w = std::make_shared<watcher>();
    if (!w->wakeup.ok())
        return;
    if (!notify_start_thread([w] { watch(w); }, [w] { w->request_stop(); })) {
        OutputDebugStringA("RegisterPowerSettingNotification: cannot start the power thread\n");
        return;
    }
    g.running = std::move(w);
}

void inject(const power_event& e)
{
    std::shared_ptr<watcher> w;
    {
        std::lock_guard<std::mutex> guard(g.lock);
        w = g.running;
    }
    if (w)
        w->post(e);
}

}  // namespace

HPOWERNOTIFY RegisterPowerSettingNotification(HANDLE recipient, LPCGUID powerSetting, DWORD flags)
{
    auto* hwnd = static_cast<HWND>(recipient);
    if (!hwnd || !IsWindow(hwnd) || flags != DEVICE_NOTIFY_WINDOW_HANDLE || !powerSetting ||
        std::memcmp(powerSetting, &GUID_CONSOLE_DISPLAY_STATE, sizeof(GUID)) != 0) {
        OutputDebugStringA("RegisterPowerSettingNotification: only the console display state, to a window\n");
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(g.lock);
    if (!g.running)
        start_watcher();
    const uintptr_t id = g.next_id++;
    g.registrations[id] = {hwnd, false};
    if (g.running) {
        // The state goes out to the new registration on the next turn.
        g.running->wakeup.wake();
    }
    return reinterpret_cast<HPOWERNOTIFY>(id);
}

BOOL UnregisterPowerSettingNotification(HPOWERNOTIFY handle)
{
    if (!g.remove(reinterpret_cast<uintptr_t>(handle))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

void notify_inject_power_event(bool resume, display_state state)
{
    inject({resume, resume ? display_on : state});
}
