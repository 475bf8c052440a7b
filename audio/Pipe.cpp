#include "Pipe.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace {

const DWORD kStartVolume = 0x028F028F;  // 655 of 65535 on each channel, about 1 %

const int kSlots = 10;
// Buffers the reader waits for after it has found none: the one it plays
// and one in hand, so that a writer a little late next time costs no gap.
const unsigned long long kRefilled = 2;

// The size of every ring slot's block: one output device buffer.
int slot_bytes(const CPipe& pipe)
{
    return pipe.m_SoundOut.m_Format.nBlockAlign * pipe.m_SoundOut.m_BufferSamples;
}

}  // namespace

CPipe::CPipe()
    : m_Ring{},
      m_ReadIndex(0),
      m_WriteIndex(0),
      m_Written(0),
      m_Read(0),
      m_Refilling(true),
      m_LoopEverStarted(FALSE),
      m_LoopOn(FALSE)
{
    m_SoundIn.m_Callback = AcceptInputBuffer;
    m_SoundIn.m_CallbackOwner = this;
    m_SoundOut.m_Callback = ProvideOutputBuffer;
    m_SoundOut.m_CallbackOwner = this;
    m_WriteIndex = 0;
    m_ReadIndex = 0;
    std::fill(std::begin(m_Ring), std::end(m_Ring), nullptr);
    ::InitializeCriticalSection(&m_RingLock);
    m_LoopOn = FALSE;
}

CPipe::~CPipe()
{
    // The devices stop before the ring goes, so that no callback can be
    // inside it; their threads end with the members.
    if (::InterlockedExchange(&m_LoopOn, FALSE)) {
        m_SoundIn.Stop();
        m_SoundOut.Stop();
    }
    for (CBuffer*& slot : m_Ring) {
        delete slot;
        slot = nullptr;
    }
    ::DeleteCriticalSection(&m_RingLock);
}

void CPipe::AcceptInputBuffer(CBuffer* buffer, void* owner)
{
    auto* pipe = static_cast<CPipe*>(owner);
    if (!::ReadAcquire(&pipe->m_LoopOn))
        return;
    ::EnterCriticalSection(&pipe->m_RingLock);
    if (pipe->m_Written - pipe->m_Read >= kSlots) {
        // The reader is a whole lap behind: the slot about to be written
        // holds the oldest buffer not yet played. That one is dropped and
        // the reader goes on from the next, so that what it plays stays in
        // recording order instead of jumping a lap ahead.
        ++pipe->m_Read;
        if (++pipe->m_ReadIndex >= kSlots)
            pipe->m_ReadIndex = 0;
    }
    CBuffer* slot = pipe->m_Ring[pipe->m_WriteIndex];
    // Every block is one device buffer long; a longer recording is cut to
    // the slot's block rather than written past it.
    const int length = std::clamp(buffer->m_Length, 0, slot->m_Data ? slot_bytes(*pipe) : 0);
    slot->m_Length = length;
    if (length > 0)
        std::memcpy(slot->m_Data, buffer->m_Data, static_cast<size_t>(length));
    slot->m_Filled = TRUE;
    ++pipe->m_Written;
    if (++pipe->m_WriteIndex >= kSlots)
        pipe->m_WriteIndex = 0;
    ::LeaveCriticalSection(&pipe->m_RingLock);
}

BOOL CPipe::ProvideOutputBuffer(CBuffer* buffer, void* owner)
{
    auto* pipe = static_cast<CPipe*>(owner);
    if (!::ReadAcquire(&pipe->m_LoopOn))
        return TRUE;
    ::EnterCriticalSection(&pipe->m_RingLock);
    const unsigned long long waiting = pipe->m_Written - pipe->m_Read;
    if (waiting == 0)
        pipe->m_Refilling = true;
    if (waiting < (pipe->m_Refilling ? kRefilled : 1)) {
        ::LeaveCriticalSection(&pipe->m_RingLock);
        // Nothing new here (the first lap after switching on, or an input
        // that fell behind), or not yet a buffer in hand beside it: the
        // block plays silence and the reader waits at this slot, since what
        // an old slot holds was played a lap ago. Declining would take the
        // block out of circulation for good,
        // and the output's first blocks come back about when the input's
        // first one reaches the ring; once all three were gone the output
        // stayed silent until the next switch-off.
        if (!buffer->m_Data || buffer->m_Length <= 0)
            return FALSE;
        std::memset(buffer->m_Data, 0, static_cast<size_t>(buffer->m_Length));
        return TRUE;
    }
    const CBuffer* slot = pipe->m_Ring[pipe->m_ReadIndex];
    // The output block's room is the length it arrives with.
    const int length = std::clamp(slot->m_Length, 0, buffer->m_Data ? buffer->m_Length : 0);
    buffer->m_Length = length;
    if (length > 0)
        std::memcpy(buffer->m_Data, slot->m_Data, static_cast<size_t>(length));
    pipe->m_Refilling = false;
    ++pipe->m_Read;
    if (++pipe->m_ReadIndex >= kSlots)
        pipe->m_ReadIndex = 0;
    ::LeaveCriticalSection(&pipe->m_RingLock);
    return TRUE;
}

void SetAudioLoop(bool on)
{
    // The capture thread switches on as a run starts while the UI thread
    // may be switching off to close: one switch at a time, so that the last
    // one called is the state that holds.
    static std::mutex switching;
    std::lock_guard<std::mutex> one_at_a_time(switching);
    CPipe& pipe = g_AudioPipe;
    if (on) {
        if (::ReadAcquire(&pipe.m_LoopOn))
            return;
        pipe.m_WriteIndex = 0;
        pipe.m_ReadIndex = 0;
        pipe.m_Written = 0;
        pipe.m_Read = 0;
        pipe.m_Refilling = true;
        for (CBuffer*& slot : pipe.m_Ring) {
            delete slot;
            slot = new CBuffer(slot_bytes(pipe), true);
        }
        pipe.m_SoundIn.Start(nullptr);
        pipe.m_SoundOut.Start(&pipe.m_SoundOut.m_Format);
        if (pipe.m_SoundOut.m_hWaveOut)
            ::waveOutSetVolume(pipe.m_SoundOut.m_hWaveOut, kStartVolume);
        ::InterlockedExchange(&pipe.m_LoopOn, TRUE);
        ::InterlockedExchange(&pipe.m_LoopEverStarted, TRUE);
        return;
    }
    if (!::ReadAcquire(&pipe.m_LoopOn))
        return;
    if (pipe.m_SoundOut.m_hWaveOut)
        ::waveOutSetVolume(pipe.m_SoundOut.m_hWaveOut, kStartVolume);
    pipe.m_SoundIn.Stop();
    pipe.m_SoundOut.Stop();
    ::InterlockedExchange(&pipe.m_LoopOn, FALSE);
}
