// Video-input devices: the list of their names, numbered the way the
// capture source opens them, virtual devices for hardware-free runs, and
// the capture source itself.
//
// Position i of the name list is the index that VideoInputCapture::open(i)
// opens: real devices are /dev/video<i> (OpenCV's own V4L2 numbering),
// with an empty name where that number has no node or the node cannot
// capture video (a gap, a metadata-only node), so that the positions after
// it keep their numbers. Virtual devices follow the real ones.
//
// Threads: any thread may call these; the registry has its own lock.
#pragma once

#include <opencv2/videoio.hpp>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Names as UTF-16 code units carried in wchar_t (one unit per wchar_t).
std::vector<std::wstring> video_input_device_names();

// What a virtual stick sends. bgr: ready pictures, read as they are.
// mjpeg, yuyv: frames as real sticks send them, which the capture source
// turns into BGR with the same code as a real stick's; the test pattern's
// frames are encoded once at the first open (a cycle of 8, so that the
// encoding does not load the reader). A file is always read as bgr.
enum class video_input_virtual_format { bgr, mjpeg, yuyv };
// How a damaged Motion-JPEG frame is damaged: cut off half way, or with a
// marker in the middle of its data.
enum class video_input_virtual_damage { truncated, corrupt };

// A hardware-free device, named like a real stick. Its frames come from a
// GStreamer test pattern, or from a video file through OpenCV, paced like
// a live device (one frame per 1/fps seconds, frames dropped if not read).
struct video_input_virtual_device {
    std::wstring name = L"USB3.0 HDMI Capture";
    std::string file;            // empty: a moving test pattern
    int width = 1920;
    int height = 1080;
    int fps = 60;
    video_input_virtual_format format = video_input_virtual_format::bgr;
    // Motion-JPEG only: every n-th frame (counted from 1, so 1 is every
    // frame) comes damaged, as sticks send them while the signal changes;
    // 0: none.
    int damaged_every = 0;
    video_input_virtual_damage damage = video_input_virtual_damage::truncated;
    bool never_delivers = false;  // opens, but every read fails
    long long raise_on_read = -1;  // that read (counted from 0) raises a cv::Exception
    bool plugged = true;  // false: registered as a stick not plugged in yet
};
// Registers a device; returns its id (not its position, which follows the
// real devices present at the time of each listing).
int video_input_add_virtual(const video_input_virtual_device& device);
void video_input_remove_virtual(int id);

// Plugs a registered device in or pulls it out, as a hand does with a stick.
// Pulled, it is not listed: its position shows an empty name, so that the
// devices after it keep theirs, or is left off the end when no listed
// device follows it; an open source of it stops delivering at once (a
// blocked read returns false, later reads fail, even after it is plugged
// in again), and opening its position fails. Then the removal of its USB
// device (vendor 3188) goes to the registered windows as the udev monitor
// would report it. Plugged, it is listed again, and the arrivals of its USB
// device, then of its sound card, go out the same way; the sound card
// waits for the stick's video node, which comes with the listing, so that
// its audio endpoint arrives after the device can be found. Doing what is
// already so does nothing. Any thread; the records go out from the
// notification thread, without waiting for the windows to handle them.
void video_input_plug_virtual(int id, bool plugged);

// The device's open sources hang, as a stream can after the machine slept:
// their reads block, delivering nothing, until the source is released
// (then they return false). The device stays listed and a new open
// delivers as before. Any thread.
void video_input_stall_virtual(int id);

// What a virtual device has done since it was last opened, for the
// benchmarks and tests: frames its clock produced, frames read, and for
// each read frame (the latest 100,000 at most) the milliseconds from read
// returning it until the reader came back for the next one (the reader
// draws in between), and from the frame's arrival at the device (the
// moment its clock made it) until the reader came back: arrival to
// screen, the conversion to BGR included.
struct video_input_virtual_stats {
    long long produced = 0;
    long long delivered = 0;
    std::vector<double> hold_ms;
    std::vector<double> arrival_ms;
    int reader_tid = 0;  // the thread that last read, 0 if none
};
video_input_virtual_stats video_input_get_virtual_stats(int id);

class video_input_source;

// The video source of the program: a cv::VideoCapture whose open(int)
// opens position i of video_input_device_names(), real or virtual.
//
// Threads: the UI thread opens, sets and releases; one capture thread
// reads. Reads of one opened device never overlap (they are serialised),
// and release() never waits for a read in progress: the device is closed
// when the last read of it returns, and a blocked read of a virtual device
// returns false at once. open() while a read of the previous device is
// still blocked opens a new device without waiting.
class video_input_capture : public cv::VideoCapture {
public:
    video_input_capture();
    ~video_input_capture() override;
    video_input_capture(const video_input_capture&) = delete;
    video_input_capture& operator=(const video_input_capture&) = delete;

    bool open(int index, int apiPreference = cv::CAP_ANY) override;
    bool open(const cv::String& filename, int apiPreference = cv::CAP_ANY) override;
    bool isOpened() const override;
    void release() override;
    // The program reads with read(); grab and retrieve are not supported.
    bool grab() override;
    bool retrieve(cv::OutputArray image, int flag = 0) override;
    bool read(cv::OutputArray image) override;
    bool set(int propId, double value) override;
    double get(int propId) const override;

private:
    std::shared_ptr<video_input_source> current() const;
    mutable std::mutex m_lock;  // guards m_source (the pointer, not the device)
    std::shared_ptr<video_input_source> m_source;
};
