// The sound pass-through on the virtual wave devices: the delay from a
// sample entering the input to it leaving the output, with both clocks at
// their rate, and over one simulated hour with the output clock 0.5 %
// faster and then 0.5 % slower than the input; and in those hours, how
// many recorded buffers the ring played again or never played. Prints
// "<name> <value> <unit>" lines.
//
// Each group of four input samples carries its position (k / 4 mod 32000,
// plus 1: 2.9 s before positions repeat); an output sample that is a
// negated position is traced back to the input frame it came from, and the
// two devices' clocks say when each frame went in and came out.
//
// The delay the design's own buffers imply is worked out from the pipe as
// it runs: a sample waits for its input buffer to fill (one buffer), then
// in the ring from the slot's write to its read, then behind the output
// buffers still queued when its buffer is refilled. What the measured delay
// has beyond that is the cost of the layers and threads.
//
// The simulated hours run at 40 times real time on the devices' lockstep
// clock, which waits for the program's sound threads: a thread held up on
// a busy machine costs real time, not virtual delay, so their figures are
// the design's whatever the machine's load.
#include "Pipe.h"
#include "bench_support.h"

#include <wavevirtual.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const int kPeriod = 32000;  // positions before they repeat
const int kGroup = 4;       // samples per position
const double kBufferMs = 2048.0 / 44.1;

struct run_result {
    std::vector<double> delays_ms;  // measured, every 256th frame played
    std::vector<double> design_ms;  // implied by the buffers, per output buffer refilled
    double seconds = 0;             // virtual, from switching on to off
    long long repeats = 0;          // recorded buffers played again
    long long skips = 0;            // recorded buffers never played (before the last played)
    double skips_required = 0;      // buffers the input's clock makes beyond the output's
};

// The pipe's callbacks, watched under the ring's lock, so that a slot and
// the indices are seen as the call left them: each written slot gets the
// next serial number and the virtual time of its write; each read (the
// reader moved on) tells which serial was played, how old the slot was and
// how many buffers are queued ahead. A serial not above the last played is
// old audio played again; serials passed over were never played.
struct ring_watch {
    long long serial[10] = {};
    double written[10] = {};  // virtual seconds
    long long next_serial = 1;
    long long last_played = 0;
    long long repeats = 0;
    long long skips = 0;
    std::vector<double>* design = nullptr;
};
ring_watch g_watch;

void watch_input(CBuffer* buffer, void* owner)
{
    const double now = wave_virtual_get_stats().now;
    ::EnterCriticalSection(&g_AudioPipe.m_RingLock);
    const int slot = g_AudioPipe.m_WriteIndex;
    CPipe::AcceptInputBuffer(buffer, owner);
    if (g_AudioPipe.m_WriteIndex != slot) {
        g_watch.serial[slot] = g_watch.next_serial++;
        g_watch.written[slot] = now;
    }
    ::LeaveCriticalSection(&g_AudioPipe.m_RingLock);
}

BOOL watch_output(CBuffer* buffer, void* owner)
{
    const double now = wave_virtual_get_stats().now;
    ::EnterCriticalSection(&g_AudioPipe.m_RingLock);
    const int slot = g_AudioPipe.m_ReadIndex;
    const BOOL play = CPipe::ProvideOutputBuffer(buffer, owner);
    if (play && g_AudioPipe.m_ReadIndex != slot && g_watch.design) {
        const long long serial = g_watch.serial[slot];
        if (serial <= g_watch.last_played) {
            ++g_watch.repeats;
        } else {
            g_watch.skips += serial - g_watch.last_played - 1;
            g_watch.last_played = serial;
        }
        const double age = (now - g_watch.written[slot]) * 1000.0;
        g_watch.design->push_back(kBufferMs * (1 + g_AudioPipe.m_SoundOut.m_QueuedBuffers) + age);
    }
    ::LeaveCriticalSection(&g_AudioPipe.m_RingLock);
    return play;
}

// Passes sound through for virtual_seconds with the given output clock, in
// lockstep or on the wall clock.
run_result run(double virtual_seconds, double output_clock, double speed, bool lockstep,
               const std::filesystem::path& dir)
{
    const std::string in = (dir / "in.raw").string(), out = (dir / "out.raw").string();
    {
        // Enough input for the whole run (plus a little).
        std::ofstream file(in, std::ios::binary);
        std::vector<int16_t> block(44100);
        const long long frames = static_cast<long long>((virtual_seconds + 2) * 44100 * 1.01);
        for (long long k = 0; k < frames; k += 44100) {
            for (long long i = 0; i < 44100; ++i)
                block[static_cast<size_t>(i)] = static_cast<int16_t>((k + i) / kGroup % kPeriod + 1);
            file.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size() * 2));
        }
    }
    wave_virtual_config devices;
    devices.input_file = in;
    devices.output_file = out;
    devices.output_clock = output_clock;
    devices.speed = speed;
    devices.lockstep = lockstep;
    wave_virtual_install(devices);

    run_result result;
    ::EnterCriticalSection(&g_AudioPipe.m_RingLock);
    g_watch = ring_watch{};
    g_watch.design = &result.design_ms;
    ::LeaveCriticalSection(&g_AudioPipe.m_RingLock);
    const double on = wave_virtual_get_stats().now;
    SetAudioLoop(true);
    // As the volume thread does once capture is confirmed.
    ::waveOutSetVolume(g_AudioPipe.m_SoundOut.m_hWaveOut, 0xFFFFFFFF);
    // Until the devices' clock says so: in lockstep a busy machine makes
    // the run longer, not shorter in virtual time. A clock that stalls
    // for good ends the run after twenty times its length.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::duration<double>(20 * virtual_seconds / speed);
    while (wave_virtual_get_stats().now - on < virtual_seconds && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const wave_virtual_stats stats = wave_virtual_get_stats();
    ::EnterCriticalSection(&g_AudioPipe.m_RingLock);
    g_watch.design = nullptr;
    result.repeats = g_watch.repeats;
    result.skips = g_watch.skips;
    ::LeaveCriticalSection(&g_AudioPipe.m_RingLock);
    SetAudioLoop(false);
    wave_virtual_uninstall();
    result.seconds = stats.now - on;
    if (result.seconds < virtual_seconds)
        std::fprintf(stderr, "bench_audio: the devices' clock stalled at %.1f of %.1f s\n", result.seconds,
                     virtual_seconds);
    result.skips_required = std::max(0.0, (stats.input_rate - stats.output_rate) * result.seconds / 2048.0);

    // The output's frames, a buffer at a time; every 256th is placed.
    std::ifstream played(out, std::ios::binary);
    std::vector<int16_t> chunk(2048);
    long long frame = 0;
    const long long skip = 44100;  // the first second: priming, volume still low
    while (played.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk.size() * 2))) {
        for (size_t i = 0; i < chunk.size(); i += 256, frame += 256) {
            const int v = chunk[i];
            if (frame >= stats.output_frames)
                break;  // switching off turns the volume down first
            if (v >= 0 || frame < skip)
                continue;  // silence while nothing was queued
            const double left = stats.output_start + static_cast<double>(frame) / stats.output_rate;
            // The latest input frame of this position that had entered.
            const long long entered_by = static_cast<long long>((left - stats.input_start) * stats.input_rate);
            const long long pos = -v - 1;
            const long long group = entered_by / kGroup;
            long long g = group - ((group - pos) % kPeriod + kPeriod) % kPeriod;
            if (g < 0)
                continue;
            // Within its group the frame is the last one that had entered,
            // or the group's last: a quarter of a millisecond at most.
            const long long k = std::min(entered_by, g * kGroup + kGroup - 1);
            const double entered = stats.input_start + static_cast<double>(k) / stats.input_rate;
            result.delays_ms.push_back((left - entered) * 1000.0);
        }
    }
    std::filesystem::remove(in);
    std::filesystem::remove(out);
    return result;
}

// A run in which no recorded sound came out has no delay to show: printing
// the empty figures as 0.0 would look like a result.
bool measured_anything(const run_result& r, const char* name)
{
    if (!r.delays_ms.empty() && !r.design_ms.empty())
        return true;
    std::fprintf(stderr, "bench_audio: the %s run measured nothing: no recorded sound came out of the output\n", name);
    return false;
}

}  // namespace

int main()
{
    char pattern[] = "/tmp/vistamo-bench-audio-XXXXXX";
    if (!::mkdtemp(pattern)) {
        std::fprintf(stderr, "bench_audio: no temporary folder\n");
        return 1;
    }
    const std::filesystem::path dir = pattern;

    g_AudioPipe.m_SoundIn.m_Callback = watch_input;
    g_AudioPipe.m_SoundOut.m_Callback = watch_output;

    const run_result nominal = run(20.0, 1.0, 1.0, false, dir);
    if (!measured_anything(nominal, "nominal")) {
        std::filesystem::remove_all(dir);
        return 1;
    }
    const double measured = percentile(nominal.delays_ms, 0.5), design = percentile(nominal.design_ms, 0.5);
    std::printf("audio_delay_median %.1f ms\n", measured);
    std::printf("audio_delay_p99 %.1f ms\n", percentile(nominal.delays_ms, 0.99));
    std::printf("audio_delay_design_median %.1f ms\n", design);
    std::printf("audio_delay_median_above_design %.1f ms\n", measured - design);
    std::fflush(stdout);

    const double hour = 3600.0, speed = 40.0;
    for (auto [name, clock] : {std::pair<const char*, double>{"fast", 1.005}, {"slow", 0.995}}) {
        const run_result r = run(hour, clock, speed, true, dir);
        const std::string run_name = std::string("skewed (output ") + name + ")";
        if (!measured_anything(r, run_name.c_str())) {
            std::filesystem::remove_all(dir);
            return 1;
        }
        // The spread is taken between the 1st and 99th percentiles, and the
        // extremes are printed as they are.
        const double lo = percentile(r.delays_ms, 0.01), hi = percentile(r.delays_ms, 0.99);
        std::printf("audio_delay_spread_output_%s %.1f ms\n", name, hi - lo);
        std::printf("audio_delay_min_output_%s %.1f ms\n", name, percentile(r.delays_ms, 0.0));
        std::printf("audio_delay_max_output_%s %.1f ms\n", name, percentile(r.delays_ms, 1.0));
        // Drift would move the delay over the hour: the first and last
        // five minutes compared.
        const size_t n = r.delays_ms.size(), tenth = n / 12;
        std::vector<double> first(r.delays_ms.begin(), r.delays_ms.begin() + static_cast<std::ptrdiff_t>(tenth));
        std::vector<double> last(r.delays_ms.end() - static_cast<std::ptrdiff_t>(tenth), r.delays_ms.end());
        std::printf("audio_delay_drift_output_%s %.1f ms\n", name, percentile(last, 0.5) - percentile(first, 0.5));
        // Counted over the run, which the devices' clock makes an hour.
        const double per_hour = hour / r.seconds;
        std::printf("audio_ring_repeats_per_hour_output_%s %.0f buffers\n", name, r.repeats * per_hour);
        std::printf("audio_ring_skips_per_hour_output_%s %.0f buffers\n", name, r.skips * per_hour);
        std::printf("audio_ring_skips_required_per_hour_output_%s %.0f buffers\n", name, r.skips_required * per_hour);
        std::fflush(stdout);
    }
    std::printf("audio_ring_span %.1f ms\n", 10 * kBufferMs);
    std::filesystem::remove_all(dir);
    return 0;
}
