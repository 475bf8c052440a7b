// Hardware-free wave devices (wavevirtual.h): each stream's I/O thread
// runs a clock, virtual time = real time since install x speed, and in
// steps of about 5 virtual milliseconds (at least 1 real millisecond)
// moves every frame that has come due since the last step, so that a late
// step catches up instead of drifting.
//
// In lockstep the streams of a card share one clock instead, counted in
// steps of 5 virtual ms. Whichever of their I/O threads finds it free to
// move takes the step and moves every stream's frames for it, so that both
// directions see each step whole before the next, in the order a sound
// card would; the card's stepping lock makes the threads take turns, and
// so a stream's frames may move on another stream's I/O thread.
#include "../wave/wave_internal.h"

#include <wavevirtual.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace {

constexpr double kStepVirtualSeconds = 0.005;
constexpr size_t kChunkFrames = 4096;
constexpr double kTwoPi = 6.283185307179586;
// Lockstep: how long the clock waits for a finished buffer that is not
// queued again (one the program kept, a stop under way) before it goes on
// without it.
constexpr auto kAnswerGrace = std::chrono::milliseconds(500);
// Lockstep: how far behind its pace the clock may catch up at once when
// its thread woke late. Beyond that the time is lost rather than made up
// in a burst faster than speed.
constexpr auto kPaceSlack = std::chrono::milliseconds(4);

class virtual_stream;

struct virtual_card {
    wave_virtual_config config;
    wave_clock::time_point installed;
    int step_ms = 5;
    wave_clock::duration step_real{};  // lockstep: a step's real time at speed

    std::mutex lock;  // guards the members below up to stepping; nothing else is taken while it is held
    wave_virtual_stats stats;
    bool unplugged = false;
    std::vector<std::weak_ptr<wave_stream>> streams;
    // The streams whose clocks the statistics follow: the latest opened.
    uintptr_t input_owner = 0;
    uintptr_t output_owner = 0;

    // Lockstep only. stepping guards the members below and the frames of
    // every member stream; it is taken before lock and before any stream's
    // own, never while holding them.
    std::mutex stepping;
    struct member {
        virtual_stream* backend;
        wave_stream* stream;
        size_t excused;  // finished buffers given up on after the grace
    };
    std::vector<member> members;  // the streams whose I/O threads run
    wave_clock::time_point ready_at;  // the earliest the next step may be taken
    bool holding = false;             // since held_since, a finished buffer is owed
    wave_clock::time_point held_since;
    std::atomic<long long> steps{0};  // written under stepping; read by the statistics too

    double virtual_time(wave_clock::time_point t) const
    {
        if (config.lockstep)
            return static_cast<double>(steps.load()) * kStepVirtualSeconds;
        return std::chrono::duration<double>(t - installed).count() * config.speed;
    }
};

std::mutex g_cards_lock;  // guards g_installed and g_latest
std::shared_ptr<virtual_card> g_installed;
std::shared_ptr<virtual_card> g_latest;  // kept after uninstall, for its statistics

bool write_all(int fd, const uint8_t* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

class virtual_stream : public wave_backend {
public:
    virtual_stream(std::shared_ptr<virtual_card> card, const wave_stream& stream, int fd)
        : m_card(std::move(card)),
          m_input(stream.input),
          m_handle(stream.handle),
          m_channels(stream.format.nChannels),
          m_bits(stream.format.wBitsPerSample),
          m_frame_bytes(stream.format.nBlockAlign),
          m_nominal_rate(stream.format.nSamplesPerSec),
          m_rate(stream.format.nSamplesPerSec * (m_input ? m_card->config.input_clock : m_card->config.output_clock)),
          m_fd(fd),
          m_chunk(kChunkFrames * m_frame_bytes)
    {
    }

    void close() override
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    const char* device_name() const override { return "virtual"; }

private:
    // Frames of this stream's clock due between start and now.
    long long due(wave_clock::time_point start, wave_clock::time_point now) const
    {
        const double seconds = std::chrono::duration<double>(now - start).count() * m_card->config.speed;
        return static_cast<long long>(std::floor(seconds * m_rate));
    }

    void run_output(wave_stream& s) override
    {
        if (m_card->config.lockstep)
            return run_lockstep(s);
        for (;;) {
            const wave_state st = s.state();
            if (st.closing)
                return;
            if (st.vanished) {  // the clock stops with the device
                s.wait(nullptr, 0, 1000);
                continue;
            }
            play_until(s, due(s.opened_at, wave_clock::now()));
            s.wait(nullptr, 0, m_card->step_ms);
        }
    }

    void run_input(wave_stream& s) override
    {
        if (m_card->config.lockstep)
            return run_lockstep(s);
        wave_clock::time_point start;
        for (;;) {
            const wave_state st = s.state();
            if (st.closing)
                return;
            if (st.vanished || !st.started) {
                m_running = false;
                s.wait(nullptr, 0, 1000);
                continue;
            }
            if (!m_running || st.generation != m_generation) {
                start = st.started_at;
                restart_input(st.generation, m_card->virtual_time(start));
            }
            capture_until(s, due(start, wave_clock::now()));
            s.wait(nullptr, 0, m_card->step_ms);
        }
    }

    // waveInStart starts the clock anew; the source goes on where it was.
    void restart_input(unsigned generation, double at)
    {
        m_running = true;
        m_generation = generation;
        m_moved = 0;
        record([&](wave_virtual_stats& stats) {
            stats.input_start = at;
            stats.input_frames = 0;
            stats.input_lost = 0;
        });
    }

    // Plays the stream's frames up to frame due of its clock: the queued
    // audio, silence where there is none.
    void play_until(wave_stream& s, long long due)
    {
        const size_t fb = m_frame_bytes;
        const uint8_t silence = m_bits == 8 ? 0x80 : 0x00;
        const wave_stream::output_sink take = [&](const uint8_t* data, size_t frames) -> long {
            std::memcpy(m_chunk.data(), data, frames * fb);
            return static_cast<long>(frames);
        };
        while (m_moved < due) {
            const size_t n = static_cast<size_t>(std::min<long long>(due - m_moved, kChunkFrames));
            const long moved = s.output_transfer(n, take);
            const size_t got = moved > 0 ? static_cast<size_t>(moved) : 0;
            std::memset(m_chunk.data() + got * fb, silence, (n - got) * fb);
            if (m_fd >= 0 && !write_all(m_fd, m_chunk.data(), n * fb)) {
                ::close(m_fd);  // a full disk ends the recording, not the stream
                m_fd = -1;
            }
            m_moved += static_cast<long long>(n);
            record([&](wave_virtual_stats& stats) {
                stats.output_frames = m_moved;
                stats.output_silent += static_cast<long long>(n - got);
            });
        }
    }

    // Records the source up to frame due of the running clock into the
    // queued buffers; frames that find none are lost.
    void capture_until(wave_stream& s, long long due)
    {
        while (m_moved < due) {
            const size_t n = static_cast<size_t>(std::min<long long>(due - m_moved, kChunkFrames));
            produce(n);
            const size_t used = s.input_deliver(m_chunk.data(), n, m_generation);
            m_moved += static_cast<long long>(n);
            record([&](wave_virtual_stats& stats) {
                stats.input_frames = m_moved;
                stats.input_lost += static_cast<long long>(n - used);
            });
        }
    }

    // Lockstep: the stream is one of its card's members while its I/O
    // thread runs. The thread steps the shared clock whenever it may, and
    // otherwise waits to be woken (a buffer queued, a start, a close) or
    // for the pace or the grace to allow the next step.
    void run_lockstep(wave_stream& s)
    {
        virtual_card& card = *m_card;
        {
            std::lock_guard<std::mutex> hold(card.stepping);
            card.members.push_back({this, &s, 0});
            m_start_step = card.steps.load();
            if (!m_input) {
                const double at = static_cast<double>(m_start_step) * kStepVirtualSeconds;
                record([&](wave_virtual_stats& stats) {
                    stats.output_start = at;
                    stats.output_frames = 0;
                    stats.output_silent = 0;
                });
            }
        }
        for (;;) {
            int wait_ms;
            {
                std::lock_guard<std::mutex> hold(card.stepping);
                if (s.state().closing) {
                    // Once out of the list no other thread touches the stream.
                    auto& list = card.members;
                    const auto mine = [this](const virtual_card::member& m) { return m.backend == this; };
                    list.erase(std::remove_if(list.begin(), list.end(), mine), list.end());
                    return;
                }
                wait_ms = advance(card, wave_clock::now());
            }
            s.wait(nullptr, 0, wait_ms);
        }
    }

    // Lockstep, under the card's stepping lock: steps the clock as far as
    // the members' buffers and the pace allow, moving every member's frames
    // at each step. Returns how long to wait before trying again, in ms.
    static int advance(virtual_card& card, wave_clock::time_point now)
    {
        const auto ms = [](wave_clock::duration d) {
            const auto n = std::chrono::ceil<std::chrono::milliseconds>(d).count();
            return static_cast<int>(std::clamp<decltype(n)>(n, 1, 1000));
        };
        for (;;) {
            bool owed = false;
            for (auto& m : card.members) {
                m.backend->catch_up(*m.stream);
                const size_t unanswered = m.stream->unanswered();
                m.excused = std::min(m.excused, unanswered);
                owed = owed || unanswered > m.excused;
            }
            if (owed) {
                if (!card.holding) {
                    card.holding = true;
                    card.held_since = now;
                }
                if (now - card.held_since < kAnswerGrace)
                    return ms(card.held_since + kAnswerGrace - now);
                for (auto& m : card.members)
                    m.excused = m.stream->unanswered();
            }
            card.holding = false;
            if (now < card.ready_at)
                return ms(card.ready_at - now);
            card.ready_at = std::max(card.ready_at, now - kPaceSlack) + card.step_real;
            card.steps.store(card.steps.load() + 1);
        }
    }

    // Lockstep, under the card's stepping lock: moves the frames that have
    // come due on the shared clock. An input's clock starts at the first
    // look after waveInStart (the call wakes the stream's thread, which
    // looks at once).
    void catch_up(wave_stream& s)
    {
        const wave_state st = s.state();
        if (st.closing)
            return;
        const long long steps = m_card->steps.load();
        if (m_input) {
            if (st.vanished || !st.started) {
                m_running = false;
                return;
            }
            if (!m_running || st.generation != m_generation) {
                m_start_step = steps;
                restart_input(st.generation, static_cast<double>(steps) * kStepVirtualSeconds);
            }
        } else if (st.vanished) {
            return;  // the clock stops with the device
        }
        const double seconds = static_cast<double>(steps - m_start_step) * kStepVirtualSeconds;
        const auto due = static_cast<long long>(std::floor(seconds * m_rate));
        if (m_input)
            capture_until(s, due);
        else
            play_until(s, due);
    }

    // The next n frames of the source into m_chunk: the file's 16-bit
    // samples until it ends, then silence; or the tone.
    void produce(size_t n)
    {
        const size_t samples = n * m_channels;
        m_source.resize(samples);
        size_t have = 0;
        if (!m_card->config.input_file.empty()) {
            auto* bytes = reinterpret_cast<uint8_t*>(m_source.data());
            size_t got = 0;
            while (m_fd >= 0 && got < samples * 2) {
                const ssize_t r = ::read(m_fd, bytes + got, samples * 2 - got);
                if (r < 0 && errno == EINTR)
                    continue;
                if (r <= 0) {
                    ::close(m_fd);
                    m_fd = -1;
                    break;
                }
                got += static_cast<size_t>(r);
            }
            have = got / 2;
            for (size_t i = 0; i < have; ++i) {
                uint16_t u = static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
                m_source[i] = static_cast<int16_t>(u);
            }
        } else {
            // A rotating phasor: one complex product per frame rather than a
            // sine, which matters at a hundred times real time.
            const double step = kTwoPi * m_card->config.tone_hz / m_nominal_rate;
            const double c = std::cos(step), s = std::sin(step);
            const double amplitude = std::clamp(m_card->config.tone_amplitude, 0.0, 32767.0);
            for (size_t f = 0; f < n; ++f) {
                const auto v = static_cast<int16_t>(std::lround(amplitude * m_sin));
                for (int ch = 0; ch < m_channels; ++ch)
                    m_source[f * m_channels + ch] = v;
                const double next_cos = m_cos * c - m_sin * s;
                m_sin = m_sin * c + m_cos * s;
                m_cos = next_cos;
            }
            const double length = std::hypot(m_cos, m_sin);  // rounding would let it drift
            m_cos /= length;
            m_sin /= length;
            have = samples;
        }
        std::fill(m_source.begin() + static_cast<std::ptrdiff_t>(have), m_source.end(), 0);
        if (m_bits == 16) {
            for (size_t i = 0; i < samples; ++i) {
                const auto u = static_cast<uint16_t>(m_source[i]);
                m_chunk[2 * i] = static_cast<uint8_t>(u & 0xFF);
                m_chunk[2 * i + 1] = static_cast<uint8_t>(u >> 8);
            }
        } else {
            for (size_t i = 0; i < samples; ++i)
                m_chunk[i] = static_cast<uint8_t>((m_source[i] >> 8) + 128);
        }
    }

    // Statistics follow the latest stream of each direction only.
    template <typename Change>
    void record(Change change)
    {
        std::lock_guard<std::mutex> hold(m_card->lock);
        if ((m_input ? m_card->input_owner : m_card->output_owner) == m_handle)
            change(m_card->stats);
    }

    const std::shared_ptr<virtual_card> m_card;
    const bool m_input;
    const uintptr_t m_handle;
    const int m_channels;
    const int m_bits;
    const size_t m_frame_bytes;
    const double m_nominal_rate;
    const double m_rate;  // frames per virtual second, skew included
    int m_fd;             // the input file, or the output file; -1: none
    // The stream's clock: frames moved since it started, and for an input
    // whether it runs and since which start (generation). In lockstep the
    // frames move on whichever I/O thread steps, so these, m_fd and the
    // members below are guarded by the card's stepping lock.
    long long m_moved = 0;
    bool m_running = false;
    unsigned m_generation = 0;
    long long m_start_step = 0;  // lockstep: the card's step the clock started at
    std::vector<uint8_t> m_chunk;
    std::vector<int16_t> m_source;
    double m_cos = 1;  // the tone's phasor
    double m_sin = 0;
};

// The installed devices; declines when none are installed.
bool virtual_wave_open(const std::shared_ptr<wave_stream>& stream, std::unique_ptr<wave_backend>* backend,
                       MMRESULT* result)
{
    std::shared_ptr<virtual_card> card;
    {
        std::lock_guard<std::mutex> hold(g_cards_lock);
        card = g_installed;
    }
    if (!card)
        return false;
    const wave_virtual_config& config = card->config;
    const bool input = stream->input;
    {
        std::lock_guard<std::mutex> hold(card->lock);
        if (card->unplugged || (input ? config.input_missing : config.output_missing)) {
            *result = MMSYSERR_NODRIVER;
            return true;
        }
    }
    int fd = -1;
    const std::string& path = input ? config.input_file : config.output_file;
    if (!path.empty()) {
        fd = input ? ::open(path.c_str(), O_RDONLY | O_CLOEXEC)
                   : ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            *result = MMSYSERR_ERROR;
            return true;
        }
    }
    {
        std::lock_guard<std::mutex> hold(card->lock);
        if (card->unplugged) {
            if (fd >= 0)
                ::close(fd);
            *result = MMSYSERR_NODRIVER;
            return true;
        }
        auto& list = card->streams;
        list.erase(std::remove_if(list.begin(), list.end(), [](const auto& w) { return w.expired(); }), list.end());
        list.push_back(stream);
        wave_virtual_stats& s = card->stats;
        const double rate = stream->format.nSamplesPerSec;
        if (input) {
            card->input_owner = stream->handle;
            s.input_start = -1;
            s.input_rate = rate * config.input_clock;
            s.input_frames = 0;
            s.input_lost = 0;
        } else {
            card->output_owner = stream->handle;
            s.output_start = card->virtual_time(stream->opened_at);
            s.output_rate = rate * config.output_clock;
            s.output_frames = 0;
            s.output_silent = 0;
        }
    }
    *backend = std::make_unique<virtual_stream>(card, *stream, fd);
    *result = MMSYSERR_NOERROR;
    return true;
}

}  // namespace

void wave_virtual_install(const wave_virtual_config& config)
{
    // Ahead of ALSA from the first install on; declines while none is installed.
    static std::once_flag registered;
    std::call_once(registered, [] { wave_register_driver({"virtual", virtual_wave_open}); });
    auto card = std::make_shared<virtual_card>();
    card->config = config;
    if (!(card->config.speed > 0))
        card->config.speed = 1.0;
    if (!(card->config.input_clock > 0))
        card->config.input_clock = 1.0;
    if (!(card->config.output_clock > 0))
        card->config.output_clock = 1.0;
    card->step_ms = std::max(1, static_cast<int>(std::ceil(kStepVirtualSeconds * 1000.0 / card->config.speed)));
    card->step_real = std::chrono::duration_cast<wave_clock::duration>(
        std::chrono::duration<double>(kStepVirtualSeconds / card->config.speed));
    card->installed = wave_clock::now();
    card->ready_at = card->installed;
    std::lock_guard<std::mutex> hold(g_cards_lock);
    g_installed = card;
    g_latest = card;
}

void wave_virtual_uninstall()
{
    std::lock_guard<std::mutex> hold(g_cards_lock);
    g_installed.reset();
}

void wave_virtual_unplug()
{
    std::shared_ptr<virtual_card> card;
    {
        std::lock_guard<std::mutex> hold(g_cards_lock);
        card = g_installed;
    }
    if (!card)
        return;
    std::vector<std::shared_ptr<wave_stream>> open;
    {
        std::lock_guard<std::mutex> hold(card->lock);
        card->unplugged = true;
        for (const auto& w : card->streams)
            if (auto s = w.lock())
                open.push_back(s);
    }
    // Outside the card's lock: vanishing takes the stream's and posts.
    for (const auto& s : open)
        s->vanish("unplugged");
}

wave_virtual_stats wave_virtual_get_stats()
{
    std::shared_ptr<virtual_card> card;
    {
        std::lock_guard<std::mutex> hold(g_cards_lock);
        card = g_installed ? g_installed : g_latest;
    }
    if (!card)
        return {};
    std::lock_guard<std::mutex> hold(card->lock);
    wave_virtual_stats s = card->stats;
    s.now = card->virtual_time(wave_clock::now());
    return s;
}
