// Plugging and pulling the emulated 1080p60 capture stick while the dialog
// runs, about twenty times: from the audio endpoint's arrival record to the
// first frame on screen, then to video in full screen, and from the stick's
// removal record to the no-signal screen. The records come the way the
// system delivers them; a window of the benchmark's own, registered before
// the dialog, gets each one just before the dialog does and notes the time.
//
// The first frame is looked for by a thread of its own on a connection of
// its own, as a user's eyes would see it: the dialog's arrival handler holds
// the UI thread while the window manager switches the window to full screen,
// so a look from that thread would wait for the switch too.
// Prints "<name> <value> <unit>" lines.
#include "TessalyDlg.h"
#include "resource.h"
#include "bench_support.h"
#include "../platform/entry/glibc_heap.h"

#include <dbt.h>
#include <videoinput.h>
#include <videovirtual.h>
#include <wavevirtual.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

class BenchDlg : public CTessalyDlg {
};

// Set on the UI thread, read by the screen watcher.
std::atomic<clock_type::time_point> g_endpointArrived;
clock_type::time_point g_stickRemoved;

LRESULT CALLBACK RecorderProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DEVICECHANGE && lParam) {
        const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
        if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
            const auto* record = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam);
            if (wParam == DBT_DEVICEARRIVAL && std::wcsstr(record->dbcc_name, L"MMDEVAPI"))
                g_endpointArrived = clock_type::now();
            if (wParam == DBT_DEVICEREMOVECOMPLETE && std::wcsstr(record->dbcc_name, L"VID_3188"))
                g_stickRemoved = clock_type::now();
        }
        return TRUE;
    }
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

// The left end of the picture control's middle row: black on the no-signal
// screen, one of the test pattern's bars (never black) in video.
bool showing_video(HWND control)
{
    RECT rc;
    ::GetClientRect(control, &rc);
    HDC dc = ::GetDC(control);
    const COLORREF c = ::GetPixel(dc, 2, rc.bottom / 2);
    ::ReleaseDC(control, dc);
    return c != RGB(0, 0, 0) && c != CLR_INVALID;
}

// From its own X connection, the first moment after each endpoint arrival
// that the picture control's left end, on its middle row as the arrival
// found it, is not black: video on screen, whatever the window's size.
class screen_watcher {
public:
    explicit screen_watcher(HWND control) : m_thread([this, control] { watch(control); }) {}
    ~screen_watcher()
    {
        m_quit = true;
        m_thread.join();
    }
    // Since the last arrival; nothing yet: the epoch.
    clock_type::time_point first_video() const { return m_seen.load(); }

private:
    void watch(HWND control)
    {
        Display* d = XOpenDisplay(nullptr);
        if (!d)
            return;
        const auto xid = static_cast<Window>(reinterpret_cast<uintptr_t>(control));
        clock_type::time_point watching{};
        int x = 2, y = 0;
        while (!m_quit) {
            const clock_type::time_point arrived = g_endpointArrived.load();
            if (arrived != watching) {
                watching = arrived;
                m_seen = clock_type::time_point();
                XWindowAttributes a{};
                if (XGetWindowAttributes(d, xid, &a))
                    y = a.height / 2;
            }
            if (watching != clock_type::time_point() && m_seen.load() == clock_type::time_point()) {
                if (XImage* image = XGetImage(d, xid, x, y, 1, 1, AllPlanes, ZPixmap)) {
                    if ((XGetPixel(image, 0, 0) & 0xFFFFFF) != 0)
                        m_seen = clock_type::now();
                    XDestroyImage(image);
                }
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        XCloseDisplay(d);
    }

    std::atomic<bool> m_quit{false};
    std::atomic<clock_type::time_point> m_seen{};
    std::thread m_thread;
};

// Runs this thread's messages, looking at the screen between them, until
// done holds; the time it first held, or nothing after 10 s.
bool pump_until_at(const std::function<bool()>& done, clock_type::time_point& at)
{
    const auto deadline = clock_type::now() + std::chrono::seconds(10);
    while (clock_type::now() < deadline) {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            ::DispatchMessageW(&msg);
        if (done()) {
            at = clock_type::now();
            return true;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return false;
}

double ms(clock_type::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main()
{
    // The viewer's own entry point sets the heap up so.
    glibc_heap_for_frames();
    wave_virtual_install(wave_virtual_config{});
    video_input_virtual_device stick;
    stick.plugged = false;
    const int device = video_input_add_virtual(stick);

    WNDCLASSW wc{};
    wc.lpfnWndProc = RecorderProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"BenchHotPlugRecorder";
    ::RegisterClassW(&wc);
    HWND recorder = ::CreateWindowExW(0, L"BenchHotPlugRecorder", L"", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr,
                                      nullptr, wc.hInstance, nullptr);
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    HDEVNOTIFY notify = recorder ? ::RegisterDeviceNotificationW(recorder, &filter,
                                                                 DEVICE_NOTIFY_WINDOW_HANDLE |
                                                                     DEVICE_NOTIFY_ALL_INTERFACE_CLASSES)
                                 : nullptr;
    BenchDlg dlg;
    if (!notify || !dlg.Create(102)) {
        std::fprintf(stderr, "bench_hotplug: the windows could not be set up (no display?)\n");
        return 1;
    }
    pump_for(std::chrono::milliseconds(500));
    HWND control = dlg.GetDlgItem(IDC_PICTURE)->m_hWnd;

    screen_watcher watcher(control);
    std::vector<double> first_frame, full_screen, removal;
    const int cycles = 21;  // the first warms up (the test pattern is made at the first open)
    for (int i = 0; i < cycles; ++i) {
        g_endpointArrived = clock_type::time_point();
        g_stickRemoved = clock_type::time_point();
        clock_type::time_point shown, blank;
        video_input_plug_virtual(device, true);
        if (!pump_until_at(
                [&] { return g_endpointArrived.load() != clock_type::time_point() && showing_video(control); },
                shown)) {
            std::fprintf(stderr, "bench_hotplug: no video after plugging in (cycle %d)\n", i);
            return 1;
        }
        pump_for(std::chrono::milliseconds(300));
        video_input_plug_virtual(device, false);
        if (!pump_until_at([&] { return g_stickRemoved != clock_type::time_point() && !showing_video(control); },
                           blank)) {
            std::fprintf(stderr, "bench_hotplug: no no-signal screen after pulling out (cycle %d)\n", i);
            return 1;
        }
        const clock_type::time_point seen = watcher.first_video();
        if (i > 0 && seen != clock_type::time_point()) {
            first_frame.push_back(ms(seen - g_endpointArrived.load()));
            full_screen.push_back(ms(shown - g_endpointArrived.load()));
            removal.push_back(ms(blank - g_stickRemoved));
        }
        pump_for(std::chrono::milliseconds(100));
    }
    std::printf("hotplug_arrival_to_first_frame_median %.2f ms\n", percentile(first_frame, 0.5));
    std::printf("hotplug_arrival_to_full_screen_video_median %.2f ms\n", percentile(full_screen, 0.5));
    std::printf("hotplug_removal_to_no_signal_median %.2f ms\n", percentile(removal, 0.5));

    ::SendMessageW(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(1003, 0), 0);
    dlg.DestroyWindow();
    ::UnregisterDeviceNotification(notify);
    ::DestroyWindow(recorder);
    video_input_remove_virtual(device);
    return 0;
}
