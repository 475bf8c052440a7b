// Power-setting registrations accept their recipient but deliver nothing
// yet: no display-state source is connected. The handles are never
// dereferenced by callers, only compared with null.
#include <windows.h>

namespace {
char g_registration;
}

HPOWERNOTIFY RegisterPowerSettingNotification(HANDLE, LPCGUID, DWORD) { return &g_registration; }
