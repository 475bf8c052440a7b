// The volume thread of a capture run: the output starts quietly and goes to
// full volume once the capture is confirmed.
#include "Pipe.h"
#include "TessalyDlg.h"

namespace {

const DWORD kFullVolume = 0xFFFFFFFF;
const DWORD kTestEvery = 4000;  // ms
const DWORD kQuitPoll = 50;     // ms

// Waits up to ms, or less once quit is set; false then.
bool wait_unless(const LONG& quit, DWORD ms)
{
    for (DWORD waited = 0; waited < ms; waited += kQuitPoll) {
        if (::ReadAcquire(&quit))
            return false;
        ::Sleep(kQuitPoll);
    }
    return !::ReadAcquire(&quit);
}

}  // namespace

DWORD WINAPI AudioVolumeThreadProc(LPVOID param)
{
    auto* dialog = static_cast<CTessalyDlg*>(param);
    DWORD result = 1;
    for (;;) {
        if (!wait_unless(dialog->m_bVolumeQuit, kTestEvery)) {
            result = 0;
            break;
        }
        if (dialog->m_capture.isOpened() && dialog->m_bDevicePresent) {
            if (HWAVEOUT out = g_AudioPipe.m_SoundOut.m_hWaveOut)
                ::waveOutSetVolume(out, kFullVolume);
            break;
        }
    }
    // The last touch of the dialog: it may go as soon as this is seen.
    ::InterlockedDecrement(&dialog->m_nVolumeThreads);
    return result;
}
