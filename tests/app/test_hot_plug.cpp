// Plugging and unplugging the capture stick while the main dialog runs:
// device-interface notifications as the system delivers them, against the
// virtual capture stick.
//
// Needs an X display with a window manager (tools/run-tests.sh).
#include "TessalyDlg.h"

#include "message_pump.h"

#include <gtest/gtest.h>

#include <dbt.h>
#include <videoinput.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

class HotPlugDlg : public CTessalyDlg {
public:
    using CTessalyDlg::m_bDevicePresent;
    using CTessalyDlg::m_bFullScreen;
    using CTessalyDlg::m_capture;
    using CTessalyDlg::m_captureThreads;
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
            dlg.WaitForCaptureThreads(5000);
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
        HWND control = ::GetDlgItem(hwnd, 1001);
        RECT rc;
        ::GetClientRect(control, &rc);
        std::vector<COLORREF> pixels;
        HDC dc = ::GetDC(control);
        for (int x = 0; x < rc.right; x += 2)
            pixels.push_back(::GetPixel(dc, x, rc.bottom / 2));
        ::ReleaseDC(control, dc);
        return pixels;
    }
    // The left end of the control's middle row: the no-signal screen's
    // black field, one of the test pattern's bars (never black) in video.
    COLORREF left_middle()
    {
        HWND control = ::GetDlgItem(hwnd, 1001);
        RECT rc;
        ::GetClientRect(control, &rc);
        HDC dc = ::GetDC(control);
        COLORREF c = ::GetPixel(dc, 2, rc.bottom / 2);
        ::ReleaseDC(control, dc);
        return c;
    }

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
    plug();
    EXPECT_TRUE(dlg.m_capture.isOpened());
    EXPECT_TRUE(dlg.m_bFullScreen);
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

    // Plugged in again, the stick runs as before.
    const long long before = delivered();
    plug();
    EXPECT_TRUE(dlg.m_capture.isOpened());
    EXPECT_TRUE(pump_until([&] { return delivered() > before + 2; }));
}

TEST_F(HotPlug, UnplugWhileWindowedKeepsTheWindow)
{
    plug();
    dlg.ExitFullScreen();
    ASSERT_TRUE(pump_until([&] { return delivered() >= 1; }));
    CRect before;
    ::GetWindowRect(hwnd, &before);
    const LONG style = ::GetWindowLongW(hwnd, GWL_STYLE);

    send(DBT_DEVICEREMOVECOMPLETE, kStick);
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
        ASSERT_TRUE(pump_until([&] { return dlg.m_bFullScreen && delivered() >= 3; }, std::chrono::seconds(5)));
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

}  // namespace
