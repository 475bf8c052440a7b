// The sound input and output objects on hardware-free wave devices: when
// they start and refuse to, what a declining or finishing callback does to
// the output, and how long stopping takes.
#include "Sound.h"
#include "../support/hang_timeout.h"

#include <gtest/gtest.h>
#include <wavevirtual.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

UINT g_UserMessage = ::RegisterWindowMessageW(L"User");

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

class SoundTest : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/vistamo-sound-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        config.output_file = (dir / "out.raw").string();
        config.tone_amplitude = 1000;
    }
    void TearDown() override
    {
        wave_virtual_uninstall();
        std::filesystem::remove_all(dir);
    }

    std::vector<int16_t> played() const
    {
        std::ifstream in(config.output_file, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<int16_t> samples(bytes.size() / 2);
        std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
        return samples;
    }

    std::filesystem::path dir;
    wave_virtual_config config;
};

// Output callbacks with their own state, reached through the owner pointer.
struct feeder {
    std::atomic<int> calls{0};
    int16_t value = 1234;
    std::atomic<bool> decline{false};
    std::atomic<bool> end{false};

    static BOOL provide(CBuffer* buffer, void* owner)
    {
        auto* self = static_cast<feeder*>(owner);
        ++self->calls;
        if (self->decline)
            return FALSE;
        if (self->end) {
            buffer->m_Length = 0;
            return TRUE;
        }
        auto* samples = reinterpret_cast<int16_t*>(buffer->m_Data);
        for (int i = 0; i < buffer->m_Length / 2; ++i)
            samples[i] = self->value;
        return TRUE;
    }
};

struct recorder {
    std::atomic<int> buffers{0};
    std::atomic<int> last_length{0};
    int16_t marker = 0;           // if set: a first sample to look out for
    std::atomic<int> marked{0};  // buffers that began with it
    // If set: runs on the object's thread for each buffer, given its number
    // (from 1), before the buffer goes back into the queue.
    std::function<void(int)> during;
    static void accept(CBuffer* buffer, void* owner)
    {
        auto* self = static_cast<recorder*>(owner);
        if (self->during)
            self->during(self->buffers + 1);
        self->last_length = buffer->m_Length;
        if (self->marker && buffer->m_Length >= 2 && reinterpret_cast<int16_t*>(buffer->m_Data)[0] == self->marker)
            ++self->marked;
        ++self->buffers;
    }
};

void wire(CSoundIn& in, recorder& r, CSoundOut& out, feeder& f)
{
    in.m_Callback = recorder::accept;
    in.m_CallbackOwner = &r;
    out.m_Callback = feeder::provide;
    out.m_CallbackOwner = &f;
}

bool wait_for(const std::function<bool()>& pred, std::chrono::milliseconds timeout = kHangTimeout)
{
    const auto until = clock_type::now() + timeout;
    while (!pred()) {
        if (clock_type::now() > until)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

double ms_since(clock_type::time_point start)
{
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

TEST_F(SoundTest, StartingNeedsACallbackAndOnlyWorksOnce)
{
    wave_virtual_install(config);
    CSoundOut out;
    EXPECT_FALSE(out.Start(nullptr)) << "no callback yet";
    EXPECT_EQ(wave_virtual_get_stats().output_start, -1) << "nothing was opened";

    feeder f;
    out.m_Callback = feeder::provide;
    out.m_CallbackOwner = &f;
    ASSERT_TRUE(out.Start(&out.m_Format));
    EXPECT_FALSE(out.Start(&out.m_Format)) << "a second start while playing";

    CSoundIn in;
    recorder r;
    in.m_Callback = recorder::accept;
    EXPECT_FALSE(in.Start(nullptr)) << "the owner is missing";
    in.m_CallbackOwner = &r;
    ASSERT_TRUE(in.Start(nullptr));
    EXPECT_FALSE(in.Start(nullptr));
    EXPECT_TRUE(wait_for([&] { return r.buffers >= 2; }));
    EXPECT_EQ(r.last_length, 4096) << "the whole block is handed on";
    in.Stop();
    out.Stop();
}

TEST_F(SoundTest, StoppingWhenIdleDoesNothingAndARunningStopClosesWithEveryBufferBack)
{
    wave_virtual_install(config);
    CSoundIn in;
    CSoundOut out;
    testing::internal::CaptureStdout();
    in.Stop();
    out.Stop();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "an idle stop traces nothing";

    recorder r;
    feeder f;
    wire(in, r, out, f);
    ASSERT_TRUE(in.Start(nullptr));
    ASSERT_TRUE(out.Start(&out.m_Format));
    ASSERT_TRUE(wait_for([&] { return r.buffers >= 1 && f.calls >= 4; }));
    const HWAVEIN in_device = in.m_hWaveIn;
    const HWAVEOUT out_device = out.m_hWaveOut;
    testing::internal::CaptureStdout();
    in.Stop();
    EXPECT_EQ(::ReadAcquire(&in.m_QueuedBuffers), 0) << "every buffer came back and was freed";
    out.Stop();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "a clean stop traces nothing";
    // A closed handle is one the layer no longer knows.
    EXPECT_EQ(::waveInReset(in_device), MMSYSERR_INVALHANDLE) << "the input was left open";
    EXPECT_EQ(::waveOutReset(out_device), MMSYSERR_INVALHANDLE) << "the output was left open";
    // Both can start again.
    EXPECT_TRUE(in.Start(nullptr));
    EXPECT_TRUE(out.Start(&out.m_Format));
}

// What a running Stop waits, so that the object's thread can take back the
// buffers the reset returned: the input 500 ms then 10 ms, the output
// 500 ms then 30 ms.
TEST_F(SoundTest, ARunningStopTakesItsWaits)
{
    wave_virtual_install(config);
    CSoundIn in;
    CSoundOut out;
    recorder r;
    feeder f;
    wire(in, r, out, f);
    ASSERT_TRUE(in.Start(nullptr));
    ASSERT_TRUE(out.Start(&out.m_Format));
    ASSERT_TRUE(wait_for([&] { return r.buffers >= 1 && f.calls >= 4; }));
    const struct {
        const char* side;
        std::function<void()> stop;
        double at_least_ms;
    } stops[] = {
        {"input", [&] { in.Stop(); }, 510},
        {"output", [&] { out.Stop(); }, 530},
    };
    for (const auto& s : stops) {
        const auto start = clock_type::now();
        s.stop();
        EXPECT_GE(ms_since(start), s.at_least_ms) << s.side;
    }
}

// The object's thread takes a buffer in the instant of a stop: it saw the
// device recording, and queues the buffer again only after the stop's
// reset. The stop still closes the device, and recording can start again.
TEST_F(SoundTest, ABufferQueuedAgainAsTheInputStopsStillLetsItClose)
{
    wave_virtual_install(config);
    recorder r;
    std::atomic<bool> holding{false};
    CSoundIn in;  // goes first: its thread calls into r
    r.during = [&](int n) {
        if (n != 2)
            return;
        holding = true;
        // Held until the stop has cleared the flag and made its reset,
        // which it does under m_Lock.
        wait_for([&] { return !::ReadAcquire(&in.m_Recording); });
        ::EnterCriticalSection(&in.m_Lock);
        ::LeaveCriticalSection(&in.m_Lock);
    };
    in.m_Callback = recorder::accept;
    in.m_CallbackOwner = &r;
    ASSERT_TRUE(in.Start(nullptr));
    ASSERT_TRUE(wait_for([&] { return holding.load(); }));
    const HWAVEIN device = in.m_hWaveIn;
    testing::internal::CaptureStdout();
    in.Stop();
    const std::string traces = testing::internal::GetCapturedStdout();
    EXPECT_EQ(traces.find("failed"), std::string::npos) << traces;
    EXPECT_EQ(::waveInReset(device), MMSYSERR_INVALHANDLE) << "the device was left open";
    EXPECT_TRUE(wait_for([&] { return ::ReadAcquire(&in.m_QueuedBuffers) == 0; }));

    const int before = r.buffers;
    ASSERT_TRUE(in.Start(nullptr));
    EXPECT_TRUE(wait_for([&] { return r.buffers > before; })) << "recording did not start again";
    in.Stop();
}

// Three buffers queued give the object's thread room to be late: here its
// callback holds the third buffer until the device has filled the next one
// and a further 10 ms, and still no recorded frame finds the queue empty.
TEST_F(SoundTest, RecordingKeepsUpWhenTheCallbackIsLateByABuffer)
{
    wave_virtual_install(config);
    recorder r;
    CSoundIn in;
    r.during = [](int n) {
        if (n != 3)
            return;
        const long long next_full = 2048LL * (n + 1) + 441;
        wait_for([&] { return wave_virtual_get_stats().input_frames >= next_full; });
    };
    in.m_Callback = recorder::accept;
    in.m_CallbackOwner = &r;
    ASSERT_TRUE(in.Start(nullptr));
    // The device counts a chunk after handing it over, so the count may
    // trail the callback a moment. Read before the stop: frames the device
    // moves as the reset comes count as lost.
    wave_virtual_stats stats;
    ASSERT_TRUE(wait_for([&] {
        stats = wave_virtual_get_stats();
        return r.buffers >= 8 && stats.input_frames >= 8 * 2048;
    }));
    in.Stop();
    EXPECT_EQ(stats.input_lost, 0) << "frames were recorded while no buffer was queued";
}

TEST_F(SoundTest, ADecliningCallbackLetsThePrimedBuffersPlayOnceThenSilence)
{
    wave_virtual_install(config);
    CSoundOut out;
    feeder f;
    f.decline = true;
    out.m_Callback = feeder::provide;
    out.m_CallbackOwner = &f;
    ASSERT_TRUE(out.Start(&out.m_Format));
    // Priming asks three times; each played buffer asks once more.
    ASSERT_TRUE(wait_for([&] { return f.calls == 6; }));
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(f.calls, 6);
    EXPECT_EQ(::ReadAcquire(&out.m_QueuedBuffers), 0);
    EXPECT_TRUE(::ReadAcquire(&out.m_Playing)) << "the device stays open";
    EXPECT_GT(wave_virtual_get_stats().output_silent, 0);
    out.Stop();
    // The callback never wrote them: the primed buffers were silence.
    const auto samples = played();
    EXPECT_GE(samples.size(), 3u * 2048);
    EXPECT_EQ(std::count(samples.begin(), samples.end(), 0), static_cast<std::ptrdiff_t>(samples.size()));
}

// Switched off and straight on again, the buffers that the closed device's
// reset returned can reach the object's thread after the new device has
// opened: they are freed, neither handed to the callback nor queued again.
TEST_F(SoundTest, BuffersOfADeviceClosedBeforeAreNotTakenForTheCurrentOnes)
{
    wave_virtual_install(config);
    CSoundIn in;
    CSoundOut out;
    // Handles of devices that were open and are closed now.
    HWAVEOUT old_out = nullptr;
    HWAVEIN old_in = nullptr;
    ASSERT_EQ(::waveOutOpen(&old_out, WAVE_MAPPER, &out.m_Format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    ASSERT_EQ(::waveInOpen(&old_in, WAVE_MAPPER, &in.m_Format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    ::waveOutClose(old_out);
    ::waveInClose(old_in);

    recorder r;
    r.marker = 0x7777;  // beyond the tone's amplitude
    feeder f;
    f.decline = true;  // the output's own buffers leave after their first play
    wire(in, r, out, f);
    ASSERT_TRUE(out.Start(&out.m_Format));
    ASSERT_TRUE(in.Start(nullptr));
    ASSERT_TRUE(wait_for([&] { return f.calls == 6 && r.buffers >= 1; }));

    const auto late = [](int16_t value) {
        auto* header = new WAVEHDR{};
        header->lpData = new char[4096];
        std::fill_n(reinterpret_cast<int16_t*>(header->lpData), 2048, value);
        header->dwBufferLength = 4096;
        header->dwFlags = WHDR_PREPARED | WHDR_DONE;
        return reinterpret_cast<LPARAM>(header);
    };
    ::PostThreadMessageW(out.m_ThreadId, MM_WOM_DONE, reinterpret_cast<WPARAM>(old_out), late(0));
    ::PostThreadMessageW(in.m_ThreadId, MM_WIM_DATA, reinterpret_cast<WPARAM>(old_in), late(r.marker));
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(f.calls, 6) << "the output was asked to refill the old device's buffer";
    EXPECT_EQ(::ReadAcquire(&out.m_QueuedBuffers), 0);
    EXPECT_EQ(r.marked, 0) << "the old device's recording was handed on";
    in.Stop();
    out.Stop();
}

TEST_F(SoundTest, PrimedBuffersAreInvertedAndEndOfDataStopsTheOutputFromItsThread)
{
    wave_virtual_install(config);
    CSoundOut out;
    feeder f;
    out.m_Callback = feeder::provide;
    out.m_CallbackOwner = &f;
    ASSERT_TRUE(out.Start(&out.m_Format));
    f.end = true;
    testing::internal::CaptureStdout();
    // The first played buffer's refill ends the data: the output stops
    // itself (at least 530 ms) and its later close fails harmlessly.
    ASSERT_TRUE(wait_for([&] { return !::ReadAcquire(&out.m_Playing); }));
    std::this_thread::sleep_for(700ms);
    const std::string traces = testing::internal::GetCapturedStdout();
    EXPECT_EQ(traces.find("waveoutClose failed"), std::string::npos) << traces;
    EXPECT_FALSE(::ReadAcquire(&out.m_Playing));

    // The output's clock runs from its open: silence until the first
    // primed buffer arrives.
    const auto samples = played();
    const auto first = std::find_if(samples.begin(), samples.end(), [](int16_t v) { return v != 0; });
    ASSERT_GE(samples.end() - first, 2048);
    EXPECT_EQ(first[0], -1234) << "what the callback wrote is played inverted";
    EXPECT_EQ(first[2047], -1234);
    // Stopped: it can start again, and Stop after the self-stop is a no-op.
    out.Stop();
}

TEST_F(SoundTest, MissingDevicesAreTracedAndNothingStarts)
{
    config.input_missing = config.output_missing = true;
    wave_virtual_install(config);
    CSoundIn in;
    CSoundOut out;
    recorder r;
    feeder f;
    wire(in, r, out, f);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(in.Start(nullptr));
    EXPECT_FALSE(out.Start(&out.m_Format));
    const std::string traces = testing::internal::GetCapturedStdout();
    EXPECT_NE(traces.find(" WAVEIN:6:"), std::string::npos) << traces;
    EXPECT_NE(traces.find(" in Start()\n "), std::string::npos) << traces;
    EXPECT_NE(traces.find(" WAVEOUT:6:"), std::string::npos) << traces;
    EXPECT_NE(traces.find(" in start()\n "), std::string::npos) << traces;
    EXPECT_EQ(f.calls, 0);
}

TEST_F(SoundTest, ADeviceThatVanishesMidStreamIsTracedAndTheObjectsStillStop)
{
    wave_virtual_install(config);
    CSoundIn in;
    CSoundOut out;
    recorder r;
    feeder f;
    wire(in, r, out, f);
    ASSERT_TRUE(in.Start(nullptr));
    ASSERT_TRUE(out.Start(&out.m_Format));
    ASSERT_TRUE(wait_for([&] { return r.buffers >= 1; }));
    testing::internal::CaptureStdout();
    wave_virtual_unplug();
    std::this_thread::sleep_for(200ms);
    const auto start = clock_type::now();
    in.Stop();
    out.Stop();
    EXPECT_LT(ms_since(start), kHangTimeout.count());
    const std::string traces = testing::internal::GetCapturedStdout();
    EXPECT_NE(traces.find("in OnWIM_DATA()"), std::string::npos) << traces;
}

}  // namespace
