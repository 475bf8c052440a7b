// What the tests of the window layer share: window and dialog procedures
// that log every message, the fixture that makes and cleans up windows, and
// a watchdog for the cases that could deadlock. The cases use the layer
// directly, without the framework, and need an X display with a window
// manager (tools/run-tests.sh).
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include "message_pump.h"
#include "x11_probe.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

// After gtest's headers, which Xlib's macros (None, Bool, Status) would break.
#include <X11/Xlib.h>

using namespace std::chrono_literals;

// Every message a test window or dialog procedure saw.
struct logged {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD thread;
};

inline std::mutex g_log_lock;
inline std::vector<logged> g_log;  // guarded by g_log_lock

// Optional per-test behaviour of the test procedures: returns true and sets
// result when it handles the message. Set before windows exist; only read
// afterwards, from whichever thread owns the window.
inline std::function<bool(HWND, UINT, WPARAM, LPARAM, LRESULT&)> g_hook;

inline void log_message(HWND h, UINT m, WPARAM w, LPARAM l)
{
    std::lock_guard<std::mutex> lock(g_log_lock);
    g_log.push_back({h, m, w, l, GetCurrentThreadId()});
}

inline std::vector<logged> log_of(UINT message, HWND hwnd = nullptr)
{
    std::lock_guard<std::mutex> lock(g_log_lock);
    std::vector<logged> out;
    for (const auto& e : g_log)
        if (e.message == message && (!hwnd || e.hwnd == hwnd))
            out.push_back(e);
    return out;
}

inline std::vector<logged> log_all()
{
    std::lock_guard<std::mutex> lock(g_log_lock);
    return g_log;
}

inline void clear_log()
{
    std::lock_guard<std::mutex> lock(g_log_lock);
    g_log.clear();
}

inline LRESULT CALLBACK test_window_proc(HWND h, UINT m, WPARAM w, LPARAM l)
{
    log_message(h, m, w, l);
    LRESULT result = 0;
    if (g_hook && g_hook(h, m, w, l, result))
        return result;
    return DefWindowProcW(h, m, w, l);
}

inline INT_PTR CALLBACK test_dialog_proc(HWND h, UINT m, WPARAM w, LPARAM l)
{
    log_message(h, m, w, l);
    LRESULT result = 0;
    if (g_hook && g_hook(h, m, w, l, result))
        return result;
    return m == WM_INITDIALOG ? TRUE : FALSE;
}

inline constexpr wchar_t kClass[] = L"VistamoTestWindow";

inline HINSTANCE instance() { return GetModuleHandleW(nullptr); }

// Window-manager round trips under the sanitizers can be slow.
inline constexpr std::chrono::milliseconds kWait = kHangTimeout;

// A rectangle's sides, compared at once and each printed on a failure.
inline std::tuple<int, int, int, int> sides(const RECT& r) { return {r.left, r.top, r.right, r.bottom}; }
inline std::tuple<int, int, int, int> sides(const probe_rect& r) { return {r.x, r.y, r.width, r.height}; }

// Ends the process with a message if a test hangs, so that a deadlock shows
// as what it is instead of as the runner's timeout.
class watchdog {
public:
    explicit watchdog(const char* what, std::chrono::seconds limit = 60s)
        : m_thread([this, what, limit] {
              std::unique_lock<std::mutex> lock(m_lock);
              if (!m_cv.wait_for(lock, limit, [this] { return m_done; })) {
                  std::fprintf(stderr, "watchdog: %s did not finish in %lld s\n", what,
                               static_cast<long long>(limit.count()));
                  std::fflush(stderr);
                  std::_Exit(3);
              }
          })
    {
    }
    ~watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_done = true;
        }
        m_cv.notify_all();
        m_thread.join();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_done = false;
    std::thread m_thread;
};

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "these tests need an X display (tools/run-tests.sh)";
        static bool registered = false;
        if (!registered) {
            WNDCLASSW wc{};
            wc.lpfnWndProc = test_window_proc;
            wc.hInstance = instance();
            wc.hbrBackground = GetSysColorBrush(COLOR_WINDOW);
            wc.lpszClassName = kClass;
            ASSERT_NE(RegisterClassW(&wc), 0);
            registered = true;
        }
        clear_log();
        g_hook = nullptr;
    }

    void TearDown() override
    {
        // Hooks capture the test's locals, which are gone by now.
        g_hook = nullptr;
        for (HWND h : m_windows)
            if (IsWindow(h))
                DestroyWindow(h);
    }

    HWND create_top(const wchar_t* title, DWORD style = WS_OVERLAPPEDWINDOW, int width = 300, int height = 200,
                    LPVOID param = nullptr)
    {
        HWND h = CreateWindowExW(0, kClass, title, style, 100, 100, width, height, nullptr, nullptr, instance(),
                                 param);
        if (h)
            m_windows.push_back(h);
        return h;
    }

    HWND create_child(HWND parent, int id, int x = 0, int y = 0, int width = 50, int height = 40,
                      DWORD style = WS_CHILD | WS_VISIBLE)
    {
        return CreateWindowExW(0, kClass, L"", style, x, y, width, height, parent,
                               reinterpret_cast<HMENU>(static_cast<uintptr_t>(id)), instance(), nullptr);
    }

    // Shows a top-level window and waits until the window manager manages
    // it and the layer has seen it mapped.
    bool show_managed(HWND h, const std::string& title)
    {
        ShowWindow(h, SW_SHOW);
        Window xid = static_cast<Window>(reinterpret_cast<uintptr_t>(h));
        return pump_until([&] {
            auto found = m_probe.find_by_title(title);
            return std::find(found.begin(), found.end(), xid) != found.end() && IsWindowVisible(h) &&
                   m_probe.frame_extents(xid).y > 0;
        }, kWait);
    }

    static Window xid_of(HWND h) { return static_cast<Window>(reinterpret_cast<uintptr_t>(h)); }

    x11_probe m_probe;
    std::vector<HWND> m_windows;
};
