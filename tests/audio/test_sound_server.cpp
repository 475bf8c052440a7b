// The sound pass-through through a real sound server: a private PipeWire
// session (tests/support/pipewire_session.h) whose default source is a
// laptop's microphone (a 300 Hz tone) and whose capture stick's source is
// a 1000 Hz tone, the stick's sound card standing in a fake /sys. What
// reaches the speakers is recorded from their monitor.
#include "Pipe.h"

#include <gtest/gtest.h>

#include "fake_sound_cards.h"
#include "pipewire_session.h"
#include "trace_capture.h"

#include <time.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

constexpr int kStickCard = 7;
// Streams, links and a restarted server can be slow on a busy machine: a
// tone not heard within this is never heard.
constexpr auto kNeverHeard = 30s;

// The recording's left channel from sample `from` on.
std::vector<double> left_channel(const std::string& path, size_t from = 0)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<double> left;
    const size_t frame = 2 * pipewire_session::channels;
    for (size_t i = from * frame; i + frame <= bytes.size(); i += frame) {
        int16_t v;
        std::memcpy(&v, bytes.data() + i, 2);
        left.push_back(v / 32768.0);
    }
    return left;
}

// The amplitude of the hz component of samples (Goertzel), 0..1.
double tone(const std::vector<double>& samples, int hz)
{
    if (samples.empty())
        return 0;
    const double w = 2 * M_PI * hz / pipewire_session::rate, c = 2 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (double x : samples) {
        const double s0 = x + c * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - c * s1 * s2;
    return 2 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(samples.size());
}

// Waits until the last 0.2 s recorded at path carry hz clearly, for up to
// limit; the time it took, or limit if it never did.
clock_type::duration wait_for_tone(const std::string& path, int hz, clock_type::duration limit)
{
    const auto start = clock_type::now();
    while (clock_type::now() - start < limit) {
        std::this_thread::sleep_for(50ms);
        auto samples = left_channel(path);
        const size_t window = pipewire_session::rate / 5;
        if (samples.size() < window)
            continue;
        samples.erase(samples.begin(), samples.end() - static_cast<std::ptrdiff_t>(window));
        if (tone(samples, hz) > 0.05)
            return clock_type::now() - start;
    }
    return limit;
}

// What the last second recorded at path carries, for a failure's message.
std::string heard(const std::string& path)
{
    auto samples = left_channel(path);
    const size_t second = pipewire_session::rate;
    const size_t recorded = samples.size();
    if (samples.size() > second)
        samples.erase(samples.begin(), samples.end() - static_cast<std::ptrdiff_t>(second));
    return std::to_string(recorded) + " samples recorded; in the last second " +
           std::to_string(pipewire_session::stick_hz) + " Hz at " + std::to_string(tone(samples, pipewire_session::stick_hz)) +
           ", " + std::to_string(pipewire_session::microphone_hz) + " Hz at " +
           std::to_string(tone(samples, pipewire_session::microphone_hz));
}

double cpu_seconds()
{
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

class SoundServer : public testing::Test {
protected:
    void SetUp() override
    {
        const std::string missing = pipewire_session::missing();
        if (!missing.empty())
            GTEST_SKIP() << missing << " (tools/install-deps.sh)";
        char pattern[] = "/tmp/vistamo-server-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        sound = std::make_unique<pipewire_session>(kStickCard);
    }
    void TearDown() override
    {
        SetAudioLoop(false);
        sound.reset();
        std::filesystem::remove_all(dir);
    }
    // As a capture run does, then the volume thread once capture is confirmed.
    static void switch_on()
    {
        SetAudioLoop(true);
        ::waveOutSetVolume(g_AudioPipe.m_SoundOut.m_hWaveOut, 0xFFFFFFFF);
    }

    std::filesystem::path dir;
    std::unique_ptr<pipewire_session> sound;
};

// The microphone is the server's default source, so without a stick the
// viewer would record it (and with the old mapper, with a stick too); with
// the stick's card present, the stick's sound is played and the
// microphone's is not.
TEST_F(SoundServer, TheSticksSoundIsPlayedAndNotTheMicrophone)
{
    const struct {
        const char* what;
        bool stick;
        int heard, not_heard;
    } cases[] = {
        {"with the stick's card", true, pipewire_session::stick_hz, pipewire_session::microphone_hz},
        {"without it, the default source", false, pipewire_session::microphone_hz, pipewire_session::stick_hz},
    };
    for (const auto& c : cases) {
        fake_sound_cards sysfs;
        if (c.stick)
            sysfs.add(kStickCard, "3-2", "MS2109", true);
        trace_capture traces;
        switch_on();
        const std::string path = (dir / "speakers.raw").string();
        sound->start_recording(path);
        EXPECT_LT(wait_for_tone(path, c.heard, kNeverHeard), kNeverHeard) << c.what << ": not heard";
        // The streams ask for periods of the blocks the pipe queues
        // (2048 frames), so the server keeps its own quantum for everyone.
        const std::string nodes = sound->objects();
        size_t asked = 0;
        for (size_t at = 0; (at = nodes.find("\"node.latency\": \"2048/44100\"", at)) != std::string::npos; ++at)
            ++asked;
        EXPECT_EQ(asked, 2u) << c.what << ": the capture and the playback stream";
        std::this_thread::sleep_for(1s);
        sound->stop_recording();
        SetAudioLoop(false);
        const auto samples = left_channel(path, pipewire_session::rate / 2);
        EXPECT_GT(tone(samples, c.heard), 0.1) << c.what;
        EXPECT_LT(tone(samples, c.not_heard), 0.01) << c.what;
        bool chose = false;
        for (const std::string& t : traces.texts())
            chose = chose || t.rfind("wave: the sound input is ", 0) == 0;
        EXPECT_TRUE(chose) << c.what << ": the input's choice is traced";
    }
}

// A sound server killed while sound plays: the viewer says so once per
// direction, waits without spinning, and plays again once the server is
// back, without being switched off and on.
TEST_F(SoundServer, SoundComesBackAfterTheServerRestartsWithoutSpinningMeanwhile)
{
    fake_sound_cards sysfs;
    sysfs.add(kStickCard, "3-2", "MS2109", true);
    trace_capture traces;
    switch_on();
    const std::string before = (dir / "before.raw").string(), after = (dir / "after.raw").string();
    sound->start_recording(before);
    ASSERT_LT(wait_for_tone(before, pipewire_session::stick_hz, kNeverHeard), kNeverHeard) << "no sound to begin with";
    sound->stop_recording();

    sound->kill_server();
    const double cpu = cpu_seconds();
    const auto outage = clock_type::now();
    std::this_thread::sleep_for(3s);
    const double busy = (cpu_seconds() - cpu) / std::chrono::duration<double>(clock_type::now() - outage).count();
    EXPECT_LT(busy, 0.05) << "the sound threads spin while the server is away";

    sound->restart_server();
    sound->start_recording(after);
    EXPECT_LT(wait_for_tone(after, pipewire_session::stick_hz, kNeverHeard), kNeverHeard)
        << "the sound did not come back: " << heard(after);
    sound->stop_recording();
    SetAudioLoop(false);

    int lost = 0;
    for (const std::string& t : traces.texts())
        lost += t.find("went away") != std::string::npos;
    EXPECT_EQ(lost, 2) << "once for the input, once for the output";
}

}  // namespace
