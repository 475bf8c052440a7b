// The sound pass-through through a real sound server: a private PipeWire
// session (tests/support/pipewire_session.h) whose capture stick's source
// plays noise, the stick's card standing in a fake /sys. Prints
// "<name> <value> <unit>" lines:
//
// - the delay from the stick's source to the speakers, found by
//   correlating what the stick played (put on the left channel of a
//   recording) with what reached the speakers (the right channel; the
//   output inverts it), every half second; and the delay the design's own
//   buffers imply at the same time: an input buffer filling, the slot's age
//   in the ring, and the two output buffers that play before a refilled one
//   (three circulate);
// - the underruns and overruns the layer recovered from while the machine
//   is busy (four busy processes on the two cores);
// - the CPU the process takes while the server is away;
// - how long after the server is back (its nodes ready again) the stick's
//   sound reaches the speakers, without the pass-through being switched.
#include "Pipe.h"
#include "bench_support.h"

#include "fake_sound_cards.h"
#include "pipewire_session.h"

#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using bench_clock = std::chrono::steady_clock;

const double kBufferMs = 2048.0 / 44.1;
constexpr int kRate = pipewire_session::rate;

// --- the design's delay, watched in the pipe's callbacks ---

bench_clock::time_point g_written[10];
std::vector<double> g_design;
bool g_watching = false;

void watch_input(CBuffer* buffer, void* owner)
{
    const int slot = g_AudioPipe.m_WriteIndex;
    CPipe::AcceptInputBuffer(buffer, owner);
    g_written[slot] = bench_clock::now();
}

BOOL watch_output(CBuffer* buffer, void* owner)
{
    const int slot = g_AudioPipe.m_ReadIndex;
    const bool on = g_AudioPipe.m_LoopOn && g_AudioPipe.m_Ring[slot] && g_AudioPipe.m_Ring[slot]->m_Filled;
    const BOOL play = CPipe::ProvideOutputBuffer(buffer, owner);
    // The slot read is the one the reader was at unless it gave silence.
    if (on && play && g_watching && g_AudioPipe.m_ReadIndex != slot) {
        const double age = std::chrono::duration<double, std::milli>(bench_clock::now() - g_written[slot]).count();
        g_design.push_back(kBufferMs * 3 + age);
    }
    return play;
}

// --- recordings ---

struct stereo {
    std::vector<float> left, right;
};

stereo read_recording(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    stereo s;
    for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        int16_t l, r;
        std::memcpy(&l, bytes.data() + i, 2);
        std::memcpy(&r, bytes.data() + i + 2, 2);
        s.left.push_back(l / 32768.0f);
        s.right.push_back(r / 32768.0f);
    }
    return s;
}

// Noise the stick plays: loops every 5 s, far longer than any delay.
std::vector<int16_t> noise(double seconds)
{
    std::vector<int16_t> samples(static_cast<size_t>(seconds * kRate) * 2);
    uint32_t state = 12345;
    for (size_t i = 0; i < samples.size(); i += 2) {
        state = state * 1664525u + 1013904223u;
        samples[i] = samples[i + 1] = static_cast<int16_t>(static_cast<int32_t>(state >> 16) % 12000 - 6000);
    }
    return samples;
}

// Sum of x[i] * y[i - lag] over the window of x starting at `at`.
double correlate(const std::vector<float>& x, const std::vector<float>& y, size_t at, size_t length, long lag)
{
    double sum = 0;
    for (size_t i = 0; i < length; ++i)
        sum += static_cast<double>(x[at + i]) * y[static_cast<size_t>(static_cast<long>(at + i) - lag)];
    return sum;
}

// Blocks of 8 samples summed: the noise's low band, for a coarse search.
std::vector<float> decimated(const std::vector<float>& v)
{
    std::vector<float> d(v.size() / 8);
    for (size_t i = 0; i < d.size(); ++i)
        for (size_t k = 0; k < 8; ++k)
            d[i] += v[8 * i + k];
    return d;
}

// How far (ms) the right channel trails the left, inverted, in windows of
// 0.2 s every half second; lags up to 0.8 s.
std::vector<double> delays(const stereo& s)
{
    const size_t window = kRate / 5, most = kRate * 4 / 5;
    const std::vector<float> dl = decimated(s.left), dr = decimated(s.right);
    std::vector<double> found;
    for (size_t at = kRate; at + window + 16 <= s.right.size(); at += kRate / 2) {
        long best = 0;
        double best_score = 0;
        for (long lag = 0; lag <= static_cast<long>(most / 8); ++lag) {
            const double score = -correlate(dr, dl, at / 8, window / 8, lag);
            if (score > best_score) {
                best_score = score;
                best = lag;
            }
        }
        long fine = best * 8;
        best_score = 0;
        for (long lag = std::max(0L, best * 8 - 16); lag <= best * 8 + 16; ++lag) {
            const double score = -correlate(s.right, s.left, at, window, lag);
            if (score > best_score) {
                best_score = score;
                fine = lag;
            }
        }
        // No sound in this window: nothing to place.
        if (best_score > 10)
            found.push_back(1000.0 * static_cast<double>(fine) / kRate);
    }
    return found;
}

double rms_of_last(const std::vector<float>& v, size_t n)
{
    if (v.size() < n)
        return 0;
    double sum = 0;
    for (size_t i = v.size() - n; i < v.size(); ++i)
        sum += static_cast<double>(v[i]) * v[i];
    return std::sqrt(sum / static_cast<double>(n));
}

double cpu_seconds()
{
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Busy processes beside the viewer, as a loaded machine has.
class cpu_hog {
public:
    explicit cpu_hog(int processes)
    {
        for (int i = 0; i < processes; ++i) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                volatile unsigned long spin = 0;
                for (;;)
                    spin = spin + 1;
            }
            if (pid > 0)
                m_pids.push_back(pid);
        }
    }
    ~cpu_hog()
    {
        for (pid_t pid : m_pids) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }

private:
    std::vector<pid_t> m_pids;
};

int seconds_from_env(const char* name, int otherwise)
{
    const char* v = std::getenv(name);
    const int n = v ? std::atoi(v) : 0;
    return n > 0 ? n : otherwise;
}

}  // namespace

int main()
{
    const std::string missing = pipewire_session::missing();
    if (!missing.empty()) {
        std::fprintf(stderr, "bench_sound_server: %s (tools/install-deps.sh)\n", missing.c_str());
        return 1;
    }
    char pattern[] = "/tmp/vistamo-bench-server-XXXXXX";
    if (!::mkdtemp(pattern)) {
        std::fprintf(stderr, "bench_sound_server: no temporary folder\n");
        return 1;
    }
    const std::string dir = pattern, recording = dir + "/speakers.raw";
    constexpr int kStickCard = 7;
    fake_sound_cards sysfs;
    sysfs.add(kStickCard, "3-2", "MS2109", true);
    pipewire_session sound(kStickCard);
    sound.set_stick_signal(noise(5));
    std::this_thread::sleep_for(1500ms);  // the feeder takes it at its next turn

    g_AudioPipe.m_SoundIn.m_Callback = watch_input;
    g_AudioPipe.m_SoundOut.m_Callback = watch_output;
    SetAudioLoop(true);
    ::waveOutSetVolume(g_AudioPipe.m_SoundOut.m_hWaveOut, 0xFFFFFFFF);
    std::this_thread::sleep_for(3s);

    // The delay, on a quiet machine.
    g_watching = true;
    sound.start_recording(recording);
    sound.record_stick_on_left();
    std::this_thread::sleep_for(std::chrono::seconds(seconds_from_env("VISTAMO_BENCH_DELAY_SECONDS", 20)));
    sound.stop_recording();
    g_watching = false;
    const std::vector<double> measured = delays(read_recording(recording));
    if (measured.empty() || g_design.empty()) {
        std::fprintf(stderr, "bench_sound_server: the stick's sound did not reach the speakers\n");
        SetAudioLoop(false);
        return 1;
    }
    const double median = percentile(measured, 0.5), design = percentile(g_design, 0.5);
    std::printf("audio_server_delay_median %.1f ms\n", median);
    std::printf("audio_server_delay_p99 %.1f ms\n", percentile(measured, 0.99));
    std::printf("audio_server_delay_design_median %.1f ms\n", design);
    std::printf("audio_server_delay_median_above_design %.1f ms\n", median - design);
    std::fflush(stdout);

    // Under- and overruns while the machine is busy.
    {
        const int seconds = seconds_from_env("VISTAMO_BENCH_LOADED_SECONDS", 300);
        const long out0 = alsa_xruns(false), in0 = alsa_xruns(true);
        {
            cpu_hog hog(4);
            std::this_thread::sleep_for(std::chrono::seconds(seconds));
        }
        const double scale = 300.0 / seconds;
        std::printf("audio_server_underruns_per_5_min_loaded %.0f count\n",
                    static_cast<double>(alsa_xruns(false) - out0) * scale);
        std::printf("audio_server_overruns_per_5_min_loaded %.0f count\n",
                    static_cast<double>(alsa_xruns(true) - in0) * scale);
        std::fflush(stdout);
    }

    // The server goes away and comes back, three times.
    std::vector<double> restart_ms, lost_cpu;
    for (int round = 0; round < 3; ++round) {
        sound.kill_server();
        const double cpu = cpu_seconds();
        const auto gone = bench_clock::now();
        std::this_thread::sleep_for(2s);
        lost_cpu.push_back(100.0 * (cpu_seconds() - cpu) /
                           std::chrono::duration<double>(bench_clock::now() - gone).count());
        sound.restart_server();
        const auto back = bench_clock::now();
        sound.start_recording(recording);
        double took = -1;
        while (bench_clock::now() - back < 20s) {
            if (rms_of_last(read_recording(recording).right, kRate / 50) > 0.03) {
                took = std::chrono::duration<double, std::milli>(bench_clock::now() - back).count();
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
        sound.stop_recording();
        if (took < 0) {
            std::fprintf(stderr, "bench_sound_server: no sound 20 s after the server came back\n");
            SetAudioLoop(false);
            return 1;
        }
        restart_ms.push_back(took);
    }
    std::printf("audio_server_restart_to_sound_ms %.0f ms\n", percentile(restart_ms, 0.5));
    std::printf("audio_server_lost_cpu_percent %.2f %%\n", percentile(lost_cpu, 0.5));
    SetAudioLoop(false);
    std::filesystem::remove_all(dir);
    return 0;
}
