// Device-interface notifications: WM_DEVICECHANGE records for arrivals and
// removals of device interfaces, over the udev monitor (platform/notify).
//
// Records go to the registered window's thread as SendMessageW does: the
// record lives until the window procedure returns and is freed afterwards;
// a handler that wants the name later copies it. The interface name is a
// zero-terminated WCHAR string (UTF-32 here) at dbcc_name.
#pragma once

#include "windef.h"

#define DBT_DEVICEARRIVAL 0x8000
#define DBT_DEVICEQUERYREMOVE 0x8001
#define DBT_DEVICEREMOVECOMPLETE 0x8004

#define DBT_DEVTYP_VOLUME 0x00000002
#define DBT_DEVTYP_DEVICEINTERFACE 0x00000005

#define DEVICE_NOTIFY_WINDOW_HANDLE 0x00000000
#define DEVICE_NOTIFY_ALL_INTERFACE_CLASSES 0x00000004


typedef struct _DEV_BROADCAST_HDR {
    DWORD dbch_size;
    DWORD dbch_devicetype;
    DWORD dbch_reserved;
} DEV_BROADCAST_HDR, *PDEV_BROADCAST_HDR;

// WCHAR is 4 bytes here: the name's first character takes the place of
// Win32's 2 bytes of padding, and sizeof is 32 as there.
typedef struct _DEV_BROADCAST_DEVICEINTERFACE_W {
    DWORD dbcc_size;
    DWORD dbcc_devicetype;
    DWORD dbcc_reserved;
    GUID dbcc_classguid;
    WCHAR dbcc_name[1];
} DEV_BROADCAST_DEVICEINTERFACE_W, *PDEV_BROADCAST_DEVICEINTERFACE_W;

// {A5DCBF10-6530-11D2-901F-00C04FB951ED}
static const GUID GUID_DEVINTERFACE_USB_DEVICE = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

// Registers a window for arrivals and removals of device interfaces. With
// DEVICE_NOTIFY_ALL_INTERFACE_CLASSES every class is delivered; otherwise
// only the class in the DEV_BROADCAST_DEVICEINTERFACE_W filter. Only window
// recipients are supported. Succeeds also where udev cannot be reached (then
// no records arrive). Any thread; the records reach the window's own thread.
HDEVNOTIFY RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags);
// Ends a registration. A record already on its way to the window may still
// arrive; none is sent after that.
BOOL UnregisterDeviceNotification(HDEVNOTIFY handle);

#define RegisterDeviceNotification RegisterDeviceNotificationW
