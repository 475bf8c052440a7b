// Real-time priority for the sound I/O threads, asked of RealtimeKit on the
// system bus as sound-server clients do: an unprivileged process may not
// take it itself. A thread that keeps its normal priority still works; it
// only rides out less load before the device under- or overruns.
#include "wave_internal.h"

#include "../dbus/dbus_connection.h"

#include <winbase.h>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

namespace {

constexpr char kService[] = "org.freedesktop.RealtimeKit1";
constexpr char kPath[] = "/org/freedesktop/RealtimeKit1";
// The priority asked for, at most: above the desktop's own threads, below
// the sound server's (PipeWire asks for 88, PulseAudio for 5 and up).
constexpr int32_t kPriority = 20;

// A property of RealtimeKit's, of D-Bus type `type` ("i" or "x"); otherwise
// when it cannot be read.
int64_t property(sd_bus* bus, const char* name, char type, int64_t otherwise)
{
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const char signature[2] = {type, 0};
    int64_t value = otherwise;
    if (sd_bus_get_property(bus, kService, kPath, kService, name, &error, &reply, signature) >= 0) {
        int32_t small = 0;
        if (type == 'i' && sd_bus_message_read(reply, "i", &small) >= 0)
            value = small;
        else if (type == 'x')
            sd_bus_message_read(reply, "x", &value);
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return value;
}

}  // namespace

bool rtkit_make_thread_realtime(std::string& why)
{
    sd_bus* bus = dbus_connect(true, why);
    if (!bus)
        return false;
    const int32_t priority = static_cast<int32_t>(std::clamp<int64_t>(property(bus, "MaxRealtimePriority", 'i', kPriority), 1, kPriority));
    // RealtimeKit grants only to a process that limits its real-time CPU
    // time, so that a runaway thread cannot freeze the machine.
    const int64_t limit = property(bus, "RTTimeUSecMax", 'x', 200000);
    rlimit rl{};
    if (::getrlimit(RLIMIT_RTTIME, &rl) == 0 && (rl.rlim_max == RLIM_INFINITY || rl.rlim_max > static_cast<rlim_t>(limit))) {
        rl.rlim_cur = rl.rlim_max = static_cast<rlim_t>(std::max<int64_t>(limit, 1000));
        ::setrlimit(RLIMIT_RTTIME, &rl);
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const auto thread = static_cast<uint64_t>(::syscall(SYS_gettid));
    const int r = sd_bus_call_method(bus, kService, kPath, kService, "MakeThreadRealtime", &error, nullptr, "tu", thread,
                                     static_cast<uint32_t>(priority));
    if (r < 0)
        why = dbus_describe(r, &error);
    sd_bus_error_free(&error);
    sd_bus_flush_close_unref(bus);
    return r >= 0;
}

void wave_thread_realtime()
{
    std::string why;
    if (rtkit_make_thread_realtime(why))
        return;
    // Once per process: every stream would meet the same refusal.
    static std::atomic<bool> told{false};
    if (!told.exchange(true))
        ::OutputDebugStringA(("wave: no real-time priority for the sound threads (" + why + ")\n").c_str());
}
