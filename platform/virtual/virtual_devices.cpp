// Virtual video-input devices: a clock that makes a new frame every 1/fps
// seconds whether or not anybody reads, like a live capture stick. A read
// returns the newest frame it has not returned yet, waiting for the next
// one if there is none; frames that came while the reader was busy are
// lost, and counted. A stick that sends Motion-JPEG or YUYV hands its
// frames to the same conversion as a real stick's.
#include "mjpeg_encode.h"
#include "../notify/notify_internal.h"
#include "../video/capture_formats.h"
#include "../video/video_internal.h"

#include <videovirtual.h>

#include <windows.h>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgproc.hpp>

#include <linux/videodev2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <thread>

namespace {

using clock_type = std::chrono::steady_clock;

constexpr size_t kMaxSamples = 100000;
constexpr int kCycle = 8;  // encoded frames a Motion-JPEG or YUYV stick repeats

// A stick's frames in its own format, made once: frame k is frames[k % size].
struct frame_cycle {
    uint32_t fourcc = 0;
    size_t stride = 0;
    std::vector<std::vector<uint8_t>> frames;
};

struct virtual_entry {
    int id = 0;
    video_input_virtual_device device;
    video_input_virtual_stats stats;
    // The opened sources, so that a pull can stop them; expired ones are
    // dropped at each open.
    std::vector<std::weak_ptr<video_input_source>> sources;
    long long pulls = 0;  // an open that saw fewer must not hand out its source
    cv::Mat pattern;      // made at the first open: GStreamer takes a while
    std::shared_ptr<const frame_cycle> cycle;  // likewise, for a Motion-JPEG or YUYV stick
    bool signal = true;   // false: its HDMI source is off, and it sends nothing
};

std::mutex g_devices_lock;  // guards devices() and g_next_id
int g_next_id = 1;

// Made on first use: programs register devices from their own static
// initialisers, which may run before this file's.
std::vector<virtual_entry>& devices()
{
    static auto* list = new std::vector<virtual_entry>;
    return *list;
}

// A still picture to animate: one frame of GStreamer's test pattern, or
// colour bars drawn here where GStreamer has no test source.
cv::Mat test_pattern(int width, int height)
{
    cv::Mat frame;
#if !defined(__SANITIZE_THREAD__)  // GStreamer's own threads are opaque to ThreadSanitizer
    // GStreamer's complaint that a one-frame source has no length is noise.
    const auto level = cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
    cv::VideoCapture source("videotestsrc num-buffers=1 pattern=smpte ! video/x-raw,width=" + std::to_string(width) +
                                ",height=" + std::to_string(height) +
                                " ! videoconvert ! video/x-raw,format=BGR ! appsink",
                            cv::CAP_GSTREAMER);
    const bool read = source.isOpened() && source.read(frame);
    cv::utils::logging::setLogLevel(level);
    if (read && frame.cols == width && frame.rows == height)
        return frame.clone();
#endif
    frame.create(height, width, CV_8UC3);
    const cv::Scalar bars[] = {{192, 192, 192}, {0, 192, 192}, {192, 192, 0}, {0, 192, 0},
                               {192, 0, 192},   {0, 0, 192},   {192, 0, 0}};
    for (int i = 0; i < 7; ++i)
        cv::rectangle(frame, cv::Rect(width * i / 7, 0, width * (i + 1) / 7 - width * i / 7, height), bars[i],
                      cv::FILLED);
    return frame;
}

// The pattern with a square that moves, so that every frame differs from the last.
void draw_moving_square(cv::Mat& frame, long long k)
{
    const int side = std::max(1, std::min(frame.cols, frame.rows) / 8);
    const int span = std::max(1, frame.cols - side);
    const int x = static_cast<int>((k * 8) % span);
    cv::rectangle(frame, cv::Rect(x, frame.rows / 2 - side / 2, side, side), cv::Scalar(255, 255, 255), cv::FILLED);
}

uint8_t clamp_byte(double v) { return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L)); }

// BGR to YUYV in BT.601 video range, as sticks send it and as OpenCV's
// COLOR_YUV2BGR_YUYV reads it. An odd width repeats its last pixel.
std::vector<uint8_t> to_yuyv(const cv::Mat& bgr, size_t stride)
{
    std::vector<uint8_t> out(stride * static_cast<size_t>(bgr.rows));
    for (int y = 0; y < bgr.rows; ++y) {
        const cv::Vec3b* row = bgr.ptr<cv::Vec3b>(y);
        uint8_t* o = out.data() + stride * static_cast<size_t>(y);
        for (int x = 0; x < bgr.cols; x += 2) {
            const cv::Vec3b p[2] = {row[x], row[std::min(x + 1, bgr.cols - 1)]};
            double u = 0, v = 0;
            for (int i = 0; i < 2; ++i) {
                const double b = p[i][0], g = p[i][1], r = p[i][2];
                o[2 * x + 2 * i] = clamp_byte(16 + 0.257 * r + 0.504 * g + 0.098 * b);
                u += 128 - 0.148 * r - 0.291 * g + 0.439 * b;
                v += 128 + 0.439 * r - 0.368 * g - 0.071 * b;
            }
            o[2 * x + 1] = clamp_byte(u / 2);
            o[2 * x + 3] = clamp_byte(v / 2);
        }
    }
    return out;
}

std::shared_ptr<const frame_cycle> make_cycle(video_input_virtual_format format, const cv::Mat& pattern)
{
    auto cycle = std::make_shared<frame_cycle>();
    const bool mjpeg = format == video_input_virtual_format::mjpeg;
    cycle->fourcc = mjpeg ? V4L2_PIX_FMT_MJPEG : V4L2_PIX_FMT_YUYV;
    cycle->stride = mjpeg ? 0 : static_cast<size_t>((pattern.cols + 1) / 2) * 4;
    for (int k = 0; k < kCycle; ++k) {
        cv::Mat frame = pattern.clone();
        draw_moving_square(frame, k);
        cycle->frames.push_back(mjpeg ? capture_encode_mjpeg(frame) : to_yuyv(frame, cycle->stride));
        if (cycle->frames.back().empty()) {
            OutputDebugStringA("virtual capture device: the test pattern could not be encoded\n");
            cycle.reset();
            break;
        }
    }
    return cycle;
}

// Frame k of a damaged kind: cut off half way, or with a restart marker
// dropped into the middle of its coded data.
std::vector<uint8_t> damaged(const std::vector<uint8_t>& jpeg, video_input_virtual_damage how)
{
    if (how == video_input_virtual_damage::truncated)
        return std::vector<uint8_t>(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(jpeg.size() / 2));
    std::vector<uint8_t> out = jpeg;
    const size_t at = out.size() * 3 / 4;
    for (size_t i = at; i + 1 < out.size() - 2 && i < at + 64; i += 2) {
        out[i] = 0xFF;
        out[i + 1] = 0xD3;
    }
    return out;
}

class virtual_source : public video_input_source {
public:
    virtual_source(int id, const video_input_virtual_device& device, const cv::Mat& pattern,
                   std::shared_ptr<const frame_cycle> cycle)
        : m_id(id), m_device(device), m_cycle(std::move(cycle))
    {
        if (!m_device.file.empty()) {
            m_file.open(m_device.file);
            m_open = m_file.isOpened();
        } else if (m_device.format != video_input_virtual_format::bgr) {
            m_open = m_cycle && !m_cycle->frames.empty();
        } else {
            m_pattern = pattern;
            m_open = !m_pattern.empty();
        }
        m_start = clock_type::now();
    }

    bool opened() const override { return m_open; }

    void stop() override
    {
        {
            std::lock_guard<std::mutex> hold(m_stop_lock);
            m_stopped = true;
        }
        m_stop_signal.notify_all();
    }

    void stall()
    {
        {
            std::lock_guard<std::mutex> hold(m_stop_lock);
            m_stalled = true;
        }
        m_stop_signal.notify_all();
    }

    void set_signal(bool on)
    {
        {
            std::lock_guard<std::mutex> hold(m_stop_lock);
            m_signal = on;
        }
        m_stop_signal.notify_all();
    }

    bool read_frame(cv::Mat& frame) override
    {
        const auto entered = clock_type::now();
        record([&](video_input_virtual_stats& s) {
            if (m_last_return != clock_type::time_point()) {
                // A demo may run for hours: keep the recent samples only.
                if (s.hold_ms.size() >= kMaxSamples)
                    s.hold_ms.erase(s.hold_ms.begin(), s.hold_ms.begin() + kMaxSamples / 2);
                s.hold_ms.push_back(std::chrono::duration<double, std::milli>(entered - m_last_return).count());
                if (s.arrival_ms.size() >= kMaxSamples)
                    s.arrival_ms.erase(s.arrival_ms.begin(), s.arrival_ms.begin() + kMaxSamples / 2);
                s.arrival_ms.push_back(std::chrono::duration<double, std::milli>(entered - m_last_arrival).count());
            }
            s.reader_tid = static_cast<int>(::syscall(SYS_gettid));
        });
        if (!m_open || m_device.never_delivers)
            return false;
        if (m_reads++ == m_device.raise_on_read)
            CV_Error(cv::Error::StsError, "virtual capture device: a read that fails, as asked");
        // The newest frame not returned yet, once its time has come; a
        // damaged one is skipped for the next, as with a real stick.
        const double period = 1.0 / std::max(m_device.fps, 1);
        for (;;) {
            const double since = std::chrono::duration<double>(clock_type::now() - m_start).count();
            const long long newest = static_cast<long long>(std::floor(since / period));
            const long long k = std::max(m_next, newest);
            const auto due =
                m_start + std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(k * period));
            bool late = false;
            {
                std::unique_lock<std::mutex> hold(m_stop_lock);
                const bool woken =
                    m_stop_signal.wait_until(hold, due, [&] { return m_stopped || m_stalled || !m_signal; });
                late = woken && m_stopped && !m_late_given && m_device.late_frame_ms > 0;
                m_late_given = m_late_given || late;
                if (woken && !late) {
                    // Without a signal nothing comes until it is back; the
                    // frames of the pause are never made.
                    m_stop_signal.wait(hold, [&] { return m_stopped || m_stalled || m_signal; });
                    if (!m_stopped && !m_stalled)
                        continue;
                    // A hung stream holds its reader until it is let go.
                    m_stop_signal.wait(hold, [&] { return m_stopped; });
                    return false;
                }
            }
            if (late)
                std::this_thread::sleep_for(std::chrono::milliseconds(m_device.late_frame_ms));
            m_next = k + 1;
            bool ready = false;
            if (!next_picture(frame, k, ready))
                return false;
            if (!ready) {
                record([&](video_input_virtual_stats& s) { s.produced = k + 1; });
                continue;
            }
            m_last_arrival = due;
            m_last_return = clock_type::now();
            record([&](video_input_virtual_stats& s) {
                s.produced = k + 1;
                ++s.delivered;
            });
            return true;
        }
    }

    bool set(int propId, double value) override
    {
        // Like a stick that only delivers its own size.
        return (propId == cv::CAP_PROP_FRAME_WIDTH && static_cast<int>(value) == m_device.width) ||
               (propId == cv::CAP_PROP_FRAME_HEIGHT && static_cast<int>(value) == m_device.height);
    }

    double get(int propId) const override
    {
        switch (propId) {
        case cv::CAP_PROP_FRAME_WIDTH: return m_device.width;
        case cv::CAP_PROP_FRAME_HEIGHT: return m_device.height;
        case cv::CAP_PROP_FPS: return m_device.fps;
        case cv::CAP_PROP_FOURCC: return m_cycle ? m_cycle->fourcc : V4L2_PIX_FMT_BGR24;
        // When the last frame read arrived, in milliseconds of the monotonic clock.
        case cv::CAP_PROP_POS_MSEC:
            return std::chrono::duration<double, std::milli>(m_last_arrival.time_since_epoch()).count();
        default: return 0.0;
        }
    }

private:
    // Frame k as BGR into frame; ready is false when it is to be skipped.
    bool next_picture(cv::Mat& frame, long long k, bool& ready)
    {
        ready = true;
        if (m_cycle) {
            const std::vector<uint8_t>* data = &m_cycle->frames[static_cast<size_t>(k % kCycle)];
            std::vector<uint8_t> broken;
            if (m_device.damaged_every > 0 && m_cycle->fourcc == V4L2_PIX_FMT_MJPEG &&
                (k + 1) % m_device.damaged_every == 0) {
                broken = damaged(*data, m_device.damage);
                data = &broken;
            }
            capture_raw_frame raw;
            raw.fourcc = m_cycle->fourcc;
            raw.width = m_device.width;
            raw.height = m_device.height;
            raw.stride = m_cycle->stride;
            raw.data = data->data();
            raw.bytes = data->size();
            ready = m_converter.take(raw, frame);
            return true;
        }
        if (m_file.isOpened()) {
            if (!m_file.read(frame)) {
                // At the end the file starts again, as a source that keeps playing.
                m_file.set(cv::CAP_PROP_POS_FRAMES, 0);
                if (!m_file.read(frame))
                    return false;
            }
            return true;
        }
        frame = m_pattern.clone();
        draw_moving_square(frame, k);
        return true;
    }

    template <typename F>
    void record(F change)
    {
        std::lock_guard<std::mutex> hold(g_devices_lock);
        for (auto& e : devices())
            if (e.id == m_id)
                change(e.stats);
    }

    int m_id;
    video_input_virtual_device m_device;
    cv::VideoCapture m_file;
    cv::Mat m_pattern;
    std::shared_ptr<const frame_cycle> m_cycle;  // null for a bgr stick
    capture_converter m_converter;
    bool m_open = false;
    clock_type::time_point m_start;
    clock_type::time_point m_last_return;
    clock_type::time_point m_last_arrival;  // when the frame last returned was made
    long long m_next = 0;  // the first frame not returned yet
    long long m_reads = 0;
    std::mutex m_stop_lock;  // guards m_stopped, m_late_given, m_stalled and m_signal
    std::condition_variable m_stop_signal;
    bool m_stopped = false;
    bool m_late_given = false;  // the late frame of a stop has been returned
    bool m_stalled = false;
    bool m_signal = true;
};

// Names of the registered devices, in registration order, and the ids that
// go with them (same length); a pulled device has an empty name and id 0,
// and pulled devices after the last plugged one are left off.
void virtual_list(std::vector<std::wstring>& names, std::vector<int>& ids)
{
    std::lock_guard<std::mutex> hold(g_devices_lock);
    size_t listed = names.size();  // up to the last plugged device
    for (const auto& e : devices()) {
        names.push_back(e.device.plugged ? e.device.name : std::wstring());
        ids.push_back(e.device.plugged ? e.id : 0);
        if (e.device.plugged)
            listed = names.size();
    }
    const size_t dropped = names.size() - listed;
    names.resize(listed);
    ids.resize(ids.size() - dropped);
}

std::shared_ptr<video_input_source> open_virtual(int id)
{
    video_input_virtual_device device;
    cv::Mat pattern;
    std::shared_ptr<const frame_cycle> cycle;
    long long pulls = 0;
    {
        std::lock_guard<std::mutex> hold(g_devices_lock);
        auto it = std::find_if(devices().begin(), devices().end(), [&](const virtual_entry& e) { return e.id == id; });
        if (it == devices().end() || !it->device.plugged)
            return nullptr;
        device = it->device;
        pattern = it->pattern;
        cycle = it->cycle;
        pulls = it->pulls;
        it->stats = video_input_virtual_stats();
    }
    const bool encoded = device.file.empty() && device.format != video_input_virtual_format::bgr;
    if (device.file.empty() && pattern.empty())
        pattern = test_pattern(std::max(device.width, 1), std::max(device.height, 1));
    if (encoded && !cycle)
        cycle = make_cycle(device.format, pattern);
    auto source = std::make_shared<virtual_source>(id, device, pattern, encoded ? cycle : nullptr);
    if (!source->opened())
        return nullptr;
    std::lock_guard<std::mutex> hold(g_devices_lock);
    auto it = std::find_if(devices().begin(), devices().end(), [&](const virtual_entry& e) { return e.id == id; });
    // Pulled while it was being opened: the stick is gone.
    if (it == devices().end() || it->pulls != pulls)
        return nullptr;
    if (it->pattern.empty())
        it->pattern = pattern;
    if (!it->cycle)
        it->cycle = cycle;
    it->sources.erase(std::remove_if(it->sources.begin(), it->sources.end(),
                                     [](const std::weak_ptr<video_input_source>& w) { return w.expired(); }),
                      it->sources.end());
    it->sources.push_back(source);
    // Here, under the lock: a switch of the signal from now on reaches it.
    source->set_signal(it->signal);
    return source;
}

std::vector<std::wstring> virtual_names()
{
    std::vector<std::wstring> names;
    std::vector<int> ids;
    virtual_list(names, ids);
    return names;
}

std::shared_ptr<video_input_source> open_virtual_at(int position)
{
    std::vector<std::wstring> names;
    std::vector<int> ids;
    virtual_list(names, ids);
    if (position < 0 || static_cast<size_t>(position) >= ids.size() || ids[static_cast<size_t>(position)] == 0)
        return nullptr;
    return open_virtual(ids[static_cast<size_t>(position)]);
}

}  // namespace

int video_input_add_virtual(const video_input_virtual_device& device)
{
    // The sticks are listed after the real devices from the first one on.
    static std::once_flag registered;
    std::call_once(registered, [] { video_input_register_driver({"virtual", virtual_names, open_virtual_at}); });
    std::lock_guard<std::mutex> hold(g_devices_lock);
    virtual_entry e;
    e.id = g_next_id++;
    e.device = device;
    devices().push_back(e);
    return e.id;
}

void video_input_remove_virtual(int id)
{
    std::lock_guard<std::mutex> hold(g_devices_lock);
    devices().erase(std::remove_if(devices().begin(), devices().end(), [&](const virtual_entry& e) { return e.id == id; }),
                    devices().end());
}

video_input_virtual_stats video_input_get_virtual_stats(int id)
{
    std::lock_guard<std::mutex> hold(g_devices_lock);
    for (const auto& e : devices())
        if (e.id == id)
            return e.stats;
    return {};
}

namespace {

// The names and properties a stick's parts have in udev, made up per id so
// that every virtual stick is a device of its own.
struct stick_parts {
    udev_props usb, sound, video;
};

stick_parts stick_parts_of(int id)
{
    char serial[16];
    std::snprintf(serial, sizeof serial, "VIRT%08d", id);
    const std::string port = "3-" + std::to_string(id);
    stick_parts p;
    p.usb = {{"SUBSYSTEM", "usb"},
             {"DEVTYPE", "usb_device"},
             {"DEVPATH", "/devices/virtual/vistamo/usb3/" + port},
             {"ID_VENDOR_ID", "3188"},
             {"ID_MODEL_ID", "1000"},
             {"ID_SERIAL_SHORT", serial}};
    const std::string& usb = p.usb["DEVPATH"];
    const std::string card = std::to_string(100 + id);
    p.sound = {{"SUBSYSTEM", "sound"},
               {"DEVPATH", usb + "/" + port + ":1.2/sound/card" + card + "/controlC" + card},
               {".PCM_CAPTURE", "1"},
               {".USB_DEVPATH", usb},
               {".AWAIT_VIDEO", "1"}};
    p.video = {{"SUBSYSTEM", "video4linux"},
               {"DEVPATH", usb + "/" + port + ":1.0/video4linux/video" + card},
               {"DEVNAME", "/dev/video" + card}};
    return p;
}

}  // namespace

void video_input_plug_virtual(int id, bool plugged)
{
    std::vector<std::shared_ptr<video_input_source>> open;
    {
        std::lock_guard<std::mutex> hold(g_devices_lock);
        auto it = std::find_if(devices().begin(), devices().end(), [&](const virtual_entry& e) { return e.id == id; });
        if (it == devices().end()) {
            OutputDebugStringA("video_input_plug_virtual: no such virtual device\n");
            return;
        }
        if (it->device.plugged == plugged)
            return;
        if (!plugged) {
            it->device.plugged = false;
            ++it->pulls;
            for (const auto& w : it->sources)
                if (auto s = w.lock())
                    open.push_back(std::move(s));
            it->sources.clear();
        }
    }
    const stick_parts parts = stick_parts_of(id);
    if (!plugged) {
        // Stopped outside the registry's lock: a source's reader takes the
        // registry's lock while it holds the source.
        for (const auto& s : open)
            s->stop();
        // Children first, as the kernel removes them.
        notify_inject_udev_like("remove", parts.video);
        notify_inject_udev_like("remove", parts.sound);
        notify_inject_udev_like("remove", parts.usb);
        return;
    }
    notify_inject_udev_like("add", parts.usb);
    notify_inject_udev_like("add", parts.sound);
    {
        std::lock_guard<std::mutex> hold(g_devices_lock);
        for (auto& e : devices())
            if (e.id == id)
                e.device.plugged = true;
    }
    // After the listing: the sound card's arrival, held for this node, then
    // finds the device.
    notify_inject_udev_like("add", parts.video);
}

namespace {

// Each open source of device id, called outside the registry's lock, as
// for a pull.
template <typename F>
void each_open_source(int id, F call)
{
    std::vector<std::shared_ptr<video_input_source>> open;
    {
        std::lock_guard<std::mutex> hold(g_devices_lock);
        for (auto& e : devices())
            if (e.id == id)
                for (const auto& w : e.sources)
                    if (auto s = w.lock())
                        open.push_back(std::move(s));
    }
    for (const auto& s : open)
        call(static_cast<virtual_source&>(*s));
}

}  // namespace

void video_input_stall_virtual(int id)
{
    each_open_source(id, [](virtual_source& s) { s.stall(); });
}

void video_input_set_virtual_signal(int id, bool on)
{
    {
        std::lock_guard<std::mutex> hold(g_devices_lock);
        for (auto& e : devices())
            if (e.id == id)
                e.signal = on;
    }
    each_open_source(id, [on](virtual_source& s) { s.set_signal(on); });
}

