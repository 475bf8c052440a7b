// The pass-through: its switch, its ring of ten, the volume thread, the
// outside window told of every recorded buffer, and sound going through
// from input to output, on virtual devices and through ALSA itself.
#include "Pipe.h"
#include "TessalyDlg.h"

#include <gtest/gtest.h>
#include <videovirtual.h>
#include <wavevirtual.h>

#include "alsa_test_config.h"
#include "message_pump.h"
#include "x11_probe.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

std::vector<int16_t> read_samples(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<int16_t> samples(bytes.size() / 2);
    if (!samples.empty())
        std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

void write_samples(const std::string& path, const std::vector<int16_t>& samples)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(samples.size() * 2));
}

// Input sample k is (k mod 30000) + 1: never 0, so silence stands out.
std::vector<int16_t> ramp(size_t count)
{
    std::vector<int16_t> samples(count);
    for (size_t k = 0; k < count; ++k)
        samples[k] = static_cast<int16_t>(k % 30000 + 1);
    return samples;
}

// Finds the recorded buffers in what was played: runs of 2048 negated
// ramp samples. Fails the test on a run that is not one; returns how many
// there were. With in_order, each buffer comes after the one played before
// it: none is played twice, even when a stalled machine lets the input fall
// behind.
int count_inverted_buffers(const std::vector<int16_t>& played, bool in_order)
{
    int runs = 0, last_new = 0;
    for (size_t i = 0; i + 2048 <= played.size();) {
        if (played[i] >= 0) {
            ++i;  // priming, or silence while nothing was queued
            continue;
        }
        const int start = -played[i];
        for (size_t k = 1; k < 2048; ++k) {
            EXPECT_EQ(played[i + k], -((start - 1 + static_cast<int>(k)) % 30000 + 1)) << "buffer at " << i;
            if (played[i + k] != -((start - 1 + static_cast<int>(k)) % 30000 + 1))
                return runs;
        }
        if (in_order) {
            EXPECT_GT(start, last_new) << "buffer " << start << " came after " << last_new;
        }
        last_new = std::max(last_new, start);
        ++runs;
        i += 2048;
    }
    return runs;
}

// As the volume thread does once capture is confirmed: the samples then
// come out at their own size.
void full_volume() { ::waveOutSetVolume(g_AudioPipe.m_SoundOut.m_hWaveOut, 0xFFFFFFFF); }

// Passes sound through for a while at full volume; returns what was played
// before switching off turned the volume down again.
std::vector<int16_t> pass_through(const std::string& out)
{
    SetAudioLoop(true);
    full_volume();
    std::this_thread::sleep_for(800ms);
    SetAudioLoop(false);
    auto played = read_samples(out);
    played.resize(std::min<size_t>(played.size(), 44100 * 3 / 4));
    return played;
}

double ms_since(clock_type::time_point start)
{
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

class PipeTest : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/vistamo-pipe-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override
    {
        SetAudioLoop(false);
        wave_virtual_uninstall();
        std::filesystem::remove_all(dir);
    }
    // Devices that cannot be opened: the switch and the ring alone.
    void no_devices()
    {
        wave_virtual_config none;
        none.input_missing = none.output_missing = true;
        wave_virtual_install(none);
    }

    std::filesystem::path dir;
};

// A recorded buffer of 2048 samples, all value.
struct recorded {
    explicit recorded(int16_t value, int bytes = 4096) : data(static_cast<size_t>(bytes) / 2, value), view(block(), bytes) {}
    char* block() { return reinterpret_cast<char*>(data.data()); }
    std::vector<int16_t> data;
    CBuffer view;
};

// What an output block holds before the ring fills it, and what read_ring
// returns when the ring declines to.
const int16_t kUntouched = 0x5A5A;
const int kDeclined = -100000;

// What the output side gets from the ring: the block's first sample.
int read_ring()
{
    CBuffer out(4096, true);
    std::fill_n(reinterpret_cast<int16_t*>(out.m_Data), 2048, kUntouched);
    if (!CPipe::ProvideOutputBuffer(&out, &g_AudioPipe))
        return kDeclined;
    return reinterpret_cast<int16_t*>(out.m_Data)[0];
}

TEST_F(PipeTest, SwitchingOnTwiceOrOffWhenOffChangesNothing)
{
    no_devices();
    testing::internal::CaptureStdout();
    auto start = clock_type::now();
    SetAudioLoop(false);
    EXPECT_LT(ms_since(start), kHangTimeout.count()) << "off when off touches nothing";
    EXPECT_FALSE(g_AudioPipe.m_LoopEverStarted);
    for (CBuffer* slot : g_AudioPipe.m_Ring)
        EXPECT_EQ(slot, nullptr);

    SetAudioLoop(true);
    EXPECT_TRUE(g_AudioPipe.m_LoopOn) << "on even though no device opened";
    EXPECT_TRUE(g_AudioPipe.m_LoopEverStarted);
    std::vector<CBuffer*> ring(std::begin(g_AudioPipe.m_Ring), std::end(g_AudioPipe.m_Ring));
    recorded r(5);
    CPipe::AcceptInputBuffer(&r.view, &g_AudioPipe);
    SetAudioLoop(true);
    EXPECT_EQ(std::vector<CBuffer*>(std::begin(g_AudioPipe.m_Ring), std::end(g_AudioPipe.m_Ring)), ring);
    EXPECT_EQ(g_AudioPipe.m_WriteIndex, 1) << "the second switch-on reset nothing";
    const std::string traces = testing::internal::GetCapturedStdout();
    EXPECT_NE(traces.find(" in Start()"), std::string::npos) << "the failed opens are traced";
}

TEST_F(PipeTest, SwitchingOffAndOnGivesAFreshRing)
{
    no_devices();
    SetAudioLoop(true);
    recorded r(9);
    for (int i = 0; i < 3; ++i)
        CPipe::AcceptInputBuffer(&r.view, &g_AudioPipe);
    EXPECT_EQ(read_ring(), 9);
    SetAudioLoop(false);
    EXPECT_FALSE(g_AudioPipe.m_LoopOn);
    EXPECT_TRUE(g_AudioPipe.m_LoopEverStarted);
    ASSERT_NE(g_AudioPipe.m_Ring[0], nullptr) << "the ring is kept while off";

    // Recorded while off: discarded, no slot changes.
    recorded late(77);
    CPipe::AcceptInputBuffer(&late.view, &g_AudioPipe);
    EXPECT_EQ(g_AudioPipe.m_WriteIndex, 3);
    EXPECT_FALSE(g_AudioPipe.m_Ring[3]->m_Filled);
    EXPECT_EQ(g_AudioPipe.m_Ring[3]->m_Length, 4096);

    SetAudioLoop(true);
    EXPECT_EQ(g_AudioPipe.m_WriteIndex, 0);
    EXPECT_EQ(g_AudioPipe.m_ReadIndex, 0);
    for (CBuffer* slot : g_AudioPipe.m_Ring) {
        ASSERT_NE(slot, nullptr);
        EXPECT_FALSE(slot->m_Filled);
        EXPECT_EQ(slot->m_Length, 4096);
    }
    EXPECT_EQ(read_ring(), 0) << "an unfilled slot gives silence";
    EXPECT_EQ(g_AudioPipe.m_ReadIndex, 0) << "and stays the next to read";
}

// Switched on again with an input that is late to deliver (a capture stick
// plugged back in; here one that never records, its buffers handed over by
// hand long after the output's first ones came back): the output keeps
// playing, silence at first, and the sound comes through once it arrives.
TEST_F(PipeTest, SwitchedOnAgainTheOutputWaitsForALateInput)
{
    const std::string out = (dir / "out.raw").string();
    wave_virtual_config devices;
    devices.output_file = out;
    devices.input_missing = true;
    wave_virtual_install(devices);
    SetAudioLoop(true);
    SetAudioLoop(false);
    SetAudioLoop(true);
    full_volume();
    std::this_thread::sleep_for(300ms);  // the three primed buffers have come back
    for (int16_t v = 1; v <= 10; ++v) {
        recorded r(static_cast<int16_t>(1000 * v));
        CPipe::AcceptInputBuffer(&r.view, &g_AudioPipe);
    }
    std::this_thread::sleep_for(300ms);
    SetAudioLoop(false);
    const auto played = read_samples(out);
    // Played as it is in the ring: each slot's 2048 samples, inverted.
    const auto heard = std::count(played.begin(), played.end(), static_cast<int16_t>(-1000));
    EXPECT_GE(heard, 2048) << "the output fell silent before the input came";
}

// The two sides' turns, one case per line of the table: "w" records the
// next buffer (values 1, 2, 3, ...; "w12" records twelve), a number is what
// the next output block must get (0: silence), "3-10" is eight of them in
// order. Then where the indices stand.
TEST_F(PipeTest, EachBufferPlaysOnceInOrderWithOneInHand)
{
    struct ring_case {
        const char* what;
        const char* turns;
        int read_index;
        int write_index;
    };
    const ring_case cases[] = {
        {"switched on, the reader waits for two buffers", "0 w 0 w 1 2 0", 2, 2},
        {"a cushion of one buffer absorbs turns out of step", "w2 1 w 2 3 w w 4 5 w 6 0", 6, 6},
        {"the indices wrap after ten; caught up, the reader plays silence and stays", "w10 1-10 0 0", 0, 0},
        {"after an underflow, two buffers again before it plays", "w2 1 2 0 w 0 w 3 4 0", 4, 4},
        {"a writer a lap ahead drops the oldest, never mixing laps", "w12 3-12 0", 2, 2},
        {"dropping goes on while the reader is away", "w3 1 w20 14-23 0", 3, 3},
    };
    no_devices();
    for (const ring_case& c : cases) {
        SCOPED_TRACE(c.what);
        SetAudioLoop(false);
        SetAudioLoop(true);
        int16_t next = 1;
        std::istringstream turns(c.turns);
        for (std::string turn; turns >> turn;) {
            if (turn[0] == 'w') {
                for (int n = turn.size() > 1 ? std::stoi(turn.substr(1)) : 1; n > 0; --n) {
                    recorded r(next++);
                    CPipe::AcceptInputBuffer(&r.view, &g_AudioPipe);
                }
                continue;
            }
            const size_t dash = turn.find('-');
            const int from = std::stoi(turn.substr(0, dash));
            const int to = dash == std::string::npos ? from : std::stoi(turn.substr(dash + 1));
            for (int v = from; v <= to; ++v)
                EXPECT_EQ(read_ring(), v) << "at " << turn;
        }
        EXPECT_EQ(g_AudioPipe.m_ReadIndex, c.read_index);
        EXPECT_EQ(g_AudioPipe.m_WriteIndex, c.write_index);
    }
}

// The input and output threads hand blocks through the ring at once: a
// block the output gets is one recording, never part of one and part of
// the next that overwrote it meanwhile. Each block written is one value
// throughout, so a torn read shows as a block of two values.
TEST_F(PipeTest, BlocksPassWholeBetweenTheInputAndOutputThreads)
{
    no_devices();
    SetAudioLoop(true);
    std::vector<std::unique_ptr<recorded>> blocks;
    for (int16_t v = 1; v <= 7; ++v)
        blocks.push_back(std::make_unique<recorded>(static_cast<int16_t>(1000 * v)));
    std::atomic<bool> running{false}, done{false};
    std::thread input([&] {
        running = true;
        for (size_t i = 0; !done; ++i)
            CPipe::AcceptInputBuffer(&blocks[i % blocks.size()]->view, &g_AudioPipe);
    });
    while (!running)
        std::this_thread::yield();

    CBuffer out(4096, true);
    auto* samples = reinterpret_cast<int16_t*>(out.m_Data);
    int torn = 0, recorded_reads = 0;
    for (int i = 0; i < 50000 && torn == 0; ++i) {
        out.m_Length = 4096;
        const BOOL given = CPipe::ProvideOutputBuffer(&out, &g_AudioPipe);
        // Every sample equal to the one before it (silence, until the
        // first write, is whole too).
        if (!given || out.m_Length != 4096 || std::memcmp(out.m_Data, out.m_Data + 2, 4094) != 0)
            ++torn;
        else if (samples[0] != 0)
            ++recorded_reads;
    }
    done = true;
    input.join();
    EXPECT_EQ(torn, 0) << "a block declined, cut, or mixed from two recordings, e.g. " << samples[0] << " and "
                       << samples[2047];
    EXPECT_GT(recorded_reads, 0) << "nothing went through";
}

TEST_F(PipeTest, BuffersLongerThanTheirDestinationAreCutToFit)
{
    no_devices();
    SetAudioLoop(true);
    // A recording longer than a slot: only the slot's 4096 bytes are taken.
    recorded big(3, 8192);
    CPipe::AcceptInputBuffer(&big.view, &g_AudioPipe);
    EXPECT_EQ(g_AudioPipe.m_Ring[0]->m_Length, 4096);
    CPipe::AcceptInputBuffer(&big.view, &g_AudioPipe);  // the reader starts with one in hand
    // A slot longer than the output block: the block's room is what it gets.
    CBuffer small(1000, true);
    ASSERT_TRUE(CPipe::ProvideOutputBuffer(&small, &g_AudioPipe));
    EXPECT_EQ(small.m_Length, 1000);
    EXPECT_EQ(reinterpret_cast<int16_t*>(small.m_Data)[499], 3);
}

TEST_F(PipeTest, RecordedSoundPlaysInvertedAndInOrder)
{
    const std::string in = (dir / "in.raw").string(), out = (dir / "out.raw").string();
    write_samples(in, ramp(44100));
    wave_virtual_config devices;
    devices.input_file = in;
    devices.output_file = out;
    wave_virtual_install(devices);
    // After the priming buffers, whole buffers of the input, each negated.
    EXPECT_GE(count_inverted_buffers(pass_through(out), true), 8) << "about 46 ms a buffer";
}

TEST_F(PipeTest, SoundGoesThroughAlsaInvertedAndInOrder)
{
    const std::string in = (dir / "in.raw").string(), out = (dir / "out.raw").string();
    write_samples(in, ramp(44100));
    alsa_test_config alsa(alsa_test_config::file_pcm(out, in));
    EXPECT_GE(count_inverted_buffers(pass_through(out), true), 8);
}

TEST_F(PipeTest, TheListenerWindowHearsOfEveryRecordedBuffer)
{
    x11_probe probe;
    ASSERT_NE(probe.display(), nullptr);
    // Another program's window, as the noise-reduction tool's would be.
    Window listener = probe.create_window("降噪处理软件");
    ASSERT_TRUE(x11_probe::wait_until([&] { return !probe.find_by_title("降噪处理软件").empty(); }));

    wave_virtual_install(wave_virtual_config{});
    SetAudioLoop(true);
    std::this_thread::sleep_for(500ms);
    SetAudioLoop(false);

    int heard = 0;
    XEvent ev;
    XSync(probe.display(), False);
    while (XCheckTypedWindowEvent(probe.display(), listener, ClientMessage, &ev)) {
        if (static_cast<UINT>(ev.xclient.data.l[0]) == g_UserMessage && ev.xclient.data.l[1] == 0)
            ++heard;
    }
    // About 46 ms a buffer: one message for each.
    EXPECT_GE(heard, 8);
    EXPECT_LE(heard, 13);
    probe.destroy_window(listener);
}

// The volume thread's view of the dialog.
class VolumeDlg : public CTessalyDlg {
public:
    void plug_in() { m_bDevicePresent = true; }
    video_input_capture& capture() { return m_capture; }
    // As a capture run starts it.
    void start_volume_thread()
    {
        ::InterlockedIncrement(&m_nVolumeThreads);
        ::CloseHandle(::CreateThread(nullptr, 0, AudioVolumeThreadProc, this, 0, nullptr));
    }
};

// Mean absolute sample of the last 100 ms played.
double loudness_now(const std::string& out)
{
    const auto samples = read_samples(out);
    const size_t n = std::min<size_t>(samples.size(), 4410);
    double sum = 0;
    for (size_t i = samples.size() - n; i < samples.size(); ++i)
        sum += std::abs(samples[i]);
    return n ? sum / static_cast<double>(n) : 0;
}

TEST_F(PipeTest, TheVolumeRisesOnlyOnceTheCaptureIsConfirmed)
{
    const std::string out = (dir / "out.raw").string();
    wave_virtual_config devices;
    devices.output_file = out;
    devices.tone_amplitude = 10000;
    wave_virtual_install(devices);
    const int stick = video_input_add_virtual(video_input_virtual_device{});

    VolumeDlg never;  // its capture never opens
    VolumeDlg confirmed;
    confirmed.plug_in();
    confirmed.capture().open(static_cast<int>(video_input_device_names().size()) - 1);
    ASSERT_TRUE(confirmed.capture().isOpened());

    SetAudioLoop(true);
    const double quiet = loudness_now(out);
    never.start_volume_thread();
    std::this_thread::sleep_for(4500ms);
    EXPECT_LT(loudness_now(out), 300) << "raised without a capture";

    confirmed.start_volume_thread();
    std::this_thread::sleep_for(3000ms);
    EXPECT_LT(loudness_now(out), 300) << "raised before its first test, 4 s in";
    std::this_thread::sleep_for(1800ms);
    EXPECT_GT(loudness_now(out), 3000) << "not raised once confirmed (quiet was " << quiet << ")";
    confirmed.capture().release();
    video_input_remove_virtual(stick);
}

}  // namespace
