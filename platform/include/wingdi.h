// GDI subset: device contexts of windows draw into a pixel surface that the
// layer keeps for each window and shows on screen at once, from whichever
// thread draws. Pixels read back with GetPixel are what was drawn, also
// while the window is iconic or unmapped.
#pragma once

#include "windef.h"

#define CLR_INVALID 0xFFFFFFFFu
#define ETO_OPAQUE 0x0002

HBRUSH CreateSolidBrush(COLORREF color);
BOOL DeleteObject(HGDIOBJ object);
COLORREF SetBkColor(HDC hdc, COLORREF color);
COLORREF GetBkColor(HDC hdc);
BOOL ExtTextOutW(HDC hdc, int x, int y, UINT options, const RECT* rect, LPCWSTR text, UINT count,
                 const INT* dx);
COLORREF GetPixel(HDC hdc, int x, int y);
COLORREF SetPixel(HDC hdc, int x, int y, COLORREF color);
