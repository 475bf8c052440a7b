// Resource identifiers.
#pragma once

#define IDS_ABOUTBOX 101
#define IDD_TESSALY_DIALOG 102
#define IDR_MAINFRAME 128
#define IDI_VISTAMO 130
#define IDC_PICTURE 1001
#define IDC_LIST 1007
#define IDM_ABOUTBOX 0x0010
