// What the two notification threads (device interfaces, power) share: the
// mailbox through which other threads reach them, and how they are started
// and outlived. Layer-internal.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

// The eventfd that wakes a notification thread, which polls fd() with its
// other sources.
class notify_wakeup {
public:
    explicit notify_wakeup(const char* who);  // who: the traces' prefix
    ~notify_wakeup();
    notify_wakeup(const notify_wakeup&) = delete;
    notify_wakeup& operator=(const notify_wakeup&) = delete;

    bool ok() const { return m_fd >= 0; }  // false: no eventfd, traced
    int fd() const { return m_fd; }
    void wake();   // any thread
    void drain();  // the woken thread, once fd() polled readable

private:
    const char* m_who;
    int m_fd;
};

// A notification thread's mailbox: events posted from any thread and the
// request to stop, which `lock` guards.
template <class Event>
struct notify_mailbox {
    explicit notify_mailbox(const char* who) : wakeup(who) {}

    notify_wakeup wakeup;
    std::mutex lock;
    std::deque<Event> inbox;
    bool stop = false;

    // Any thread.
    void post(Event e)
    {
        std::lock_guard<std::mutex> guard(lock);
        inbox.push_back(std::move(e));
        wakeup.wake();
    }
    void request_stop()
    {
        std::lock_guard<std::mutex> guard(lock);
        stop = true;
        wakeup.wake();
    }

    // The mailbox's thread, after its poll: false once a stop was asked,
    // else true with the posted events moved to the end of out.
    bool take(bool woken, std::deque<Event>& out)
    {
        if (woken)
            wakeup.drain();
        std::lock_guard<std::mutex> guard(lock);
        if (stop)
            return false;
        for (Event& e : inbox)
            out.push_back(std::move(e));
        inbox.clear();
        return true;
    }
};

// Starts body on a detached thread: the thread that unregisters may be the
// one the notification thread is waiting on to handle a record, so it
// cannot wait for it. The process must still not end under the thread,
// since Xlib, libudev and sd-bus free their globals as it ends. As the
// process exits, stop is called for every such thread still running (on
// the exiting thread, no lock held; a forked child has none of them), and
// the exit waits for them, at most two seconds (a thread may be waiting on
// the exiting thread itself).
// false, with nothing started, if no thread can be created.
bool notify_start_thread(std::function<void()> body, std::function<void()> stop);

// A notification thread's registrations and the thread itself, while any
// registration is left. Made once with new and never destroyed: the thread
// may still be delivering, and other threads injecting, as the process
// ends. `lock` guards everything in it.
template <class Registration, class Running>
struct notify_registry {
    std::mutex lock;
    std::map<uintptr_t, Registration> registrations;
    uintptr_t next_id = 1;
    std::shared_ptr<Running> running;

    // Whether id is still registered: a record goes to a window only then.
    bool registered(uintptr_t id)
    {
        std::lock_guard<std::mutex> guard(lock);
        return registrations.count(id) != 0;
    }

    // Drops registration id (false if there is none); after the last one
    // the thread is told to stop, not waited for, since it may be waiting on
    // the caller to handle a record.
    bool remove(uintptr_t id)
    {
        std::shared_ptr<Running> stopping;
        {
            std::lock_guard<std::mutex> guard(lock);
            if (!registrations.erase(id))
                return false;
            if (registrations.empty())
                stopping = std::move(running);
        }
        if (stopping)
            stopping->request_stop();
        return true;
    }
};
