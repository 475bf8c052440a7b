// Wave streams on ALSA's "default" PCM. The PCM is opened and run in
// nonblocking mode, and the I/O thread waits in poll() on its descriptors
// together with the stream's wake-up descriptor, so that a reset or close
// reaches it at once whatever the device does.
//
// ALSA's own buffer is kept small (about 50 ms in 10 ms periods): how much
// sound is on its way is the caller's business, through the headers it
// queues.
#include "wave_internal.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <mutex>

namespace {

constexpr unsigned kBufferMicroseconds = 50000;
constexpr unsigned kPeriodMicroseconds = 10000;
constexpr int kMaxPollDescriptors = 16;
constexpr char kPcmName[] = "default";

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
    const double m_rate;
    const long long m_buffer;
    const long long m_ahead;
    const long long m_behind;
    bool m_running = false;
    wave_clock::time_point m_start;
    long long m_frames = 0;  // moved since m_start
    bool m_watching = false;
    wave_clock::time_point m_watch_start;
    long long m_watched = 0;  // moved since m_watch_start
};

class alsa_stream : public wave_backend {
public:
    alsa_stream(snd_pcm_t* pcm, const WAVEFORMATEX& format, bool input, snd_pcm_uframes_t buffer,
                snd_pcm_uframes_t period, bool clockless)
        : m_pcm(pcm),
          m_input(input),
          m_frame_bytes(format.nBlockAlign),
          m_buffer_frames(buffer),
          m_period_frames(period),
          m_period_ms(std::max(1, static_cast<int>(std::ceil(1000.0 * period / format.nSamplesPerSec)))),
          m_pace(clockless, format.nSamplesPerSec, static_cast<long long>(buffer),
                 input ? 0 : static_cast<long long>(buffer), input ? static_cast<long long>(buffer) : 0)
    {
        if (m_input)
            m_samples.resize(m_buffer_frames * m_frame_bytes);
    }

    void close() override
    {
        if (!m_input)
            drain_briefly();
        snd_pcm_close(m_pcm);
        m_pcm = nullptr;
    }

    const char* device_name() const override { return kPcmName; }

private:
    void run_output(wave_stream& s) override
    {
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
                snd_pcm_drop(m_pcm);
                m_pace.stop();
                if (const int err = snd_pcm_prepare(m_pcm); err < 0)
                    s.vanish(reason(err));
                continue;
            }
            if (!st.queued) {
                start_if_held();
                s.wait(nullptr, 0, 1000);
                continue;
            }
            snd_pcm_sframes_t room = snd_pcm_avail_update(m_pcm);
            if (room < 0) {
                if (!recover(s, room))
                    s.vanish(reason(room));
                continue;
            }
            room = static_cast<snd_pcm_sframes_t>(std::min<long long>(room, m_pace.allowance(wave_clock::now())));
            if (room > 0) {
                const long moved = s.output_transfer(static_cast<size_t>(room), sink);
                if (moved < 0 && moved != -EAGAIN) {
                    if (!recover(s, moved))
                        s.vanish(reason(moved));
                    continue;
                }
                if (moved > 0)
                    m_pace.add(moved);
                if (moved >= 0 && moved < room)
                    continue;  // the queue ran dry, or the device took less than it offered
            }
            wait_for_device(s);
        }
    }

    void run_input(wave_stream& s) override
    {
        bool running = false;
        unsigned generation = 0;
        for (;;) {
            const wave_state st = s.state();
            if (st.closing)
                return;
            if (st.vanished) {
                s.wait(nullptr, 0, 1000);
                continue;
            }
            if (running && (!st.started || st.generation != generation)) {
                snd_pcm_drop(m_pcm);
                running = false;
            }
            if (!st.started) {
                s.wait(nullptr, 0, 1000);
                continue;
            }
            if (!running) {
                generation = st.generation;
                int err = snd_pcm_prepare(m_pcm);
                if (err >= 0)
                    err = snd_pcm_start(m_pcm);
                if (err < 0) {
                    s.vanish(reason(err));
                    continue;
                }
                running = true;
                m_pace.stop();
            }
            snd_pcm_sframes_t ready = snd_pcm_avail_update(m_pcm);
            if (ready < 0) {
                if (!recover(s, ready))
                    s.vanish(reason(ready));
                continue;
            }
            ready = static_cast<snd_pcm_sframes_t>(std::min<long long>(
                {static_cast<long long>(ready), m_pace.allowance(wave_clock::now()),
                 static_cast<long long>(m_buffer_frames)}));
            if (ready > 0) {
                const snd_pcm_sframes_t got = snd_pcm_readi(m_pcm, m_samples.data(), static_cast<snd_pcm_uframes_t>(ready));
                if (got < 0 && got != -EAGAIN) {
                    if (!recover(s, got))
                        s.vanish(reason(got));
                    continue;
                }
                if (got > 0) {
                    m_pace.add(got);
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
        }
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
        case SND_PCM_STATE_XRUN:
            if (!recover(s, -EPIPE))
                s.vanish(reason(-EPIPE));
            break;
        case SND_PCM_STATE_SUSPENDED:
            if (!recover(s, -ESTRPIPE))
                s.vanish(reason(-ESTRPIPE));
            break;
        case SND_PCM_STATE_DISCONNECTED: s.vanish(reason(-ENODEV)); break;
        default:
            // An error the state does not explain: do not spin on it.
            s.wait(nullptr, 0, m_period_ms);
            break;
        }
    }

    // Underruns and overruns go on; a suspended device is given a moment to
    // resume. Returns false when the device is gone.
    bool recover(wave_stream& s, long err)
    {
        if (err == -EAGAIN || err == -EINTR)
            return true;
        int r;
        bool restart = true;
        if (err == -EPIPE) {
            // Not an underrun unless the device says so: a plugin writing
            // into a pipe or socket whose reader has gone (the file plugin's
            // "|command" passes the write's EPIPE on in some ALSA versions,
            // EIO in others). Preparing again would meet it again, for ever.
            if (snd_pcm_state(m_pcm) != SND_PCM_STATE_XRUN)
                return false;
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
            return false;  // -ENODEV, -EBADFD, -EIO: unplugged or broken
        }
        if (r < 0)
            return false;
        if (restart) {
            m_pace.stop();
            // Capture does not start by itself; playback starts on its next write.
            if (m_input && snd_pcm_start(m_pcm) < 0)
                return false;
        }
        return true;
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
        const auto deadline = wave_clock::now() + std::chrono::microseconds(kBufferMicroseconds + 20000);
        while (snd_pcm_state(m_pcm) == SND_PCM_STATE_RUNNING && wave_clock::now() < deadline) {
            snd_pcm_sframes_t delay = 0;
            if (snd_pcm_delay(m_pcm, &delay) < 0 || delay <= 0)
                break;
            ::poll(nullptr, 0, 5);
        }
    }

    static const char* reason(long err) { return snd_strerror(static_cast<int>(err)); }

    snd_pcm_t* m_pcm;
    const bool m_input;
    const size_t m_frame_bytes;
    const snd_pcm_uframes_t m_buffer_frames;
    const snd_pcm_uframes_t m_period_frames;
    const int m_period_ms;
    alsa_pace m_pace;
    std::vector<uint8_t> m_samples;  // input: what one read brings
};

struct hw_params_deleter {
    void operator()(snd_pcm_hw_params_t* p) const { snd_pcm_hw_params_free(p); }
};
struct sw_params_deleter {
    void operator()(snd_pcm_sw_params_t* p) const { snd_pcm_sw_params_free(p); }
};

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
    unsigned buffer_us = kBufferMicroseconds;
    unsigned period_us = kPeriodMicroseconds;
    snd_pcm_hw_params_set_buffer_time_near(pcm, hw.get(), &buffer_us, nullptr);
    snd_pcm_hw_params_set_period_time_near(pcm, hw.get(), &period_us, nullptr);
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

MMRESULT alsa_open_pcm(const wave_stream& stream, std::unique_ptr<wave_backend>* backend)
{
    alsa_ignore_sigpipe();
    snd_pcm_t* pcm = nullptr;
    const int err = snd_pcm_open(&pcm, kPcmName, stream.input ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK,
                                 SND_PCM_NONBLOCK);
    if (err < 0)
        return err == -EBUSY ? MMSYSERR_ALLOCATED : MMSYSERR_NODRIVER;
    snd_pcm_uframes_t buffer = 0;
    snd_pcm_uframes_t period = 0;
    if (const MMRESULT r = alsa_configure(pcm, stream.format, stream.input, &buffer, &period)) {
        snd_pcm_close(pcm);
        return r;
    }
    const snd_pcm_type_t type = snd_pcm_type(pcm);
    const bool clockless = type == SND_PCM_TYPE_NULL || type == SND_PCM_TYPE_FILE;
    *backend = std::make_unique<alsa_stream>(pcm, stream.format, stream.input, buffer, period, clockless);
    return MMSYSERR_NOERROR;
}

}  // namespace

bool alsa_open(const std::shared_ptr<wave_stream>& stream, std::unique_ptr<wave_backend>* backend, MMRESULT* result)
{
    *result = alsa_open_pcm(*stream, backend);
    return true;
}
