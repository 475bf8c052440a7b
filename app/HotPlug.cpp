#include "TessalyDlg.h"

#include "CaptureDevice.h"

#include <dbt.h>

#include <memory>

bool CTessalyDlg::RegisterNotifications()
{
    // With DEVICE_NOTIFY_ALL_INTERFACE_CLASSES the class in the filter
    // restricts nothing: audio endpoint arrivals come through too. The
    // record is sizeof bytes, which is 32 here as on Win32 (the 4-byte
    // first name character takes the place of Win32's padding).
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_reserved = 0;
    filter.dbcc_classguid = GUID_DEVINTERFACE_USB_DEVICE;
    filter.dbcc_name[0] = 0;
    ::RegisterDeviceNotificationW(m_hWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES);

    HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSW wc{};
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = RenderWindowProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = instance;
    wc.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(32512));
    wc.hCursor = ::LoadCursorW(instance, MAKEINTRESOURCEW(32512));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(5));
    wc.lpszMenuName = nullptr;
    wc.lpszClassName = L"RenderWindow";
    // Fails harmlessly for every dialog after the first: the class stays.
    ::RegisterClassW(&wc);

    HWND hidden = ::CreateWindowExW(0, L"RenderWindow", L"Zombie", WS_OVERLAPPEDWINDOW, 0, 0, 30, 20, nullptr,
                                    nullptr, instance, nullptr);
    ::RegisterPowerSettingNotification(hidden, &GUID_CONSOLE_DISPLAY_STATE, DEVICE_NOTIFY_WINDOW_HANDLE);
    return true;
}

BOOL CTessalyDlg::OnDeviceChange(UINT nEventType, DWORD_PTR dwData)
{
    if (nEventType != DBT_DEVICEARRIVAL && nEventType != DBT_DEVICEREMOVECOMPLETE)
        return TRUE;
    // Records of other device types are laid out differently past the header.
    auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(dwData);
    if (!header || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE)
        return TRUE;
    auto* record = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(dwData);

    CString name;
    int size = ::WideCharToMultiByte(CP_ACP, 0, record->dbcc_name, -1, nullptr, 0, nullptr, nullptr);
    if (size > 0) {
        std::unique_ptr<char[]> narrow(new char[static_cast<size_t>(size)]);
        if (::WideCharToMultiByte(CP_ACP, 0, record->dbcc_name, -1, narrow.get(), size, nullptr, nullptr) > 0)
            name = CString(narrow.get());
    }

    if (nEventType == DBT_DEVICEARRIVAL) {
        if (name.Find(L"VID_3188", 0) != -1) {
            m_bDevicePresent = true;
        } else if (name.Find(L"MMDEVAPI", 0) != -1 && m_bDevicePresent) {
            // The stick's audio endpoint arrives last; by then its video
            // interface is listed too.
            ::Sleep(10);
            if (m_capture.isOpened())
                return TRUE;
            if (FindCaptureDevice()) {
                m_capture.open(g_CaptureDeviceIndex);
                // Kept until it is seen to end, like every run, so that an
                // unplug or the dialog's end can wait for it.
                StartCaptureThread();
                EnterFullScreen();
            } else {
                SetNoSignal();
            }
        }
        return TRUE;
    }

    if (name.Find(L"VID_3188", 0) == -1)
        return TRUE;
    m_bDevicePresent = false;
    SetAudioLoop(false);
    ::Sleep(5);
    // A read in progress returns false at once and the run leaves its loop
    // (m_bStopCapture stays as it is, so a later arrival can start again).
    m_capture.release();
    ::Sleep(10);
    // The run must be over before the no-signal screen is drawn (its last
    // frame would cover it) and before a later arrival starts another run
    // reading the source.
    WaitForCaptureThreads(kCaptureEndWait);
    // A run that was just starting switches sound on before it reads.
    SetAudioLoop(false);
    SetNoSignal();
    ExitFullScreen();
    return TRUE;
}
