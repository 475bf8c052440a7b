// Per-thread message queues, sent messages, paint and timer messages, and
// the wait that also reads X events on the X thread.
#include "user_internal.h"
#include "../x11/x11_display.h"
#include "x11_window.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <set>
#include <unordered_map>

namespace {

using clock_type = std::chrono::steady_clock;

struct sent_message {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    LRESULT result = 0;
    bool done = false;  // guarded by the sender queue's lock
    DWORD sender;
};

struct user_timer {
    HWND hwnd;
    UINT_PTR id;
    UINT elapse;
    TIMERPROC proc;
    clock_type::time_point due;
};

struct msg_queue {
    DWORD thread_id = 0;
    int wake_fd = -1;
    std::mutex lock;  // guards everything below
    std::condition_variable signal;
    std::deque<MSG> posted;
    std::deque<std::shared_ptr<sent_message>> sent;
    std::vector<user_timer> timers;
    bool quit = false;
    int quit_code = 0;

    ~msg_queue()
    {
        if (wake_fd >= 0)
            ::close(wake_fd);
    }
};

std::mutex g_queues_lock;
// Guarded by g_queues_lock.
std::unordered_map<DWORD, std::shared_ptr<msg_queue>>& queue_table()
{
    static auto* table = new std::unordered_map<DWORD, std::shared_ptr<msg_queue>>();
    return *table;
}

// Every procedure ever passed to SetTimer, so that DispatchMessageW calls
// nothing else. Procedures are code addresses: the set stays small.
std::mutex g_timer_procs_lock;
std::set<TIMERPROC>& timer_procs()  // guarded by g_timer_procs_lock
{
    static auto* procs = new std::set<TIMERPROC>();
    return *procs;
}

void remember_timer_proc(TIMERPROC proc)
{
    std::lock_guard<std::mutex> lock(g_timer_procs_lock);
    timer_procs().insert(proc);
}

bool is_timer_proc(TIMERPROC proc)
{
    std::lock_guard<std::mutex> lock(g_timer_procs_lock);
    return timer_procs().count(proc) != 0;
}

std::shared_ptr<msg_queue> find_queue(DWORD thread_id)
{
    std::lock_guard<std::mutex> lock(g_queues_lock);
    auto it = queue_table().find(thread_id);
    return it == queue_table().end() ? nullptr : it->second;
}

// Unregisters the queue when its thread ends; senders waiting on it give up.
struct queue_holder {
    std::shared_ptr<msg_queue> queue;
    ~queue_holder()
    {
        if (!queue)
            return;
        {
            std::lock_guard<std::mutex> lock(g_queues_lock);
            queue_table().erase(queue->thread_id);
        }
        std::deque<std::shared_ptr<sent_message>> orphans;
        {
            std::lock_guard<std::mutex> lock(queue->lock);
            orphans.swap(queue->sent);
        }
        for (auto& s : orphans) {
            if (auto sender = find_queue(s->sender)) {
                std::lock_guard<std::mutex> lock(sender->lock);
                s->done = true;
                sender->signal.notify_all();
            }
        }
    }
};

thread_local queue_holder t_queue;

msg_queue& this_queue()
{
    if (!t_queue.queue) {
        auto q = std::make_shared<msg_queue>();
        q->thread_id = GetCurrentThreadId();
        q->wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        std::lock_guard<std::mutex> lock(g_queues_lock);
        queue_table()[q->thread_id] = q;
        t_queue.queue = q;
    }
    return *t_queue.queue;
}

void wake(msg_queue& q)
{
    q.signal.notify_all();
    if (q.wake_fd >= 0) {
        uint64_t one = 1;
        ssize_t n = ::write(q.wake_fd, &one, sizeof one);
        (void)n;
    }
}

DWORD window_owner(HWND hwnd, bool* local)
{
    std::lock_guard<std::mutex> lock(user_lock());
    user_window* w = user_find(hwnd);
    *local = w != nullptr;
    return w ? w->thread_id : 0;
}

LRESULT call_window_proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    WNDPROC proc;
    {
        std::lock_guard<std::mutex> lock(user_lock());
        user_window* w = user_find(hwnd);
        if (!w)
            return 0;
        proc = w->proc;
    }
    return proc ? proc(hwnd, message, wParam, lParam) : DefWindowProcW(hwnd, message, wParam, lParam);
}

// Runs the messages other threads sent to this one. Returns whether any ran.
bool run_sent_messages(msg_queue& q)
{
    bool any = false;
    for (;;) {
        std::shared_ptr<sent_message> s;
        {
            std::lock_guard<std::mutex> lock(q.lock);
            if (q.sent.empty())
                return any;
            s = q.sent.front();
            q.sent.pop_front();
        }
        any = true;
        LRESULT r = call_window_proc(s->hwnd, s->message, s->wParam, s->lParam);
        auto sender = find_queue(s->sender);
        if (!sender)
            continue;
        std::lock_guard<std::mutex> lock(sender->lock);
        s->result = r;
        s->done = true;
        wake(*sender);
    }
}

bool in_filter(const MSG& m, HWND hwnd, UINT lo, UINT hi)
{
    if (hwnd && m.hwnd != hwnd)
        return false;
    if (lo == 0 && hi == 0)
        return true;
    return m.message >= lo && m.message <= hi;
}

MSG make_msg(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    MSG m{};
    m.hwnd = hwnd;
    m.message = message;
    m.wParam = wParam;
    m.lParam = lParam;
    m.time = GetTickCount();
    return m;
}

// A window of this thread that needs painting, parents before children.
HWND paint_candidate(DWORD tid, HWND filter)
{
    std::lock_guard<std::mutex> lock(user_lock());
    HWND best = nullptr;
    user_for_each_window([&](user_window& w) {
        if (best || !w.has_update || w.thread_id != tid || (filter && w.hwnd != filter))
            return;
        user_window* top = &w;
        for (user_window* p = user_find(w.parent); p; p = user_find(p->parent))
            if (p->has_update && !filter)
                top = p;
        best = top->hwnd;
    });
    return best;
}

// Reads and handles every X event that is waiting. Returns whether any was.
bool x11_pump()
{
    Display* d = x11_ui_display();
    bool any = false;
    for (;;) {
        XEvent ev;
        XLockDisplay(d);
        bool have = XEventsQueued(d, QueuedAfterReading) > 0;
        if (have)
            XNextEvent(d, &ev);
        XUnlockDisplay(d);
        if (!have)
            return any;
        any = true;
        x11_dispatch_event(ev);
    }
}

bool next_message(LPMSG out, HWND hwnd, UINT lo, UINT hi, UINT remove, bool wait)
{
    msg_queue& q = this_queue();
    const DWORD tid = q.thread_id;
    for (;;) {
        run_sent_messages(q);
        {
            std::lock_guard<std::mutex> lock(q.lock);
            for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
                if (in_filter(*it, hwnd, lo, hi)) {
                    *out = *it;
                    if (remove & PM_REMOVE)
                        q.posted.erase(it);
                    return true;
                }
            }
            if (q.quit && (lo == 0 && hi == 0 ? true : (WM_QUIT >= lo && WM_QUIT <= hi))) {
                *out = make_msg(nullptr, WM_QUIT, static_cast<WPARAM>(q.quit_code), 0);
                if (remove & PM_REMOVE)
                    q.quit = false;
                return true;
            }
        }
        const bool x_thread = user_x11_thread() == tid;
        if (x_thread)
            user_take_close_signal();
        if (x_thread && x11_pump())
            continue;
        if (lo == 0 && hi == 0 ? true : (WM_PAINT >= lo && WM_PAINT <= hi)) {
            if (HWND p = paint_candidate(tid, hwnd)) {
                *out = make_msg(p, WM_PAINT, 0, 0);
                return true;
            }
        }
        auto now = clock_type::now();
        auto next_due = clock_type::time_point::max();
        {
            std::lock_guard<std::mutex> lock(q.lock);
            for (auto& t : q.timers) {
                if (t.due <= now && (!hwnd || t.hwnd == hwnd) &&
                    (lo == 0 && hi == 0 ? true : (WM_TIMER >= lo && WM_TIMER <= hi))) {
                    *out = make_msg(t.hwnd, WM_TIMER, t.id, reinterpret_cast<LPARAM>(t.proc));
                    if (remove & PM_REMOVE)
                        t.due = now + std::chrono::milliseconds(t.elapse);
                    return true;
                }
                next_due = std::min(next_due, t.due);
            }
        }
        if (!wait)
            return false;

        int timeout = -1;
        if (next_due != clock_type::time_point::max()) {
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next_due - now).count();
            timeout = static_cast<int>(std::max<long long>(0, std::min<long long>(ms + 1, 1 << 30)));
        }
        pollfd fds[3] = {{q.wake_fd, POLLIN, 0}, {-1, POLLIN, 0}, {-1, POLLIN, 0}};
        nfds_t count = 1;
        if (x_thread) {
            Display* d = x11_ui_display();
            XLockDisplay(d);
            XFlush(d);
            bool queued = XEventsQueued(d, QueuedAlready) > 0;
            XUnlockDisplay(d);
            if (queued)
                continue;
            fds[1].fd = ConnectionNumber(d);
            fds[2].fd = user_close_signal_fd();
            count = 3;
        }
        {
            std::lock_guard<std::mutex> lock(q.lock);
            if (!q.posted.empty() || !q.sent.empty() || q.quit)
                continue;
        }
        ::poll(fds, count, timeout);
        uint64_t drained;
        while (::read(q.wake_fd, &drained, sizeof drained) > 0) {
        }
    }
}

}  // namespace

void user_wake(DWORD thread_id)
{
    if (auto q = find_queue(thread_id))
        wake(*q);
}

void user_queue_attach() { this_queue(); }

BOOL user_post(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    bool local;
    DWORD owner = window_owner(hwnd, &local);
    if (!local)
        return FALSE;
    auto q = find_queue(owner);
    if (!q)
        return FALSE;
    std::lock_guard<std::mutex> lock(q->lock);
    q->posted.push_back(make_msg(hwnd, message, wParam, lParam));
    wake(*q);
    return TRUE;
}

BOOL GetMessageW(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax)
{
    if (!msg)
        return -1;
    next_message(msg, hwnd, filterMin, filterMax, PM_REMOVE, true);
    return msg->message != WM_QUIT;
}

BOOL PeekMessageW(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeMsg)
{
    if (!msg)
        return FALSE;
    return next_message(msg, hwnd, filterMin, filterMax, removeMsg, false) ? TRUE : FALSE;
}

BOOL WaitMessage()
{
    MSG m;
    next_message(&m, nullptr, 0, 0, PM_NOREMOVE, true);
    return TRUE;
}

BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!hwnd)
        return PostThreadMessageW(GetCurrentThreadId(), message, wParam, lParam);
    if (user_post(hwnd, message, wParam, lParam))
        return TRUE;
    bool local;
    window_owner(hwnd, &local);
    if (local)
        return FALSE;
    // A window of another process: carry the message over X.
    Window xid = static_cast<Window>(reinterpret_cast<uintptr_t>(hwnd));
    BOOL ok = FALSE;
    x11_ui_request([&](Display* d) {
        XWindowAttributes attrs;
        if (!XGetWindowAttributes(d, xid, &attrs))
            return;
        XEvent ev{};
        ev.xclient.type = ClientMessage;
        ev.xclient.window = xid;
        ev.xclient.message_type = x11_window_message_atom();
        ev.xclient.format = 32;
        ev.xclient.data.l[0] = static_cast<long>(message);
        ev.xclient.data.l[1] = static_cast<long>(static_cast<uint32_t>(wParam));
        ev.xclient.data.l[2] = static_cast<long>(static_cast<uint32_t>(static_cast<uint64_t>(wParam) >> 32));
        ev.xclient.data.l[3] = static_cast<long>(static_cast<uint32_t>(lParam));
        ev.xclient.data.l[4] = static_cast<long>(static_cast<uint32_t>(static_cast<uint64_t>(lParam) >> 32));
        ok = XSendEvent(d, xid, False, NoEventMask, &ev) != 0;
    });
    if (!ok)
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return ok;
}

BOOL PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto q = threadId == GetCurrentThreadId() ? t_queue.queue : find_queue(threadId);
    if (!q && threadId == GetCurrentThreadId()) {
        this_queue();
        q = t_queue.queue;
    }
    if (!q) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(q->lock);
    q->posted.push_back(make_msg(nullptr, message, wParam, lParam));
    wake(*q);
    return TRUE;
}

LRESULT SendMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    bool local;
    DWORD owner = window_owner(hwnd, &local);
    if (!local) {
        // Another process cannot answer synchronously over X: deliver it.
        PostMessageW(hwnd, message, wParam, lParam);
        return 0;
    }
    msg_queue& me = this_queue();
    if (owner == me.thread_id)
        return call_window_proc(hwnd, message, wParam, lParam);
    auto target = find_queue(owner);
    if (!target)
        return 0;
    auto s = std::make_shared<sent_message>();
    s->hwnd = hwnd;
    s->message = message;
    s->wParam = wParam;
    s->lParam = lParam;
    s->sender = me.thread_id;
    {
        std::lock_guard<std::mutex> lock(target->lock);
        target->sent.push_back(s);
        wake(*target);
    }
    // While waiting, answer what others send to this thread, so two threads
    // sending to each other do not deadlock.
    for (;;) {
        run_sent_messages(me);
        std::unique_lock<std::mutex> lock(me.lock);
        if (s->done)
            return s->result;
        me.signal.wait_for(lock, std::chrono::milliseconds(100), [&] { return s->done || !me.sent.empty(); });
        if (s->done)
            return s->result;
        if (!find_queue(owner))
            return 0;
    }
}

LRESULT DispatchMessageW(const MSG* msg)
{
    if (!msg || !msg->hwnd)
        return 0;
    if (msg->message == WM_TIMER && msg->lParam) {
        // Only a procedure this process handed to SetTimer is called; any
        // other value (a WM_TIMER posted with a made-up lParam) is ignored,
        // as current Windows does.
        auto proc = reinterpret_cast<TIMERPROC>(msg->lParam);
        if (is_timer_proc(proc))
            proc(msg->hwnd, WM_TIMER, msg->wParam, GetTickCount());
        return 0;
    }
    return call_window_proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

BOOL TranslateMessage(const MSG*) { return FALSE; }

void PostQuitMessage(int exitCode)
{
    msg_queue& q = this_queue();
    std::lock_guard<std::mutex> lock(q.lock);
    q.quit = true;
    q.quit_code = exitCode;
}

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC timerFunc)
{
    if (timerFunc)
        remember_timer_proc(timerFunc);
    DWORD owner = GetCurrentThreadId();
    if (hwnd) {
        bool local;
        owner = window_owner(hwnd, &local);
        if (!local) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
    }
    auto q = owner == GetCurrentThreadId() ? (this_queue(), t_queue.queue) : find_queue(owner);
    if (!q)
        return 0;
    elapse = std::max<UINT>(elapse, 10);
    std::lock_guard<std::mutex> lock(q->lock);
    for (auto& t : q->timers) {
        if (t.hwnd == hwnd && t.id == id) {
            t.elapse = elapse;
            t.proc = timerFunc;
            t.due = clock_type::now() + std::chrono::milliseconds(elapse);
            wake(*q);
            return hwnd ? 1 : id;
        }
    }
    q->timers.push_back(user_timer{hwnd, id, elapse, timerFunc, clock_type::now() + std::chrono::milliseconds(elapse)});
    wake(*q);
    return hwnd ? 1 : id;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id)
{
    DWORD owner = GetCurrentThreadId();
    if (hwnd) {
        bool local;
        owner = window_owner(hwnd, &local);
        if (!local)
            return FALSE;
    }
    auto q = find_queue(owner);
    if (!q)
        return FALSE;
    std::lock_guard<std::mutex> lock(q->lock);
    auto before = q->timers.size();
    q->timers.erase(std::remove_if(q->timers.begin(), q->timers.end(),
                                   [&](const user_timer& t) { return t.hwnd == hwnd && t.id == id; }),
                    q->timers.end());
    return q->timers.size() != before;
}

void user_timers_forget(const std::vector<HWND>& windows)
{
    std::vector<std::shared_ptr<msg_queue>> queues;
    {
        std::lock_guard<std::mutex> lock(g_queues_lock);
        for (auto& kv : queue_table())
            queues.push_back(kv.second);
    }
    for (auto& q : queues) {
        std::lock_guard<std::mutex> lock(q->lock);
        q->timers.erase(std::remove_if(q->timers.begin(), q->timers.end(),
                                       [&](const user_timer& t) {
                                           return std::find(windows.begin(), windows.end(), t.hwnd) != windows.end();
                                       }),
                        q->timers.end());
    }
}
