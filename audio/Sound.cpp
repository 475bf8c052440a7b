#include "Sound.h"

#include <cstdint>
#include <cstring>
#include <new>

namespace {

// The window of the noise-reduction tool that wants to hear of every
// recorded buffer, when it runs on this display.
const wchar_t kListenerTitle[] = L"降噪处理软件";

// How long an object's destructor waits for its thread to leave its loop.
const DWORD kThreadEndWait = 2000;

void copy_format(WAVEFORMATEX& to, const WAVEFORMATEX* from)
{
    if (!from || from == &to)
        return;
    std::memcpy(&to, from, 16);
    to.cbSize = from->cbSize;
}

bool is_set(const LONG& flag) { return ::ReadAcquire(&flag) != FALSE; }

void release_block(WAVEHDR* header)
{
    delete[] header->lpData;
    delete header;
}

// A notification handler that saw the device still running just before a
// stop may queue its buffer again after the stop's reset; the device then
// refuses to close with that buffer in it. One more reset hands it back
// (the handler, now seeing the stop, frees it) and the close goes through,
// instead of the device staying open for good.
MMRESULT CloseAfterLateRequeue(HWAVEIN device)
{
    MMRESULT result = ::waveInClose(device);
    if (result == WAVERR_STILLPLAYING && ::waveInReset(device) == MMSYSERR_NOERROR)
        result = ::waveInClose(device);
    return result;
}

MMRESULT CloseAfterLateRequeue(HWAVEOUT device)
{
    MMRESULT result = ::waveOutClose(device);
    if (result == WAVERR_STILLPLAYING && ::waveOutReset(device) == MMSYSERR_NOERROR)
        result = ::waveOutClose(device);
    return result;
}

}  // namespace

CSoundBase::CSoundBase() : m_Format{}, m_BufferSamples(2048)
{
    m_Format.wFormatTag = WAVE_FORMAT_PCM;
    m_Format.nChannels = 1;
    m_Format.nSamplesPerSec = 44100;
    m_Format.nAvgBytesPerSec = 88200;
    m_Format.nBlockAlign = 2;
    m_Format.wBitsPerSample = 16;
    m_Format.cbSize = 0;
}

void EndSoundThread(CWinThread& thread)
{
    if (!thread.m_hThread)
        return;
    thread.PostThreadMessage(WM_QUIT, 0, 0);
    ::WaitForSingleObject(thread.m_hThread, kThreadEndWait);
}

// Input ---------------------------------------------------------------------

BEGIN_MESSAGE_MAP(CSoundIn, CWinThread)
    ON_THREAD_MESSAGE(MM_WIM_DATA, &CSoundIn::OnWIM_DATA)
END_MESSAGE_MAP()

CSoundIn::CSoundIn()
    : m_Callback(nullptr),
      m_CallbackOwner(nullptr),
      m_Recording(FALSE),
      m_hWaveIn(nullptr),
      m_QueuedBuffers(0),
      m_ThreadId(0)
{
    CreateThread(0, 0, nullptr);
    m_bAutoDelete = FALSE;
    ::InitializeCriticalSection(&m_Lock);
}

CSoundIn::~CSoundIn()
{
    if (is_set(m_Recording))
        StopDevice();
    // The loop uses this object: it ends before anything of it goes.
    EndSoundThread(*this);
    ::DeleteCriticalSection(&m_Lock);
}

BOOL CSoundIn::InitInstance()
{
    m_ThreadId = ::GetCurrentThreadId();
    return TRUE;
}

bool CSoundIn::Start(const WAVEFORMATEX* format)
{
    ::EnterCriticalSection(&m_Lock);
    const bool recording = is_set(m_Recording);
    ::LeaveCriticalSection(&m_Lock);
    if (recording || !m_Callback || !m_CallbackOwner)
        return false;
    copy_format(m_Format, format);

    MMRESULT result = ::waveInOpen(&m_hWaveIn, WAVE_MAPPER, &m_Format, m_ThreadId, 0, CALLBACK_THREAD);
    if (result != MMSYSERR_NOERROR) {
        TraceWaveInError(result, L"in Start()");
        return false;
    }
    for (int i = 0; i < 3; ++i)
        AddInputBufferToQueue();

    ::EnterCriticalSection(&m_Lock);
    result = ::waveInStart(m_hWaveIn);
    if (result != MMSYSERR_NOERROR) {
        TraceWaveInError(result, L"in Start()");
        // Not left open: the buffers come back to the thread, which frees
        // them, and the next Start opens afresh.
        ::waveInReset(m_hWaveIn);
        ::LeaveCriticalSection(&m_Lock);
        ::waveInClose(m_hWaveIn);
        return false;
    }
    ::InterlockedExchange(&m_Recording, TRUE);
    ::LeaveCriticalSection(&m_Lock);
    return true;
}

void CSoundIn::AddInputBufferToQueue()
{
    auto* header = new (std::nothrow) WAVEHDR{};
    if (!header)
        return;
    // The block outlives this temporary: the header carries it from here.
    CBuffer block(m_Format.nBlockAlign * m_BufferSamples, false);
    if (!block.m_Data) {
        delete header;
        return;
    }
    header->lpData = block.m_Data;
    header->dwBufferLength = static_cast<DWORD>(block.m_Length);

    MMRESULT result = ::waveInPrepareHeader(m_hWaveIn, header, sizeof(WAVEHDR));
    if (result == MMSYSERR_NOERROR) {
        result = ::waveInAddBuffer(m_hWaveIn, header, sizeof(WAVEHDR));
        if (result != MMSYSERR_NOERROR)
            ::waveInUnprepareHeader(m_hWaveIn, header, sizeof(WAVEHDR));
    }
    if (result != MMSYSERR_NOERROR) {
        TraceWaveInError(result, L"in AddInputBufferToQueue()");
        release_block(header);
        return;
    }
    ::InterlockedIncrement(&m_QueuedBuffers);
}

void CSoundIn::OnWIM_DATA(WPARAM device, LPARAM lParam)
{
    auto* header = reinterpret_cast<WAVEHDR*>(lParam);
    ::EnterCriticalSection(&m_Lock);
    const bool recording = is_set(m_Recording);
    // Start writes the handle before it sets the flag under this lock.
    const bool current = recording && reinterpret_cast<HWAVEIN>(device) == m_hWaveIn;
    ::LeaveCriticalSection(&m_Lock);
    if (!current) {
        // Returned by Stop's reset; or by the reset of a device closed
        // before this one opened, reaching this thread late (switched off
        // and straight on again), whose old audio must not go on.
        release_block(header);
        ::InterlockedDecrement(&m_QueuedBuffers);
        return;
    }

    MMRESULT result = ::waveInUnprepareHeader(m_hWaveIn, header, sizeof(WAVEHDR));
    if (result != MMSYSERR_NOERROR) {
        TraceWaveInError(result, L"in OnWIM_DATA()");
        return;
    }
    // The whole block, whatever the device says it recorded.
    CBuffer view(header->lpData, static_cast<int>(header->dwBufferLength));
    if (HWND listener = ::FindWindowW(nullptr, kListenerTitle))
        ::PostMessageW(listener, g_UserMessage, 0, reinterpret_cast<LPARAM>(header));
    m_Callback(&view, m_CallbackOwner);

    result = ::waveInPrepareHeader(m_hWaveIn, header, sizeof(WAVEHDR));
    if (result == MMSYSERR_NOERROR)
        result = ::waveInAddBuffer(m_hWaveIn, header, sizeof(WAVEHDR));
    if (result != MMSYSERR_NOERROR) {
        TraceWaveInError(result, L"in OnWIM_DATA()");
        release_block(header);
        ::InterlockedDecrement(&m_QueuedBuffers);
    }
}

void CSoundIn::Stop()
{
    ::EnterCriticalSection(&m_Lock);
    const bool recording = is_set(m_Recording);
    ::LeaveCriticalSection(&m_Lock);
    if (recording)
        StopDevice();
}

void CSoundIn::StopDevice()
{
    ::EnterCriticalSection(&m_Lock);
    ::InterlockedExchange(&m_Recording, FALSE);
    if (::waveInReset(m_hWaveIn) != MMSYSERR_NOERROR) {
        TraceAudioError(L"CSoundIn waveInReset failed!");
        ::LeaveCriticalSection(&m_Lock);
        return;
    }
    ::LeaveCriticalSection(&m_Lock);
    // Meanwhile the object's thread frees the buffers the reset returned.
    ::Sleep(500);
    if (CloseAfterLateRequeue(m_hWaveIn) != MMSYSERR_NOERROR)
        TraceAudioError(L"CSoundIn waveinClose failed!");
    ::Sleep(10);
    const LONG left = ::ReadAcquire(&m_QueuedBuffers);
    if (left != 0)
        TraceAudioError(L"Still %d buffers in waveIn queue!", static_cast<int>(left));
}

void CSoundIn::TraceWaveInError(MMRESULT code, const wchar_t* location)
{
    wchar_t text[100] = L"";
    ::waveInGetErrorTextW(code, text, 100);
    TraceAudioError(L"WAVEIN:%x:%s %s", static_cast<unsigned>(code), text, location);
}

// Output --------------------------------------------------------------------

BEGIN_MESSAGE_MAP(CSoundOut, CWinThread)
    ON_THREAD_MESSAGE(MM_WOM_DONE, &CSoundOut::OnWOM_DONE)
END_MESSAGE_MAP()

CSoundOut::CSoundOut()
    : m_Callback(nullptr),
      m_CallbackOwner(nullptr),
      m_Playing(FALSE),
      m_hWaveOut(nullptr),
      m_ThreadId(0),
      m_QueuedBuffers(0)
{
    CreateThread(0, 0, nullptr);
    m_bAutoDelete = FALSE;
    ::InitializeCriticalSection(&m_Lock);
}

CSoundOut::~CSoundOut()
{
    if (is_set(m_Playing))
        StopDevice();
    EndSoundThread(*this);
    ::DeleteCriticalSection(&m_Lock);
}

BOOL CSoundOut::InitInstance()
{
    m_ThreadId = ::GetCurrentThreadId();
    return TRUE;
}

bool CSoundOut::Start(const WAVEFORMATEX* format)
{
    if (is_set(m_Playing) || !m_Callback || !m_CallbackOwner)
        return false;
    copy_format(m_Format, format);

    ::EnterCriticalSection(&m_Lock);
    const MMRESULT result = ::waveOutOpen(&m_hWaveOut, WAVE_MAPPER, &m_Format, m_ThreadId, 0, CALLBACK_THREAD);
    if (result != MMSYSERR_NOERROR) {
        TraceWaveOutError(result, L"in start()");
        ::LeaveCriticalSection(&m_Lock);
        return false;
    }
    ::InterlockedExchange(&m_Playing, TRUE);
    for (int i = 0; i < 3; ++i) {
        CBuffer priming(m_Format.nBlockAlign * m_BufferSamples, false);
        if (!priming.m_Data)
            continue;
        // A callback that leaves it alone (the pipe does, until it is on)
        // plays silence rather than whatever the heap held.
        std::memset(priming.m_Data, 0, static_cast<size_t>(priming.m_Length));
        m_Callback(&priming, m_CallbackOwner);
        AddOutputBufferToQueue(&priming);
    }
    ::LeaveCriticalSection(&m_Lock);
    return true;
}

int CSoundOut::AddOutputBufferToQueue(CBuffer* buffer)
{
    const int before = static_cast<int>(::ReadAcquire(&m_QueuedBuffers));
    auto* header = new (std::nothrow) WAVEHDR{};
    if (!header)
        return before;
    InvertPolarity(buffer->m_Data, buffer->m_Length);
    header->lpData = buffer->m_Data;
    header->dwBufferLength = static_cast<DWORD>(buffer->m_Length);
    header->dwFlags = 0;

    MMRESULT result = ::waveOutPrepareHeader(m_hWaveOut, header, sizeof(WAVEHDR));
    if (result != MMSYSERR_NOERROR) {
        TraceWaveOutError(result, L"in AddOutputBufferToQueue()");
        release_block(header);
        return before;
    }
    result = ::waveOutWrite(m_hWaveOut, header, sizeof(WAVEHDR));
    if (result != MMSYSERR_NOERROR) {
        TraceWaveOutError(result, L"in AddOutputBufferToQueue()");
        // Counted below all the same; the device never returns it, so it is
        // freed here.
        ::waveOutUnprepareHeader(m_hWaveOut, header, sizeof(WAVEHDR));
        release_block(header);
    }
    ::InterlockedIncrement(&m_QueuedBuffers);
    return before;
}

void CSoundOut::OnWOM_DONE(WPARAM device, LPARAM lParam)
{
    auto* header = reinterpret_cast<WAVEHDR*>(lParam);
    ::EnterCriticalSection(&m_Lock);
    const bool playing = is_set(m_Playing);
    const bool current = reinterpret_cast<HWAVEOUT>(device) == m_hWaveOut;
    ::LeaveCriticalSection(&m_Lock);
    if (!current) {
        // Returned by the reset of a device closed before this one opened,
        // reaching this thread only now (switched off and straight on
        // again): it is neither one of this device's buffers nor counted.
        release_block(header);
        return;
    }
    if (playing) {
        MMRESULT result = ::waveOutUnprepareHeader(m_hWaveOut, header, sizeof(WAVEHDR));
        if (result != MMSYSERR_NOERROR) {
            TraceWaveOutError(result, L"in OnWOM_DONE()");
            return;
        }
        ::InterlockedDecrement(&m_QueuedBuffers);
        CBuffer view(header->lpData, static_cast<int>(header->dwBufferLength));
        if (!m_Callback(&view, m_CallbackOwner)) {
            // Nothing to play: this buffer leaves circulation.
            release_block(header);
            return;
        }
        if (view.m_Length > 0) {
            // The same block goes back under a new header.
            AddOutputBufferToQueue(&view);
            delete header;
            return;
        }
        // End of data.
        Stop();
    }
    release_block(header);
    if (::ReadAcquire(&m_QueuedBuffers) == 0 && !is_set(m_Playing)) {
        // After an end-of-data stop the device is closed already; this
        // second close fails harmlessly and is traced.
        const MMRESULT result = ::waveOutClose(m_hWaveOut);
        if (result != MMSYSERR_NOERROR)
            TraceWaveOutError(result, L"in stop()");
    }
}

void CSoundOut::Stop()
{
    ::EnterCriticalSection(&m_Lock);
    const bool playing = is_set(m_Playing);
    ::LeaveCriticalSection(&m_Lock);
    if (playing)
        StopDevice();
}

void CSoundOut::StopDevice()
{
    ::EnterCriticalSection(&m_Lock);
    ::InterlockedExchange(&m_Playing, FALSE);
    const MMRESULT reset = ::waveOutReset(m_hWaveOut);
    ::Sleep(500);
    if (reset != MMSYSERR_NOERROR)
        TraceAudioError(L"CSoundOut waveinReset failed!");
    const MMRESULT closed = CloseAfterLateRequeue(m_hWaveOut);
    ::Sleep(30);
    if (closed != MMSYSERR_NOERROR)
        TraceAudioError(L"CSoundOut waveoutClose failed!");
    ::LeaveCriticalSection(&m_Lock);
}

void CSoundOut::TraceWaveOutError(MMRESULT code, const wchar_t* location)
{
    wchar_t text[100] = L"";
    ::waveOutGetErrorTextW(code, text, 100);
    TraceAudioError(L"WAVEOUT:%x:%s %s", static_cast<unsigned>(code), text, location);
}
