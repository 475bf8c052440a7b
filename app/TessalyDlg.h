// The main dialog: the program's only visible window. It owns the video
// source and the flags the capture side shares, keeps the picture control
// filling the client area, paints the background (or the icon while
// minimised), and stops capture when it closes.
//
// Threads: every handler runs on the UI thread, which owns the window.
#pragma once

#include <afxwin.h>

#include <opencv2/videoio.hpp>

class CTessalyDlg : public CDialog {
public:
    CTessalyDlg();

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;

    afx_msg void OnSysCommand(UINT nID, LPARAM lParam);
    afx_msg void OnPaint();
    afx_msg HCURSOR OnQueryDragIcon();
    afx_msg void OnStopCapture();
    afx_msg void OnClose();
    afx_msg void OnSize(UINT nType, int cx, int cy);
    DECLARE_MESSAGE_MAP()

    // Moves and sizes one child in proportion to the new client size, from
    // the client size at the last layout (m_rcClient).
    void ChangeSize(CWnd* pWnd, int cx, int cy);

    CPoint m_ptLastMouse;
    HICON m_hIcon;
    cv::VideoCapture m_capture;
    BOOL m_bFullScreen;
    CRect m_rcRestore;
    LONG m_lStyle;
    CStringA m_strNoSignalImage;
    bool m_bDevicePresent;
    BOOL m_bStopCapture;
    CRect m_rcClient;
    CListBox m_listBox;
};
