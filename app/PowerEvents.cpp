// The display going off and on (at the hidden "RenderWindow" window) and
// the machine waking from sleep (at the dialog).
#include "TessalyDlg.h"

#include "CaptureDevice.h"

LRESULT CALLBACK RenderWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_POWERBROADCAST && wParam == PBT_POWERSETTINGCHANGE && lParam) {
        // The only setting registered is the console display state, so the
        // GUID needs no look.
        const auto* setting = reinterpret_cast<const POWERBROADCAST_SETTING*>(lParam);
        if (setting->Data[0] != 0) {
            // On or dimmed.
            ::OutputDebugStringA("display on111111!!\n");
            if (::ReadAcquire(&g_AudioPipe.m_LoopEverStarted) && !::ReadAcquire(&g_AudioPipe.m_LoopOn)) {
                ::Sleep(1000);
                if (FindCaptureDevice()) {
                    SetAudioLoop(true);
                    ::Sleep(2000);
                    if (HWAVEOUT out = g_AudioPipe.m_SoundOut.DeviceForVolume())
                        ::waveOutSetVolume(out, 0xFFFFFFFF);
                    ::OutputDebugStringA("display on!!\n");
                }
            }
        } else if (::ReadAcquire(&g_AudioPipe.m_LoopOn)) {
            ::OutputDebugStringA("display off!!\n");
            SetAudioLoop(false);
        }
    }
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

LRESULT CTessalyDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_POWERBROADCAST && wParam == PBT_APMRESUMEAUTOMATIC) {
        ::OutputDebugStringA("APMRESUMEAUTOMATIC!!\n");
        if (::ReadAcquire(&g_AudioPipe.m_LoopOn)) {
            SetAudioLoop(false);
            ::Sleep(5);
        }
        if (m_capture.isOpened()) {
            // A read in progress returns false and the run leaves its loop.
            m_capture.release();
            ::Sleep(10);
            // Before the device opens again: a run still between two reads
            // would otherwise go on reading the new device beside the new
            // run.
            WaitForCaptureThreads(kCaptureEndWait);
        }
        if (FindCaptureDevice()) {
            m_capture.open(g_CaptureDeviceIndex);
            StartCaptureThread();
        } else {
            SetNoSignal();
        }
    }
    return CDialog::WindowProc(message, wParam, lParam);
}
