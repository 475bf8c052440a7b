// Wave streams on ALSA, the PCM chosen as WAVE_MAPPER (alsa_mapper.cpp).
// The PCM is opened and run in nonblocking mode, and the I/O thread waits
// in poll() on its descriptors together with the stream's wake-up
// descriptor, so that a reset or close reaches it at once whatever the
// device does.
//
// ALSA's period is one of the caller's blocks, its buffer a few of them:
// how much sound is on its way is the caller's business, through the
// headers it queues, and a sound server would otherwise run its whole graph
// at the small period of the smallest client.
//
// A sound server that goes away (killed, restarting) shows as a device that
// keeps underrunning without moving a frame, or that stops moving frames
// altogether. Such a device is lost, not gone: it is traced once, the
// stream goes on at its nominal rate (output discarded, input silence) so
// that the caller's blocks keep coming back, and the same choice is opened
// again as soon as it is there, as Windows' mapper follows the default
// device. A device that reports itself gone vanishes as before.
#include "wave_internal.h"

#include <winbase.h>

#include <alsa/asoundlib.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <mutex>

namespace {

std::atomic<long> g_xruns[2];  // [input]

constexpr int kMaxPollDescriptors = 16;
// Until the caller's blocks are known: a period of 50 ms.
constexpr unsigned kProvisionalPeriodDivisor = 20;
// A block shorter or longer than these does not set the period.
constexpr double kShortestPeriodSeconds = 0.005;
constexpr double kLongestPeriodSeconds = 0.5;
// Periods in ALSA's buffer: playback holds two blocks; capture keeps room
// for four while the I/O thread is held up.
constexpr snd_pcm_uframes_t kOutputPeriods = 2;
constexpr snd_pcm_uframes_t kInputPeriods = 4;
// Recoveries in a row that move no frame: the device is lost.
constexpr int kFruitlessRecoveries = 8;
// A sound server's stream that moved frames and then moves nothing for
// this long while it should is lost too. (A new stream may wait longer for
// the server to link it.)
constexpr auto kStalled = std::chrono::seconds(2);
// How often a lost device is looked for again.
constexpr auto kRetry = std::chrono::milliseconds(250);

// Output can be a pipe or a socket (the file plugin's "|command", a sound
// server) whose reader may go away. Writing then raises SIGPIPE, whose
// default action ends the whole process; ignored, the write fails and the
// stream vanishes like an unplugged card. Done here as well as in main(),
// for programs and tests that do not start there. A handler the program
// installed itself is left alone.
void alsa_ignore_sigpipe()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction current {};
        if (::sigaction(SIGPIPE, nullptr, &current) == 0 && !(current.sa_flags & SA_SIGINFO) &&
            current.sa_handler == SIG_DFL)
            ::signal(SIGPIPE, SIG_IGN);
    });
}

// ALSA's null and file plugins have no clock: they take and give frames as
// fast as they are asked. A stream on one of them is paced at its nominal
// rate, so that it behaves like a sound card (and its I/O thread does not
// spin). So is any other device that turns out to move frames much faster
// than real time, as only a clockless one can (a plug over null, say).
// Real devices and sound servers keep their own time.
class alsa_pace {
public:
    // ahead: frames the device may hold beyond what real time has consumed
    // (output: its buffer). behind: how far the reader may lag before the
    // clock restarts, as after an overrun (output: 0, an underrun).
    alsa_pace(bool clockless, double rate, long long buffer, long long ahead, long long behind)
        : m_on(clockless), m_rate(rate), m_buffer(buffer), m_ahead(ahead), m_behind(behind)
    {
    }

    bool on() const { return m_on; }
    // The device stopped (reset, xrun): its time starts again.
    void stop()
    {
        m_running = false;
        m_watching = false;
    }
    void add(long long frames)
    {
        m_frames += frames;
        m_watched += frames;
    }

    // Frames that may be moved now.
    long long allowance(wave_clock::time_point now)
    {
        if (!m_on && !clockless(now))
            return LLONG_MAX;
        if (!m_running) {
            m_running = true;
            m_start = now;
            m_frames = 0;
        }
        long long due = static_cast<long long>(seconds(now - m_start) * m_rate);
        if (due - m_frames > m_behind) {
            m_start = now;
            m_frames = 0;
            due = 0;
        }
        return due + m_ahead - m_frames;
    }

    // Milliseconds until `frames` more may be moved.
    int wait_ms(long long frames, wave_clock::time_point now) const
    {
        const double at = static_cast<double>(m_frames + frames - m_ahead) / m_rate;
        return std::clamp(static_cast<int>(std::ceil((at - seconds(now - m_start)) * 1000.0)), 1, 100);
    }

private:
    static double seconds(wave_clock::duration d) { return std::chrono::duration<double>(d).count(); }

    // Whether the frames moved since the device last started are more than
    // any clock allows; from then on the stream is paced.
    bool clockless(wave_clock::time_point now)
    {
        if (!m_watching) {
            m_watching = true;
            m_watch_start = now;
            m_watched = 0;
            return false;
        }
        if (m_watched <= seconds(now - m_watch_start) * m_rate * 1.25 + 2.0 * m_buffer)
            return false;
        m_on = true;
        m_running = false;
        return true;
    }

    bool m_on;
    double m_rate;
    long long m_buffer;
    long long m_ahead;
    long long m_behind;
    bool m_running = false;
    wave_clock::time_point m_start;
    long long m_frames = 0;  // moved since m_start
    bool m_watching = false;
    wave_clock::time_point m_watch_start;
    long long m_watched = 0;  // moved since m_watch_start
};


// Whether a sound server's socket (PipeWire's, or the pulse protocol's)
// takes connections. Trying costs next to nothing; opening a server's PCM
// while it is away (the plugin starts threads and a connection each time)
// costs a lost stream several per cent of a core. true where it cannot
// tell.
bool sound_server_listens()
{
    const auto env = [](const char* name) -> std::string {
        const char* v = std::getenv(name);
        return v ? v : "";
    };
    const std::string runtime = env("XDG_RUNTIME_DIR");
    std::vector<std::string> sockets;
    const std::string pipewire_dir = env("PIPEWIRE_RUNTIME_DIR").empty() ? runtime : env("PIPEWIRE_RUNTIME_DIR");
    const std::string remote = env("PIPEWIRE_REMOTE").empty() ? "pipewire-0" : env("PIPEWIRE_REMOTE");
    if (!pipewire_dir.empty() && remote.find('/') == std::string::npos)
        sockets.push_back(pipewire_dir + "/" + remote);
    const std::string pulse = pulse_server_address();
    if (pulse.rfind("unix:", 0) == 0)
        sockets.push_back(pulse.substr(5));
    else if (!pulse.empty())
        return true;  // a server over the network
    if (sockets.empty())
        return true;
    for (const std::string& path : sockets) {
        sockaddr_un addr{};
        if (path.size() >= sizeof addr.sun_path)
            continue;
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.c_str(), path.size());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return true;
        const bool up = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd);
        if (up)
            return true;
    }
    return false;
}

struct hw_params_deleter {
    void operator()(snd_pcm_hw_params_t* p) const { snd_pcm_hw_params_free(p); }
};
struct sw_params_deleter {
    void operator()(snd_pcm_sw_params_t* p) const { snd_pcm_sw_params_free(p); }
};

// The period and buffer wished for blocks of `block` frames (0: not known
// yet, or out of bounds: a provisional period).
void sizes_for(const WAVEFORMATEX& f, bool input, size_t block, snd_pcm_uframes_t* period, snd_pcm_uframes_t* buffer)
{
    const double rate = f.nSamplesPerSec;
    size_t frames = block;
    if (frames < rate * kShortestPeriodSeconds || frames > rate * kLongestPeriodSeconds)
        frames = f.nSamplesPerSec / kProvisionalPeriodDivisor;
    *period = std::max<snd_pcm_uframes_t>(frames, 1);
    *buffer = *period * (input ? kInputPeriods : kOutputPeriods);
}

// Sets the stream's format and the wished sizes; *period and *buffer come
// back as the device has them.
MMRESULT alsa_configure(snd_pcm_t* pcm, const WAVEFORMATEX& f, bool input, snd_pcm_uframes_t* buffer,
                        snd_pcm_uframes_t* period)
{
    snd_pcm_hw_params_t* raw_hw = nullptr;
    if (snd_pcm_hw_params_malloc(&raw_hw) < 0)
        return MMSYSERR_NOMEM;
    std::unique_ptr<snd_pcm_hw_params_t, hw_params_deleter> hw(raw_hw);
    if (snd_pcm_hw_params_any(pcm, hw.get()) < 0)
        return MMSYSERR_NODRIVER;
    // Where the device cannot take the rate itself, ALSA's plug layer converts.
    snd_pcm_hw_params_set_rate_resample(pcm, hw.get(), 1);
    const snd_pcm_format_t sample = f.wBitsPerSample == 16 ? SND_PCM_FORMAT_S16_LE : SND_PCM_FORMAT_U8;
    if (snd_pcm_hw_params_set_access(pcm, hw.get(), SND_PCM_ACCESS_RW_INTERLEAVED) < 0 ||
        snd_pcm_hw_params_set_format(pcm, hw.get(), sample) < 0 ||
        snd_pcm_hw_params_set_channels(pcm, hw.get(), f.nChannels) < 0)
        return WAVERR_BADFORMAT;
    unsigned rate = f.nSamplesPerSec;
    if (snd_pcm_hw_params_set_rate_near(pcm, hw.get(), &rate, nullptr) < 0 ||
        std::abs(static_cast<double>(rate) - f.nSamplesPerSec) > f.nSamplesPerSec / 200.0)
        return WAVERR_BADFORMAT;
    // Sizes are wishes: a device that cannot meet them keeps its nearest.
    snd_pcm_uframes_t period_wish = *period, buffer_wish = *buffer;
    snd_pcm_hw_params_set_period_size_near(pcm, hw.get(), &period_wish, nullptr);
    snd_pcm_hw_params_set_buffer_size_near(pcm, hw.get(), &buffer_wish);
    if (const int err = snd_pcm_hw_params(pcm, hw.get()); err < 0)
        return err == -EBUSY ? MMSYSERR_ALLOCATED : WAVERR_BADFORMAT;
    snd_pcm_hw_params_get_buffer_size(hw.get(), buffer);
    snd_pcm_hw_params_get_period_size(hw.get(), period, nullptr);
    if (*buffer == 0 || *period == 0)
        return MMSYSERR_NODRIVER;

    snd_pcm_sw_params_t* raw_sw = nullptr;
    if (snd_pcm_sw_params_malloc(&raw_sw) < 0)
        return MMSYSERR_NOMEM;
    std::unique_ptr<snd_pcm_sw_params_t, sw_params_deleter> sw(raw_sw);
    if (snd_pcm_sw_params_current(pcm, sw.get()) < 0)
        return MMSYSERR_NODRIVER;
    // Playback starts once a period is there; capture when asked to.
    snd_pcm_uframes_t never = 0;
    snd_pcm_sw_params_get_boundary(sw.get(), &never);
    snd_pcm_sw_params_set_start_threshold(pcm, sw.get(), input ? never : *period);
    snd_pcm_sw_params_set_avail_min(pcm, sw.get(), *period);
    if (snd_pcm_sw_params(pcm, sw.get()) < 0)
        return MMSYSERR_NODRIVER;
    return MMSYSERR_NOERROR;
}

// An open, configured PCM.
struct alsa_device {
    snd_pcm_t* pcm = nullptr;
    snd_pcm_uframes_t buffer = 0;
    snd_pcm_uframes_t period = 0;
    bool clockless = false;  // ALSA's null or file plugin
    bool server = false;     // a sound server's plugin (PipeWire, PulseAudio)
};

MMRESULT alsa_open_device(const std::string& name, const WAVEFORMATEX& format, bool input, size_t block,
                          alsa_device* device)
{
    alsa_ignore_sigpipe();
    snd_pcm_t* pcm = nullptr;
    const int err =
        snd_pcm_open(&pcm, name.c_str(), input ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (err < 0)
        return err == -EBUSY ? MMSYSERR_ALLOCATED : MMSYSERR_NODRIVER;
    alsa_device d;
    sizes_for(format, input, block, &d.period, &d.buffer);
    if (const MMRESULT r = alsa_configure(pcm, format, input, &d.buffer, &d.period)) {
        snd_pcm_close(pcm);
        return r;
    }
    const snd_pcm_type_t type = snd_pcm_type(pcm);
    d.pcm = pcm;
    d.clockless = type == SND_PCM_TYPE_NULL || type == SND_PCM_TYPE_FILE;
    d.server = type == SND_PCM_TYPE_IOPLUG || type == SND_PCM_TYPE_EXTPLUG;
    *device = d;
    return MMSYSERR_NOERROR;
}

class alsa_stream : public wave_backend {
public:
    alsa_stream(alsa_choice choice, const alsa_device& device, const WAVEFORMATEX& format, bool input)
        : m_choice(std::move(choice)),
          m_input(input),
          m_format(format),
          m_frame_bytes(format.nBlockAlign),
          m_pace(false, format.nSamplesPerSec, 1, 0, 0),
          m_lost_pace(true, format.nSamplesPerSec, 1, 0, 0)
    {
        adopt(device);
    }

    void close() override
    {
        if (!m_pcm)
            return;
        if (!m_input)
            drain_briefly();
        snd_pcm_close(m_pcm);
        m_pcm = nullptr;
    }

    const char* device_name() const override { return m_choice.pcm.c_str(); }

private:
    enum class recovery { done, gone, lost };

    void adopt(const alsa_device& d)
    {
        m_pcm = d.pcm;
        m_buffer_frames = d.buffer;
        m_period_frames = d.period;
        m_clockless = d.clockless;
        m_server = d.server;
        const double rate = m_format.nSamplesPerSec;
        m_period_ms = std::max(1, static_cast<int>(std::ceil(1000.0 * static_cast<double>(d.period) / rate)));
        const auto buffer = static_cast<long long>(d.buffer);
        m_pace = alsa_pace(d.clockless, rate, buffer, m_input ? 0 : buffer, m_input ? buffer : 0);
        if (m_input)
            m_samples.resize(m_buffer_frames * m_frame_bytes);
        m_running = false;
        m_fruitless = 0;
        m_moved = false;
        m_progress_at = wave_clock::now();
    }

    void run_output(wave_stream& s) override
    {
        wave_thread_realtime();
        unsigned generation = s.state().generation;
        const wave_stream::output_sink sink = [this](const uint8_t* data, size_t frames) -> long {
            return snd_pcm_writei(m_pcm, data, frames);
        };
        for (;;) {
            const wave_state st = s.state();
            if (st.closing)
                return;
            if (st.vanished) {
                s.wait(nullptr, 0, 1000);
                continue;
            }
            if (st.generation != generation) {
                // A reset stops the sound at once: what ALSA still holds goes.
                generation = st.generation;
                m_pace.stop();
                m_lost_pace.stop();
                if (m_pcm) {
                    snd_pcm_drop(m_pcm);
                    if (const int err = snd_pcm_prepare(m_pcm); err < 0)
                        fail(s, err);
                }
                continue;
            }
            if (!m_pcm) {
                while_lost(s, st);
                continue;
            }
            if (!st.queued) {
                start_if_held();
                // Until the next header has played: the device's poll
                // would say only that it has room.
                if (const size_t left = st.playing ? played(s) : 0; left > 0) {
                    const double ms = 1000.0 * static_cast<double>(left) / m_format.nSamplesPerSec;
                    s.wait(nullptr, 0, std::clamp(static_cast<int>(std::ceil(ms)), 1, m_period_ms));
                    check_stalled(s);
                    continue;
                }
                m_progress_at = wave_clock::now();
                if (!st.playing)
                    s.wait(nullptr, 0, 1000);
                continue;
            }
            if (snd_pcm_state(m_pcm) != SND_PCM_STATE_RUNNING && !fit(s))
                continue;
            snd_pcm_sframes_t room = snd_pcm_avail_update(m_pcm);
            if (room < 0) {
                fail(s, room);
                continue;
            }
            room = static_cast<snd_pcm_sframes_t>(std::min<long long>(room, m_pace.allowance(wave_clock::now())));
            long moved = 0;
            if (room > 0) {
                // A device with a clock of its own returns a header once
                // it has played it; the layer's pace has no device delay to go by.
                moved = s.output_transfer(static_cast<size_t>(room), sink, !m_pace.on());
                if (moved < 0 && moved != -EAGAIN) {
                    fail(s, moved);
                    continue;
                }
                if (moved > 0) {
                    m_pace.add(moved);
                    progress(s);
                }
            }
            played(s);
            if (room > 0 && moved >= 0 && moved < room)
                continue;  // the queue ran dry, or the device took less than it offered
            wait_for_device(s);
            check_stalled(s);
        }
    }

    void run_input(wave_stream& s) override
    {
        wave_thread_realtime();
        unsigned generation = 0;
        for (;;) {
            const wave_state st = s.state();
            if (st.closing)
                return;
            if (st.vanished) {
                s.wait(nullptr, 0, 1000);
                continue;
            }
            if (!m_pcm) {
                while_lost(s, st);
                continue;
            }
            if (m_running && (!st.started || st.generation != generation)) {
                snd_pcm_drop(m_pcm);
                m_running = false;
            }
            if (!st.started) {
                m_progress_at = wave_clock::now();
                s.wait(nullptr, 0, 1000);
                continue;
            }
            if (!m_running) {
                generation = st.generation;
                if (!fit(s))
                    continue;
                int err = snd_pcm_prepare(m_pcm);
                if (err >= 0)
                    err = snd_pcm_start(m_pcm);
                if (err < 0) {
                    fail(s, err);
                    continue;
                }
                m_running = true;
                m_pace.stop();
                m_progress_at = wave_clock::now();
            }
            snd_pcm_sframes_t ready = snd_pcm_avail_update(m_pcm);
            if (ready < 0) {
                fail(s, ready);
                continue;
            }
            ready = static_cast<snd_pcm_sframes_t>(std::min<long long>(
                {static_cast<long long>(ready), m_pace.allowance(wave_clock::now()),
                 static_cast<long long>(m_buffer_frames)}));
            if (ready > 0) {
                const snd_pcm_sframes_t got = snd_pcm_readi(m_pcm, m_samples.data(), static_cast<snd_pcm_uframes_t>(ready));
                if (got < 0 && got != -EAGAIN) {
                    fail(s, got);
                    continue;
                }
                if (got > 0) {
                    m_pace.add(got);
                    progress(s);
                    s.input_deliver(m_samples.data(), static_cast<size_t>(got), generation);
                    continue;
                }
                if (got == 0) {
                    // Ready but empty: a file plugin whose input has ended.
                    s.wait(nullptr, 0, m_period_ms);
                    continue;
                }
            }
            wait_for_device(s);
            check_stalled(s);
        }
    }

    // Sizes the device to the blocks the caller queues, while it does not
    // run. false if that lost the device.
    bool fit(wave_stream& s)
    {
        const size_t block = s.front_frames();
        if (block == 0 || block == m_sized_for)
            return true;
        m_sized_for = block;
        alsa_device d;
        sizes_for(m_format, m_input, block, &d.period, &d.buffer);
        if (d.period == m_period_frames)
            return true;
        snd_pcm_drop(m_pcm);
        if (alsa_configure(m_pcm, m_format, m_input, &d.buffer, &d.period) != MMSYSERR_NOERROR) {
            lose(s, "its sizes were refused");
            return false;
        }
        d.pcm = m_pcm;
        d.clockless = m_clockless;
        d.server = m_server;
        adopt(d);
        return true;
    }

    // Frames moved: the device works.
    void progress(wave_stream& s)
    {
        m_fruitless = 0;
        m_moved = true;
        m_progress_at = wave_clock::now();
        if (m_lost_reported) {
            m_lost_reported = false;
            s.report(m_choice.pcm, "is back");
        }
    }

    // Output: finishes the headers the device has played; the frames the
    // next one still has to play (0: none waits).
    size_t played(wave_stream& s)
    {
        snd_pcm_sframes_t delay = 0;
        // Stopped by an xrun, or paced by the layer: nothing is waiting.
        if (m_pace.on() || snd_pcm_delay(m_pcm, &delay) < 0 || delay < 0)
            delay = 0;
        return s.output_played(static_cast<size_t>(delay));
    }

    // A sound server that neither moves frames nor reports an error.
    void check_stalled(wave_stream& s)
    {
        if (m_pcm && m_server && m_moved && wave_clock::now() - m_progress_at > kStalled)
            lose(s, "no frame moved for 2 s");
    }

    void fail(wave_stream& s, long err)
    {
        switch (recover(s, err)) {
        case recovery::done: return;
        case recovery::lost: lose(s, reason(err)); return;
        case recovery::gone:
            // A sound server's plugin fails this way when the server goes;
            // a card that is gone stays gone.
            if (m_server)
                lose(s, reason(err));
            else
                s.vanish(reason(err));
            return;
        }
    }

    // The device is lost: said once, released, and looked for again.
    void lose(wave_stream& s, const char* why)
    {
        if (!m_lost_reported) {
            m_lost_reported = true;
            s.report(m_choice.pcm, "went away", why);
        }
        if (m_pcm) {
            snd_pcm_close(m_pcm);
            m_pcm = nullptr;
        }
        // What the device held will not be heard; its headers go back.
        if (!m_input)
            s.output_played(0);
        m_running = false;
        m_retry_at = wave_clock::now() + kRetry;
        const auto period = static_cast<long long>(m_period_frames);
        m_lost_pace = alsa_pace(true, m_format.nSamplesPerSec, period, m_input ? 0 : period, m_input ? period : 0);
    }

    // Opens the same choice again, if it is there again.
    bool reopen(wave_stream& s)
    {
        const auto now = wave_clock::now();
        if (now < m_retry_at)
            return false;
        m_retry_at = now + kRetry;
        if (m_server && !sound_server_listens())
            return false;
        // Only what was chosen: a capture stick's source that the server
        // does not list yet must not come back as the default source.
        const std::vector<alsa_choice> choices = alsa_mapper_choices(m_input);
        if (std::none_of(choices.begin(), choices.end(), [&](const alsa_choice& c) { return c.pcm == m_choice.pcm; }))
            return false;
        alsa_device d;
        const size_t block = s.front_frames();
        if (alsa_open_device(m_choice.pcm, m_format, m_input, block, &d) != MMSYSERR_NOERROR)
            return false;
        adopt(d);
        m_sized_for = block;
        return true;
    }

    // One turn of the I/O thread while the device is lost: the stream goes
    // on at its nominal rate, the output's frames discarded and the input
    // recording silence.
    void while_lost(wave_stream& s, const wave_state& st)
    {
        if (reopen(s))
            return;
        const auto now = wave_clock::now();
        const bool moving = m_input ? st.started : st.queued;
        if (!moving)
            m_lost_pace.stop();
        const long long due = moving ? m_lost_pace.allowance(now) : 0;
        if (due > 0 && m_input) {
            const auto n = static_cast<size_t>(std::min<long long>(due, static_cast<long long>(m_period_frames)));
            // Silence: 0 for 16-bit samples, 128 for 8-bit ones.
            m_silence.assign(n * m_frame_bytes, m_format.wBitsPerSample == 8 ? 0x80 : 0);
            s.input_deliver(m_silence.data(), n, st.generation);
            m_lost_pace.add(static_cast<long long>(n));
        } else if (due > 0) {
            const long moved =
                s.output_transfer(static_cast<size_t>(due), [](const uint8_t*, size_t frames) { return static_cast<long>(frames); });
            if (moved > 0)
                m_lost_pace.add(moved);
        }
        const auto until_retry = std::chrono::duration_cast<std::chrono::milliseconds>(m_retry_at - now).count();
        int wait_ms = static_cast<int>(std::clamp<long long>(until_retry, 1, 1000));
        if (moving)
            wait_ms = std::min(wait_ms, m_lost_pace.wait_ms(static_cast<long long>(m_period_frames), now));
        s.wait(nullptr, 0, wait_ms);
    }

    // Until the device can move a period, or the stream is woken.
    void wait_for_device(wave_stream& s)
    {
        if (m_pace.on()) {
            s.wait(nullptr, 0, m_pace.wait_ms(static_cast<long long>(m_period_frames), wave_clock::now()));
            return;
        }
        pollfd fds[kMaxPollDescriptors];
        const int count = snd_pcm_poll_descriptors(m_pcm, fds, kMaxPollDescriptors);
        if (count <= 0) {
            s.wait(nullptr, 0, m_period_ms);
            return;
        }
        if (s.wait(fds, count, 100) <= 0)
            return;
        unsigned short revents = 0;
        if (snd_pcm_poll_descriptors_revents(m_pcm, fds, static_cast<unsigned>(count), &revents) < 0 ||
            !(revents & (POLLERR | POLLNVAL)))
            return;
        switch (snd_pcm_state(m_pcm)) {
        case SND_PCM_STATE_XRUN: fail(s, -EPIPE); break;
        case SND_PCM_STATE_SUSPENDED: fail(s, -ESTRPIPE); break;
        case SND_PCM_STATE_DISCONNECTED: fail(s, -ENODEV); break;
        default:
            // An error the state does not explain: do not spin on it.
            s.wait(nullptr, 0, m_period_ms);
            break;
        }
    }

    // Underruns and overruns go on; a suspended device is given a moment to
    // resume. Recoveries that keep moving nothing are a lost device.
    recovery recover(wave_stream& s, long err)
    {
        if (err == -EAGAIN || err == -EINTR)
            return recovery::done;
        int r;
        bool restart = true;
        if (err == -EPIPE) {
            // Not an underrun unless the device says so: a plugin writing
            // into a pipe or socket whose reader has gone (the file plugin's
            // "|command" passes the write's EPIPE on in some ALSA versions,
            // EIO in others). Preparing again would meet it again, for ever.
            if (snd_pcm_state(m_pcm) != SND_PCM_STATE_XRUN)
                return recovery::gone;
            // A sound server's plugin says a lost server this way, and
            // preparing and starting it again still succeed.
            if (++m_fruitless >= kFruitlessRecoveries)
                return recovery::lost;
            ++g_xruns[m_input];
            r = snd_pcm_prepare(m_pcm);
        } else if (err == -ESTRPIPE) {
            r = snd_pcm_resume(m_pcm);
            for (int i = 0; i < 20 && r == -EAGAIN && !s.state().closing; ++i) {
                s.wait(nullptr, 0, 10);
                r = snd_pcm_resume(m_pcm);
            }
            restart = r < 0;
            if (restart)
                r = snd_pcm_prepare(m_pcm);
        } else {
            return recovery::gone;  // -ENODEV, -EBADFD, -EIO: unplugged or broken
        }
        if (r < 0)
            return recovery::gone;
        if (restart) {
            m_pace.stop();
            // Capture does not start by itself; playback starts on its next write.
            if (m_input && snd_pcm_start(m_pcm) < 0)
                return recovery::gone;
        }
        return recovery::done;
    }

    // Playback held back because less than the start threshold was written.
    void start_if_held()
    {
        if (snd_pcm_state(m_pcm) != SND_PCM_STATE_PREPARED)
            return;
        const snd_pcm_sframes_t room = snd_pcm_avail(m_pcm);
        if (room >= 0 && static_cast<snd_pcm_uframes_t>(room) < m_buffer_frames)
            snd_pcm_start(m_pcm);
    }

    // The last header finished when its frames were handed to ALSA; let
    // them be heard before the device goes, for no longer than ALSA holds.
    void drain_briefly()
    {
        start_if_held();
        const auto holds = std::chrono::duration<double>(static_cast<double>(m_buffer_frames) / m_format.nSamplesPerSec);
        const auto deadline = wave_clock::now() + std::chrono::duration_cast<wave_clock::duration>(holds) +
                              std::chrono::milliseconds(20);
        while (snd_pcm_state(m_pcm) == SND_PCM_STATE_RUNNING && wave_clock::now() < deadline) {
            snd_pcm_sframes_t delay = 0;
            if (snd_pcm_delay(m_pcm, &delay) < 0 || delay <= 0)
                break;
            ::poll(nullptr, 0, 5);
        }
    }

    static const char* reason(long err) { return snd_strerror(static_cast<int>(err)); }

    const alsa_choice m_choice;
    const bool m_input;
    const WAVEFORMATEX m_format;
    const size_t m_frame_bytes;
    // The device as opened or last sized; m_pcm is null while it is lost.
    snd_pcm_t* m_pcm = nullptr;
    snd_pcm_uframes_t m_buffer_frames = 0;
    snd_pcm_uframes_t m_period_frames = 0;
    int m_period_ms = 1;
    bool m_clockless = false;
    bool m_server = false;
    size_t m_sized_for = 0;  // the block size the device was last sized for
    alsa_pace m_pace;
    bool m_running = false;  // input: capture started on the device
    std::vector<uint8_t> m_samples;  // input: what one read brings
    // Losing the device and finding it again.
    int m_fruitless = 0;  // recoveries since frames last moved
    bool m_moved = false;  // frames moved since the device was opened
    wave_clock::time_point m_progress_at;
    bool m_lost_reported = false;
    wave_clock::time_point m_retry_at;
    alsa_pace m_lost_pace;
    std::vector<uint8_t> m_silence;
};

}  // namespace

long alsa_xruns(bool input) { return g_xruns[input].load(); }

bool alsa_open(const std::shared_ptr<wave_stream>& stream, std::unique_ptr<wave_backend>* backend, MMRESULT* result)
{
    *result = MMSYSERR_NODRIVER;
    for (alsa_choice& choice : alsa_mapper_choices(stream->input)) {
        alsa_device device;
        *result = alsa_open_device(choice.pcm, stream->format, stream->input, 0, &device);
        if (*result != MMSYSERR_NOERROR)
            continue;
        if (stream->input)
            ::OutputDebugStringA(("wave: the sound input is \"" + choice.pcm + "\": " + choice.about + "\n").c_str());
        *backend = std::make_unique<alsa_stream>(std::move(choice), device, stream->format, stream->input);
        return true;
    }
    return true;
}
