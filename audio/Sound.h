// Sound input and output on threads of their own, in 4096-byte buffers
// (2048 mono 16-bit samples at 44100 Hz, 46.4 ms each), three deep.
//
// Threads: each object runs a thread message loop from construction until
// it is destroyed; the device's notifications are handled there, and so the
// callbacks run there (and, for the output, on the caller of Start while it
// primes the device). Start and Stop run on the caller's thread. m_Lock of
// each object guards its running flag and the device calls made under it;
// it is never held while the input callback runs. Lock order: an output's
// m_Lock, then whatever its callback takes.
#pragma once

#include "Buffer.h"

#include <afxwin.h>
#include <mmsystem.h>

// The registered "User" message, made with the program's other globals.
extern UINT g_UserMessage;

class CSoundBase {
public:
    CSoundBase();
    virtual ~CSoundBase() = default;

    WAVEFORMATEX m_Format;  // PCM, mono, 44100 Hz, 16 bits
    int m_BufferSamples;    // sample frames per device buffer: 2048
};

// Receives a recorded buffer (a view, m_Length the full 4096 bytes).
typedef void (*SoundInCallback)(CBuffer* buffer, void* owner);
// Refills a buffer that is about to be played: TRUE to play it with the
// m_Length it leaves (0: end of data), FALSE for nothing to play.
typedef BOOL (*SoundOutCallback)(CBuffer* buffer, void* owner);

// Records from the default wave input. Each filled buffer is announced to
// the window titled "降噪处理软件" (if one exists), handed to m_Callback and
// queued again.
class CSoundIn : public CWinThread, public CSoundBase {
public:
    CSoundIn();
    ~CSoundIn() override;

    // Stops and closes the device; takes at least 510 ms. Nothing if idle.
    virtual void Stop();
    // Opens the device, queues three buffers and starts recording. false if
    // already recording, if the callback or owner is missing, or if the
    // device cannot be opened or started (traced). format, if given,
    // replaces m_Format.
    virtual bool Start(const WAVEFORMATEX* format);

    CRITICAL_SECTION m_Lock;
    // Set by the owner once, before the first Start.
    SoundInCallback m_Callback;
    void* m_CallbackOwner;
    LONG m_Recording;      // written under m_Lock; read by the object's thread
    HWAVEIN m_hWaveIn;     // kept after Stop
    LONG m_QueuedBuffers;  // buffers the device holds; changed on two threads
    DWORD m_ThreadId;      // the object's thread: where the device posts

protected:
    BOOL InitInstance() override;
    afx_msg void OnWIM_DATA(WPARAM device, LPARAM header);
    DECLARE_MESSAGE_MAP()

    void AddInputBufferToQueue();
    void TraceWaveInError(MMRESULT code, const wchar_t* location);

private:
    void StopDevice();
};

// Plays to the default wave output, three buffers deep, refilling each
// played buffer through m_Callback. Every queued buffer's 16-bit samples
// are negated first.
class CSoundOut : public CWinThread, public CSoundBase {
public:
    CSoundOut();
    ~CSoundOut() override;

    // Stops and closes the device, holding m_Lock for at least 530 ms.
    // Nothing if idle.
    virtual void Stop();
    // Opens the device and primes it with three buffers from the callback.
    // false if already playing, if the callback or owner is missing, or if
    // the device cannot be opened (traced).
    virtual bool Start(const WAVEFORMATEX* format);

    CRITICAL_SECTION m_Lock;
    SoundOutCallback m_Callback;
    void* m_CallbackOwner;
    LONG m_Playing;        // written under m_Lock; read by the object's thread
    HWAVEOUT m_hWaveOut;   // the open device, or the last one; others set its volume
    // m_hWaveOut for the threads that do not open the device (the volume
    // threads, the display-state handler): waveOutOpen may be storing it.
    HWAVEOUT DeviceForVolume() const
    {
        return static_cast<HWAVEOUT>(::ReadPointerAcquire(reinterpret_cast<PVOID const volatile*>(&m_hWaveOut)));
    }
    DWORD m_ThreadId;
    LONG m_QueuedBuffers;  // changed on two threads

protected:
    BOOL InitInstance() override;
    afx_msg void OnWOM_DONE(WPARAM device, LPARAM header);
    DECLARE_MESSAGE_MAP()

    // Negates buffer's samples and writes its block to the device under a
    // new header. Returns the count of queued buffers before the call.
    int AddOutputBufferToQueue(CBuffer* buffer);
    void TraceWaveOutError(MMRESULT code, const wchar_t* location);

private:
    void StopDevice();
};

// Ends an object's own message loop and waits for it, before the object
// goes (the loop uses the object).
void EndSoundThread(CWinThread& thread);
