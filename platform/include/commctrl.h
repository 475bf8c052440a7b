// Common controls: nothing to load on this platform; the call only checks
// its argument.
#pragma once

#include "windef.h"

#define ICC_WIN95_CLASSES 0x000000FF

typedef struct tagINITCOMMONCONTROLSEX {
    DWORD dwSize;
    DWORD dwICC;
} INITCOMMONCONTROLSEX, *LPINITCOMMONCONTROLSEX;

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init);
