// The pieces of the sound pass-through that need no device: buffers and
// their ownership, the pointer FIFO, the audio trace, polarity inversion.
#include "Buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

std::vector<int16_t> inverted(std::vector<int16_t> samples)
{
    InvertPolarity(reinterpret_cast<char*>(samples.data()), static_cast<int>(samples.size() * 2));
    return samples;
}

TEST(AudioBuffer, OwningBuffersFreeTheirBlockAndOthersLeaveIt)
{
    {
        CBuffer slot(4096, true);
        ASSERT_NE(slot.m_Data, nullptr);
        EXPECT_EQ(slot.m_Length, 4096) << "a fresh block counts as full";
        EXPECT_FALSE(slot.m_Filled);
        EXPECT_TRUE(slot.m_OwnsData);
        std::memset(slot.m_Data, 1, 4096);  // the whole block is ours to write
    }
    char* handed_over = nullptr;
    {
        CBuffer temporary(4096, false);
        handed_over = temporary.m_Data;
        ASSERT_NE(handed_over, nullptr);
        std::memset(handed_over, 7, 4096);
    }
    // The temporary is gone; its block lives on with whoever took it.
    EXPECT_EQ(handed_over[4095], 7);
    {
        CBuffer view(handed_over, 4096);
        EXPECT_EQ(view.m_Data, handed_over);
        EXPECT_EQ(view.m_Length, 4096);
        EXPECT_FALSE(view.m_OwnsData);
    }
    EXPECT_EQ(handed_over[0], 7) << "a view left its block as it was";
    delete[] handed_over;

    CBuffer nothing(nullptr, 4096);
    EXPECT_EQ(nothing.m_Data, nullptr);
    EXPECT_EQ(nothing.m_Length, 0) << "a view of nothing has no length";
}

TEST(AudioBuffer, AFailedAllocationIsTracedAndLeavesNoBlock)
{
    testing::internal::CaptureStdout();
    {
        CBuffer impossible(-1, true);
        EXPECT_EQ(impossible.m_Data, nullptr);
        EXPECT_EQ(impossible.m_Length, 0);
    }  // and destroying it frees nothing
    EXPECT_EQ(testing::internal::GetCapturedStdout(), " Out of memory!\n ");
}

TEST(AudioBuffer, TheFifoOwnsItsSemaphoreAndEmptiesItself)
{
    CPtrFIFO fifo;
    ASSERT_NE(fifo.m_Semaphore, nullptr);
    EXPECT_FALSE(fifo.m_Semaphore->Lock(0)) << "the count starts at 0";
    EXPECT_TRUE(fifo.m_Semaphore->Unlock(1));
    EXPECT_TRUE(fifo.m_Semaphore->Lock(0));
    int a = 1, b = 2;
    for (int i = 0; i < 25; ++i)  // more than one block of nodes
        fifo.AddTail(i % 2 ? &a : &b);
    EXPECT_EQ(fifo.GetCount(), 25);
    EXPECT_EQ(fifo.RemoveHead(), &b);
    EXPECT_EQ(fifo.RemoveTail(), &b);
    EXPECT_EQ(fifo.GetCount(), 23);

    CPtrFIFO without;
    delete without.m_Semaphore;
    without.m_Semaphore = nullptr;  // its destructor copes
}

TEST(AudioBuffer, TracesAreFramedByBlanksOnStandardOutput)
{
    testing::internal::CaptureStdout();
    TraceAudioError(L"Still %d buffers in waveIn queue!", 2);
    TraceAudioError(L"WAVEOUT:%x:%s %s", 0x21u, L"Ünïcode text", L"in start()");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              " Still 2 buffers in waveIn queue!\n  WAVEOUT:21:Ünïcode text in start()\n ");
}

TEST(Polarity, EverySampleIsNegatedAndTheLowestStays)
{
    EXPECT_EQ(inverted({1000, -1000, 0, 32767, -32768}), (std::vector<int16_t>{-1000, 1000, 0, -32767, -32768}));
    // Five bytes: two samples and a byte that is left alone.
    unsigned char odd[5] = {0xE8, 0x03, 0x18, 0xFC, 0x42};  // 1000, -1000, 0x42
    InvertPolarity(reinterpret_cast<char*>(odd), 5);
    const unsigned char expected[5] = {0x18, 0xFC, 0xE8, 0x03, 0x42};
    EXPECT_EQ(std::memcmp(odd, expected, 5), 0);
    InvertPolarity(nullptr, 4096);  // no block: nothing happens
}

}  // namespace
