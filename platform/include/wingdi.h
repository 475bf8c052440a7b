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

// Device-independent bitmaps ----------------------------------------------------

#define BI_RGB 0L
#define DIB_RGB_COLORS 0
#define SRCCOPY 0x00CC0020u

// Stretch modes. HALFTONE is smooth scaling: area averaging when shrinking,
// interpolation when enlarging. COLORONCOLOR (and the two older modes) take
// the nearest source pixel.
#define BLACKONWHITE 1
#define WHITEONBLACK 2
#define COLORONCOLOR 3
#define HALFTONE 4
#define STRETCH_ANDSCANS BLACKONWHITE
#define STRETCH_ORSCANS WHITEONBLACK
#define STRETCH_DELETESCANS COLORONCOLOR
#define STRETCH_HALFTONE HALFTONE

#pragma pack(push, 1)
typedef struct tagRGBQUAD {
    BYTE rgbBlue;
    BYTE rgbGreen;
    BYTE rgbRed;
    BYTE rgbReserved;
} RGBQUAD;
#pragma pack(pop)

typedef struct tagBITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;  // positive: bottom-up rows; negative: top-down rows
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
} BITMAPINFOHEADER, *LPBITMAPINFOHEADER;

typedef struct tagBITMAPINFO {
    BITMAPINFOHEADER bmiHeader;
    RGBQUAD bmiColors[1];  // 8 bits per pixel: 256 entries (biClrUsed 0)
} BITMAPINFO, *LPBITMAPINFO;

// Any thread may draw, without the window's thread taking part. What is
// drawn is in the window's pixels when the call returns, and on its way to
// the screen: the call does not wait for the server to show it, and the
// next drawing into the window waits until the server has read it.
int SetStretchBltMode(HDC hdc, int mode);
int GetStretchBltMode(HDC hdc);
// Rows are 4-byte aligned as in Win32. 8 (through the colour table), 24
// and 32 bits per pixel with BI_RGB. Returns the number of scan lines
// drawn, 0 on failure.
int StretchDIBits(HDC hdc, int xDest, int yDest, int destWidth, int destHeight, int xSrc, int ySrc, int srcWidth,
                  int srcHeight, const void* bits, const BITMAPINFO* info, UINT usage, DWORD rop);
// startScan/scanLines select the band of the bitmap that bits holds,
// counted from the bitmap's bottom row as in Win32.
int SetDIBitsToDevice(HDC hdc, int xDest, int yDest, DWORD width, DWORD height, int xSrc, int ySrc, UINT startScan,
                      UINT scanLines, const void* bits, const BITMAPINFO* info, UINT usage);
