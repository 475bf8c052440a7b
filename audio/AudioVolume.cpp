// The volume thread of a capture run: the output starts quietly and goes to
// full volume once the capture is confirmed.
#include "Pipe.h"
#include "TessalyDlg.h"

namespace {

const DWORD kFullVolume = 0xFFFFFFFF;
const DWORD kTestEvery = 4000;  // ms

}  // namespace

DWORD WINAPI AudioVolumeThreadProc(LPVOID param)
{
    auto* dialog = static_cast<CTessalyDlg*>(param);
    // Taken now: the handles stay safe to use after the dialog has gone.
    const HANDLE quit = dialog->m_hVolumeQuit;
    const HANDLE gone = dialog->m_hVolumeGone;
    if (!quit)
        ::OutputDebugStringA("AudioVolumeThreadProc: the dialog has no quit event; the volume stays low\n");
    DWORD result = 1;
    for (;;) {
        // Set, or closed with the dialog: leave at once.
        if (::WaitForSingleObject(quit, kTestEvery) != WAIT_TIMEOUT) {
            result = 0;
            break;
        }
        if (dialog->m_capture.isOpened() && dialog->m_bDevicePresent) {
            if (HWAVEOUT out = g_AudioPipe.m_SoundOut.DeviceForVolume())
                ::waveOutSetVolume(out, kFullVolume);
            break;
        }
    }
    // The last touch of the dialog: it may go as soon as this is seen.
    if (::InterlockedDecrement(&dialog->m_nVolumeThreads) == 0)
        ::SetEvent(gone);
    return result;
}
