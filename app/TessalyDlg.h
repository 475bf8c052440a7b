// The main dialog: the program's only visible window. It owns the video
// source and the flags the capture side shares, keeps the picture control
// filling the client area, paints the background (or the icon while
// minimised), and stops capture when it closes.
//
// Threads: every handler runs on the UI thread, which owns the window;
// the frame drawing calls below are the exception.
//
// Lifetime: capture runs read and draw through the dialog. However the
// dialog ends (closing, OK or Cancel, the end of its message loop), every run it started has left before its window goes, and sound
// is off; the destructor does the same for a window that never saw its
// end. A run is never left behind with the dialog.
#pragma once

#include <afxwin.h>

#include "Pipe.h"

#include <videoinput.h>

#include <opencv2/core/types_c.h>
#include <opencv2/videoio.hpp>

#include <atomic>
#include <vector>

// The capture thread's entry; param is the dialog. Returns 1.
DWORD WINAPI CaptureThreadProc(LPVOID param);

// Window procedure of the hidden "RenderWindow" window that receives the
// display-state notifications. The display going off (data byte 0) while
// sound is on switches sound off; on or dimmed (any other byte) after sound
// was once on and is now off waits 1 s and, if the stick is found, switches
// sound on, waits 2 s and raises the output to full volume. Video is left
// alone. Every message then goes to DefWindowProcW. UI thread; it blocks
// for up to about 3 s.
LRESULT CALLBACK RenderWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// The CPipe base is constructed and destroyed with the dialog but never
// started: sound runs through g_AudioPipe.
class CTessalyDlg : public CDialog, public CPipe {
public:
    CTessalyDlg();
    // Ends any capture run still going, then the volume threads of earlier
    // runs.
    ~CTessalyDlg() override;

    // Put image on the picture control (IDC_PICTURE), straight into its window:
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

    // Fills the picture control with the no-signal screen, rebuilt on
    // every call: black, "No Input Signal" in green with its baseline
    // starting 100 px left of the centre on the middle row, and the picture
    // at m_strNoSignalImage drawn centred over it (1:1, or shrunk to fit).
    // The file is looked at on every call, so a replaced picture shows at
    // the next paint, but decoded again only when its device, inode, size
    // or modification time changed (m_noSignalPicture keeps it). Only JPEG
    // and PNG pictures under 10000 pixels each way and of at most 40
    // million pixels, as their headers say before anything is decoded, are
    // drawn. A missing picture leaves the
    // text; so does one that is refused, cut short or undecodable, traced
    // as "SetNoSignal error" once per change of the file. OpenCV errors,
    // including a control with no width or height, are traced the same way
    // and go no further. UI thread only.
    void SetNoSignal();

    // One capture run, on the capture thread: clears the control to black,
    // asks the source for 1920 x 1080, switches sound on and starts the
    // volume thread, then reads and draws frames until the stop flag is set
    // or a read fails (the source released or lost; a source that sends
    // nothing for a while is waited for). Returns 1.
    int CaptureLoop();

    // Timer 2, running from the start of a run until no source is open:
    // once the run has drawn no frame for 2 s while it reads (the stick's
    // HDMI source switched off or still booting), the picture control
    // shows the no-signal screen, also at every repaint, until the run's
    // next frame replaces it. Once no source is open (it failed to open,
    // or was released) and every run is over, it shows the no-signal
    // screen and stops. UI thread only.
    void WatchSignal();

    // Full screen: the window loses its caption and sizing frame, is
    // maximised and then grown one pixel past the maximised rectangle on the
    // left and top and two on the right and bottom; the display and the
    // system are kept awake and timer 1 hides the cursor every ten seconds.
    // Leaving gives back the style (with the frame bits set again) and the
    // window rectangle taken on entering, drops the keep-awake request,
    // stops the timer and raises the cursor count once. Entering while full
    // screen, or leaving while windowed, does nothing. UI thread only.
    void EnterFullScreen();
    void ExitFullScreen();

    // Esc leaves full screen and, like Enter, is always consumed: neither
    // key ends the dialog. Everything else goes to the dialog's own
    // handling.
    BOOL PreTranslateMessage(MSG* pMsg) override;

    // After waking from sleep (PBT_APMRESUMEAUTOMATIC): sound off, the
    // source released and its run waited for as an unplug does, then the
    // stick searched for and opened with a new run, or the no-signal
    // screen. Full screen and the stick's presence stay as they are. Every
    // message then goes on to the dialog's own handling.
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    // Asks for arrivals and removals of device interfaces of every class
    // at this window, and creates the hidden "Zombie" window (class
    // "RenderWindow", never shown, kept until the process ends) that the
    // display-state notifications go to. Called once, as the dialog comes
    // up; registrations are never undone. Always true. UI thread only.
    bool RegisterNotifications();

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;

    afx_msg void OnSysCommand(UINT nID, LPARAM lParam);
    afx_msg void OnPaint();
    afx_msg HCURSOR OnQueryDragIcon();
    afx_msg void OnStopCapture();
    afx_msg void OnClose();
    // The window still exists here, whatever ended the dialog: capture ends
    // for good (see EndCapture) before the window goes.
    afx_msg void OnDestroy();
    afx_msg void OnSize(UINT nType, int cx, int cy);
    // A double click anywhere on the client area (the picture control takes
    // no mouse input) toggles full screen.
    afx_msg void OnLButtonDblClk(UINT nFlags, CPoint point);
    // Timer 1 lowers this thread's cursor display count below zero; timer 2
    // is WatchSignal's.
    afx_msg void OnTimer(UINT_PTR nIDEvent);
    // Motion of more than one pixel on either axis since the last message
    // raises the cursor display count by one, in either mode.
    afx_msg void OnMouseMove(UINT nFlags, CPoint point);
    // Follows the capture stick (interfaces named with "VID_3188", case
    // sensitive): its arrival marks it present, and the next audio endpoint
    // arrival ("MMDEVAPI") opens it, starts a run and enters full screen;
    // its removal switches sound off, releases the source, waits for the
    // run to end as the stop command does, shows the no-signal screen and
    // leaves full screen. dwData points at a DEV_BROADCAST_DEVICEINTERFACE_W;
    // other events and device types are ignored. Always TRUE.
    afx_msg BOOL OnDeviceChange(UINT nEventType, DWORD_PTR dwData);
    DECLARE_MESSAGE_MAP()

    // Moves and sizes one child in proportion to the new client size, from
    // the client size at the last layout (m_rcClient).
    void ChangeSize(CWnd* pWnd, int cx, int cy);

    // Starts a capture run on its own thread. The handle of every run is
    // kept until the run is seen to have ended (here, for runs already
    // over, or in WaitForCaptureThreads), so that a run still inside its
    // loop when another starts can be waited for too. UI thread only.
    void StartCaptureThread();
    // Waits up to timeout ms in all (INFINITE: as long as it takes) for
    // every run started to end; true when none is left. UI thread only.
    bool WaitForCaptureThreads(DWORD timeout);
    // The stop command's steps: stop flag, sound off, source released, then
    // up to wait ms for the runs to leave their loops, and sound off again
    // for a run that switched it on meanwhile.
    void StopCapture(DWORD wait);
    // Capture stopped for good before the dialog goes: StopCapture waiting
    // for every run, however long a driver holds its read (releasing the
    // source ends a read; a driver's own timeout ends the rest).
    void EndCapture();

    // How long the stop command, closing and an unplug wait for the runs to
    // leave their loops. Releasing the source ends a read in progress on a
    // virtual device at once; a real device whose driver holds the read
    // longer keeps the window responsive, and the run is waited for to the
    // end only as the window goes (EndCapture).
    static constexpr DWORD kCaptureEndWait = 700;

    CPoint m_ptLastMouse;  // client position of the last mouse-move message
    HICON m_hIcon;
    video_input_capture m_capture;  // a cv::VideoCapture that opens by device list position
    BOOL m_bFullScreen;
    CRect m_rcRestore;  // window rectangle taken on entering full screen
    LONG m_lStyle;      // style word as last set by entering or leaving full screen
    CStringA m_strNoSignalImage;
    std::shared_ptr<struct NoSignalPicture> m_noSignalPicture;  // decoded m_strNoSignalImage (UI thread only)
    // Written on the UI thread, read by the volume threads: atomic, so the
    // hand-over is a plain load and store with nothing torn or reordered.
    std::atomic<bool> m_bDevicePresent;
    BOOL m_bStopCapture;
    CRect m_rcClient;
    CListBox m_listBox;
    std::vector<HANDLE> m_captureThreads;  // runs not yet seen to end (UI thread only)
    // Written by the runs, read by WatchSignal: when a run last began
    // reading or drew a frame (GetTickCount), and how many runs are in
    // their reading loop.
    LONG m_nLastFrameTick = 0;
    LONG m_nRunsReading = 0;
    bool m_bSignalLost = false;  // the no-signal screen stands in for frames (UI thread only)
    static constexpr UINT_PTR kSignalTimer = 2;
    static constexpr UINT kSignalTimerPeriod = 500;  // ms
    static constexpr DWORD kSignalLostAfter = 2000;  // ms without a frame

    // Volume threads read the dialog every few seconds until the capture is
    // confirmed, which may be never: they count themselves in and leave
    // once asked, so that the dialog can wait for them before it goes.
    // Each takes both events' handles as it starts; the one that counts
    // the last out sets m_hVolumeGone after it no longer touches the
    // dialog. The dialog sets m_hVolumeQuit, then closes both as it goes.
    friend DWORD WINAPI AudioVolumeThreadProc(LPVOID param);
    HANDLE m_hVolumeQuit = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);   // manual reset
    HANDLE m_hVolumeGone = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);  // auto reset
    LONG m_nVolumeThreads = 0;
    static constexpr DWORD kVolumeThreadsWait = 2000;  // ms, for one stuck in a device call
};
