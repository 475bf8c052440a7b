// Built-in resources. A program describes its resources with these records
// (the role the resource compiler plays on Windows) and registers one table
// with RES_MODULE; LoadIconW, LoadStringW, CreateDialogParamW and friends
// look them up by type and identifier. Records are constant data that live
// for the whole process.
#pragma once

#include "windef.h"

// One control of a dialog template; position and size in dialog units.
typedef struct tagRES_DIALOG_ITEM {
    DWORD helpId;
    DWORD exStyle;
    DWORD style;
    short x, y, cx, cy;
    DWORD id;
    LPCWSTR windowClass;  // "Static", "ListBox", ...
    LPCWSTR title;
} RES_DIALOG_ITEM;

// An extended dialog template. Dialog units become pixels through the base
// units of the template's font (see MapDialogRect).
typedef struct tagRES_DIALOG {
    DWORD helpId;
    DWORD exStyle;
    DWORD style;
    short x, y, cx, cy;
    LPCWSTR menu;         // nullptr: no menu
    LPCWSTR windowClass;  // nullptr: the dialog class
    LPCWSTR title;
    WORD pointSize;
    WORD weight;
    BYTE italic;
    BYTE charSet;
    LPCWSTR typeface;
    const RES_DIALOG_ITEM* items;
    WORD itemCount;
} RES_DIALOG;

// One icon image: width x height pixels, 0xAARRGGBB, straight alpha, top row
// first. An icon group lists its images.
typedef struct tagRES_ICON_IMAGE {
    int width;
    int height;
    int bitCount;
    const uint32_t* pixels;
} RES_ICON_IMAGE;

typedef struct tagRES_ICON_GROUP {
    const RES_ICON_IMAGE* images;
    int imageCount;
} RES_ICON_GROUP;

// Version data: numeric versions as four 16-bit parts, most significant
// first, and the string table of one translation.
typedef struct tagRES_VERSION_STRING {
    LPCWSTR name;
    LPCWSTR value;
} RES_VERSION_STRING;

typedef struct tagRES_VERSION {
    WORD fileVersion[4];
    WORD productVersion[4];
    WORD language;
    WORD codePage;
    const RES_VERSION_STRING* strings;
    int stringCount;
} RES_VERSION;

// A table entry: data points to a RES_DIALOG, RES_ICON_GROUP, RES_VERSION,
// or (for RT_STRING) a zero-terminated wide string.
typedef struct tagRES_ENTRY {
    LPCWSTR type;
    UINT id;
    WORD language;
    const void* data;
} RES_ENTRY;

// Registers the program's resource table with the layer at static
// initialisation. Only one table exists per process; a later registration
// replaces the earlier one.
struct RES_MODULE {
    RES_MODULE(const RES_ENTRY* entries, size_t count);
};

// The program's version data, or nullptr when it has none.
const RES_VERSION* GetModuleVersionResource();
