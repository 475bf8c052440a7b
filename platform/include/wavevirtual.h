// Hardware-free wave devices for tests, the demo and the benchmarks. While
// a configuration is installed, WAVE_MAPPER (and device 0) opens these
// instead of ALSA's default PCM, in this process only. The product binary
// never installs one.
//
// Both devices run on a clock, as sound hardware does: the input produces
// one frame every 1/rate seconds whether or not a buffer is queued (frames
// that find no buffer are lost), the output consumes one frame every
// 1/rate seconds and plays silence when no buffer is queued. Each clock can
// be skewed, and virtual time can run faster than real time, so that an
// hour of two drifting clocks passes in a minute.
//
// Threads: any thread may call these.
#pragma once

#include <string>

struct wave_virtual_config {
    // Input: raw signed 16-bit little-endian samples (in the opened format's
    // channels; an 8-bit stream gets their high bytes as unsigned samples)
    // from this file, then silence; empty: a sine tone. Each open reads the
    // file from its start; the file goes on where it was across a reset and
    // a new waveInStart, as a live source does. A file that cannot be
    // opened fails the open with MMSYSERR_ERROR.
    std::string input_file;
    double tone_hz = 440.0;
    double tone_amplitude = 8000.0;
    // Output: everything the output clock plays, silence included, is
    // written to this raw file from the output's open (which truncates it)
    // until its close, in the opened format, volume applied; empty:
    // discarded. A file that cannot be created fails the open with
    // MMSYSERR_ERROR.
    std::string output_file;
    // Clock rates relative to the format's: 1.005 runs 0.5 % fast.
    double input_clock = 1.0;
    double output_clock = 1.0;
    // Virtual seconds per real second.
    double speed = 1.0;
    // Virtual time on a clock of the devices' own instead of the wall
    // clock: both directions share it, it moves in steps of 5 virtual ms,
    // and it takes a step only once every buffer the devices finished has
    // been queued again (waveInAddBuffer, waveOutWrite), or half a real
    // second has passed for one that was not (a buffer kept, a stop); and
    // never faster than speed. Threads of the program that run late, as on
    // a busy machine, then find the devices waiting for them as if they
    // had been on time, and figures measured in virtual time do not depend
    // on the machine's load (only the run's real length does). Off: virtual
    // time is real time since install times speed.
    bool lockstep = false;
    // Opening fails as with no sound card (MMSYSERR_NODRIVER).
    bool input_missing = false;
    bool output_missing = false;
};

void wave_virtual_install(const wave_virtual_config& config);
// Back to ALSA for later opens; open virtual streams go on until closed.
void wave_virtual_uninstall();
// The installed devices vanish as an unplugged card does: open streams
// return their queued buffers and fail later calls; new opens fail.
void wave_virtual_unplug();

// What the installed devices have done, in frames and in virtual seconds
// since install (on the lockstep clock, when that is on). A stream's clock starts at waveInStart (input) or at
// waveOutOpen (output); frame k of it enters or leaves at start + k / rate.
// The figures are those of the latest stream opened in each direction; a
// new waveInStart after a reset starts its clock, and its figures, anew.
// After wave_virtual_uninstall they are those of the devices last installed.
struct wave_virtual_stats {
    double input_start = -1;  // -1: not started
    double input_rate = 0;    // frames per virtual second, skew included
    long long input_frames = 0;
    long long input_lost = 0;  // produced while no buffer was queued
    double output_start = -1;
    double output_rate = 0;
    long long output_frames = 0;
    long long output_silent = 0;  // played while no buffer was queued
    double now = 0;               // virtual seconds since install
};
wave_virtual_stats wave_virtual_get_stats();
