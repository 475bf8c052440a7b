// The program's video source: position i of the device list opened through
// OpenCV's V4L2 backend, or a virtual device.
#include "video_internal.h"

#include <fcntl.h>
#include <malloc.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

int xioctl(int fd, unsigned long request, void* arg)
{
    int r;
    do
        r = ::ioctl(fd, request, arg);
    while (r < 0 && errno == EINTR);
    return r;
}

// Whether /dev/video<index> offers Motion-JPEG at width x height. Cheap
// sticks deliver 1080p at full rate only that way; uncompressed they fall
// to a few frames a second.
bool v4l2_offers_mjpeg(int index, int width, int height)
{
    const std::string path = "/dev/video" + std::to_string(index);
    int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool offered = false;
    v4l2_fmtdesc format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (format.index = 0; !offered && xioctl(fd, VIDIOC_ENUM_FMT, &format) == 0; ++format.index) {
        if (format.pixelformat != V4L2_PIX_FMT_MJPEG)
            continue;
        v4l2_frmsizeenum size{};
        size.pixel_format = V4L2_PIX_FMT_MJPEG;
        for (size.index = 0; !offered && xioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) == 0; ++size.index) {
            if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                offered = static_cast<int>(size.discrete.width) == width && static_cast<int>(size.discrete.height) == height;
            } else {
                const auto& s = size.stepwise;
                offered = width >= static_cast<int>(s.min_width) && width <= static_cast<int>(s.max_width) &&
                          height >= static_cast<int>(s.min_height) && height <= static_cast<int>(s.max_height);
            }
        }
    }
    ::close(fd);
    return offered;
}

class v4l2_source : public video_input_source {
public:
    explicit v4l2_source(int index) : m_index(index) { m_capture.open(index, cv::CAP_V4L2); }

    bool opened() const override { return m_capture.isOpened(); }

    bool read_frame(cv::Mat& frame) override
    {
        if (!m_capture.read(frame))
            return false;
        // A frame that still points into the driver's buffers must not
        // outlive the next read or the device: the reader keeps its own.
        if (!frame.empty() && !frame.u)
            frame = frame.clone();
        return true;
    }

    bool set(int propId, double value) override
    {
        if (propId == cv::CAP_PROP_FRAME_WIDTH)
            m_width = static_cast<int>(value);
        if (propId == cv::CAP_PROP_FRAME_HEIGHT && m_width > 0 &&
            v4l2_offers_mjpeg(m_index, m_width, static_cast<int>(value))) {
            // The format first: the size is then chosen among its sizes.
            m_capture.set(cv::CAP_PROP_FOURCC, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'));
            m_capture.set(cv::CAP_PROP_FRAME_WIDTH, m_width);
        }
        return m_capture.set(propId, value);
    }

    double get(int propId) const override { return m_capture.get(propId); }

private:
    int m_index;
    int m_width = 0;  // the width asked for last, for the height that follows it
    cv::VideoCapture m_capture;
};

}  // namespace

std::shared_ptr<video_input_source> v4l2_open_source(int index)
{
    auto source = std::make_shared<v4l2_source>(index);
    return source->opened() ? source : nullptr;
}

video_input_capture::video_input_capture()
{
    // Every frame allocates and frees buffers of several megabytes (the
    // frame, the presentation's copy). By default the allocator maps and
    // unmaps each one, and faulting its pages in again costs more than
    // drawing the frame: keep such blocks in the heap instead.
    static std::once_flag once;
    std::call_once(once, [] {
        mallopt(M_MMAP_THRESHOLD, 64 << 20);
        mallopt(M_TRIM_THRESHOLD, 256 << 20);
    });
}

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
    const int real = static_cast<int>(v4l2_device_names().size());
    if (index < real) {
        source = v4l2_open_source(index);
    } else {
        std::vector<std::wstring> names;
        std::vector<int> ids;
        video_input_virtual_list(names, ids);
        if (static_cast<size_t>(index - real) < ids.size())
            source = video_input_open_virtual(ids[static_cast<size_t>(index - real)]);
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
