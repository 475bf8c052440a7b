// Plugging and unplugging the capture stick while the main dialog runs:
// device-interface notifications as the system delivers them, against the
// virtual capture stick, and once through the V4L2 path against an
// emulated uvcvideo stick (fake_uvc.h).
//
// Needs an X display with a window manager (tools/run-tests.sh).
#include "TessalyDlg.h"
#include "resource.h"

#include "../devices/fake_v4l2_tree.h"
#include "fake_uvc.h"
#include "message_pump.h"
#include "picture_control.h"
#include "trace_capture.h"
#include "x11_probe.h"

#include <gtest/gtest.h>

#include <dbt.h>
#include <videoinput.h>
#include <videovirtual.h>
#include <wavevirtual.h>

#include <dirent.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

class HotPlugDlg : public CTessalyDlg {
public:
    using CTessalyDlg::m_bDevicePresent;
    using CTessalyDlg::m_bFullScreen;
    using CTessalyDlg::m_capture;
    using CTessalyDlg::m_captureThreads;
    using CTessalyDlg::m_nVolumeThreads;
    using CTessalyDlg::WaitForCaptureThreads;
};

// A notification record as the system delivers it: the name runs past the
// end of the struct.
class interface_record {
public:
    explicit interface_record(const std::wstring& name, DWORD type = DBT_DEVTYP_DEVICEINTERFACE)
        : m_bytes(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) + name.size() * sizeof(WCHAR))
    {
        auto* r = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(m_bytes.data());
        r->dbcc_size = static_cast<DWORD>(m_bytes.size());
        r->dbcc_devicetype = type;
        std::memcpy(r->dbcc_name, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    }
    LPARAM lparam() { return reinterpret_cast<LPARAM>(m_bytes.data()); }

private:
    std::vector<unsigned char> m_bytes;
};

const wchar_t kStick[] = L"\\\\?\\USB#VID_3188&PID_1000#000000000000#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
const wchar_t kEndpoint[] =
    L"\\\\?\\SWD#MMDEVAPI#{0.0.1.00000000}.{8e3b3f0a-1c2d-4e5f-9a0b-1c2d3e4f5a6b}#{2eef81be-33fa-4800-9670-1cd474972c3f}";

class HotPlug : public ::testing::Test {
protected:
    void SetUp() override
    {
        // No stick at start-up: the dialog comes up absent, with the
        // no-signal screen, and the stick is attached afterwards.
        ASSERT_TRUE(dlg.Create(102));
        hwnd = dlg.m_hWnd;
        ASSERT_FALSE(dlg.m_bDevicePresent);
        video_input_virtual_device d;
        d.width = 640;
        d.height = 360;
        device = video_input_add_virtual(d);
    }
    void TearDown() override
    {
        if (::IsWindow(hwnd)) {
            dlg.m_capture.release();
            dlg.WaitForCaptureThreads(kHangTimeoutMs);
            ::DestroyWindow(hwnd);
        }
        video_input_remove_virtual(device);
    }

    LRESULT send(UINT event, const std::wstring& name, DWORD type = DBT_DEVTYP_DEVICEINTERFACE)
    {
        interface_record record(name, type);
        return ::SendMessageW(hwnd, WM_DEVICECHANGE, event, record.lparam());
    }
    void plug()
    {
        send(DBT_DEVICEARRIVAL, kStick);
        send(DBT_DEVICEARRIVAL, kEndpoint);
    }
    long long delivered() { return video_input_get_virtual_stats(device).delivered; }
    // The control's middle row, along which the test pattern's square moves.
    std::vector<COLORREF> middle_row()
    {
        HWND control = ::GetDlgItem(hwnd, IDC_PICTURE);
        RECT rc;
        ::GetClientRect(control, &rc);
        std::vector<COLORREF> pixels;
        HDC dc = ::GetDC(control);
        for (int x = 0; x < rc.right; x += 2)
            pixels.push_back(::GetPixel(dc, x, rc.bottom / 2));
        ::ReleaseDC(control, dc);
        return pixels;
    }
    COLORREF left_middle() { return picture_left_middle(hwnd); }

    HotPlugDlg dlg;
    HWND hwnd = nullptr;
    int device = 0;
};

TEST_F(HotPlug, RegistrationCreatesTheHiddenDisplayStateWindow)
{
    HWND hidden = ::FindWindowW(L"RenderWindow", L"Zombie");
    ASSERT_NE(hidden, nullptr);
    EXPECT_FALSE(::IsWindowVisible(hidden));
}

TEST_F(HotPlug, AudioEndpointWithoutTheStickDoesNothing)
{
    EXPECT_EQ(send(DBT_DEVICEARRIVAL, kEndpoint), TRUE);
    EXPECT_FALSE(dlg.m_bDevicePresent);
    EXPECT_FALSE(dlg.m_capture.isOpened());
    EXPECT_FALSE(dlg.m_bFullScreen);
}

TEST_F(HotPlug, StickArrivalAloneOnlyMarksItPresent)
{
    EXPECT_EQ(send(DBT_DEVICEARRIVAL, kStick), TRUE);
    EXPECT_EQ(send(DBT_DEVICEARRIVAL, kStick), TRUE);
    EXPECT_TRUE(dlg.m_bDevicePresent);
    EXPECT_FALSE(dlg.m_capture.isOpened());
    EXPECT_TRUE(dlg.m_captureThreads.empty());
    EXPECT_FALSE(dlg.m_bFullScreen);
}

// Lower case, other events and other device types are not the stick's.
TEST_F(HotPlug, OtherNamesEventsAndDeviceTypesAreIgnored)
{
    EXPECT_EQ(send(DBT_DEVICEARRIVAL, L"\\\\?\\USB#vid_3188&pid_1000#0#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"), TRUE);
    EXPECT_EQ(send(DBT_DEVICEQUERYREMOVE, kStick), TRUE);
    EXPECT_EQ(send(DBT_DEVICEARRIVAL, kStick, DBT_DEVTYP_VOLUME), TRUE);
    EXPECT_FALSE(dlg.m_bDevicePresent);
    EXPECT_EQ(send(DBT_DEVICEARRIVAL, kEndpoint), TRUE);
    EXPECT_FALSE(dlg.m_capture.isOpened());

    plug();
    ASSERT_TRUE(dlg.m_capture.isOpened());
    EXPECT_EQ(send(DBT_DEVICEQUERYREMOVE, kStick), TRUE);
    EXPECT_EQ(send(DBT_DEVICEREMOVECOMPLETE, kStick, DBT_DEVTYP_VOLUME), TRUE);
    EXPECT_EQ(send(DBT_DEVICEREMOVECOMPLETE, kEndpoint), TRUE);
    EXPECT_TRUE(dlg.m_bDevicePresent);
    EXPECT_TRUE(dlg.m_capture.isOpened());
    EXPECT_TRUE(dlg.m_bFullScreen);
}

TEST_F(HotPlug, StickThenAudioEndpointStartsVideoInFullScreen)
{
    // Another program's window has the keyboard when the stick comes: the
    // viewer, full screen over it, takes the keyboard, or Esc and typing
    // would go to a window the user cannot see.
    x11_probe probe;
    const Window other = probe.create_window("HotPlug another program");
    ASSERT_TRUE(pump_until([&] { return !probe.find_by_title("HotPlug another program").empty(); }));
    // Once: a request still on its way when the stick comes would be the
    // user's newest action, and rightly win.
    probe.activate(other);
    ASSERT_TRUE(pump_until([&] { return probe.active_window() == other; }));
    plug();
    EXPECT_TRUE(dlg.m_capture.isOpened());
    EXPECT_TRUE(dlg.m_bFullScreen);
    EXPECT_TRUE(pump_until([&] { return probe.active_window() == static_cast<Window>(reinterpret_cast<uintptr_t>(hwnd)); }))
        << "the keyboard stayed with the other program";
    ASSERT_TRUE(pump_until([&] { return delivered() >= 3; }));
    const std::vector<COLORREF> shown = middle_row();
    EXPECT_TRUE(pump_until([&] { return middle_row() != shown; })) << "the picture stays as it was";

    // A second endpoint (a headset) while the stick is open changes nothing.
    const size_t runs = dlg.m_captureThreads.size();
    dlg.ExitFullScreen();
    EXPECT_EQ(send(DBT_DEVICEARRIVAL, kEndpoint), TRUE);
    EXPECT_FALSE(dlg.m_bFullScreen) << "full screen entered again";
    EXPECT_EQ(dlg.m_captureThreads.size(), runs);
}

TEST_F(HotPlug, UnplugStopsSoundAndVideoAndLeavesFullScreen)
{
    plug();
    ASSERT_TRUE(pump_until([&] { return delivered() >= 3 && ::ReadAcquire(&g_AudioPipe.m_LoopOn); }));
    ASSERT_TRUE(dlg.m_bFullScreen);
    ASSERT_TRUE(pump_until([&] { return left_middle() != RGB(0, 0, 0); }));

    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(send(DBT_DEVICEREMOVECOMPLETE, kStick), TRUE);
        EXPECT_FALSE(dlg.m_bDevicePresent);
        EXPECT_FALSE(dlg.m_capture.isOpened());
        EXPECT_TRUE(dlg.m_captureThreads.empty()) << "the run goes on after the unplug";
        EXPECT_FALSE(::ReadAcquire(&g_AudioPipe.m_LoopOn));
        EXPECT_FALSE(dlg.m_bFullScreen);
        EXPECT_EQ(left_middle(), RGB(0, 0, 0)) << "no no-signal screen";
    }

    // Plugged in again, the stick runs as before (its counts start again
    // with the new open).
    plug();
    EXPECT_TRUE(dlg.m_capture.isOpened());
    EXPECT_TRUE(pump_until([&] { return delivered() >= 3; }, std::chrono::seconds(10)));
}

// Plug and pull through the V4L2 path. Pulled, the stick fails every call
// at once and the run leaves its loop by itself, still holding the device;
// the removal record then lets go of the descriptor and every mapping. A
// stick that another program streams from shows no signal.
TEST_F(HotPlug, EmulatedV4l2StickPluggedAndPulled)
{
    fake_v4l2_tree tree;
    const std::string class_root = tree.root + "/class", dev_root = tree.root + "/dev";
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const int n = fake_uvc_plug(class_root.c_str(), dev_root.c_str(), fake_uvc_usb3());
        ASSERT_GE(n, 0);
        plug();
        ASSERT_TRUE(dlg.m_bFullScreen);
        // Streams of 1080p, slow under a sanitizer: the limits catch a hang.
        ASSERT_TRUE(pump_until([&] { return fake_uvc_stats_of(n).delivered >= 3 && left_middle() != RGB(0, 0, 0); },
                               std::chrono::seconds(20)));
        const std::vector<COLORREF> shown = middle_row();
        EXPECT_TRUE(pump_until([&] { return middle_row() != shown; }, std::chrono::seconds(10)))
            << "the picture stays as it was";

        fake_uvc_unplug(n);
        ASSERT_TRUE(pump_until([&] { return dlg.WaitForCaptureThreads(0); })) << "the run outlived its stick";
        EXPECT_EQ(fake_uvc_stats_of(n).open_fds, 1);
        send(DBT_DEVICEREMOVECOMPLETE, kStick);
        EXPECT_FALSE(dlg.m_capture.isOpened());
        const fake_uvc_stats gone = fake_uvc_stats_of(n);
        EXPECT_EQ(gone.open_fds, 0);
        EXPECT_EQ(gone.mappings, 0);
        EXPECT_FALSE(dlg.m_bFullScreen);
        EXPECT_EQ(left_middle(), RGB(0, 0, 0)) << "no no-signal screen";
        fake_uvc_forget(n);
    }

    fake_uvc_device busy = *fake_uvc_usb3();
    busy.busy = true;
    const int n = fake_uvc_plug(class_root.c_str(), dev_root.c_str(), &busy);
    ASSERT_GE(n, 0);
    trace_capture traces;
    plug();
    EXPECT_FALSE(dlg.m_capture.isOpened());
    EXPECT_EQ(traces.count("capture: " + v4l2_node_path(n) + " is in use by another program\n"), 1);
    EXPECT_TRUE(pump_until([&] { return dlg.WaitForCaptureThreads(0) && picture_shows_no_signal(hwnd); }))
        << "no no-signal screen";
    fake_uvc_forget(n);
}

// The stick sends one more frame as it is pulled, which the run draws while
// the unplug waits for it: the no-signal screen comes after it, not under it.
TEST_F(HotPlug, UnplugWhileWindowedKeepsTheWindow)
{
    video_input_remove_virtual(device);
    video_input_virtual_device d;
    d.width = 640;
    d.height = 360;
    d.fps = 2;  // the run waits in its read, not in drawing, when the stick goes
    d.late_frame_ms = 200;
    device = video_input_add_virtual(d);
    plug();
    dlg.ExitFullScreen();
    ASSERT_TRUE(pump_until([&] { return delivered() >= 1; }));
    CRect before;
    ::GetWindowRect(hwnd, &before);
    const LONG style = ::GetWindowLongW(hwnd, GWL_STYLE);

    send(DBT_DEVICEREMOVECOMPLETE, kStick);
    // Read before any message is handled: the signal timer would draw the
    // no-signal screen again.
    EXPECT_TRUE(picture_shows_no_signal(hwnd)) << "the stick's last frame covers the no-signal screen";
    pump_messages();
    CRect after;
    ::GetWindowRect(hwnd, &after);
    EXPECT_TRUE(before == after);
    EXPECT_EQ(::GetWindowLongW(hwnd, GWL_STYLE), style);
    EXPECT_FALSE(dlg.m_bFullScreen);
}

// The virtual stick plugged and pulled by hand: its records come the way
// the system delivers them, from the notification thread.
TEST_F(HotPlug, VirtualStickPluggedAndPulledThroughTheNotifications)
{
    video_input_plug_virtual(device, false);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        video_input_plug_virtual(device, true);
        ASSERT_TRUE(pump_until([&] { return dlg.m_bFullScreen && delivered() >= 3; }));
        EXPECT_TRUE(dlg.m_capture.isOpened());
        const std::vector<COLORREF> shown = middle_row();
        EXPECT_TRUE(pump_until([&] { return middle_row() != shown; })) << "the picture stays as it was";

        video_input_plug_virtual(device, false);
        ASSERT_TRUE(pump_until([&] { return !dlg.m_bDevicePresent && dlg.m_captureThreads.empty(); }));
        EXPECT_FALSE(dlg.m_capture.isOpened());
        EXPECT_FALSE(dlg.m_bFullScreen);
        EXPECT_EQ(left_middle(), RGB(0, 0, 0)) << "no no-signal screen";
    }
}

// What the process holds, read from /proc: a cycle that leaks a thread, a
// descriptor, a shared-memory segment (a window's image) or memory shows.
struct held_resources {
    int threads = 0;
    int descriptors = 0;
    int sysv_segments = 0;
    long long rss_kb = 0;
};

int entries(const char* dir)
{
    int n = 0;
    if (DIR* d = ::opendir(dir)) {
        while (dirent* e = ::readdir(d))
            n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

held_resources held_now()
{
    held_resources r;
    r.threads = entries("/proc/self/task");
    r.descriptors = entries("/proc/self/fd") - 1;  // the listing's own
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);)
        r.sysv_segments += line.find("SYSV") != std::string::npos;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, 6, "VmRSS:") == 0)
            r.rss_kb = std::atoll(line.c_str() + 6);
    return r;
}

// Plug and pull while streaming, many times over (`make stress` runs 1000
// cycles; VISTAMO_STRESS_CYCLES sets the count). Every plug brings moving
// video in full screen with sound on, every pull the no-signal screen with
// sound off, and after a warm-up nothing the process holds grows. A run's
// volume thread outlives a pull until it sees a stick open again (it looks
// every 4 s), so the dialog's count of them is left out of the threads.
TEST_F(HotPlug, StressPlugAndPullWhileStreaming)
{
    const char* env = std::getenv("VISTAMO_STRESS_CYCLES");
    const int cycles = env && std::atoi(env) > 0 ? std::atoi(env) : 20;
    const int warm_up = std::min(5, cycles / 2);
#if defined(__SANITIZE_ADDRESS__)
    const long long rss_bound_kb = (128 + 256) << 10;  // ASan keeps up to 256 MB of freed blocks
#else
    const long long rss_bound_kb = 128 << 10;
#endif
    const auto wait = std::chrono::seconds(10);
    // Sound on virtual devices, so that the case runs outside tools/run-tests.sh too.
    wave_virtual_install(wave_virtual_config{});
    struct uninstall {
        ~uninstall() { wave_virtual_uninstall(); }
    } uninstall_wave;
    video_input_plug_virtual(device, false);
    held_resources base;
    LONG base_volume = 0;
    for (int i = 0; i < cycles; ++i) {
        SCOPED_TRACE("cycle " + std::to_string(i));
        if (i == warm_up) {
            base = held_now();
            base_volume = ::ReadAcquire(&dlg.m_nVolumeThreads);
        }
        video_input_plug_virtual(device, true);
        ASSERT_TRUE(pump_until([&] { return dlg.m_bFullScreen && delivered() >= 2; }, wait)) << "no video";
        const std::vector<COLORREF> shown = middle_row();
        ASSERT_TRUE(pump_until([&] { return middle_row() != shown; }, wait)) << "the picture stays as it was";
        ASSERT_TRUE(pump_until([&] { return ::ReadAcquire(&g_AudioPipe.m_LoopOn) != 0; }, wait)) << "no sound";

        video_input_plug_virtual(device, false);
        ASSERT_TRUE(pump_until([&] { return !dlg.m_bDevicePresent && dlg.m_captureThreads.empty(); }, wait))
            << "the run goes on after the pull";
        ASSERT_FALSE(dlg.m_bFullScreen);
        ASSERT_FALSE(::ReadAcquire(&g_AudioPipe.m_LoopOn));
        ASSERT_EQ(left_middle(), RGB(0, 0, 0)) << "no no-signal screen";

        if (i >= warm_up) {
            // Threads and descriptors of the last run may take a moment to go.
            held_resources now;
            EXPECT_TRUE(pump_until(
                [&] {
                    now = held_now();
                    now.threads -= ::ReadAcquire(&dlg.m_nVolumeThreads) - base_volume;
                    return now.threads <= base.threads && now.descriptors <= base.descriptors &&
                           now.sysv_segments <= base.sysv_segments;
                },
                wait))
                << "threads " << base.threads << " -> " << now.threads << ", descriptors " << base.descriptors << " -> "
                << now.descriptors << ", SYSV segments " << base.sysv_segments << " -> " << now.sysv_segments;
            ASSERT_LE(now.rss_kb, base.rss_kb + rss_bound_kb) << "memory grows";
            if (HasFailure())
                return;
        }
    }
}

}  // namespace
