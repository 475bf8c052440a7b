// The program's resources: the main dialog template, the system-menu
// string, the icons, the version data and the manifest.
#include "resource.h"

#include <windows.h>

namespace {

const WORD LANG_CHINESE_PRC = 0x0804;

const RES_DIALOG_ITEM k_dialog_items[] = {
    {0, WS_EX_TRANSPARENT, 0x50000E07, 0, 0, 493, 323, IDC_PICTURE, L"Static", L""},
    {0, 0, 0x40A10101, 233, 298, 125, 23, IDC_LIST, L"ListBox", L""},
};

const RES_DIALOG k_main_dialog = {
    0, WS_EX_APPWINDOW, 0x10CF0848, 0, 0, 493, 323, nullptr, nullptr, L"Vistamo v2.1.9",
    9, 0, 0, 1, L"MS Shell Dlg", k_dialog_items, 2,
};

const uint32_t k_icon_pixels[64 * 64] = {
#include "icon64.inc"
};
const RES_ICON_IMAGE k_icon_image = {64, 64, 32, k_icon_pixels};
const RES_ICON_GROUP k_icon_group = {&k_icon_image, 1};

const RES_VERSION_STRING k_version_strings[] = {
    {L"CompanyName", L"Vistamo"},
    {L"FileDescription", L"Vistamo"},
    {L"FileVersion", L"2.1.8.0"},
    {L"InternalName", L"vistamo"},
    {L"LegalCopyright", L"Copyright (C) Vistamo developers"},
    {L"OriginalFilename", L"vistamo"},
    {L"ProductName", L"Vistamo"},
    {L"ProductVersion", L"2.1.8.0"},
};
const RES_VERSION k_version = {{2, 1, 8, 0}, {2, 1, 8, 0}, LANG_CHINESE_PRC, 1200, k_version_strings, 8};

// Kept for the record; on this platform its requests mean: no elevation
// (the program runs as the user who starts it), device pixels without
// scaling, and no control library to load.
const wchar_t k_manifest[] =
    L"<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">"
    L"<dependency><dependentAssembly><assemblyIdentity type=\"win32\" name=\"Microsoft.Windows.Common-Controls\""
    L" version=\"6.0.0.0\" processorArchitecture=\"x86\" publicKeyToken=\"6595b64144ccf1df\" language=\"*\"/>"
    L"</dependentAssembly></dependency>"
    L"<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\"><security><requestedPrivileges>"
    L"<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/></requestedPrivileges></security></trustInfo>"
    L"<application xmlns=\"urn:schemas-microsoft-com:asm.v3\"><windowsSettings>"
    L"<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true</dpiAware>"
    L"</windowsSettings></application></assembly>";

const RES_ENTRY k_resources[] = {
    {RT_DIALOG, IDD_TESSALY_DIALOG, LANG_CHINESE_PRC, &k_main_dialog},
    {RT_STRING, IDS_ABOUTBOX, LANG_CHINESE_PRC, L"关于 Tessaly(&A)..."},
    {RT_GROUP_ICON, IDR_MAINFRAME, LANG_CHINESE_PRC, &k_icon_group},
    {RT_GROUP_ICON, IDI_VISTAMO, LANG_CHINESE_PRC, &k_icon_group},
    {RT_VERSION, 1, LANG_CHINESE_PRC, &k_version},
    {RT_MANIFEST, 1, 0, k_manifest},
};

const RES_MODULE k_module(k_resources, sizeof k_resources / sizeof k_resources[0]);

}  // namespace
