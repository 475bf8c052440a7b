// Registrations that accept their recipient but deliver nothing yet: no
// device or power-setting notification source is connected. The handles
// are never dereferenced by callers, only compared with null.
#include <windows.h>

namespace {
char g_registration;
}

HDEVNOTIFY RegisterDeviceNotificationW(HANDLE, LPVOID, DWORD) { return &g_registration; }

HPOWERNOTIFY RegisterPowerSettingNotification(HANDLE, LPCGUID, DWORD) { return &g_registration; }
