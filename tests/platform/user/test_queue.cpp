// Message queues: posted messages and their order, messages sent between
// threads, and timers.
#include "window_test_support.h"

#include <future>

namespace {

// Each row of PostedMessages posts in one way and lists the order in which
// the thread that owns the queue takes the messages back, with the
// parameters they were posted with.
enum class posted_to { window, this_thread, other_thread };

struct posted {
    UINT message;  // WM_QUIT: as PostQuitMessage posts it, or PostThreadMessage to another thread
    WPARAM w;
    LPARAM l;
};

struct queue_row {
    const char* name;
    posted_to to;
    std::vector<posted> posts;   // in this order, each message once
    std::vector<UINT> expected;  // in the order taken
    bool peek = false;           // taken with PeekMessage rather than GetMessage
};

const queue_row kQueueRows[] = {
    {"ToAWindow", posted_to::window,
     {{WM_USER + 1, 1, 10}, {WM_USER + 2, 2, -20}, {WM_USER + 3, 0xfedcba9876543210ull, 0x123456789abcLL}},
     {WM_USER + 1, WM_USER + 2, WM_USER + 3}},
    {"QuitAfterAWindowsMessage", posted_to::window, {{WM_USER + 1, 0, 0}, {WM_QUIT, 7, 0}}, {WM_USER + 1, WM_QUIT}},
    {"ToThisThreadWithoutAWindow", posted_to::this_thread, {{WM_USER + 40, 4, 40}}, {WM_USER + 40}, true},
    {"ToAnotherThreadsQueue", posted_to::other_thread, {{WM_USER + 5, 1, 2}, {WM_USER + 6, 3, 4}, {WM_QUIT, 9, 0}},
     {WM_USER + 5, WM_USER + 6, WM_QUIT}},
};

bool post(posted_to to, HWND h, DWORD thread, const posted& p)
{
    if (to == posted_to::other_thread)
        return PostThreadMessageW(thread, p.message, p.w, p.l) != FALSE;
    if (p.message == WM_QUIT)
        PostQuitMessage(static_cast<int>(p.w));
    return p.message == WM_QUIT || PostMessageW(to == posted_to::window ? h : nullptr, p.message, p.w, p.l);
}

// Takes up to count messages on the thread that owns the queue, each with
// what GetMessage or PeekMessage returned, and dispatches those for a window.
std::vector<std::pair<MSG, BOOL>> take(bool peek, size_t count)
{
    std::vector<std::pair<MSG, BOOL>> out;
    for (BOOL r = TRUE; r > 0 && out.size() < count;) {
        MSG m{};
        r = peek ? PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE) : GetMessageW(&m, nullptr, 0, 0);
        out.emplace_back(m, r);
        if (r > 0 && m.hwnd)
            DispatchMessageW(&m);
    }
    return out;
}

auto fields(const logged& e) { return std::make_tuple(e.hwnd, e.message, e.wParam, e.lParam, e.thread); }

// Also what ctest names a row by: gtest numbers them.
void PrintTo(const queue_row& row, std::ostream* out) { *out << row.name; }

class PostedMessages : public WindowTest, public ::testing::WithParamInterface<queue_row> {};

// A second UI thread with a window of its own and a message loop.
class ui_thread {
public:
    ui_thread()
    {
        auto f = m_ready.get_future();
        m_thread = std::thread([this] {
            m_hwnd = CreateWindowExW(0, kClass, L"second thread", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                                     nullptr, instance(), nullptr);
            MSG m;
            PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);
            m_tid = GetCurrentThreadId();
            m_ready.set_value();
            while (GetMessageW(&m, nullptr, 0, 0) > 0)
                DispatchMessageW(&m);
            DestroyWindow(m_hwnd);
        });
        f.wait();
    }
    ~ui_thread()
    {
        PostThreadMessageW(m_tid, WM_QUIT, 0, 0);
        m_thread.join();
    }
    HWND hwnd() const { return m_hwnd; }
    DWORD tid() const { return m_tid; }

private:
    std::promise<void> m_ready;
    std::thread m_thread;
    HWND m_hwnd = nullptr;
    DWORD m_tid = 0;
};

constexpr UINT kPing = WM_USER + 20, kPong = WM_USER + 21, kStartCrossing = WM_USER + 22, kCross = WM_USER + 23;

// What count_timer, a timer's own procedure, was called with.
std::atomic<int> g_timer_proc_calls{0};
std::atomic<UINT_PTR> g_timer_proc_id{0};
std::atomic<HWND> g_timer_proc_hwnd{nullptr};

void CALLBACK count_timer(HWND h, UINT message, UINT_PTR id, DWORD)
{
    if (message == WM_TIMER) {
        g_timer_proc_hwnd = h;
        g_timer_proc_id = id;
        ++g_timer_proc_calls;
    }
}

size_t timer_count(HWND h, UINT_PTR id)
{
    size_t n = 0;
    for (const auto& e : log_of(WM_TIMER, h))
        n += e.wParam == id;
    return n;
}

}  // namespace

TEST_P(PostedMessages, ComeBackInOrderWithTheirParameters)
{
    const queue_row& row = GetParam();
    watchdog wd(row.name);
    HWND h = row.to == posted_to::window ? create_top(L"queue order") : nullptr;
    ASSERT_EQ(h != nullptr, row.to == posted_to::window);
    clear_log();

    DWORD owner = GetCurrentThreadId();
    std::vector<std::pair<MSG, BOOL>> took;
    std::promise<DWORD> ready;
    std::thread worker;
    if (row.to == posted_to::other_thread) {
        worker = std::thread([&] {
            MSG m;
            PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);  // makes the queue
            ready.set_value(GetCurrentThreadId());
            took = take(row.peek, row.expected.size());
        });
        owner = ready.get_future().get();
    }
    for (const posted& p : row.posts)
        EXPECT_TRUE(post(row.to, h, owner, p)) << p.message;
    if (worker.joinable())
        worker.join();
    else
        took = take(row.peek, row.expected.size());

    ASSERT_EQ(took.size(), row.expected.size());
    std::vector<logged> dispatched;
    for (size_t i = 0; i < took.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "message " << i);
        const MSG& m = took[i].first;
        const posted& p = *std::find_if(row.posts.begin(), row.posts.end(),
                                        [&](const posted& q) { return q.message == row.expected[i]; });
        EXPECT_EQ(std::make_tuple(m.message, m.wParam, m.lParam), std::make_tuple(p.message, p.w, p.l));
        // GetMessage ends at WM_QUIT, once what was posted before it is taken.
        EXPECT_EQ(took[i].second, row.peek || p.message != WM_QUIT ? TRUE : FALSE);
        if (p.message == WM_QUIT)
            continue;
        EXPECT_EQ(m.hwnd, h);
        if (h)
            dispatched.push_back({h, p.message, p.w, p.l, owner});
    }
    // Those for a window reached its procedure, on the thread that owns it.
    auto seen = log_all();
    ASSERT_EQ(seen.size(), dispatched.size());
    for (size_t i = 0; i < seen.size(); ++i)
        EXPECT_EQ(fields(seen[i]), fields(dispatched[i])) << i;

    if (row.to == posted_to::other_thread) {
        // A thread that has ended has no queue any more.
        EXPECT_FALSE(PostThreadMessageW(owner, WM_USER + 7, 0, 0));
    } else {
        // The queue stays usable, also once WM_QUIT has been taken.
        ASSERT_TRUE(post(row.to, h, owner, {WM_USER + 50, 0, 0}));
        auto after = take(row.peek, 1);
        ASSERT_EQ(after.size(), 1u);
        EXPECT_EQ(after[0].first.message, static_cast<UINT>(WM_USER + 50));
    }
}

INSTANTIATE_TEST_SUITE_P(, PostedMessages, ::testing::ValuesIn(kQueueRows));

TEST_F(WindowTest, PeekWithoutRemoveLeavesTheMessage)
{
    HWND h = create_top(L"peek");
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(PostMessageW(h, WM_USER + 5, 55, 555));

    MSG m{};
    ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_USER + 5));
    ASSERT_TRUE(PeekMessageW(&m, h, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_USER + 5));
    // A filter that excludes it finds nothing and leaves it too.
    EXPECT_FALSE(PeekMessageW(&m, nullptr, WM_USER + 6, WM_USER + 9, PM_REMOVE));

    MSG got{};
    ASSERT_TRUE(PeekMessageW(&got, nullptr, WM_USER + 5, WM_USER + 5, PM_REMOVE));
    EXPECT_EQ(got.hwnd, h);
    EXPECT_EQ(got.wParam, 55u);
    EXPECT_EQ(got.lParam, 555);
    EXPECT_FALSE(PeekMessageW(&got, nullptr, WM_USER + 5, WM_USER + 5, PM_REMOVE)) << "removed once, gone";
}

TEST_F(WindowTest, MessagePostedToAWindowAsSoonAsItCanBeFoundIsKept)
{
    // Another thread finds the window by its caption while it is still
    // being created on a thread that has never had a window, and posts to
    // it at once: the message must be waiting when the owner looks.
    watchdog wd("early post");
    std::atomic<bool> posted{false};
    std::thread poster([&] {
        for (;;) {
            HWND found = FindWindowW(nullptr, L"early post");
            if (found && GetWindowThreadProcessId(found, nullptr) != 0) {
                posted = PostMessageW(found, WM_USER + 41, 0, 0) != FALSE;
                return;
            }
            std::this_thread::yield();
        }
    });
    std::promise<bool> received;
    std::thread owner([&] {
        HWND h = CreateWindowExW(0, kClass, L"early post", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                                 nullptr, instance(), nullptr);
        poster.join();
        MSG m{};
        bool got = false;
        while (PeekMessageW(&m, h, 0, 0, PM_REMOVE))
            got = got || m.message == WM_USER + 41;
        received.set_value(got);
        DestroyWindow(h);
    });
    EXPECT_TRUE(received.get_future().get());
    owner.join();
    EXPECT_TRUE(posted);
}

TEST_F(WindowTest, SendMessageFromAnotherThreadRunsOnTheOwnerWhileItWaitsInGetMessage)
{
    watchdog wd("cross-thread SendMessage");
    HWND h = create_top(L"send target");
    ASSERT_NE(h, nullptr);
    g_hook = [](HWND, UINT m, WPARAM w, LPARAM l, LRESULT& r) {
        if (m != WM_USER + 10)
            return false;
        r = static_cast<LRESULT>(w) * 2 + l;
        return true;
    };
    clear_log();
    const DWORD owner = GetCurrentThreadId();
    std::atomic<LRESULT> result{-1};
    std::thread sender([&] {
        result = SendMessageW(h, WM_USER + 10, 20, 2);
        PostMessageW(h, WM_USER + 11, 0, 0);
    });

    // A timer bounds the wait should the sent message never come through.
    SetTimer(h, 99, 100, nullptr);
    auto deadline = std::chrono::steady_clock::now() + 20s;
    bool ended = false;
    bool sent_one_came_back = false;
    MSG m;
    while (GetMessageW(&m, nullptr, 0, 0) > 0) {
        sent_one_came_back |= m.message == WM_USER + 10;
        if (m.message == WM_USER + 11) {
            ended = true;
            break;
        }
        DispatchMessageW(&m);
        if (std::chrono::steady_clock::now() > deadline)
            break;
    }
    KillTimer(h, 99);
    sender.join();

    EXPECT_TRUE(ended);
    EXPECT_EQ(result.load(), 42);
    EXPECT_FALSE(sent_one_came_back) << "a sent message is handled inside GetMessage, not returned by it";
    auto handled = log_of(WM_USER + 10, h);
    ASSERT_EQ(handled.size(), 1u);
    EXPECT_EQ(handled[0].thread, owner) << "the window procedure must run on the thread that owns the window";
    EXPECT_EQ(handled[0].wParam, 20u);
    EXPECT_EQ(handled[0].lParam, 2);
}

TEST_F(WindowTest, SendMessageFromManyThreadsGetsEachItsOwnResult)
{
    watchdog wd("SendMessage from many threads");
    HWND h = create_top(L"many senders");
    ASSERT_NE(h, nullptr);
    g_hook = [](HWND, UINT m, WPARAM w, LPARAM, LRESULT& r) {
        if (m != WM_USER + 12)
            return false;
        r = static_cast<LRESULT>(w) * 1000 + GetCurrentThreadId() % 7;
        return true;
    };
    const LRESULT owner_mod = GetCurrentThreadId() % 7;
    constexpr int kSenders = 4, kEach = 25;
    std::atomic<int> wrong{0}, done{0};
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s)
        senders.emplace_back([&, s] {
            for (int i = 0; i < kEach; ++i) {
                WPARAM w = static_cast<WPARAM>(s * kEach + i);
                if (SendMessageW(h, WM_USER + 12, w, 0) != static_cast<LRESULT>(w) * 1000 + owner_mod)
                    ++wrong;
            }
            ++done;
        });
    EXPECT_TRUE(pump_until([&] { return done.load() == kSenders; }, 30s));
    for (auto& t : senders)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(log_of(WM_USER + 12, h).size(), static_cast<size_t>(kSenders * kEach));
}

TEST_F(WindowTest, TwoThreadsSendingToEachOtherDoNotDeadlock)
{
    watchdog wd("threads sending to each other");
    HWND mine = create_top(L"first thread");
    ASSERT_NE(mine, nullptr);
    const DWORD main_tid = GetCurrentThreadId();

    std::atomic<int> at_barrier{0};
    std::atomic<LRESULT> crossing_result{-1};
    g_hook = [mine, &at_barrier, &crossing_result](HWND, UINT m, WPARAM w, LPARAM, LRESULT& r) {
        if (m == kPing) {
            // On the second thread: call back into the first while it waits.
            r = SendMessageW(mine, kPong, w, 0) + 1;
            return true;
        }
        if (m == kPong || m == kCross) {
            r = static_cast<LRESULT>(w) * 10;
            return true;
        }
        if (m == kStartCrossing) {
            ++at_barrier;
            auto deadline = std::chrono::steady_clock::now() + 20s;
            while (at_barrier.load() < 2 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::yield();
            crossing_result = SendMessageW(mine, kCross, 3, 0);
            r = 0;
            return true;
        }
        return false;
    };

    {
        ui_thread other;
        ASSERT_NE(other.hwnd(), nullptr);

        // Nested: the second thread's handler sends back to this thread,
        // which is itself still waiting in SendMessage.
        EXPECT_EQ(SendMessageW(other.hwnd(), kPing, 4, 0), 41);
        auto pongs = log_of(kPong, mine);
        ASSERT_EQ(pongs.size(), 1u);
        EXPECT_EQ(pongs[0].thread, main_tid);
        auto pings = log_of(kPing, other.hwnd());
        ASSERT_EQ(pings.size(), 1u);
        EXPECT_EQ(pings[0].thread, other.tid());

        // Crossing: both threads send to each other at the same moment.
        ASSERT_TRUE(PostMessageW(other.hwnd(), kStartCrossing, 0, 0));
        ++at_barrier;
        auto deadline = std::chrono::steady_clock::now() + 20s;
        while (at_barrier.load() < 2 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        EXPECT_EQ(SendMessageW(other.hwnd(), kCross, 5, 0), 50);
        EXPECT_TRUE(pump_until([&] { return crossing_result.load() != -1; }, kWait));
        EXPECT_EQ(crossing_result.load(), 30);
        for (const auto& e : log_of(kCross)) {
            if (e.hwnd == mine)
                EXPECT_EQ(e.thread, main_tid);
            else
                EXPECT_EQ(e.thread, other.tid());
        }
    }
}

TEST_F(WindowTest, TimersDeliverTheirIdUntilKilled)
{
    HWND h = create_top(L"timers");
    ASSERT_NE(h, nullptr);
    clear_log();
    EXPECT_NE(SetTimer(h, 5, 20, nullptr), 0u);
    EXPECT_NE(SetTimer(h, 6, 20, nullptr), 0u);

    ASSERT_TRUE(pump_until([&] { return timer_count(h, 5) >= 2 && timer_count(h, 6) >= 1; }, kWait));
    for (const auto& e : log_of(WM_TIMER))
        EXPECT_EQ(e.hwnd, h);

    EXPECT_TRUE(KillTimer(h, 5));
    pump_messages();
    const size_t fives = timer_count(h, 5);
    const size_t sixes = timer_count(h, 6);
    // Timer 6 keeps going for many periods of timer 5; 5 stays silent.
    ASSERT_TRUE(pump_until([&] { return timer_count(h, 6) >= sixes + 6; }, kWait));
    EXPECT_EQ(timer_count(h, 5), fives) << "a killed timer fired again";

    EXPECT_FALSE(KillTimer(h, 5)) << "already killed";
    EXPECT_FALSE(KillTimer(h, 12345)) << "never set";
    EXPECT_TRUE(KillTimer(h, 6));
}

TEST_F(WindowTest, TimerWithProcedureCallsItInsteadOfTheWindow)
{
    HWND h = create_top(L"timer procedure");
    ASSERT_NE(h, nullptr);
    clear_log();
    g_timer_proc_calls = 0;
    EXPECT_NE(SetTimer(h, 7, 20, count_timer), 0u);
    ASSERT_TRUE(pump_until([&] { return g_timer_proc_calls.load() >= 2; }, kWait));
    EXPECT_EQ(g_timer_proc_hwnd.load(), h);
    EXPECT_EQ(g_timer_proc_id.load(), 7u);
    EXPECT_EQ(timer_count(h, 7), 0u) << "the window procedure must not see a timer that has its own procedure";
    EXPECT_TRUE(KillTimer(h, 7));
}

TEST_F(WindowTest, DestroyedWindowsTimersStop)
{
    HWND h = create_top(L"timer of a destroyed window");
    ASSERT_NE(h, nullptr);
    HWND keeper = create_top(L"timer keeper");
    ASSERT_NE(keeper, nullptr);
    EXPECT_NE(SetTimer(h, 8, 20, nullptr), 0u);
    EXPECT_NE(SetTimer(keeper, 9, 20, nullptr), 0u);
    ASSERT_TRUE(pump_until([&] { return timer_count(h, 8) >= 1; }, kWait));
    ASSERT_TRUE(DestroyWindow(h));
    clear_log();
    ASSERT_TRUE(pump_until([&] { return timer_count(keeper, 9) >= 5; }, kWait));
    EXPECT_EQ(log_of(WM_TIMER, h).size(), 0u);
    SetLastError(0);
    EXPECT_EQ(SetTimer(h, 8, 20, nullptr), 0u);
    KillTimer(keeper, 9);
}
