// The program's video source: position i of the device list, a V4L2 node
// read directly (memory-mapped buffers, the layer's own conversion to BGR),
// or a virtual device.
#include "video_internal.h"
#include "capture_formats.h"

#include <windows.h>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

namespace {

// A stick sends nothing while its HDMI source is off, unplugged from it or
// still booting, for as long as that lasts: a read waits for the next
// frame for as long as the source is open, and says once when it has
// waited this long.
constexpr auto kQuietTrace = std::chrono::seconds(10);
constexpr unsigned kBuffers = 4;

int xioctl(int fd, unsigned long request, void* arg)
{
    int r;
    do
        r = ::ioctl(fd, request, arg);
    while (r < 0 && errno == EINTR);
    return r;
}

void trace(const std::string& text) { OutputDebugStringA(text.c_str()); }

// The modes /dev/video<n> offers at width x height and at every size
// below it, every format and rate of them (VIDIOC_ENUM_FMT, _FRAMESIZES,
// _FRAMEINTERVALS). A stepwise or continuous range counts with the largest
// size on it not above width x height, at its fastest rate.
std::vector<capture_mode> v4l2_modes(int fd, int width, int height)
{
    std::vector<capture_mode> modes;
    const auto W = static_cast<uint32_t>(width), H = static_cast<uint32_t>(height);
    v4l2_fmtdesc format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (format.index = 0; xioctl(fd, VIDIOC_ENUM_FMT, &format) == 0; ++format.index) {
        std::vector<std::pair<uint32_t, uint32_t>> sizes;
        v4l2_frmsizeenum size{};
        size.pixel_format = format.pixelformat;
        for (size.index = 0; xioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) == 0; ++size.index) {
            if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                if (size.discrete.width <= W && size.discrete.height <= H)
                    sizes.emplace_back(size.discrete.width, size.discrete.height);
                continue;
            }
            // The largest point of the range's grid within the request.
            const auto& r = size.stepwise;
            const auto down = [](uint32_t want, uint32_t lo, uint32_t hi, uint32_t step) -> uint32_t {
                const uint32_t v = std::min(want, hi);
                return v < lo ? 0 : v - (step > 1 ? (v - lo) % step : 0);
            };
            const uint32_t w = down(W, r.min_width, r.max_width, r.step_width);
            const uint32_t h = down(H, r.min_height, r.max_height, r.step_height);
            if (w && h)
                sizes.emplace_back(w, h);
            break;  // a range is the only entry
        }
        for (const auto& [w, h] : sizes) {
            capture_mode mode;
            mode.fourcc = format.pixelformat;
            mode.width = static_cast<int>(w);
            mode.height = static_cast<int>(h);
            v4l2_frmivalenum interval{};
            interval.pixel_format = format.pixelformat;
            interval.width = w;
            interval.height = h;
            bool any = false;
            for (interval.index = 0; xioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval) == 0; ++interval.index) {
                const v4l2_fract f =
                    interval.type == V4L2_FRMIVAL_TYPE_DISCRETE ? interval.discrete : interval.stepwise.min;
                if (f.numerator && f.denominator) {
                    mode.interval_num = f.numerator;
                    mode.interval_den = f.denominator;
                    modes.push_back(mode);
                    any = true;
                }
                if (interval.type != V4L2_FRMIVAL_TYPE_DISCRETE)
                    break;
            }
            if (!any)
                modes.push_back(mode);  // the driver names no rate
        }
    }
    return modes;
}

// A V4L2 capture node, streamed through memory-mapped buffers. Reads wait
// in poll() on the device and on an eventfd that stop() signals, so a
// release ends a read at once even where the driver would hold it.
class v4l2_source : public video_input_source {
public:
    explicit v4l2_source(int index) : m_path(v4l2_node_path(index))
    {
        m_fd = ::open(m_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (m_fd < 0)
            return;
        v4l2_capability cap{};
        const bool ok = xioctl(m_fd, VIDIOC_QUERYCAP, &cap) == 0;
        const uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
        m_wake = ok ? ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
        if (!ok || !(caps & V4L2_CAP_VIDEO_CAPTURE) || !(caps & V4L2_CAP_STREAMING) || m_wake < 0) {
            close_all();
            return;
        }
        // uvcvideo lets any number of programs open a stick, but only one
        // stream from it: the first to ask for buffers owns it. Asking for
        // none allocates nothing and keeps nothing, but fails while another
        // program owns it; the open fails then, so that the viewer shows
        // no signal rather than a black picture that never changes.
        v4l2_requestbuffers claim{};
        claim.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        claim.memory = V4L2_MEMORY_MMAP;
        if (xioctl(m_fd, VIDIOC_REQBUFS, &claim) != 0 && errno == EBUSY) {
            trace("capture: " + m_path + " is in use by another program\n");
            close_all();
            return;
        }
        if (!read_format() || !capture_format_supported(m_format.pixelformat))
            take_supported_format();
    }

    ~v4l2_source() override { close_all(); }

    bool opened() const override { return m_fd >= 0; }

    void stop() override
    {
        m_stopped = true;
        const uint64_t one = 1;
        if (::write(m_wake, &one, sizeof one) < 0)
            trace("capture: " + m_path + ": the read could not be woken\n");
    }

    bool read_frame(cv::Mat& frame) override
    {
        if (m_stopped || (!m_streaming && !start_streaming()))
            return false;
        using clock_type = std::chrono::steady_clock;
        const auto quiet_since = clock_type::now();
        for (;;) {
            int timeout = -1;
            if (!m_quiet) {
                const auto left = kQuietTrace - (clock_type::now() - quiet_since);
                timeout = static_cast<int>(std::max<long long>(
                    0, std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1));
            }
            pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_wake, POLLIN, 0}};
            const int r = ::poll(fds, 2, timeout);
            if (m_stopped)
                return false;
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0 || (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL) && !(fds[0].revents & POLLIN))) {
                trace("capture: " + m_path + " stopped delivering (unplugged?)\n");
                return false;
            }
            if (r == 0) {
                if (!m_quiet && clock_type::now() - quiet_since >= kQuietTrace) {
                    trace("capture: " + m_path + " sent no frame for 10 s; waiting for its signal\n");
                    m_quiet = true;
                }
                continue;
            }
            v4l2_buffer buffer{};
            buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buffer.memory = V4L2_MEMORY_MMAP;
            if (xioctl(m_fd, VIDIOC_DQBUF, &buffer) != 0) {
                if (errno == EAGAIN)
                    continue;
                trace("capture: " + m_path + ": VIDIOC_DQBUF failed: " + std::strerror(errno) + "\n");
                return false;
            }
            bool take = false;
            if (buffer.index >= m_buffers.size() || (buffer.flags & V4L2_BUF_FLAG_ERROR)) {
                m_converter.skip_broken();
            } else {
                capture_raw_frame raw;
                raw.fourcc = m_format.pixelformat;
                raw.width = static_cast<int>(m_format.width);
                raw.height = static_cast<int>(m_format.height);
                raw.stride = m_format.bytesperline;
                raw.data = static_cast<const uint8_t*>(m_buffers[buffer.index].start);
                raw.bytes = std::min<size_t>(buffer.bytesused, m_buffers[buffer.index].length);
                take = m_converter.take(raw, frame);
                if (take)
                    m_arrival_ms = (buffer.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC
                                       ? buffer.timestamp.tv_sec * 1000.0 + buffer.timestamp.tv_usec / 1000.0
                                       : std::chrono::duration<double, std::milli>(
                                             clock_type::now().time_since_epoch()).count();
            }
            // Back to the driver at once: the picture is our own copy. A
            // buffer the driver will not take back is lost to the stream,
            // and with all of them gone nothing would ever wake a read.
            if (xioctl(m_fd, VIDIOC_QBUF, &buffer) != 0) {
                trace("capture: " + m_path + ": VIDIOC_QBUF failed: " + std::strerror(errno) + "\n");
                return false;
            }
            if (take) {
                if (m_quiet)
                    trace("capture: " + m_path + " delivers again\n");
                m_quiet = false;
                return true;
            }
        }
    }

    bool set(int propId, double value) override
    {
        if (propId == cv::CAP_PROP_FRAME_WIDTH) {
            m_width_asked = static_cast<int>(value);
            return m_width_asked > 0;
        }
        if (propId != cv::CAP_PROP_FRAME_HEIGHT || m_width_asked <= 0)
            return false;
        const int height = static_cast<int>(value);
        const capture_mode mode = capture_choose_mode(v4l2_modes(m_fd, m_width_asked, height), m_width_asked, height);
        // Nothing usable at or below that size: the device keeps its own choice.
        if (mode.fourcc == 0)
            return false;
        return apply(mode);
    }

    double get(int propId) const override
    {
        switch (propId) {
        case cv::CAP_PROP_FRAME_WIDTH: return m_format.width;
        case cv::CAP_PROP_FRAME_HEIGHT: return m_format.height;
        case cv::CAP_PROP_FOURCC: return m_format.pixelformat;
        case cv::CAP_PROP_FPS: {
            v4l2_streamparm parm{};
            parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            if (xioctl(m_fd, VIDIOC_G_PARM, &parm) != 0 || !parm.parm.capture.timeperframe.numerator)
                return 0.0;
            return static_cast<double>(parm.parm.capture.timeperframe.denominator) /
                   parm.parm.capture.timeperframe.numerator;
        }
        // When the last frame read arrived, in milliseconds of the monotonic clock.
        case cv::CAP_PROP_POS_MSEC: return m_arrival_ms;
        default: return 0.0;
        }
    }

private:
    struct mapping {
        void* start = MAP_FAILED;
        size_t length = 0;
    };

    bool read_format()
    {
        v4l2_format format{};
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(m_fd, VIDIOC_G_FMT, &format) != 0)
            return false;
        m_format = format.fmt.pix;
        return true;
    }

    // The device was left in a format we cannot turn into BGR: the first
    // one it offers that we can, at the size it has.
    void take_supported_format()
    {
        v4l2_fmtdesc desc{};
        desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        for (desc.index = 0; xioctl(m_fd, VIDIOC_ENUM_FMT, &desc) == 0; ++desc.index) {
            if (!capture_format_supported(desc.pixelformat))
                continue;
            v4l2_format format{};
            format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            format.fmt.pix = m_format;
            format.fmt.pix.pixelformat = desc.pixelformat;
            format.fmt.pix.field = V4L2_FIELD_ANY;
            if (xioctl(m_fd, VIDIOC_S_FMT, &format) == 0 && read_format() &&
                capture_format_supported(m_format.pixelformat))
                return;
        }
        trace("capture: " + m_path + " offers no format that can be shown\n");
    }

    bool apply(const capture_mode& mode)
    {
        stop_streaming();
        v4l2_format format{};
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        format.fmt.pix.width = static_cast<uint32_t>(mode.width);
        format.fmt.pix.height = static_cast<uint32_t>(mode.height);
        format.fmt.pix.pixelformat = mode.fourcc;
        format.fmt.pix.field = V4L2_FIELD_ANY;
        if (xioctl(m_fd, VIDIOC_S_FMT, &format) != 0) {
            trace("capture: " + m_path + ": " + capture_mode_text(mode) + " refused: " + std::strerror(errno) + "\n");
            read_format();
            return false;
        }
        read_format();
        capture_mode granted = mode;
        if (mode.interval_num) {
            v4l2_streamparm parm{};
            parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            parm.parm.capture.timeperframe.numerator = mode.interval_num;
            parm.parm.capture.timeperframe.denominator = mode.interval_den;
            if (xioctl(m_fd, VIDIOC_S_PARM, &parm) != 0) {
                trace("capture: " + m_path + ": the frame rate could not be set\n");
            } else if (parm.parm.capture.timeperframe.numerator && parm.parm.capture.timeperframe.denominator) {
                // The driver writes back the rate it took.
                granted.interval_num = parm.parm.capture.timeperframe.numerator;
                granted.interval_den = parm.parm.capture.timeperframe.denominator;
            }
        }
        granted.fourcc = m_format.pixelformat;
        granted.width = static_cast<int>(m_format.width);
        granted.height = static_cast<int>(m_format.height);
        if (!m_traced) {
            trace("capture: " + m_path + " " + capture_mode_text(granted) + "\n");
            m_traced = true;
        }
        return m_format.pixelformat == mode.fourcc;
    }

    bool start_streaming()
    {
        if (!capture_format_supported(m_format.pixelformat))
            return false;
        v4l2_requestbuffers request{};
        request.count = kBuffers;
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        if (xioctl(m_fd, VIDIOC_REQBUFS, &request) != 0 || request.count < 2) {
            trace("capture: " + m_path + ": no capture buffers: " + std::strerror(errno) + "\n");
            return false;
        }
        m_buffers.assign(request.count, mapping());
        bool queued = true;
        for (uint32_t i = 0; queued && i < request.count; ++i) {
            v4l2_buffer buffer{};
            buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buffer.memory = V4L2_MEMORY_MMAP;
            buffer.index = i;
            queued = xioctl(m_fd, VIDIOC_QUERYBUF, &buffer) == 0;
            void* start = queued ? ::mmap(nullptr, buffer.length, PROT_READ, MAP_SHARED, m_fd, buffer.m.offset) : MAP_FAILED;
            queued = start != MAP_FAILED;
            if (queued) {
                m_buffers[i] = mapping{start, buffer.length};
                queued = xioctl(m_fd, VIDIOC_QBUF, &buffer) == 0;
            }
        }
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        m_streaming = queued && xioctl(m_fd, VIDIOC_STREAMON, &type) == 0;
        if (!m_streaming) {
            trace("capture: " + m_path + ": streaming could not start: " + std::strerror(errno) + "\n");
            stop_streaming();
            return false;
        }
        read_format();
        return true;
    }

    void stop_streaming()
    {
        if (m_fd < 0)
            return;
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (m_streaming)
            xioctl(m_fd, VIDIOC_STREAMOFF, &type);
        m_streaming = false;
        for (const mapping& m : m_buffers)
            if (m.start != MAP_FAILED)
                ::munmap(m.start, m.length);
        if (!m_buffers.empty()) {
            v4l2_requestbuffers none{};
            none.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            none.memory = V4L2_MEMORY_MMAP;
            xioctl(m_fd, VIDIOC_REQBUFS, &none);
        }
        m_buffers.clear();
    }

    void close_all()
    {
        stop_streaming();
        if (m_fd >= 0)
            ::close(m_fd);
        if (m_wake >= 0)
            ::close(m_wake);
        m_fd = m_wake = -1;
    }

    std::string m_path;
    int m_fd = -1;
    int m_wake = -1;                   // eventfd: stop() wakes a read with it
    std::atomic<bool> m_stopped{false};
    // Everything below is used under `reading` only.
    v4l2_pix_format m_format{};
    std::vector<mapping> m_buffers;
    bool m_streaming = false;
    bool m_traced = false;             // the chosen mode has been traced
    bool m_quiet = false;              // the long wait for a frame has been traced
    int m_width_asked = 0;             // the width asked for last, for the height that follows it
    double m_arrival_ms = 0.0;
    capture_converter m_converter;
};

}  // namespace

std::shared_ptr<video_input_source> v4l2_open_source(int index)
{
    auto source = std::make_shared<v4l2_source>(index);
    return source->opened() ? source : nullptr;
}

video_input_capture::video_input_capture() = default;

video_input_capture::~video_input_capture() { release(); }

std::shared_ptr<video_input_source> video_input_capture::current() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_source;
}

bool video_input_capture::open(int index, int)
{
    release();
    if (index < 0)
        return false;
    std::shared_ptr<video_input_source> source;
    for (const video_input_driver& driver : video_input_drivers()) {
        const int count = static_cast<int>(driver.names().size());
        if (index < count) {
            source = driver.open(index);
            break;
        }
        index -= count;
    }
    std::lock_guard<std::mutex> hold(m_lock);
    m_source = source;
    return m_source != nullptr;
}

bool video_input_capture::open(const cv::String&, int)
{
    // The program opens devices by position only.
    release();
    return false;
}

bool video_input_capture::isOpened() const
{
    auto source = current();
    return source && source->opened();
}

void video_input_capture::release()
{
    std::shared_ptr<video_input_source> source;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        source.swap(m_source);
    }
    // A read in progress keeps the device until it returns.
    if (source)
        source->stop();
}

bool video_input_capture::grab() { return false; }

bool video_input_capture::retrieve(cv::OutputArray, int) { return false; }

bool video_input_capture::read(cv::OutputArray image)
{
    auto source = current();
    if (!source) {
        image.release();
        return false;
    }
    std::lock_guard<std::mutex> one_reader(source->reading);
    cv::Mat frame;
    if (!source->read_frame(frame)) {
        image.release();
        return false;
    }
    // Handed over without a copy where the caller holds a plain Mat.
    if (image.kind() == cv::_InputArray::MAT)
        image.getMatRef() = frame;
    else
        frame.copyTo(image);
    return true;
}

bool video_input_capture::set(int propId, double value)
{
    auto source = current();
    if (!source)
        return false;
    std::lock_guard<std::mutex> one_user(source->reading);
    return source->set(propId, value);
}

double video_input_capture::get(int propId) const
{
    auto source = current();
    if (!source)
        return 0.0;
    std::lock_guard<std::mutex> one_user(source->reading);
    return source->get(propId);
}
