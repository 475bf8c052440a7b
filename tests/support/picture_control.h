// What the main dialog's picture control shows, read back from its surface.
#pragma once

#include <windows.h>

#include "../../res/resource.h"

// The left end of the control's middle row: the no-signal screen's black
// field, one of the test pattern's bars (never black) in video, or
// whatever else was drawn there.
inline COLORREF picture_left_middle(HWND dialog)
{
    HWND control = ::GetDlgItem(dialog, IDC_PICTURE);
    RECT rc;
    ::GetClientRect(control, &rc);
    HDC dc = ::GetDC(control);
    COLORREF c = ::GetPixel(dc, 2, rc.bottom / 2);
    ::ReleaseDC(control, dc);
    return c;
}
