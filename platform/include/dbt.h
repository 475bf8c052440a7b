// Device-change notifications: arrivals and removals of device interfaces,
// delivered to a window as WM_DEVICECHANGE with lParam pointing at a
// record that starts with DEV_BROADCAST_HDR.
#pragma once

#include "windef.h"

#define DBT_DEVICEARRIVAL 0x8000
#define DBT_DEVICEQUERYREMOVE 0x8001
#define DBT_DEVICEREMOVECOMPLETE 0x8004

#define DBT_DEVTYP_VOLUME 2
#define DBT_DEVTYP_DEVICEINTERFACE 5

#define DEVICE_NOTIFY_WINDOW_HANDLE 0
#define DEVICE_NOTIFY_ALL_INTERFACE_CLASSES 4

struct DEV_BROADCAST_HDR {
    DWORD dbch_size;
    DWORD dbch_devicetype;
    DWORD dbch_reserved;
};

// dbcc_name is a zero-terminated wide string that runs past the struct.
// WCHAR is 4 bytes here: the name's first character takes the place of
// Win32's 2 bytes of padding, and sizeof is 32 as there.
struct DEV_BROADCAST_DEVICEINTERFACE_W {
    DWORD dbcc_size;
    DWORD dbcc_devicetype;
    DWORD dbcc_reserved;
    GUID dbcc_classguid;
    WCHAR dbcc_name[1];
};

// {A5DCBF10-6530-11D2-901F-00C04FB951ED}
inline constexpr GUID GUID_DEVINTERFACE_USB_DEVICE = {0xA5DCBF10, 0x6530, 0x11D2,
                                                      {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

// recipient is a window (DEVICE_NOTIFY_WINDOW_HANDLE); filter points at a
// DEV_BROADCAST_DEVICEINTERFACE_W.
HDEVNOTIFY RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags);
