// WinMM wave handles over the backends: argument checks, live handles (in
// the process's handle registry), header queues and their flags, notifications, and the
// error texts.
#include "wave_internal.h"

#include "../kernel/handle_registry.h"

#include <winbase.h>
#include <winuser.h>

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

std::mutex g_drivers_lock;  // guards registered()

std::vector<wave_driver>& registered()
{
    static auto* list = new std::vector<wave_driver>;
    return *list;
}

// A live stream, by handle and direction. Handles come from the process's
// one handle registry, so a closed, made-up or kernel handle is simply not
// found.
std::shared_ptr<wave_stream> find_stream(const void* handle, bool input)
{
    auto stream = handle_registry<wave_stream>::find(reinterpret_cast<uintptr_t>(handle));
    if (!stream || stream->input != input)
        return nullptr;
    return stream;
}

bool format_supported(const WAVEFORMATEX& f)
{
    if (f.wFormatTag != WAVE_FORMAT_PCM || f.nChannels < 1 || f.nChannels > 2)
        return false;
    if (f.wBitsPerSample != 8 && f.wBitsPerSample != 16)
        return false;
    if (f.nSamplesPerSec < 1000 || f.nSamplesPerSec > 384000)
        return false;
    return f.nBlockAlign == f.nChannels * f.wBitsPerSample / 8 &&
           f.nAvgBytesPerSec == f.nSamplesPerSec * f.nBlockAlign;
}

MMRESULT open_stream(bool input, void** out, UINT device, LPCWAVEFORMATEX format, DWORD_PTR callback, DWORD flags)
{
    if (!out || !format)
        return MMSYSERR_INVALPARAM;
    const DWORD type = flags & CALLBACK_TYPEMASK;
    if (type != CALLBACK_NULL && type != CALLBACK_THREAD)
        return MMSYSERR_INVALFLAG;
    if (type == CALLBACK_THREAD && (callback == 0 || callback > 0xFFFFFFFFu))
        return MMSYSERR_INVALPARAM;
    if (device != WAVE_MAPPER && device != 0)
        return MMSYSERR_BADDEVICEID;
    WAVEFORMATEX f;
    std::memcpy(&f, format, sizeof f);
    if (!format_supported(f))
        return WAVERR_BADFORMAT;

    // The stream knows its handle before its device opens (a virtual
    // device records its owner by it); it is found by it only once open.
    const uintptr_t handle = handle_registry<wave_stream>::reserve();
    const DWORD notify = type == CALLBACK_THREAD ? static_cast<DWORD>(callback) : 0;
    auto stream = std::make_shared<wave_stream>(input, f, notify, handle);
    std::unique_ptr<wave_backend> backend;
    MMRESULT result = MMSYSERR_NODRIVER;
    for (const wave_driver& driver : wave_drivers())
        if (driver.open(stream, &backend, &result))
            break;
    if (result != MMSYSERR_NOERROR)
        return result;
    handle_registry<wave_stream>::attach(handle, stream);
    stream->begin(std::move(backend));
    // Atomically: other threads of the caller may read the variable the
    // handle goes to (ReadPointerAcquire) while it is written.
    __atomic_store_n(out, reinterpret_cast<void*>(handle), __ATOMIC_RELEASE);
    return MMSYSERR_NOERROR;
}

MMRESULT close_stream(const void* handle, bool input)
{
    auto stream = find_stream(handle, input);
    if (!stream)
        return MMSYSERR_INVALHANDLE;
    const MMRESULT r = stream->begin_close();
    if (r != MMSYSERR_NOERROR)
        return r;
    handle_registry<wave_stream>::remove(stream->handle);
    stream->end_close();
    return MMSYSERR_NOERROR;
}

template <typename Call>
MMRESULT with_stream(const void* handle, bool input, Call call)
{
    auto stream = find_stream(handle, input);
    return stream ? call(*stream) : MMSYSERR_INVALHANDLE;
}

MMRESULT error_text(MMRESULT code, LPWSTR text, UINT size)
{
    if (!text || size == 0)
        return MMSYSERR_INVALPARAM;
    const wchar_t* s = nullptr;
    switch (code) {
    case MMSYSERR_NOERROR: s = L"The specified command was carried out."; break;
    case MMSYSERR_ERROR: s = L"Undefined external error."; break;
    case MMSYSERR_BADDEVICEID: s = L"A device ID has been used that is out of range for your system."; break;
    case MMSYSERR_NOTENABLED: s = L"The driver was not enabled."; break;
    case MMSYSERR_ALLOCATED:
        s = L"The specified device is already in use. Wait until it is free, and then try again.";
        break;
    case MMSYSERR_INVALHANDLE: s = L"The specified device handle is invalid."; break;
    case MMSYSERR_NODRIVER: s = L"There is no driver installed on your system."; break;
    case MMSYSERR_NOMEM:
        s = L"There is not enough memory available for this task. Quit one or more applications to increase "
            L"available memory, and then try again.";
        break;
    case MMSYSERR_NOTSUPPORTED:
        s = L"This function is not supported. Use the Capabilities function to determine which functions and "
            L"messages the driver supports.";
        break;
    case MMSYSERR_BADERRNUM: s = L"An error number was specified that is not defined in the system."; break;
    case MMSYSERR_INVALFLAG: s = L"An invalid flag was passed to a system function."; break;
    case MMSYSERR_INVALPARAM: s = L"An invalid parameter was passed to a system function."; break;
    case WAVERR_BADFORMAT:
        s = L"The specified format is not supported or cannot be translated. Use the Capabilities function to "
            L"determine the supported formats.";
        break;
    case WAVERR_STILLPLAYING:
        s = L"Cannot perform this operation while media data is still playing. Reset the device, or wait until "
            L"the data is finished playing.";
        break;
    case WAVERR_UNPREPARED:
        s = L"The wave header was not prepared. Use the Prepare function to prepare the header, and then try "
            L"again.";
        break;
    default: return MMSYSERR_BADERRNUM;
    }
    const size_t n = std::min<size_t>(std::wcslen(s), size - 1);
    std::wmemcpy(text, s, n);
    text[n] = L'\0';
    return MMSYSERR_NOERROR;
}

MMRESULT check_header(LPWAVEHDR header, UINT size)
{
    return header && size >= sizeof(WAVEHDR) ? MMSYSERR_NOERROR : MMSYSERR_INVALPARAM;
}

}  // namespace

// --- wave_stream ---

wave_stream::wave_stream(bool is_input, const WAVEFORMATEX& fmt, DWORD notify_thread, uintptr_t value)
    : input(is_input), format(fmt), handle(value), opened_at(wave_clock::now()), m_notify_thread(notify_thread)
{
    m_wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

wave_stream::~wave_stream()
{
    // A stream that was never begun, or whose I/O thread was joined.
    if (m_io.joinable()) {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_closed = true;
        }
        wake();
        m_io.join();
    }
    if (m_backend)
        m_backend->close();
    if (m_wake_fd >= 0)
        ::close(m_wake_fd);
}

void wave_backend::run(wave_stream& stream)
{
    if (stream.input)
        run_input(stream);
    else
        run_output(stream);
}

void wave_stream::begin(std::unique_ptr<wave_backend> backend)
{
    m_backend = std::move(backend);
    wave_backend* b = m_backend.get();
    {
        // Under the lock: an unplug may already be vanishing this stream.
        std::lock_guard<std::mutex> hold(m_lock);
        m_device_name = b->device_name();
    }
    m_io = std::thread([this, b] { b->run(*this); });
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_outbox.push_back({input ? static_cast<UINT>(MM_WIM_OPEN) : static_cast<UINT>(MM_WOM_OPEN), 0});
    }
    flush_outbox();
}

MMRESULT wave_stream::prepare(LPWAVEHDR header, UINT size)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_closed)
        return MMSYSERR_INVALHANDLE;
    if (const MMRESULT r = check_header(header, size))
        return r;
    header->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT wave_stream::unprepare(LPWAVEHDR header, UINT size)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_closed)
        return MMSYSERR_INVALHANDLE;
    if (const MMRESULT r = check_header(header, size))
        return r;
    if (header->dwFlags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    header->dwFlags &= ~static_cast<DWORD>(WHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT wave_stream::add(LPWAVEHDR header, UINT size)
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_closed)
            return MMSYSERR_INVALHANDLE;
        if (const MMRESULT r = check_header(header, size))
            return r;
        if (m_vanished)
            return MMSYSERR_NODRIVER;
        if (!(header->dwFlags & WHDR_PREPARED))
            return WAVERR_UNPREPARED;
        if (header->dwFlags & WHDR_INQUEUE)
            return WAVERR_STILLPLAYING;
        header->dwFlags = (header->dwFlags & ~static_cast<DWORD>(WHDR_DONE)) | WHDR_INQUEUE;
        if (input)
            header->dwBytesRecorded = 0;
        m_queue.push_back(header);
        if (m_unanswered > 0)
            --m_unanswered;
    }
    wake();
    return MMSYSERR_NOERROR;
}

MMRESULT wave_stream::start()
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_closed)
            return MMSYSERR_INVALHANDLE;
        if (m_vanished)
            return MMSYSERR_NODRIVER;
        if (m_started)
            return MMSYSERR_NOERROR;
        m_started = true;
        m_started_at = wave_clock::now();
        ++m_generation;
    }
    wake();
    return MMSYSERR_NOERROR;
}

MMRESULT wave_stream::reset()
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_closed)
            return MMSYSERR_INVALHANDLE;
        finish_all();
        m_started = false;
        ++m_generation;
    }
    wake();
    flush_outbox();
    return MMSYSERR_NOERROR;
}

MMRESULT wave_stream::set_volume(DWORD volume)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_closed)
        return MMSYSERR_INVALHANDLE;
    m_volume = volume;
    return MMSYSERR_NOERROR;
}

MMRESULT wave_stream::begin_close()
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_closed)
        return MMSYSERR_INVALHANDLE;
    if (!m_queue.empty() || !m_playing.empty())
        return WAVERR_STILLPLAYING;
    m_closed = true;
    return MMSYSERR_NOERROR;
}

void wave_stream::end_close()
{
    wake();
    if (m_io.joinable())
        m_io.join();
    if (m_backend) {
        m_backend->close();
        m_backend.reset();
    }
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_outbox.push_back({input ? static_cast<UINT>(MM_WIM_CLOSE) : static_cast<UINT>(MM_WOM_CLOSE), 0});
    }
    flush_outbox();
}

wave_state wave_stream::state()
{
    std::lock_guard<std::mutex> hold(m_lock);
    wave_state s;
    s.closing = m_closed;
    s.vanished = m_vanished;
    s.started = m_started;
    s.queued = !m_queue.empty();
    s.playing = !m_playing.empty();
    s.generation = m_generation;
    s.started_at = m_started_at;
    return s;
}

long wave_stream::output_transfer(size_t max_frames, const output_sink& sink, bool until_played)
{
    const size_t fb = frame_bytes();
    long taken = 0;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_closed || m_vanished)
            return 0;
        m_scratch.clear();
        size_t frames = 0;
        size_t from = m_cursor;
        for (auto it = m_queue.begin(); it != m_queue.end() && frames < max_frames; ++it, from = 0) {
            const size_t usable = (*it)->dwBufferLength / fb * fb;
            const size_t n = std::min(usable > from ? (usable - from) / fb : 0, max_frames - frames);
            const auto* p = reinterpret_cast<const uint8_t*>((*it)->lpData) + from;
            m_scratch.insert(m_scratch.end(), p, p + n * fb);
            frames += n;
        }
        if (frames > 0) {
            apply_volume(m_scratch.data(), frames);
            taken = sink(m_scratch.data(), frames);
        }
        // Hand over what the device took, finishing (or keeping until
        // played) every header whose last frame went, and empty ones as
        // they come to the front.
        size_t left = taken > 0 ? static_cast<size_t>(taken) * fb : 0;
        while (!m_queue.empty()) {
            const size_t usable = m_queue.front()->dwBufferLength / fb * fb;
            const size_t n = std::min(usable > m_cursor ? usable - m_cursor : 0, left);
            m_cursor += n;
            m_handed += n / fb;
            left -= n;
            if (m_cursor < usable)
                break;
            if (until_played) {
                m_playing.push_back({m_queue.front(), m_handed});
                m_queue.pop_front();
            } else {
                finish_front(0);
            }
            m_cursor = 0;
        }
    }
    flush_outbox();
    return taken;
}

size_t wave_stream::input_deliver(const uint8_t* data, size_t frames, unsigned generation)
{
    const size_t fb = frame_bytes();
    size_t used = 0;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_closed || m_vanished || !m_started || generation != m_generation)
            return 0;
        while (!m_queue.empty()) {
            LPWAVEHDR h = m_queue.front();
            const size_t usable = h->dwBufferLength / fb * fb;
            const size_t n = std::min(usable > m_cursor ? (usable - m_cursor) / fb : 0, frames - used);
            std::memcpy(h->lpData + m_cursor, data + used * fb, n * fb);
            m_cursor += n * fb;
            used += n;
            if (m_cursor < usable)
                break;
            finish_front(static_cast<DWORD>(m_cursor));
            m_cursor = 0;
        }
    }
    flush_outbox();
    return used;
}

size_t wave_stream::unanswered()
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_unanswered;
}

size_t wave_stream::front_frames()
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_queue.empty() ? 0 : m_queue.front()->dwBufferLength / frame_bytes();
}

int wave_stream::wait(pollfd* fds, int count, int timeout_ms)
{
    std::vector<pollfd> all(1 + static_cast<size_t>(count));
    all[0] = {m_wake_fd, POLLIN, 0};
    for (int i = 0; i < count; ++i)
        all[1 + i] = fds[i];
    int r = ::poll(all.data(), all.size(), timeout_ms);
    if (r < 0)
        return r;
    if (all[0].revents) {
        uint64_t drained;
        while (::read(m_wake_fd, &drained, sizeof drained) > 0) {
        }
        --r;
    }
    for (int i = 0; i < count; ++i)
        fds[i].revents = all[1 + i].revents;
    return r;
}

namespace {

std::string report_line(bool input, const std::string& device, const char* event, const char* reason)
{
    std::string line = std::string("wave: the sound ") + (input ? "input" : "output") + " \"" + device + "\" " + event;
    if (reason && *reason)
        line += std::string(" (") + reason + ")";
    return line + "\n";
}

}  // namespace

void wave_stream::report(const std::string& device, const char* event, const char* reason) const
{
    ::OutputDebugStringA(report_line(input, device, event, reason).c_str());
}

size_t wave_stream::output_played(size_t pending)
{
    size_t left = 0;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        const unsigned long long played = m_handed - std::min<unsigned long long>(pending, m_handed);
        while (!m_playing.empty() && m_playing.front().end <= played) {
            finish(m_playing.front().header, 0);
            m_playing.pop_front();
        }
        if (!m_playing.empty())
            left = static_cast<size_t>(m_playing.front().end - played);
    }
    flush_outbox();
    return left;
}

void wave_stream::vanish(const char* reason)
{
    std::string report;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_vanished || m_closed)
            return;
        // Once per stream, so that a user who hears the sound stop can find
        // out why; the program itself is told only through failing calls.
        report = report_line(input, m_device_name, "went away", reason);
        m_vanished = true;
        m_started = false;
        finish_all();
    }
    ::OutputDebugStringA(report.c_str());
    wake();
    flush_outbox();
}

void wave_stream::wake()
{
    uint64_t one = 1;
    ssize_t n = ::write(m_wake_fd, &one, sizeof one);
    (void)n;  // full only if already signalled
}

void wave_stream::finish_front(DWORD bytes_recorded)
{
    LPWAVEHDR h = m_queue.front();
    m_queue.pop_front();
    finish(h, bytes_recorded);
}

void wave_stream::finish_all()
{
    // Those handed over whole were queued first.
    for (const handed& h : m_playing)
        finish(h.header, 0);
    m_playing.clear();
    if (!m_queue.empty())
        finish_front(static_cast<DWORD>(m_cursor));
    while (!m_queue.empty())
        finish_front(0);
    m_cursor = 0;
    m_handed = 0;
    m_unanswered = 0;
}

void wave_stream::finish(LPWAVEHDR h, DWORD bytes_recorded)
{
    if (input)
        h->dwBytesRecorded = bytes_recorded;
    h->dwFlags = (h->dwFlags & ~static_cast<DWORD>(WHDR_INQUEUE)) | WHDR_DONE;
    m_outbox.push_back({input ? static_cast<UINT>(MM_WIM_DATA) : static_cast<UINT>(MM_WOM_DONE),
                        reinterpret_cast<LPARAM>(h)});
    ++m_unanswered;
}

void wave_stream::flush_outbox()
{
    std::lock_guard<std::mutex> posting(m_post_lock);
    for (;;) {
        note n;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            if (m_outbox.empty())
                return;
            n = m_outbox.front();
            m_outbox.pop_front();
        }
        if (m_notify_thread)
            ::PostThreadMessageW(m_notify_thread, n.message, static_cast<WPARAM>(handle), n.header);
    }
}

void wave_stream::apply_volume(uint8_t* data, size_t frames) const
{
    if (m_volume == 0xFFFFFFFFu)
        return;
    const int channels = format.nChannels;
    // (v + 1) / 65536 makes 0xFFFF exactly unity and 0 silence.
    const int64_t gain[2] = {static_cast<int64_t>(LOWORD(m_volume)) + 1,
                             static_cast<int64_t>(channels == 2 ? HIWORD(m_volume) : LOWORD(m_volume)) + 1};
    const size_t samples = frames * static_cast<size_t>(channels);
    if (format.wBitsPerSample == 16) {
        for (size_t i = 0; i < samples; ++i) {
            int16_t s;
            std::memcpy(&s, data + 2 * i, 2);
            s = static_cast<int16_t>(s * gain[i % channels] / 65536);
            std::memcpy(data + 2 * i, &s, 2);
        }
    } else {
        for (size_t i = 0; i < samples; ++i)
            data[i] = static_cast<uint8_t>((data[i] - 128) * gain[i % channels] / 65536 + 128);
    }
}

// --- the API ---

MMRESULT waveInOpen(LPHWAVEIN phwi, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback, DWORD_PTR,
                    DWORD fdwOpen)
{
    return open_stream(true, reinterpret_cast<void**>(phwi), uDeviceID, pwfx, dwCallback, fdwOpen);
}

MMRESULT waveInPrepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh)
{
    return with_stream(hwi, true, [&](wave_stream& s) { return s.prepare(pwh, cbwh); });
}

MMRESULT waveInUnprepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh)
{
    return with_stream(hwi, true, [&](wave_stream& s) { return s.unprepare(pwh, cbwh); });
}

MMRESULT waveInAddBuffer(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh)
{
    return with_stream(hwi, true, [&](wave_stream& s) { return s.add(pwh, cbwh); });
}

MMRESULT waveInStart(HWAVEIN hwi)
{
    return with_stream(hwi, true, [&](wave_stream& s) { return s.start(); });
}

MMRESULT waveInReset(HWAVEIN hwi)
{
    return with_stream(hwi, true, [&](wave_stream& s) { return s.reset(); });
}

MMRESULT waveInClose(HWAVEIN hwi) { return close_stream(hwi, true); }

MMRESULT waveInGetErrorTextW(MMRESULT mmrError, LPWSTR pszText, UINT cchText)
{
    return error_text(mmrError, pszText, cchText);
}

MMRESULT waveOutOpen(LPHWAVEOUT phwo, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback, DWORD_PTR,
                     DWORD fdwOpen)
{
    return open_stream(false, reinterpret_cast<void**>(phwo), uDeviceID, pwfx, dwCallback, fdwOpen);
}

MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh)
{
    return with_stream(hwo, false, [&](wave_stream& s) { return s.prepare(pwh, cbwh); });
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh)
{
    return with_stream(hwo, false, [&](wave_stream& s) { return s.unprepare(pwh, cbwh); });
}

MMRESULT waveOutWrite(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh)
{
    return with_stream(hwo, false, [&](wave_stream& s) { return s.add(pwh, cbwh); });
}

MMRESULT waveOutReset(HWAVEOUT hwo)
{
    return with_stream(hwo, false, [&](wave_stream& s) { return s.reset(); });
}

MMRESULT waveOutClose(HWAVEOUT hwo) { return close_stream(hwo, false); }

MMRESULT waveOutSetVolume(HWAVEOUT hwo, DWORD dwVolume)
{
    return with_stream(hwo, false, [&](wave_stream& s) { return s.set_volume(dwVolume); });
}

MMRESULT waveOutGetErrorTextW(MMRESULT mmrError, LPWSTR pszText, UINT cchText)
{
    return error_text(mmrError, pszText, cchText);
}

void wave_register_driver(const wave_driver& driver)
{
    std::lock_guard<std::mutex> hold(g_drivers_lock);
    auto& list = registered();
    if (std::none_of(list.begin(), list.end(), [&](const wave_driver& d) { return std::strcmp(d.name, driver.name) == 0; }))
        list.insert(list.begin(), driver);
}

std::vector<wave_driver> wave_drivers()
{
    std::lock_guard<std::mutex> hold(g_drivers_lock);
    std::vector<wave_driver> list = registered();
    list.push_back({"ALSA", alsa_open});
    return list;
}
