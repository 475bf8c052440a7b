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

// The no-signal screen: the black field at the left end of the middle row,
// and the green text just above that row's centre.
inline bool picture_shows_no_signal(HWND dialog)
{
    if (picture_left_middle(dialog) != RGB(0, 0, 0))
        return false;
    HWND control = ::GetDlgItem(dialog, IDC_PICTURE);
    RECT rc;
    ::GetClientRect(control, &rc);
    HDC dc = ::GetDC(control);
    bool text = false;
    for (int x = rc.right / 2 - 100; !text && x < rc.right / 2 + 100; ++x)
        text = ::GetPixel(dc, x, rc.bottom / 2 - 1) == RGB(0, 255, 0) ||
               ::GetPixel(dc, x, rc.bottom / 2 - 2) == RGB(0, 255, 0);
    ::ReleaseDC(control, dc);
    return text;
}
