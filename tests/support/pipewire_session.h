// A private, headless PipeWire sound session for tests and benchmarks, run
// by tools/pipewire-session.sh: pipewire, wireplumber and pipewire-pulse
// with a session bus of their own, and three nodes:
//
//   speakers    "vistamo-test-speakers", an Audio/Sink (null sink with a
//               monitor), the default sink;
//   microphone  "vistamo-test-microphone", an Audio/Source playing a steady
//               300 Hz tone, the default source (a laptop's internal
//               microphone, on ALSA card 0, or 1 when the stick is card 0);
//   stick       "vistamo-test-stick", an Audio/Source playing a steady
//               1000 Hz tone, carrying the properties of the source node of
//               ALSA card stick_card (alsa.card, api.alsa.pcm.card,
//               api.alsa.card, api.alsa.path "hw:N", device.api "alsa"...).
//
// The tones are 48 kHz stereo, about -8.7 dBFS, and flow for as long as the
// server runs.
//
// While the object lives, this process reaches the session: the
// constructor sets XDG_RUNTIME_DIR, PIPEWIRE_RUNTIME_DIR, PULSE_SERVER,
// PULSE_RUNTIME_PATH and PULSE_COOKIE (for libpulse and ALSA's pipewire and
// pulse plugins), and points ALSA_CONFIG_PATH at the system configuration
// with PipeWire's ALSA files, so that ALSA's "default" is the session's
// default sink and source and "pipewire:NODE=vistamo-test-stick" is the
// stick. The destructor puts the previous values back, then stops
// everything. Create it from the test's thread before anything opens a
// stream: it changes the environment.
//
//   pipewire_session sound(7);
//   // snd_pcm_open("default", capture) now hears the 300 Hz tone.
//   sound.kill_server();     // as a crashing sound server
//   sound.restart_server();  // back, with the same nodes
//
// Should the test process die, the session ends by itself about a second
// later.
#pragma once

#include "process.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class pipewire_session {
public:
    static constexpr const char* speakers = "vistamo-test-speakers";
    static constexpr const char* microphone = "vistamo-test-microphone";
    static constexpr const char* stick = "vistamo-test-stick";
    static constexpr int microphone_hz = 300;
    static constexpr int stick_hz = 1000;
    // Recordings: raw signed 16-bit little-endian samples, interleaved.
    static constexpr int rate = 48000;
    static constexpr int channels = 2;

    // Empty if the session can run here, else what is missing (for
    // GTEST_SKIP).
    static std::string missing();

    // Starts the session; returns once it is ready (a few seconds at most),
    // or throws std::runtime_error with the reason.
    explicit pipewire_session(int stick_card);
    ~pipewire_session();
    pipewire_session(const pipewire_session&) = delete;
    pipewire_session& operator=(const pipewire_session&) = delete;

    // "NAME=value" entries a child process needs to reach the session (the
    // ones set here, and DBUS_SESSION_BUS_ADDRESS for its session bus, which
    // is not set in this process), for child_process's env.
    std::vector<std::string> environment() const;

    // kill -9 of pipewire, wireplumber and pipewire-pulse; the tones end
    // with them. Throws std::runtime_error on failure, as do the others.
    void kill_server();
    // Starts them again with the nodes and tones; returns once ready (about
    // 2 s). ALSA streams opened before the kill stay broken; new ones work.
    void restart_server();

    // Records what reaches the speakers (their monitor) to path; returns
    // once samples arrive (silence while nothing plays). stop_recording()
    // ends it, the destructor too: stop a moment after the sound has gone
    // out, as some 20 ms are still on their way.
    void start_recording(const std::string& path);
    void stop_recording();
    // While recording: the stick's own sound on the recording's left
    // channel instead of the speakers' (which stay on the right), so that
    // one recording holds what went in and what came out on one clock.
    void record_stick_on_left();
    // The server's objects as pw-dump gives them (JSON), or "" if it fails.
    std::string objects() const;
    // What the stick plays from the next second on, looped, in place of
    // its tone: 48 kHz stereo samples.
    void set_stick_signal(const std::vector<int16_t>& samples);

private:
    void run(const std::string& command, int timeout_seconds);
    void set(const char* name, const std::string& value);
    void stop();

    std::string m_dir;
    std::unique_ptr<child_process> m_server;
    std::unique_ptr<child_process> m_recorder;
    std::vector<std::pair<std::string, std::string>> m_env;  // the session's
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};
