// WinMM wave input and output: argument and handle checks, the header life
// cycle and its notifications, reset and close, the virtual devices' clock,
// files, volume and unplugging, concurrent use from a callback thread, and
// the ALSA path through a private ALSA configuration.
#include <windows.h>
#include <wavevirtual.h>

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include "../../platform/kernel/debug_output.h"
#include "alsa_test_config.h"
#include "dbus_services.h"
#include "fake_sound_cards.h"
#include "hang_timeout.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

WAVEFORMATEX pcm(DWORD rate = 44100, WORD channels = 2, WORD bits = 16)
{
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = bits;
    f.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}

struct note {
    UINT message;
    WPARAM handle;
    LPARAM header;
};

// The wave notifications posted to this thread, collected as they come.
class notes {
public:
    // Creates this thread's queue before any open, and drops what earlier
    // cases in this process left in it.
    notes()
    {
        MSG m;
        while (::PeekMessageW(&m, nullptr, MM_WOM_OPEN, MM_WIM_DATA, PM_REMOVE)) {
        }
    }
    DWORD_PTR thread() const { return ::GetCurrentThreadId(); }

    // Waits until `count` have come in all; returns how many have.
    size_t wait_for(size_t count, std::chrono::milliseconds timeout = kHangTimeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            MSG m;
            while (::PeekMessageW(&m, nullptr, MM_WOM_OPEN, MM_WIM_DATA, PM_REMOVE))
                got.push_back({m.message, m.wParam, m.lParam});
            if (got.size() >= count || std::chrono::steady_clock::now() >= deadline)
                return got.size();
            std::this_thread::sleep_for(1ms);
        }
    }

    std::vector<note> got;
};

// A header over its own samples.
struct buffer {
    explicit buffer(size_t bytes, char fill = 0) : data(bytes, fill)
    {
        header.lpData = data.data();
        header.dwBufferLength = static_cast<DWORD>(bytes);
    }
    std::vector<char> data;
    WAVEHDR header{};
    LPWAVEHDR get() { return &header; }
};

LPARAM lp(buffer& b) { return reinterpret_cast<LPARAM>(&b.header); }

// A folder of the test's own, removed afterwards.
struct temp_dir {
    temp_dir()
    {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        path = fs::temp_directory_path() /
               ("vistamo-wave-" + std::to_string(::getpid()) + "-" + test->name());
        fs::create_directories(path);
    }
    ~temp_dir()
    {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    std::string file(const char* name) const { return (path / name).string(); }
    fs::path path;
};

// Virtual devices for the length of a test.
struct virtual_devices {
    explicit virtual_devices(const wave_virtual_config& config = {}) { wave_virtual_install(config); }
    ~virtual_devices() { wave_virtual_uninstall(); }
};

void write_file(const std::string& path, const std::vector<int16_t>& samples)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(samples.size() * 2));
}

std::vector<int16_t> read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

std::vector<int16_t> samples_of(const buffer& b, size_t bytes)
{
    std::vector<int16_t> s(bytes / 2);
    std::memcpy(s.data(), b.data.data(), s.size() * 2);
    return s;
}

// A stereo ramp that differs in every sample.
std::vector<int16_t> ramp(size_t frames, int from = 1)
{
    std::vector<int16_t> s(frames * 2);
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<int16_t>((from + static_cast<int>(i)) % 30000 * (i % 2 ? -1 : 1));
    return s;
}

buffer buffer_of(const std::vector<int16_t>& samples)
{
    buffer b(samples.size() * 2);
    std::memcpy(b.data.data(), samples.data(), b.data.size());
    return b;
}

constexpr UINT kHdr = sizeof(WAVEHDR);

// The debug output lines that report a vanished device, while it lives.
class vanish_reports {
public:
    vanish_reports()
    {
        debug_output_set_sink([this](const std::string& text) {
            if (text.find("went away") == std::string::npos)
                return;
            std::lock_guard<std::mutex> hold(m_lock);
            m_lines.push_back(text);
        });
    }
    ~vanish_reports() { debug_output_set_sink(nullptr); }
    std::vector<std::string> lines()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_lines;
    }

private:
    std::mutex m_lock;
    std::vector<std::string> m_lines;
};

// Both buffers of each side queued, then recording started.
void queue_and_start(HWAVEOUT out, buffer (&o)[2], HWAVEIN in, buffer (&i)[2])
{
    for (int k = 0; k < 2; ++k) {
        waveOutPrepareHeader(out, o[k].get(), kHdr);
        waveOutWrite(out, o[k].get(), kHdr);
        waveInPrepareHeader(in, i[k].get(), kHdr);
        waveInAddBuffer(in, i[k].get(), kHdr);
    }
    waveInStart(in);
}

}  // namespace

TEST(WaveOpen, RefusesBadArgumentsFlagsAndFormats)
{
    virtual_devices devices;
    auto open = [](bool input, UINT device, const WAVEFORMATEX* f, DWORD flags, void** h) -> MMRESULT {
        void* local = nullptr;
        void** out = h ? h : &local;
        MMRESULT r = input ? waveInOpen(reinterpret_cast<LPHWAVEIN>(out), device, f, ::GetCurrentThreadId(), 0, flags)
                           : waveOutOpen(reinterpret_cast<LPHWAVEOUT>(out), device, f, ::GetCurrentThreadId(), 0, flags);
        if (r == MMSYSERR_NOERROR) {
            EXPECT_EQ(input ? waveInClose(static_cast<HWAVEIN>(*out)) : waveOutClose(static_cast<HWAVEOUT>(*out)),
                      MMSYSERR_NOERROR);
        }
        return r;
    };
    MSG m;
    ::PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);
    const WAVEFORMATEX good = pcm();
    for (bool input : {false, true}) {
        SCOPED_TRACE(input ? "input" : "output");
        void* h = nullptr;
        EXPECT_EQ(input ? waveInOpen(nullptr, WAVE_MAPPER, &good, 0, 0, CALLBACK_NULL)
                        : waveOutOpen(nullptr, WAVE_MAPPER, &good, 0, 0, CALLBACK_NULL),
                  MMSYSERR_INVALPARAM);
        EXPECT_EQ(open(input, WAVE_MAPPER, nullptr, CALLBACK_NULL, &h), MMSYSERR_INVALPARAM);
        EXPECT_EQ(open(input, 1, &good, CALLBACK_NULL, &h), MMSYSERR_BADDEVICEID);
        for (DWORD flags : {0x00010000u, 0x00030000u, 0x00050000u})  // window, function, event
            EXPECT_EQ(open(input, WAVE_MAPPER, &good, flags, &h), MMSYSERR_INVALFLAG);

        WAVEFORMATEX bad[6] = {good, pcm(44100, 0), pcm(44100, 3), pcm(44100, 2, 24), good, good};
        bad[0].wFormatTag = 3;  // IEEE float
        bad[4].nBlockAlign = 2;
        bad[5].nAvgBytesPerSec = 1000;
        for (const auto& f : bad)
            EXPECT_EQ(open(input, WAVE_MAPPER, &f, CALLBACK_NULL, &h), WAVERR_BADFORMAT);

        for (UINT device : {WAVE_MAPPER, 0u})
            for (const auto& f : {good, pcm(8000, 1, 8), pcm(48000, 1, 16)})
                EXPECT_EQ(open(input, device, &f, CALLBACK_THREAD, &h), MMSYSERR_NOERROR);
    }
}

TEST(WaveHandles, EveryCallRefusesAHandleThatIsNotOpen)
{
    virtual_devices devices;
    const WAVEFORMATEX f = pcm();
    HWAVEOUT out = nullptr;
    HWAVEIN in = nullptr;
    ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    HWAVEOUT closed_out = nullptr;
    HWAVEIN closed_in = nullptr;
    ASSERT_EQ(waveOutOpen(&closed_out, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInOpen(&closed_in, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutClose(closed_out), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInClose(closed_in), MMSYSERR_NOERROR);

    // Kernel and wave handles come from one registry: neither passes for the other.
    HANDLE kernel = CreateMutexW(nullptr, FALSE, nullptr);
    ASSERT_NE(kernel, nullptr);
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(out)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(in), 0), WAIT_FAILED);

    buffer b(64);
    const HWAVEOUT bad_out[] = {nullptr, reinterpret_cast<HWAVEOUT>(0x1234), closed_out,
                                reinterpret_cast<HWAVEOUT>(in), reinterpret_cast<HWAVEOUT>(kernel)};
    for (HWAVEOUT h : bad_out) {
        EXPECT_EQ(waveOutPrepareHeader(h, b.get(), kHdr), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveOutUnprepareHeader(h, b.get(), kHdr), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveOutWrite(h, b.get(), kHdr), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveOutReset(h), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveOutSetVolume(h, 0xFFFFFFFF), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveOutClose(h), MMSYSERR_INVALHANDLE);
    }
    const HWAVEIN bad_in[] = {nullptr, reinterpret_cast<HWAVEIN>(0x1234), closed_in, reinterpret_cast<HWAVEIN>(out),
                              reinterpret_cast<HWAVEIN>(kernel)};
    for (HWAVEIN h : bad_in) {
        EXPECT_EQ(waveInPrepareHeader(h, b.get(), kHdr), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveInUnprepareHeader(h, b.get(), kHdr), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveInAddBuffer(h, b.get(), kHdr), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveInStart(h), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveInReset(h), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveInClose(h), MMSYSERR_INVALHANDLE);
    }
    EXPECT_EQ(b.header.dwFlags, 0u);  // never touched
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInClose(in), MMSYSERR_INVALHANDLE);
    EXPECT_TRUE(CloseHandle(kernel));
}

TEST(WaveHeaders, PrepareQueueAndFinishFollowTheWinMMLifeCycle)
{
    virtual_devices devices;
    notes n;
    const WAVEFORMATEX f = pcm();
    HWAVEOUT out = nullptr;
    ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &f, n.thread(), 0, CALLBACK_THREAD), MMSYSERR_NOERROR);
    const auto h = reinterpret_cast<WPARAM>(out);
    buffer b[3] = {buffer(4096 * 4), buffer(4096 * 4), buffer(4096 * 4)};

    EXPECT_EQ(waveOutPrepareHeader(out, nullptr, kHdr), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveOutPrepareHeader(out, b[0].get(), kHdr - 1), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveOutWrite(out, b[0].get(), kHdr), WAVERR_UNPREPARED);
    for (auto& x : b) {
        ASSERT_EQ(waveOutPrepareHeader(out, x.get(), kHdr), MMSYSERR_NOERROR);
        EXPECT_EQ(x.header.dwFlags, static_cast<DWORD>(WHDR_PREPARED));
    }
    EXPECT_EQ(waveOutPrepareHeader(out, b[0].get(), kHdr), MMSYSERR_NOERROR);
    b[0].header.dwFlags |= WHDR_DONE;  // left from an earlier round
    for (auto& x : b)
        ASSERT_EQ(waveOutWrite(out, x.get(), kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(b[2].header.dwFlags, static_cast<DWORD>(WHDR_PREPARED | WHDR_INQUEUE));
    EXPECT_FALSE(b[0].header.dwFlags & WHDR_DONE);
    EXPECT_EQ(waveOutWrite(out, b[2].get(), kHdr), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutUnprepareHeader(out, b[2].get(), kHdr), WAVERR_STILLPLAYING);

    ASSERT_EQ(n.wait_for(4), 4u);
    EXPECT_EQ(n.got[0].message, static_cast<UINT>(MM_WOM_OPEN));
    EXPECT_EQ(n.got[0].handle, h);
    EXPECT_EQ(n.got[0].header, 0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(n.got[1 + i].message, static_cast<UINT>(MM_WOM_DONE));
        EXPECT_EQ(n.got[1 + i].handle, h);
        EXPECT_EQ(n.got[1 + i].header, lp(b[i]));
        EXPECT_EQ(b[i].header.dwFlags, static_cast<DWORD>(WHDR_PREPARED | WHDR_DONE));
    }
    ASSERT_EQ(waveOutUnprepareHeader(out, b[0].get(), kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(b[0].header.dwFlags, static_cast<DWORD>(WHDR_DONE));
    EXPECT_EQ(waveOutWrite(out, b[0].get(), kHdr), WAVERR_UNPREPARED);

    ASSERT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    ASSERT_EQ(n.wait_for(5), 5u);
    EXPECT_EQ(n.got[4].message, static_cast<UINT>(MM_WOM_CLOSE));
    EXPECT_EQ(n.got[4].handle, h);
    EXPECT_EQ(n.got[4].header, 0);
    EXPECT_EQ(n.wait_for(6, 50ms), 5u);
}

TEST(WaveReset, ReturnsEveryQueuedBufferAtOnceAndKeepsTheDeviceOpen)
{
    virtual_devices devices;
    notes n;
    const WAVEFORMATEX f = pcm();
    HWAVEOUT out = nullptr;
    ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &f, n.thread(), 0, CALLBACK_THREAD), MMSYSERR_NOERROR);
    buffer b[3] = {buffer(44100 * 4), buffer(44100 * 4), buffer(44100 * 4)};  // a second each
    for (auto& x : b) {
        waveOutPrepareHeader(out, x.get(), kHdr);
        ASSERT_EQ(waveOutWrite(out, x.get(), kHdr), MMSYSERR_NOERROR);
    }
    EXPECT_EQ(waveOutClose(out), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutSetVolume(out, 0xFFFFFFFF), MMSYSERR_NOERROR);  // still open

    ASSERT_EQ(waveOutReset(out), MMSYSERR_NOERROR);
    for (auto& x : b)
        EXPECT_EQ(x.header.dwFlags, static_cast<DWORD>(WHDR_PREPARED | WHDR_DONE));
    ASSERT_EQ(n.wait_for(4), 4u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(n.got[1 + i].header, lp(b[i]));
    ASSERT_EQ(waveOutWrite(out, b[0].get(), kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutReset(out), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);

    // Input: a reset returns what each buffer got and stops recording.
    HWAVEIN in = nullptr;
    ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &f, n.thread(), 0, CALLBACK_THREAD), MMSYSERR_NOERROR);
    buffer r[2] = {buffer(44100 * 4), buffer(44100 * 4)};
    for (auto& x : r) {
        waveInPrepareHeader(in, x.get(), kHdr);
        ASSERT_EQ(waveInAddBuffer(in, x.get(), kHdr), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    std::this_thread::sleep_for(60ms);
    ASSERT_EQ(waveInReset(in), MMSYSERR_NOERROR);
    EXPECT_GT(r[0].header.dwBytesRecorded, 0u);
    EXPECT_LT(r[0].header.dwBytesRecorded, r[0].header.dwBufferLength);
    EXPECT_EQ(r[0].header.dwBytesRecorded % f.nBlockAlign, 0u);
    EXPECT_EQ(r[1].header.dwBytesRecorded, 0u);
    ASSERT_EQ(n.wait_for(9), 9u);  // after the output's 6 and the input's open
    EXPECT_EQ(n.got[7].message, static_cast<UINT>(MM_WIM_DATA));
    EXPECT_EQ(n.got[7].header, lp(r[0]));
    EXPECT_EQ(n.got[8].header, lp(r[1]));

    buffer small(441 * 4);
    waveInPrepareHeader(in, small.get(), kHdr);
    ASSERT_EQ(waveInAddBuffer(in, small.get(), kHdr), MMSYSERR_NOERROR);
    std::this_thread::sleep_for(40ms);
    EXPECT_EQ(small.header.dwFlags & WHDR_DONE, 0u) << "recorded without waveInStart";
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    ASSERT_EQ(n.wait_for(10), 10u);
    EXPECT_EQ(small.header.dwBytesRecorded, small.header.dwBufferLength);
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
}

TEST(VirtualInput, DeliversTheFileThenSilenceInOrderAtTheClockRate)
{
    temp_dir dir;
    const auto source = ramp(5000);
    write_file(dir.file("in.raw"), source);
    wave_virtual_config config;
    config.input_file = dir.file("in.raw");
    virtual_devices devices(config);
    notes n;
    const WAVEFORMATEX f = pcm();
    HWAVEIN in = nullptr;
    ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &f, n.thread(), 0, CALLBACK_THREAD), MMSYSERR_NOERROR);
    buffer b[3] = {buffer(2048 * 4), buffer(2048 * 4), buffer(2048 * 4)};
    for (auto& x : b) {
        waveInPrepareHeader(in, x.get(), kHdr);
        waveInAddBuffer(in, x.get(), kHdr);
    }
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    ASSERT_EQ(n.wait_for(4), 4u);
    const auto took = std::chrono::steady_clock::now() - started;
    // 6144 frames at 44.1 kHz take 139 ms, as on a sound card.
    EXPECT_GE(took, 135ms);
    EXPECT_LT(took, 600ms);

    std::vector<int16_t> got;
    for (auto& x : b) {
        EXPECT_EQ(x.header.dwBytesRecorded, x.header.dwBufferLength);
        const auto s = samples_of(x, x.header.dwBytesRecorded);
        got.insert(got.end(), s.begin(), s.end());
    }
    ASSERT_EQ(got.size(), 6144u * 2);
    EXPECT_TRUE(std::equal(source.begin(), source.end(), got.begin()));
    EXPECT_TRUE(std::all_of(got.begin() + static_cast<long>(source.size()), got.end(), [](int16_t s) { return s == 0; }));

    // The clock goes on with nothing queued: those frames are lost.
    std::this_thread::sleep_for(50ms);
    const wave_virtual_stats s = wave_virtual_get_stats();
    EXPECT_GE(s.input_frames, 6144 + 1000);
    EXPECT_EQ(s.input_lost, s.input_frames - 6144);
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
}

TEST(VirtualInput, ToneRunsFasterThanRealTimeAtSpeed)
{
    wave_virtual_config config;
    config.speed = 10;
    config.tone_hz = 500;
    config.tone_amplitude = 8000;
    virtual_devices devices(config);
    notes n;
    const WAVEFORMATEX f = pcm(48000, 1, 16);
    HWAVEIN in = nullptr;
    ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &f, n.thread(), 0, CALLBACK_THREAD), MMSYSERR_NOERROR);
    buffer b(48000 * 2);  // one virtual second
    waveInPrepareHeader(in, b.get(), kHdr);
    waveInAddBuffer(in, b.get(), kHdr);
    const auto started = std::chrono::steady_clock::now();
    waveInStart(in);
    ASSERT_EQ(n.wait_for(2), 2u);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 500ms);
    const auto s = samples_of(b, b.header.dwBytesRecorded);
    int crossings = 0;
    for (size_t i = 1; i < s.size(); ++i)
        crossings += (s[i - 1] < 0) != (s[i] < 0);
    EXPECT_NEAR(crossings, 1000, 4);
    EXPECT_NEAR(*std::max_element(s.begin(), s.end()), 8000, 10);
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
}

TEST(VirtualOutput, WritesWhatWasPlayedWithSilenceAroundItAndAppliesTheVolume)
{
    temp_dir dir;
    wave_virtual_config config;
    config.output_file = dir.file("out.raw");
    virtual_devices devices(config);
    notes n;
    const WAVEFORMATEX f = pcm();
    HWAVEOUT out = nullptr;
    ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &f, n.thread(), 0, CALLBACK_THREAD), MMSYSERR_NOERROR);
    std::this_thread::sleep_for(30ms);
    const auto played = ramp(2048);
    buffer b = buffer_of(played);
    waveOutPrepareHeader(out, b.get(), kHdr);
    ASSERT_EQ(waveOutWrite(out, b.get(), kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(n.wait_for(2), 2u);
    std::this_thread::sleep_for(20ms);
    ASSERT_EQ(waveOutClose(out), MMSYSERR_NOERROR);

    const wave_virtual_stats s = wave_virtual_get_stats();
    const auto file = read_file(config.output_file);
    ASSERT_EQ(static_cast<long long>(file.size()), s.output_frames * 2);
    EXPECT_EQ(s.output_silent, s.output_frames - 2048);
    const auto first = std::find_if(file.begin(), file.end(), [](int16_t v) { return v != 0; });
    ASSERT_NE(first, file.end());
    const long lead = (first - file.begin()) / 2;
    EXPECT_GE(lead, 1000);  // the 30 ms before the write
    ASSERT_GE(file.end() - first, static_cast<long>(played.size()));
    EXPECT_TRUE(std::equal(played.begin(), played.end(), first));
    EXPECT_TRUE(std::all_of(first + static_cast<long>(played.size()), file.end(), [](int16_t v) { return v == 0; }));

    // Half volume on both channels, then the left channel silenced.
    ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &f, n.thread(), 0, CALLBACK_THREAD), MMSYSERR_NOERROR);
    std::vector<int16_t> loud(2048 * 2);
    for (size_t i = 0; i < loud.size(); ++i)
        loud[i] = i % 2 ? -20000 : 20000;
    buffer half = buffer_of(loud);
    buffer right = buffer_of(loud);
    waveOutPrepareHeader(out, half.get(), kHdr);
    waveOutPrepareHeader(out, right.get(), kHdr);
    ASSERT_EQ(waveOutSetVolume(out, 0x80008000), MMSYSERR_NOERROR);
    waveOutWrite(out, half.get(), kHdr);
    ASSERT_EQ(n.wait_for(5), 5u);
    ASSERT_EQ(waveOutSetVolume(out, 0xFFFF0000), MMSYSERR_NOERROR);
    waveOutWrite(out, right.get(), kHdr);
    ASSERT_EQ(n.wait_for(6), 6u);
    ASSERT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    // The frames that are not silence, whatever the silence between them.
    const auto scaled = read_file(config.output_file);
    std::vector<std::pair<int, int>> sound;
    for (size_t i = 0; i + 1 < scaled.size(); i += 2)
        if (scaled[i] || scaled[i + 1])
            sound.emplace_back(scaled[i], scaled[i + 1]);
    ASSERT_EQ(sound.size(), 2048 * 2u);
    for (size_t i = 0; i < 2048; ++i) {
        ASSERT_NEAR(sound[i].first, 10000, 1) << i;
        ASSERT_NEAR(sound[i].second, -10000, 1) << i;
        ASSERT_EQ(sound[2048 + i], std::make_pair(0, -20000)) << i;
    }
}

TEST(VirtualClock, SpeedAndSkewShapeTheFrameCounts)
{
    wave_virtual_config config;
    config.speed = 20;
    config.input_clock = 0.9;
    config.output_clock = 0.8;
    const auto installed = std::chrono::steady_clock::now();
    virtual_devices devices(config);
    const WAVEFORMATEX f = pcm();
    HWAVEIN in = nullptr;
    HWAVEOUT out = nullptr;
    ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(wave_virtual_get_stats().input_start, -1);
    waveInStart(in);
    std::this_thread::sleep_for(150ms);

    // Frames are counted at each step of the clock: never ahead of it (as a
    // clock that ignored its slow skew would be), and behind only by the
    // time since the last step.
    double in_ahead = -1e9, in_lag = 1e9, out_ahead = -1e9, out_lag = 1e9;
    wave_virtual_stats s;
    for (int i = 0; i < 100; ++i) {
        s = wave_virtual_get_stats();
        const double in_due = (s.now - s.input_start) * s.input_rate;
        const double out_due = (s.now - s.output_start) * s.output_rate;
        in_ahead = std::max(in_ahead, s.input_frames - in_due);
        in_lag = std::min(in_lag, in_due - s.input_frames);
        out_ahead = std::max(out_ahead, s.output_frames - out_due);
        out_lag = std::min(out_lag, out_due - s.output_frames);
        std::this_thread::sleep_for(1ms);
    }
    const double real = std::chrono::duration<double>(std::chrono::steady_clock::now() - installed).count();
    EXPECT_NEAR(s.now, real * 20, 0.2);
    EXPECT_GT(s.now - s.input_start, 4.0);
    EXPECT_DOUBLE_EQ(s.input_rate, 44100 * 0.9);
    EXPECT_DOUBLE_EQ(s.output_rate, 44100 * 0.8);
    EXPECT_LE(in_ahead, 1.0);
    EXPECT_LE(out_ahead, 1.0);
    EXPECT_LT(in_lag, 0.1 * 20 * s.input_rate);  // 100 real ms
    EXPECT_LT(out_lag, 0.1 * 20 * s.output_rate);
    EXPECT_EQ(s.input_lost, s.input_frames);
    EXPECT_EQ(s.output_silent, s.output_frames);
    waveInClose(in);
    waveOutClose(out);
}

// In lockstep both directions run on one clock that waits for the program:
// it stops within a step of a buffer finishing until that buffer is queued
// again, or half a real second has passed, and never outruns the speed.
TEST(VirtualClock, InLockstepTheClockWaitsUntilFinishedBuffersAreQueuedAgain)
{
    wave_virtual_config config;
    config.speed = 20;
    config.lockstep = true;
    const auto installed = std::chrono::steady_clock::now();
    virtual_devices devices(config);
    notes n;
    const WAVEFORMATEX f = pcm();
    HWAVEOUT out = nullptr;
    HWAVEIN in = nullptr;
    ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &f, n.thread(), 0, CALLBACK_THREAD), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &f, n.thread(), 0, CALLBACK_THREAD), MMSYSERR_NOERROR);
    buffer o(44100 * 4);  // one virtual second
    buffer i(2205 * 4);   // 50 virtual ms
    waveOutPrepareHeader(out, o.get(), kHdr);
    waveOutWrite(out, o.get(), kHdr);
    waveInPrepareHeader(in, i.get(), kHdr);
    waveInAddBuffer(in, i.get(), kHdr);
    waveInStart(in);
    const auto stopped_at = [](const wave_virtual_stats& s) { return s.now - s.input_start; };

    // The input's buffer is full: neither direction goes on while it is out.
    ASSERT_EQ(n.wait_for(3), 3u);
    EXPECT_EQ(n.got[2].message, static_cast<UINT>(MM_WIM_DATA));
    std::this_thread::sleep_for(200ms);  // four virtual seconds on the wall clock
    wave_virtual_stats s = wave_virtual_get_stats();
    EXPECT_NEAR(stopped_at(s), 0.05, 0.0051);
    EXPECT_EQ(s.input_frames, 2205);
    EXPECT_NEAR(static_cast<double>(s.output_frames), (s.now - s.output_start) * s.output_rate, 1.0);
    const long long silent_before_the_write = s.output_silent;

    // Queued again, it goes on to the next.
    const auto requeued = std::chrono::steady_clock::now();
    waveInAddBuffer(in, i.get(), kHdr);
    ASSERT_EQ(n.wait_for(4), 4u);
    const auto kept = std::chrono::steady_clock::now();
    EXPECT_LT(kept - requeued, 100ms);
    std::this_thread::sleep_for(100ms);
    s = wave_virtual_get_stats();
    EXPECT_NEAR(stopped_at(s), 0.10, 0.0051);

    // Kept: after the grace it goes on without it, as far as the output's
    // buffer, which it waits for in turn.
    ASSERT_EQ(n.wait_for(5), 5u);
    EXPECT_EQ(n.got[4].message, static_cast<UINT>(MM_WOM_DONE));
    EXPECT_GE(std::chrono::steady_clock::now() - kept, 400ms);
    std::this_thread::sleep_for(100ms);
    s = wave_virtual_get_stats();
    EXPECT_EQ(s.output_frames - s.output_silent, 44100);
    EXPECT_LE(s.output_silent - silent_before_the_write, 221) << "more than a step played after the buffer";
    const double real = std::chrono::duration<double>(std::chrono::steady_clock::now() - installed).count();
    EXPECT_LE(s.now, real * 20);

    waveInReset(in);
    waveOutReset(out);
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
}

TEST(VirtualDevices, UnplugReturnsTheBuffersAndFailsLaterCallsAndReportsItOnce)
{
    virtual_devices devices;
    vanish_reports reports;
    notes n;
    const WAVEFORMATEX f = pcm();
    HWAVEOUT out = nullptr;
    HWAVEIN in = nullptr;
    ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &f, n.thread(), 0, CALLBACK_THREAD), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &f, n.thread(), 0, CALLBACK_THREAD), MMSYSERR_NOERROR);
    buffer o[2] = {buffer(44100 * 4), buffer(44100 * 4)};
    buffer i[2] = {buffer(44100 * 4), buffer(44100 * 4)};
    queue_and_start(out, o, in, i);
    std::this_thread::sleep_for(20ms);

    wave_virtual_unplug();
    wave_virtual_unplug();  // gone already: nothing more to say
    for (auto* x : {&o[0], &o[1], &i[0], &i[1]})
        EXPECT_EQ(x->header.dwFlags, static_cast<DWORD>(WHDR_PREPARED | WHDR_DONE));
    // One line per stream.
    auto lines = reports.lines();
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"wave: the sound input \"virtual\" went away (unplugged)\n",
                                               "wave: the sound output \"virtual\" went away (unplugged)\n"}));
    EXPECT_GT(i[0].header.dwBytesRecorded, 0u);
    ASSERT_EQ(n.wait_for(6), 6u);
    EXPECT_EQ(waveOutWrite(out, o[0].get(), kHdr), MMSYSERR_NODRIVER);
    EXPECT_EQ(waveInAddBuffer(in, i[0].get(), kHdr), MMSYSERR_NODRIVER);
    EXPECT_EQ(waveInStart(in), MMSYSERR_NODRIVER);
    EXPECT_EQ(waveOutReset(out), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInReset(in), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutUnprepareHeader(out, o[0].get(), kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutOpen(&out, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);
    EXPECT_EQ(waveInOpen(&in, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);
}

TEST(VirtualDevices, MissingDevicesFailToOpenAsWithoutASoundCard)
{
    const WAVEFORMATEX f = pcm();
    HWAVEOUT out = nullptr;
    HWAVEIN in = nullptr;
    {
        wave_virtual_config config;
        config.input_missing = true;
        virtual_devices devices(config);
        EXPECT_EQ(waveInOpen(&in, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);
        ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        waveOutClose(out);
    }
    {
        wave_virtual_config config;
        config.output_missing = true;
        virtual_devices devices(config);
        EXPECT_EQ(waveOutOpen(&out, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);
        ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        waveInClose(in);
    }
    alsa_test_config alsa(alsa_test_config::missing_pcm());
    EXPECT_EQ(waveOutOpen(&out, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);
    EXPECT_EQ(waveInOpen(&in, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);
}

// The way a player streams: its callback thread writes each buffer again as
// it comes back, while another thread stops it.
TEST(WaveThreads, ResetAndCloseWhileTheCallbackThreadRewritesBuffers)
{
    wave_virtual_config config;
    config.speed = 4;
    virtual_devices devices(config);
    buffer b[4] = {buffer(256 * 4), buffer(256 * 4), buffer(256 * 4), buffer(256 * 4)};
    std::atomic<DWORD> tid{0};
    std::atomic<int> done{0};
    std::atomic<bool> closed{false};
    std::thread callback([&] {
        MSG m;
        ::PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);
        tid = ::GetCurrentThreadId();
        while (::GetMessageW(&m, nullptr, 0, 0)) {
            if (m.message == MM_WOM_DONE) {
                ++done;
                waveOutWrite(reinterpret_cast<HWAVEOUT>(m.wParam), reinterpret_cast<LPWAVEHDR>(m.lParam), kHdr);
            } else if (m.message == MM_WOM_CLOSE) {
                closed = true;
            }
        }
    });
    while (!tid)
        std::this_thread::yield();

    const WAVEFORMATEX f = pcm();
    HWAVEOUT out = nullptr;
    ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &f, tid, 0, CALLBACK_THREAD), MMSYSERR_NOERROR);
    for (auto& x : b) {
        waveOutPrepareHeader(out, x.get(), kHdr);
        waveOutWrite(out, x.get(), kHdr);
    }
    const auto deadline = std::chrono::steady_clock::now() + kHangTimeout;
    while (done < 100 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    EXPECT_GE(done, 100);
    MMRESULT r = WAVERR_STILLPLAYING;
    for (int tries = 0; tries < 1000 && r == WAVERR_STILLPLAYING; ++tries) {
        EXPECT_EQ(waveOutReset(out), MMSYSERR_NOERROR);
        r = waveOutClose(out);
    }
    EXPECT_EQ(r, MMSYSERR_NOERROR);
    while (!closed && std::chrono::steady_clock::now() < deadline + 1s)
        std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(closed);
    ::PostThreadMessageW(tid, WM_QUIT, 0, 0);
    callback.join();
}

TEST(WaveThreads, TheCallbackThreadMayResetAndCloseItself)
{
    wave_virtual_config config;
    config.speed = 4;
    virtual_devices devices(config);
    notes n;
    const WAVEFORMATEX f = pcm();
    HWAVEOUT out = nullptr;
    HWAVEIN in = nullptr;
    ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &f, n.thread(), 0, CALLBACK_THREAD), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &f, n.thread(), 0, CALLBACK_THREAD), MMSYSERR_NOERROR);
    buffer o[2] = {buffer(128 * 4), buffer(128 * 4)};
    buffer i[2] = {buffer(128 * 4), buffer(128 * 4)};
    queue_and_start(out, o, in, i);
    int rounds = 0;
    bool out_open = true;
    bool in_open = true;
    const auto deadline = std::chrono::steady_clock::now() + kHangTimeout;
    while ((out_open || in_open) && std::chrono::steady_clock::now() < deadline) {
        MSG m;
        if (!::PeekMessageW(&m, nullptr, MM_WOM_OPEN, MM_WIM_DATA, PM_REMOVE)) {
            std::this_thread::sleep_for(1ms);
            continue;
        }
        auto* h = reinterpret_cast<LPWAVEHDR>(m.lParam);
        if (m.message == MM_WOM_DONE && out_open && ++rounds < 40) {
            waveOutWrite(out, h, kHdr);
        } else if (m.message == MM_WIM_DATA && in_open && rounds < 40) {
            waveInAddBuffer(in, h, kHdr);
        } else if (m.message == MM_WOM_DONE || m.message == MM_WIM_DATA) {
            if (out_open && waveOutReset(out) == MMSYSERR_NOERROR && waveOutClose(out) == MMSYSERR_NOERROR)
                out_open = false;
            if (in_open && waveInReset(in) == MMSYSERR_NOERROR && waveInClose(in) == MMSYSERR_NOERROR)
                in_open = false;
        }
    }
    EXPECT_FALSE(out_open);
    EXPECT_FALSE(in_open);
}

TEST(AlsaWave, PlaybackAndCaptureGoThroughTheDefaultPcm)
{
    temp_dir dir;
    const auto recorded = ramp(3 * 1024, 7);
    write_file(dir.file("in.raw"), recorded);
    alsa_test_config alsa(alsa_test_config::file_pcm(dir.file("out.raw"), dir.file("in.raw")));
    notes n;
    const WAVEFORMATEX f = pcm();

    HWAVEOUT out = nullptr;
    ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &f, n.thread(), 0, CALLBACK_THREAD), MMSYSERR_NOERROR);
    const auto first = ramp(1024, 1);
    const auto second = ramp(1024, 5000);
    buffer a = buffer_of(first);
    buffer b = buffer_of(second);
    buffer c = buffer_of(second);
    for (auto* x : {&a, &b, &c})
        waveOutPrepareHeader(out, x->get(), kHdr);
    waveOutWrite(out, a.get(), kHdr);
    waveOutWrite(out, b.get(), kHdr);
    ASSERT_EQ(n.wait_for(3), 3u);
    EXPECT_EQ(n.got[2].header, lp(b));
    waveOutSetVolume(out, 0x80008000);
    waveOutWrite(out, c.get(), kHdr);
    ASSERT_EQ(n.wait_for(4), 4u);
    ASSERT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    const auto played = read_file(dir.file("out.raw"));
    ASSERT_EQ(played.size(), 3 * 1024 * 2u);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), played.begin()));
    EXPECT_TRUE(std::equal(second.begin(), second.end(), played.begin() + 2048));
    for (size_t k = 0; k < second.size(); ++k)
        ASSERT_NEAR(played[4096 + k], second[k] / 2, 1) << k;

    HWAVEIN in = nullptr;
    ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &f, n.thread(), 0, CALLBACK_THREAD), MMSYSERR_NOERROR);
    buffer r[3] = {buffer(1024 * 4), buffer(1024 * 4), buffer(1024 * 4)};
    for (auto& x : r) {
        waveInPrepareHeader(in, x.get(), kHdr);
        waveInAddBuffer(in, x.get(), kHdr);
    }
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(r[0].header.dwFlags & WHDR_DONE, 0u) << "recorded without waveInStart";
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    ASSERT_EQ(n.wait_for(9), 9u);
    // ALSA's file plugin has no clock; the layer gives it the stream's.
    EXPECT_GE(std::chrono::steady_clock::now() - started, 60ms);
    std::vector<int16_t> got;
    for (auto& x : r) {
        EXPECT_EQ(x.header.dwBytesRecorded, x.header.dwBufferLength);
        const auto s = samples_of(x, x.header.dwBytesRecorded);
        got.insert(got.end(), s.begin(), s.end());
    }
    EXPECT_EQ(got, recorded);
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
}

// Output into a pipe, as to a sound server, whose reader goes away: the
// write fails instead of ending the process with SIGPIPE, and the stream
// vanishes as an unplugged card does, said once on the debug output.
TEST(AlsaWave, AnOutputWhoseReaderWentAwayVanishes)
{
    temp_dir dir;
    // The reader reads nothing and ends when told to, through a FIFO.
    const std::string go = dir.file("go");
    ASSERT_EQ(::mkfifo(go.c_str(), 0600), 0);
    alsa_test_config alsa(alsa_test_config::pipe_pcm("read line < " + go));
    vanish_reports reports;
    notes n;
    const WAVEFORMATEX f = pcm();
    HWAVEOUT out = nullptr;
    ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &f, n.thread(), 0, CALLBACK_THREAD), MMSYSERR_NOERROR);
    // Three seconds of sound: far more than the pipe or ALSA hold.
    buffer b[3] = {buffer(44100 * 4), buffer(44100 * 4), buffer(44100 * 4)};
    for (auto& x : b) {
        waveOutPrepareHeader(out, x.get(), kHdr);
        ASSERT_EQ(waveOutWrite(out, x.get(), kHdr), MMSYSERR_NOERROR);
    }
    std::ofstream(go) << "now\n";
    ASSERT_EQ(n.wait_for(4, 10s), 4u);
    for (auto& x : b)
        EXPECT_EQ(x.header.dwFlags, static_cast<DWORD>(WHDR_PREPARED | WHDR_DONE));
    EXPECT_EQ(waveOutWrite(out, b[0].get(), kHdr), MMSYSERR_NODRIVER) << "played out instead of vanishing";
    const auto lines = reports.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("wave: the sound output \"default\" went away", 0), 0u) << lines[0];
    EXPECT_EQ(waveOutReset(out), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(reports.lines().size(), 1u);
}

// WAVE_MAPPER's input is the capture stick's own card while one is there,
// and never falls back to the default source then (on a laptop, its
// microphone, played into the speakers). No sound server runs here, so
// the card is taken directly. The output is always the default.
TEST(AlsaMapper, TheInputIsTheCaptureSticksCardWhileOneIsPresent)
{
    struct card {
        int number;
        const char* port;
        const char* id;
        bool video, capture;
    };
    const struct {
        const char* what;
        std::vector<card> cards;
        const char* input;
    } cases[] = {
        {"no sound card", {}, "default"},
        {"a USB headset", {{1, "1-1", "Headset", false, true}}, "default"},
        {"a capture stick", {{1, "1-1", "Headset", false, true}, {3, "1-4", "MS2109", true, true}},
         "plughw:CARD=MS2109"},
        {"a stick without a capture PCM", {{3, "1-4", "MS2109", true, false}}, "default"},
        {"a stick whose id is not a plain name", {{4, "1-4", "M S\"x", true, true}}, "plughw:4"},
    };
    for (const auto& c : cases) {
        fake_sound_cards sysfs;
        for (const card& k : c.cards)
            sysfs.add(k.number, k.port, k.id, k.video, k.capture);
        const auto input = alsa_mapper_choices(true);
        ASSERT_FALSE(input.empty()) << c.what;
        EXPECT_EQ(input.back().pcm, c.input) << c.what;
        EXPECT_EQ(alsa_mapper_choices(false).front().pcm, "default") << c.what;
    }

    // The stick's card cannot be opened (it is not really there): the
    // input fails rather than record the default.
    temp_dir dir;
    write_file(dir.file("in.raw"), ramp(4096));
    alsa_test_config alsa(alsa_test_config::file_pcm(dir.file("out.raw"), dir.file("in.raw")));
    fake_sound_cards sysfs;
    sysfs.add(3, "1-4", "MS2109", true);
    const WAVEFORMATEX f = pcm();
    HWAVEIN in = nullptr;
    EXPECT_NE(waveInOpen(&in, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    HWAVEOUT out = nullptr;
    ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
}

// The ALSA streams' I/O threads ask RealtimeKit for real-time priority, as
// a sound server's clients do; where it refuses they go on, and say so once.
TEST(AlsaWave, TheIoThreadsAskRealtimeKitForPriority)
{
    if (python_with_dbusmock().empty())
        GTEST_SKIP() << "python3-dbusmock is not installed (tools/install-deps.sh)";
    temp_dir dir;
    write_file(dir.file("in.raw"), ramp(4096));
    alsa_test_config alsa(alsa_test_config::file_pcm(dir.file("out.raw"), dir.file("in.raw")));
    std::mutex lock;
    int refusals = 0;
    debug_output_set_sink([&](const std::string& text) {
        std::lock_guard<std::mutex> hold(lock);
        refusals += text.rfind("wave: no real-time priority", 0) == 0;
    });
    for (const bool refuse : {false, true}) {
        private_bus system;
        ASSERT_FALSE(system.address().empty()) << "no private dbus-daemon";
        dbus_mock_service rtkit(system, true, "org.freedesktop.RealtimeKit1",
                                {"--template", test_support_dir() + "/rtkit_mock.py", "--parameters",
                                 refuse ? "{\"refuse\": true}" : "{}"});
        ASSERT_TRUE(rtkit.ready()) << rtkit.output();
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", system.address().c_str(), 1);
        const WAVEFORMATEX f = pcm();
        HWAVEOUT out = nullptr;
        HWAVEIN in = nullptr;
        ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        // Closing waits for the I/O threads, which ask as they begin.
        EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
        EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");

        sd_bus* bus = dbus_test_connect(system.address());
        ASSERT_NE(bus, nullptr);
        sd_bus_message* reply = nullptr;
        ASSERT_GE(sd_bus_call_method(bus, "org.freedesktop.RealtimeKit1", "/org/freedesktop/RealtimeKit1",
                                     "org.freedesktop.RealtimeKit1.Test", "Granted", nullptr, &reply, ""),
                  0);
        std::vector<uint32_t> priorities;
        uint64_t thread = 0;
        uint32_t priority = 0;
        ASSERT_GE(sd_bus_message_enter_container(reply, 'a', "(tu)"), 0);
        while (sd_bus_message_read(reply, "(tu)", &thread, &priority) > 0) {
            EXPECT_NE(thread, static_cast<uint64_t>(::getpid())) << "the main thread, not an I/O thread";
            priorities.push_back(priority);
        }
        sd_bus_message_unref(reply);
        sd_bus_flush_close_unref(bus);
        EXPECT_EQ(priorities.size(), refuse ? 0u : 2u);
        for (uint32_t p : priorities)
            EXPECT_TRUE(p >= 1 && p <= 20) << p;
        std::lock_guard<std::mutex> hold(lock);
        EXPECT_EQ(refusals, refuse ? 1 : 0);
    }
    debug_output_set_sink(nullptr);
}

TEST(WaveErrorText, EnglishTextPerCodeCutToTheBuffer)
{
    wchar_t text[MAXERRORLENGTH];
    for (auto get : {waveInGetErrorTextW, waveOutGetErrorTextW}) {
        ASSERT_EQ(get(MMSYSERR_INVALHANDLE, text, MAXERRORLENGTH), MMSYSERR_NOERROR);
        EXPECT_STREQ(text, L"The specified device handle is invalid.");
        get(MMSYSERR_ALLOCATED, text, MAXERRORLENGTH);
        EXPECT_STREQ(text, L"The specified device is already in use. Wait until it is free, and then try again.");
        get(MMSYSERR_NODRIVER, text, MAXERRORLENGTH);
        EXPECT_STREQ(text, L"There is no driver installed on your system.");
        get(WAVERR_BADFORMAT, text, MAXERRORLENGTH);
        EXPECT_EQ(std::wstring(text).rfind(L"The specified format is not supported or cannot be translated.", 0), 0u);
        get(WAVERR_STILLPLAYING, text, MAXERRORLENGTH);
        EXPECT_EQ(std::wstring(text).rfind(L"Cannot perform this operation while media data is still playing.", 0),
                  0u);
        for (MMRESULT code : {0u, 1u, 2u, 3u, 6u, 7u, 8u, 9u, 10u, 11u, 34u}) {
            EXPECT_EQ(get(code, text, MAXERRORLENGTH), MMSYSERR_NOERROR) << code;
            EXPECT_GT(std::wcslen(text), 10u) << code;
        }
        ASSERT_EQ(get(MMSYSERR_INVALHANDLE, text, 11), MMSYSERR_NOERROR);
        EXPECT_STREQ(text, L"The specif");
        EXPECT_EQ(get(12345, text, MAXERRORLENGTH), MMSYSERR_BADERRNUM);
        EXPECT_EQ(get(MMSYSERR_NODRIVER, nullptr, MAXERRORLENGTH), MMSYSERR_INVALPARAM);
        EXPECT_EQ(get(MMSYSERR_NODRIVER, text, 0), MMSYSERR_INVALPARAM);
    }
}
