// The main dialog: the program's only visible window. It owns the video
// source and the flags the capture side shares, keeps the picture control
// filling the client area, paints the background (or the icon while
// minimised), and stops capture when it closes.
//
// Threads: every handler runs on the UI thread, which owns the window;
// the frame drawing calls below are the exception.
#pragma once

#include <afxwin.h>

#include <opencv2/core/types_c.h>
#include <opencv2/videoio.hpp>

class CTessalyDlg : public CDialog {
public:
    CTessalyDlg();

    // Put image on the picture control (1001), straight into its window:
    // DrawFrame scales it to the largest size that keeps its aspect ratio,
    // centred; DrawFrameCentered draws it 1:1 and centred, shrinking it
    // (never enlarging) only when it does not fit. The parts of the control
    // beside the image keep what they showed. image is only read; null or
    // unusable images draw nothing. OpenCV errors are traced as
    // "OnSize error" on the debug output and go no further.
    //
    // May be called on any thread (the capture thread draws every frame),
    // also while the UI thread draws: each call keeps its own copy of the
    // image and its own device context, and nothing orders overlapping draws.
    void DrawFrame(IplImage* image);
    void DrawFrameCentered(IplImage* image);

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
