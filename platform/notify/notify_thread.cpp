// The notification threads' wake-up and their end as the process exits.
#include "notify_thread.h"

#include <windows.h>

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

notify_wakeup::notify_wakeup(const char* who) : m_who(who), m_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (m_fd < 0)
        OutputDebugStringA((std::string(m_who) + ": no eventfd; these notifications are off\n").c_str());
}

notify_wakeup::~notify_wakeup()
{
    if (m_fd >= 0)
        close(m_fd);
}

void notify_wakeup::wake()
{
    uint64_t one = 1;
    if (write(m_fd, &one, sizeof one) < 0)
        OutputDebugStringA((std::string(m_who) + ": cannot wake the notification thread\n").c_str());
}

void notify_wakeup::drain()
{
    uint64_t count;
    if (read(m_fd, &count, sizeof count) < 0 && errno != EAGAIN)
        OutputDebugStringA((std::string(m_who) + ": cannot read the wake-up counter\n").c_str());
}

namespace {

constexpr auto exit_wait = std::chrono::seconds(2);

struct live_thread {
    pid_t process;  // a forked child has none of its parent's threads
    std::function<void()> stop;
};

// The threads started and not yet ended, by number. Kept for the life of
// the process: threads may outlive it.
struct live_threads {
    std::mutex lock;  // guards everything below
    std::condition_variable ended;
    std::map<uint64_t, live_thread> threads;
    uint64_t next = 1;
    bool exit_hook = false;
};
live_threads& g = *new live_threads;

thread_local bool t_notification_thread = false;

void stop_and_wait_at_exit()
{
    const pid_t self = getpid();
    auto running = [self] {
        size_t n = 0;
        for (const auto& [id, t] : g.threads)
            n += t.process == self;
        return n;
    };
    std::vector<std::function<void()>> stops;
    {
        std::lock_guard<std::mutex> guard(g.lock);
        for (const auto& [id, t] : g.threads)
            if (t.process == self)
                stops.push_back(t.stop);
    }
    for (auto& stop : stops)
        stop();
    // A notification thread that ends the process waits only for the others.
    const size_t calling = t_notification_thread ? 1 : 0;
    std::unique_lock<std::mutex> guard(g.lock);
    if (!g.ended.wait_for(guard, exit_wait, [&] { return running() <= calling; }))
        OutputDebugStringA("notifications: a notification thread did not end before the process\n");
}

// Held by a thread for its whole life.
class ticket {
public:
    explicit ticket(std::function<void()> stop)
    {
        std::lock_guard<std::mutex> guard(g.lock);
        if (!g.exit_hook)
            g.exit_hook = std::atexit(stop_and_wait_at_exit) == 0;
        m_id = g.next++;
        g.threads.emplace(m_id, live_thread{getpid(), std::move(stop)});
    }
    ticket(ticket&& other) noexcept : m_id(other.m_id) { other.m_id = 0; }
    ticket(const ticket&) = delete;
    ticket& operator=(const ticket&) = delete;
    ticket& operator=(ticket&&) = delete;
    ~ticket()
    {
        if (!m_id)
            return;
        std::lock_guard<std::mutex> guard(g.lock);
        g.threads.erase(m_id);
        g.ended.notify_all();
    }

private:
    uint64_t m_id = 0;
};

}  // namespace

bool notify_start_thread(std::function<void()> body, std::function<void()> stop)
{
    try {
        std::thread([body = std::move(body), held = ticket(std::move(stop))] {
            t_notification_thread = true;
            body();
        }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}
