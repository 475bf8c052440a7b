// The sound pass-through: what the default wave input records plays live
// through the default wave output, joined by a ring of ten buffers that
// neither side waits on. Each recorded buffer plays once at most: a reader
// that has caught up with the writer plays silence until new audio comes,
// and a writer that comes round to a slot not yet played drops that oldest
// buffer (the reader moves on past it), so the delay between the two stays
// within the ring whatever their clocks do and old audio never plays again.
// The reader keeps about one buffer in hand: once it has found nothing new
// (and at switch-on) it waits until two buffers are in, so that the two
// sides' buffers arriving a little out of turn cost no gap.
//
// Threads: SetAudioLoop runs on the UI and capture threads; calls that
// overlap take turns. The callbacks run on the two
// sound threads (and on the caller of the output's Start); m_RingLock
// guards the slots, indices and counts inside them only, and is taken after
// the output's own lock, never before. SetAudioLoop resets them while the
// loop is off, when no callback touches them.
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
    // The output side's callback: fills buffer from the oldest buffer not
    // yet played. With none waiting (or, while refilling, fewer than two),
    // buffer becomes silence and the slot stays next, so that the output
    // keeps all its buffers however late the input starts and never hears
    // a buffer twice. FALSE only for a buffer without room.
    static BOOL ProvideOutputBuffer(CBuffer* buffer, void* owner);

    CPtrFIFO m_FifoA;
    CPtrFIFO m_FifoB;
    CSoundOut m_SoundOut;
    CSoundIn m_SoundIn;
    CRITICAL_SECTION m_RingLock;
    CBuffer* m_Ring[10];
    int m_ReadIndex;   // the slot read next: m_Read mod 10
    int m_WriteIndex;  // the slot written next: m_Written mod 10
    // Buffers written, and buffers played or dropped, since switching on;
    // their difference (0 to 10) is how many wait unplayed, so a slot the
    // reader reaches is newer than the last it played only while it is
    // above 0.
    unsigned long long m_Written;
    unsigned long long m_Read;
    // The reader found nothing new (or the loop was switched on) and waits
    // for two buffers before it plays again.
    bool m_Refilling;
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
