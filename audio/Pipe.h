// The sound pass-through: what the default wave input records plays live
// through the default wave output, joined by a ring of ten buffers that
// neither side waits on. The writer overwrites slots the reader has not
// reached and the reader replays slots the writer has not refilled, so the
// delay between the two stays within the ring whatever their clocks do.
//
// Threads: SetAudioLoop runs on the UI and capture threads; calls that
// overlap take turns. The callbacks run on the two
// sound threads (and on the caller of the output's Start); m_RingLock
// guards the slots and indices inside them only, and is taken after the
// output's own lock, never before.
#pragma once

#include "Buffer.h"
#include "Sound.h"

class CPipe {
public:
    CPipe();
    virtual ~CPipe();
    CPipe(const CPipe&) = delete;
    CPipe& operator=(const CPipe&) = delete;

    // Nothing calls it.
    virtual void OnPipeIdle() {}

    // The input side's callback: stores a recorded buffer in the next slot.
    static void AcceptInputBuffer(CBuffer* buffer, void* owner);
    // The output side's callback: fills buffer from the next slot. While
    // that slot has not been written since switching on, buffer becomes
    // silence and the slot stays next, so that the output keeps all its
    // buffers however late the input starts. FALSE only for a buffer
    // without room.
    static BOOL ProvideOutputBuffer(CBuffer* buffer, void* owner);

    CPtrFIFO m_FifoA;
    CPtrFIFO m_FifoB;
    CSoundOut m_SoundOut;
    CSoundIn m_SoundIn;
    CRITICAL_SECTION m_RingLock;
    CBuffer* m_Ring[10];
    int m_ReadIndex;
    int m_WriteIndex;
    LONG m_LoopEverStarted;  // set by the first switch-on, never cleared
    LONG m_LoopOn;           // written by SetAudioLoop; read by the callbacks
};

// The process's one pass-through.
extern CPipe g_AudioPipe;

// Switches g_AudioPipe on (fresh ring, both devices started, output at
// about 1 % volume) or off (output back to 1 %, input then output stopped:
// at least 1040 ms). Switching to the state it is in does nothing.
void SetAudioLoop(bool on);

// The volume thread of a capture run; param is the main dialog. Raises
// g_AudioPipe's output to full volume once the dialog's source is open and
// its device present, testing every 4 s. Returns 1 (0 if the dialog went
// first: it leaves as soon as the dialog sets its quit event).
DWORD WINAPI AudioVolumeThreadProc(LPVOID param);
