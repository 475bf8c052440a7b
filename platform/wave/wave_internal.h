// The wave layer's internals shared between its files: one open stream
// (the caller's side: header queue, flags, notifications, the I/O thread)
// and the backends that move its frames (ALSA, virtual devices).
//
// Threads: the API calls come from any thread; each stream has one I/O
// thread, which runs its backend. The stream lock guards the queue and
// every header in it; backends touch their device only on the I/O thread,
// except at open (before the thread starts) and close (after it ended).
// (Virtual devices in lockstep move the frames of all a card's streams on
// whichever of their I/O threads takes a step, under the card's lock.)
#pragma once

#include <mmsystem.h>

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using wave_clock = std::chrono::steady_clock;

class wave_stream;

// Moves one stream's frames between its device and its queue.
class wave_backend {
public:
    virtual ~wave_backend() = default;
    // The body of the stream's I/O thread, by the stream's direction;
    // returns once the stream is closing (wave_state::closing).
    void run(wave_stream& stream);
    // Releases the device. Called once, by the closing caller, after run()
    // has returned.
    virtual void close() = 0;
    // The device's name as the user would know it, for reports.
    virtual const char* device_name() const = 0;

protected:
    virtual void run_input(wave_stream& stream) = 0;
    virtual void run_output(wave_stream& stream) = 0;
};

// The callers' requests as the I/O thread sees them, read under the stream
// lock by wave_stream::state().
struct wave_state {
    bool closing = false;
    bool vanished = false;
    bool started = false;               // input: between waveInStart and a reset
    bool queued = false;                // headers are waiting
    bool playing = false;               // output: headers handed over whole, not yet played
    unsigned generation = 0;            // bumped by every reset and every waveInStart
    wave_clock::time_point started_at;  // input: when waveInStart was called
};

class wave_stream {
public:
    // Notifications go to notify_thread (0: none).
    wave_stream(bool input, const WAVEFORMATEX& format, DWORD notify_thread, uintptr_t handle);
    ~wave_stream();
    wave_stream(const wave_stream&) = delete;
    wave_stream& operator=(const wave_stream&) = delete;

    const bool input;
    const WAVEFORMATEX format;
    const uintptr_t handle;  // its token in the handle registry (handle_registry.h)
    const wave_clock::time_point opened_at;
    size_t frame_bytes() const { return format.nBlockAlign; }

    // Start-up, by the opening caller: takes the backend, starts the I/O
    // thread and posts the open notification.
    void begin(std::unique_ptr<wave_backend> backend);

    // The API, from any thread. Each fails with MMSYSERR_INVALHANDLE once
    // the stream is closed.
    MMRESULT prepare(LPWAVEHDR header, UINT size);
    MMRESULT unprepare(LPWAVEHDR header, UINT size);
    MMRESULT add(LPWAVEHDR header, UINT size);  // waveOutWrite, waveInAddBuffer
    MMRESULT start();                           // input only
    MMRESULT reset();
    MMRESULT set_volume(DWORD volume);
    // Closing is two steps so that the handle is unregistered in between:
    // begin_close() refuses while headers are queued and otherwise marks
    // the stream closed; end_close() ends the I/O thread, releases the
    // device and posts the close notification. Only the caller whose
    // begin_close() succeeded calls end_close().
    MMRESULT begin_close();
    void end_close();

    // For the I/O thread.
    wave_state state();
    // Output: offers the queued audio (at most max_frames, volume applied)
    // to sink, under the stream lock so that a reset cannot come between;
    // sink hands it to the device and returns the frames it took (or a
    // negative error, passed back). Headers whose last frame was taken
    // are finished and notified, or, with until_played, kept until
    // output_played() says their last frame was heard, as WinMM returns a
    // header once it has played: a device's own buffer then adds nothing
    // to the delay of the blocks the caller keeps in circulation.
    using output_sink = std::function<long(const uint8_t* data, size_t frames)>;
    long output_transfer(size_t max_frames, const output_sink& sink, bool until_played = false);
    // Output: of the frames handed over since the last reset, `pending`
    // are not played yet (the device's delay); headers played whole are
    // finished and notified. Returns how many frames the first header
    // still waiting has left to play (0: none waits).
    size_t output_played(size_t pending);
    // Input: fills the queued headers with recorded frames; returns how
    // many found room (the rest are lost). Frames read before a reset or a
    // restart (generation no longer current) are dropped.
    size_t input_deliver(const uint8_t* data, size_t frames, unsigned generation);
    // The frames of the header at the front of the queue (0: none),
    // so that a device can be sized from the blocks the caller queues.
    size_t front_frames();
    // Headers the device finished (played, or filled) that the caller has
    // not queued since: each add settles one, a reset or a vanish all of
    // them. A virtual device's clock waits on it.
    size_t unanswered();
    // Waits until woken (any API call that needs the I/O thread), one of
    // fds is ready, or timeout_ms passes; fds may be null. Returns poll()'s
    // result for fds (revents filled in), 0 if only woken or timed out.
    int wait(pollfd* fds, int count, int timeout_ms);

    // The device is gone (any thread): queued headers are returned as
    // finished, later writes, buffers and starts fail with
    // MMSYSERR_NODRIVER. Reset and close still work. The first call of an
    // open stream reports it on one line of debug output, with reason if
    // given.
    void vanish(const char* reason = nullptr);
    // One line of debug output about this stream's device:
    // wave: the sound <input|output> "<device>" <event>[ (<reason>)]
    void report(const std::string& device, const char* event, const char* reason = nullptr) const;

private:
    struct note {
        UINT message;
        LPARAM header;
    };

    void wake();
    // With m_lock held: moves the front header to the outbox as finished.
    void finish_front(DWORD bytes_recorded);
    // With m_lock held: moves h to the outbox as finished.
    void finish(LPWAVEHDR h, DWORD bytes_recorded);
    // With m_lock held: every header returned, as reset and vanish do.
    void finish_all();
    // Posts the outbox in order; callers hold neither lock.
    void flush_outbox();
    void apply_volume(uint8_t* data, size_t frames) const;

    const DWORD m_notify_thread;
    int m_wake_fd = -1;
    std::thread m_io;
    std::unique_ptr<wave_backend> m_backend;  // set before m_io starts, reset after it ends

    std::mutex m_lock;  // guards everything below and the queued headers
    std::deque<LPWAVEHDR> m_queue;
    size_t m_cursor = 0;  // bytes of the front header played or recorded
    // Output with until_played: headers handed over whole, in order, with
    // the count of frames handed over when their last one went.
    struct handed {
        LPWAVEHDR header;
        unsigned long long end;
    };
    std::deque<handed> m_playing;
    unsigned long long m_handed = 0;  // output: frames handed over since the last reset
    size_t m_unanswered = 0;
    bool m_closed = false;
    bool m_vanished = false;
    bool m_started = false;
    std::string m_device_name;  // the backend's, set by begin()
    unsigned m_generation = 0;
    wave_clock::time_point m_started_at;
    DWORD m_volume = 0xFFFFFFFF;
    std::vector<uint8_t> m_scratch;  // output_transfer's gathered frames
    std::deque<note> m_outbox;       // finished, not yet posted, in order

    // Held while posting, so that notifications leave in outbox order.
    // Taken before m_lock, never while holding it.
    std::mutex m_post_lock;
};

// The devices a stream can open, asked in table order: a driver that does
// not serve this process (no virtual devices installed) declines, and the
// first that takes the open decides its outcome.
struct wave_driver {
    const char* name;
    // false: declined. true: *result is the open's outcome, and on success
    // *backend moves the stream's frames.
    bool (*open)(const std::shared_ptr<wave_stream>& stream, std::unique_ptr<wave_backend>* backend,
                 MMRESULT* result);
};
// Tried in turn until one does not decline: the drivers registered, the
// latest first, then ALSA's "default". The product registers none; the
// virtual devices of the demo, the tests and the benchmarks register
// theirs at their first install. A driver registered twice (by name) is
// tried once. Any thread.
void wave_register_driver(const wave_driver& driver);
std::vector<wave_driver> wave_drivers();

// What WAVE_MAPPER opens on ALSA, in order of preference: the PCM's name,
// and what it is, for the trace of the choice. Output: "default". Input:
// the capture stick's card while one is present (through the sound
// server's source for it, else directly), otherwise "default". Any
// thread; may ask the sound server (at most about a second).
struct alsa_choice {
    std::string pcm;
    std::string about;
};
std::vector<alsa_choice> alsa_mapper_choices(bool input);
// Where the sound cards are looked for ("/sys"); tests point it at a fake tree.
void alsa_set_sysfs_root(const std::string& root);

// The sound server's source for ALSA card `card`, if a server (PulseAudio,
// or PipeWire's pulse service) runs and has one; pipewire: the server is
// PipeWire. Bounded by about a second.
struct pulse_source {
    std::string name;
    bool pipewire = false;
};
std::optional<pulse_source> pulse_card_source(int card);
// The user's pulse-protocol server: PULSE_SERVER, else
// "unix:$XDG_RUNTIME_DIR/pulse/native"; "" without either.
std::string pulse_server_address();

// Asks RealtimeKit to make the calling thread real-time; false and the
// reason in why where there is none or it refuses.
bool rtkit_make_thread_realtime(std::string& why);
// The same for a sound I/O thread: a refusal is traced once per process.
void wave_thread_realtime();

// WAVE_MAPPER on ALSA (alsa_mapper_choices) in the stream's format. Fails with
// MMSYSERR_ALLOCATED (device busy), MMSYSERR_NODRIVER (no device) or
// WAVERR_BADFORMAT (the device cannot take the format). Never declines.
bool alsa_open(const std::shared_ptr<wave_stream>& stream, std::unique_ptr<wave_backend>* backend,
               MMRESULT* result);

// The underruns (output) or overruns (input) the ALSA streams of this
// process recovered from since it started, for the benchmarks.
long alsa_xruns(bool input);

