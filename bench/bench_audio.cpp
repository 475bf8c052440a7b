// The sound pass-through on the virtual wave devices: the delay from a
// sample entering the input to it leaving the output, with both clocks at
// their rate, and over one simulated hour with the output clock 0.5 %
// faster and then 0.5 % slower than the input. Prints "<name> <value>
// <unit>" lines.
//
// Each group of four input samples carries its position (k / 4 mod 32000,
// plus 1: 2.9 s before positions repeat); an output sample that is a
// negated position is traced back to the input frame it came from, and the
// two devices' clocks say when each frame went in and came out.
//
// The delay the design's own buffers imply is worked out from the pipe as
// it runs: a sample waits for its input buffer to fill (one buffer), then
// in the ring from the slot's write to its read (laps included), then
// behind the output buffers still queued when its buffer is refilled. What
// the measured delay has beyond that is the cost of the layers and threads.
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
};

// The pipe's callbacks, watched: when each slot was written, and at each
// read how old the slot is and how many buffers are queued ahead.
using bench_clock = std::chrono::steady_clock;
bench_clock::time_point g_written[10];
std::vector<double>* g_design = nullptr;
double g_speed = 1.0;

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
    if (on && play && g_design) {
        const double age = std::chrono::duration<double, std::milli>(bench_clock::now() - g_written[slot]).count() * g_speed;
        g_design->push_back(kBufferMs * (1 + g_AudioPipe.m_SoundOut.m_QueuedBuffers) + age);
    }
    return play;
}

// Passes sound through for virtual_seconds with the given output clock.
run_result run(double virtual_seconds, double output_clock, double speed, const std::filesystem::path& dir)
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
    wave_virtual_install(devices);

    run_result result;
    g_speed = speed;
    g_design = &result.design_ms;
    SetAudioLoop(true);
    // As the volume thread does once capture is confirmed.
    ::waveOutSetVolume(g_AudioPipe.m_SoundOut.m_hWaveOut, 0xFFFFFFFF);
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(virtual_seconds / speed);
    while (std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const wave_virtual_stats stats = wave_virtual_get_stats();
    SetAudioLoop(false);
    g_design = nullptr;
    wave_virtual_uninstall();

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

    const run_result nominal = run(20.0, 1.0, 1.0, dir);
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
        const run_result r = run(hour, clock, speed, dir);
        const std::string run_name = std::string("skewed (output ") + name + ")";
        if (!measured_anything(r, run_name.c_str())) {
            std::filesystem::remove_all(dir);
            return 1;
        }
        // Virtual time runs 40 times faster than real time here, so a
        // stall of 10 ms on this shared machine shows as 400 ms of delay:
        // the spread is taken between the 1st and 99th percentiles, and the
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
        std::fflush(stdout);
    }
    std::printf("audio_ring_span %.1f ms\n", 10 * kBufferMs);
    std::filesystem::remove_all(dir);
    return 0;
}
