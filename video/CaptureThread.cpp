// The capture run: frames are read and drawn on the capture thread itself,
// one at a time, with no queue and no hand-off to the UI thread.
#include "TessalyDlg.h"
#include "resource.h"

#include <opencv2/core.hpp>
#include <opencv2/core/core_c.h>

DWORD WINAPI CaptureThreadProc(LPVOID param)
{
    static_cast<CTessalyDlg*>(param)->CaptureLoop();
    return 1;
}

int CTessalyDlg::CaptureLoop()
{
    CRect rect;
    if (CWnd* control = GetDlgItem(IDC_PICTURE))
        ::GetClientRect(control->GetSafeHwnd(), &rect);

    cv::Mat black = cv::Mat::zeros(cv::Size(rect.Width(), rect.Height()), CV_8UC3);
    IplImage blackHeader = cvIplImage(black);
    DrawFrame(&blackHeader);
    black.release();

    m_capture.set(cv::CAP_PROP_FRAME_WIDTH, 1920.0);
    m_capture.set(cv::CAP_PROP_FRAME_HEIGHT, 1080.0);

    SetAudioLoop(true);
    // Counted in before it exists, so that the dialog cannot go unseen.
    ::InterlockedIncrement(&m_nVolumeThreads);
    if (HANDLE volume = ::CreateThread(nullptr, 0, AudioVolumeThreadProc, this, 0, nullptr))
        ::CloseHandle(volume);
    else
        ::InterlockedDecrement(&m_nVolumeThreads);

    ::InterlockedExchange(&m_nLastFrameTick, static_cast<LONG>(::GetTickCount()));
    ::InterlockedIncrement(&m_nRunsReading);
    while (!::ReadAcquire(&m_bStopCapture)) {
        cv::Mat frame;
        try {
            if (!m_capture.read(frame))
                break;
            if (frame.empty())
                break;
            IplImage header = cvIplImage(frame);
            DrawFrame(&header);
            ::InterlockedExchange(&m_nLastFrameTick, static_cast<LONG>(::GetTickCount()));
            frame.release();
        } catch (const cv::Exception&) {
            ::OutputDebugStringA("OnSize error\n");
            frame.release();
        }
    }
    ::InterlockedDecrement(&m_nRunsReading);
    return 1;
}

void CTessalyDlg::WatchSignal()
{
    if (!m_capture.isOpened()) {
        // A source that failed to open (another program streams from the
        // stick) or was released: no signal, once the runs are over, since
        // a run that is setting up still clears the control to black.
        if (!WaitForCaptureThreads(0))
            return;
        ::KillTimer(m_hWnd, kSignalTimer);
        m_bSignalLost = false;
        SetNoSignal();
        return;
    }
    // A run that left its loop with the source still open keeps what it
    // last drew, as before.
    const DWORD quiet = ::GetTickCount() - static_cast<DWORD>(::ReadAcquire(&m_nLastFrameTick));
    if (::ReadAcquire(&m_nRunsReading) == 0 || quiet < kSignalLostAfter) {
        m_bSignalLost = false;
        return;
    }
    if (!m_bSignalLost) {
        m_bSignalLost = true;
        SetNoSignal();
    }
}

void CTessalyDlg::StartCaptureThread()
{
    // Runs that are over need no more waiting for; one still going (its
    // read blocked in a driver after a release) stays on the list.
    WaitForCaptureThreads(0);
    ::InterlockedExchange(&m_nLastFrameTick, static_cast<LONG>(::GetTickCount()));
    m_bSignalLost = false;
    ::SetTimer(m_hWnd, kSignalTimer, kSignalTimerPeriod, nullptr);
    if (HANDLE thread = ::CreateThread(nullptr, 0, CaptureThreadProc, this, 0, nullptr))
        m_captureThreads.push_back(thread);
}

bool CTessalyDlg::WaitForCaptureThreads(DWORD timeout)
{
    const DWORD began = ::GetTickCount();
    for (auto it = m_captureThreads.begin(); it != m_captureThreads.end();) {
        DWORD left = timeout;
        if (timeout != INFINITE) {
            const DWORD spent = ::GetTickCount() - began;
            left = spent < timeout ? timeout - spent : 0;
        }
        const DWORD result = ::WaitForSingleObject(*it, left);
        if (result == WAIT_OBJECT_0) {
            ::CloseHandle(*it);
            it = m_captureThreads.erase(it);
        } else if (result == WAIT_FAILED) {
            // Not a handle that can ever be waited for: kept, it would make
            // the runs look never over.
            ::OutputDebugStringA("capture run wait failed\n");
            it = m_captureThreads.erase(it);
        } else {
            ++it;
        }
    }
    return m_captureThreads.empty();
}
